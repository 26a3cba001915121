// The emulated cable's waveform: the engine's pin and clocking commands
// drawn on the shared Value Change Dump writer's four lines, on the chip's
// own time line (see cable_waveform.h).
#include "cable_waveform.h"

#include <stdio.h>
#include <stdlib.h>

#include "adapter_interface/adapter_clock.h"
#include "emulated_cable.h"
#include "emulated_target/target_environment.h"
#include "emulated_target/vcd.h"

bool cableWaveformDrawing = false;

namespace {

const uint64_t PS_PER_S = 1000000000000ull;

struct Wave {
    uint64_t nowPs = 0;        // when the engine is done with the last command
    uint64_t writeStartPs = 0; // when the current write's bytes start to arrive
    uint64_t arrived = 0;      // bytes of the current write that have arrived
    uint64_t readyPs = 0;      // when the last of them arrived
    uint64_t lagPs = 0;        // pin commands' time, which the USB model leaves out
    uint8_t lines = VCD_IDLE_LINES;
};

Wave wave;

// A command runs once its bytes are in and the engine is free.
uint64_t commandStart() {
    return wave.nowPs > wave.readyPs ? wave.nowPs : wave.readyPs;
}

void draw(uint64_t timePs, uint8_t lines) {
    vcdLines(timePs / PS_PER_NS, lines);
    wave.lines = lines;
    cableWaveformDrawing = vcdDrawing();
}

// An output shows its level; anything else its pull-up.
bool pinHigh(uint8_t levels, uint8_t directions, uint8_t pin) {
    return (directions & pin) == 0 || (levels & pin) != 0;
}

// Read as the virtual adapter reads it.
uint64_t vcdLimitBytes() {
    uint32_t limit = static_cast<uint32_t>(VCD_DEFAULT_LIMIT_BYTES);
    envReadNumber("emulated cable", "VADAPTER_VCD_LIMIT", limit);
    return limit;
}

} // namespace

void cableWaveformOpen(uint32_t location) {
    static bool opened = false;
    const char* path = getenv("VADAPTER_VCD");
    if (opened || path == nullptr || *path == '\0') {
        return;
    }
    opened = true;
    wave = Wave();
    std::string named = envPathAtLocation(path, location);
    cableWaveformDrawing = vcdOpen(named.c_str(), "emulated USB cable", vcdLimitBytes(), VCD_DRAW_TARGET_MODE);
}

void cableWaveformWrite(uint64_t modelNs) {
    if (!cableWaveformDrawing) {
        return;
    }
    uint64_t startPs = (modelNs + MODEL_WRITE_START_NS) * PS_PER_NS + wave.lagPs;
    wave.writeStartPs = startPs > wave.nowPs ? startPs : wave.nowPs;
    wave.readyPs = wave.writeStartPs;
    wave.arrived = 0;
}

void cableWaveformByteArrives() {
    if (cableWaveformDrawing) {
        wave.arrived++;
        wave.readyPs = wave.writeStartPs + wave.arrived * PS_PER_S / MODEL_BULK_BYTES_PER_S;
    }
}

void cableWaveformPins(uint8_t levels, uint8_t directions) {
    if (!cableWaveformDrawing) {
        return;
    }
    uint64_t startPs = commandStart();
    bool selected = !pinHigh(levels, directions, CHIP_PIN_TMS_CS);
    uint8_t lines = vcdWithLine(wave.lines, VCD_CHIP_SELECT, !selected);
    lines = vcdWithLine(lines, VCD_CLOCK, pinHigh(levels, directions, CHIP_PIN_TCK_SK));
    lines = vcdWithLine(lines, VCD_DATA_OUT, pinHigh(levels, directions, CHIP_PIN_TDI_DO));
    // Deselected, the target lets data in go.
    lines = selected ? lines : vcdWithLine(lines, VCD_DATA_IN, true);
    draw(startPs, lines);
    wave.nowPs = startPs + WAVEFORM_PIN_COMMAND_NS * PS_PER_NS;
    wave.lagPs += WAVEFORM_PIN_COMMAND_NS * PS_PER_NS;
}

// Each bit: the leading clock edge (away from the rest level) half a period
// in, the trailing edge at its end. Data out changes with the trailing edge
// before the bit, or, when the opcode puts it out on the leading edge, a
// quarter period after that edge: the late phase the target cannot take.
// The target puts its bit out while the clock rests.
void cableWaveformClock(const ChipCommand& command, uint32_t bits, uint8_t mosi, uint8_t miso,
                        uint64_t ticksPerBit) {
    if (!cableWaveformDrawing) {
        return;
    }
    uint64_t periodPs = ticksToPs(ticksPerBit);
    uint64_t startPs = commandStart();
    bool writes = chipWrites(command);
    bool restsHigh = (wave.lines & VCD_CLOCK) != 0;
    bool late = restsHigh == (command.outEdge == CHIP_EDGE_FALLING);
    for (uint32_t i = 0; i < bits; i++) {
        uint32_t shift = command.order == CHIP_LSB_FIRST ? i : 7 - i;
        bool out = ((mosi >> shift) & 1) != 0;
        uint64_t bitPs = startPs + i * periodPs;
        uint8_t lines = vcdWithLine(wave.lines, VCD_DATA_IN, ((miso >> (7 - i)) & 1) != 0);
        lines = writes && !late ? vcdWithLine(lines, VCD_DATA_OUT, out) : lines;
        draw(bitPs, vcdWithLine(lines, VCD_CLOCK, restsHigh));
        draw(bitPs + periodPs / 2, vcdWithLine(lines, VCD_CLOCK, !restsHigh));
        if (writes && late) {
            draw(bitPs + periodPs * 3 / 4, vcdWithLine(wave.lines, VCD_DATA_OUT, out));
        }
    }
    wave.nowPs = startPs + bits * periodPs;
    draw(wave.nowPs, vcdWithLine(wave.lines, VCD_CLOCK, restsHigh));
}

void cableWaveformClose(uint64_t modelNs) {
    uint64_t modelPs = modelNs * PS_PER_NS + wave.lagPs;
    vcdClose((modelPs > wave.nowPs ? modelPs : wave.nowPs) / PS_PER_NS);
    cableWaveformDrawing = false;
}

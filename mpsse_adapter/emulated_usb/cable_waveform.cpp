// The emulated cable's waveform: the engine's pin and clocking commands
// drawn on the shared Value Change Dump writer's four lines, on the chip's
// own time line (see cable_waveform.h).
#include "cable_waveform.h"

#include <stdio.h>
#include <stdlib.h>

#include "emulated_cable.h"
#include "emulated_target/target_environment.h"
#include "emulated_target/vcd.h"
#include "mpsse_encoder.h"

bool cableWaveformDrawing = false;

namespace {

const uint64_t PS_PER_NS = 1000;
const uint64_t PS_PER_S = 1000000000000ull;
// A period of the 30 MHz base clock is 100/3 ns.
const uint64_t PS_PER_THREE_TICKS = 100000;

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

uint8_t withLine(uint8_t lines, uint8_t line, bool high) {
    return high ? static_cast<uint8_t>(lines | line) : static_cast<uint8_t>(lines & ~line);
}

// An output shows its level; anything else its pull-up.
bool pinHigh(uint8_t levels, uint8_t directions, uint8_t pin) {
    return (directions & pin) == 0 || (levels & pin) != 0;
}

uint64_t limitOf(const char* text) {
    if (text == nullptr || *text == '\0') {
        return VCD_DEFAULT_LIMIT_BYTES;
    }
    char* end = nullptr;
    unsigned long long limit = strtoull(text, &end, 0);
    if (*end != '\0') {
        fprintf(stderr, "emulated cable: bad VADAPTER_VCD_LIMIT value\n");
        return VCD_DEFAULT_LIMIT_BYTES;
    }
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
    cableWaveformDrawing = vcdOpen(named.c_str(), "emulated USB cable", limitOf(getenv("VADAPTER_VCD_LIMIT")),
                                   VCD_DRAW_TARGET_MODE);
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
    bool selected = !pinHigh(levels, directions, PIN_CHIP_SELECT_0);
    uint8_t lines = withLine(wave.lines, VCD_CHIP_SELECT, !selected);
    lines = withLine(lines, VCD_CLOCK, pinHigh(levels, directions, PIN_CLOCK));
    lines = withLine(lines, VCD_DATA_OUT, pinHigh(levels, directions, PIN_DATA_OUT));
    // Deselected, the target lets data in go.
    lines = selected ? lines : withLine(lines, VCD_DATA_IN, true);
    draw(startPs, lines);
    wave.nowPs = startPs + WAVEFORM_PIN_COMMAND_NS * PS_PER_NS;
    wave.lagPs += WAVEFORM_PIN_COMMAND_NS * PS_PER_NS;
}

// Each bit: the leading clock edge (away from the rest level) half a period
// in, the trailing edge at its end. Data out changes with the trailing edge
// before the bit, or, when the opcode puts it out on the leading edge, a
// quarter period after that edge: the late phase the target cannot take.
// The target puts its bit out while the clock rests.
void cableWaveformClock(uint8_t opcode, uint32_t bits, uint8_t mosi, uint8_t miso, uint64_t ticksPerBit) {
    if (!cableWaveformDrawing) {
        return;
    }
    uint64_t periodPs = ticksPerBit * PS_PER_THREE_TICKS / 3;
    uint64_t startPs = commandStart();
    bool writes = (opcode & MPSSE_WRITE) != 0;
    bool restsHigh = (wave.lines & VCD_CLOCK) != 0;
    bool late = restsHigh == ((opcode & MPSSE_OUT_ON_FALLING) != 0);
    for (uint32_t i = 0; i < bits; i++) {
        uint32_t shift = (opcode & MPSSE_LSB_FIRST) != 0 ? i : 7 - i;
        bool out = ((mosi >> shift) & 1) != 0;
        uint64_t bitPs = startPs + i * periodPs;
        uint8_t lines = withLine(wave.lines, VCD_DATA_IN, ((miso >> (7 - i)) & 1) != 0);
        lines = writes && !late ? withLine(lines, VCD_DATA_OUT, out) : lines;
        draw(bitPs, withLine(lines, VCD_CLOCK, restsHigh));
        draw(bitPs + periodPs / 2, withLine(lines, VCD_CLOCK, !restsHigh));
        if (writes && late) {
            draw(bitPs + periodPs * 3 / 4, withLine(wave.lines, VCD_DATA_OUT, out));
        }
    }
    wave.nowPs = startPs + bits * periodPs;
    draw(wave.nowPs, withLine(wave.lines, VCD_CLOCK, restsHigh));
}

void cableWaveformClose(uint64_t modelNs) {
    uint64_t modelPs = modelNs * PS_PER_NS + wave.lagPs;
    vcdClose((modelPs > wave.nowPs ? modelPs : wave.nowPs) / PS_PER_NS);
    cableWaveformDrawing = false;
}

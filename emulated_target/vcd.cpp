// The Value Change Dump of the SPI lines: a header naming the four lines,
// then a timestamp line before each group of changes.
#include "emulated_target/vcd.h"

#include <stdio.h>

#include "adapter_interface/adapter_clock.h"
#include "emulated_target/output_file.h"

namespace {

// A comment at the cut and the closing timestamp fit in this; the bound
// keeps it free, so that the file never passes the bound.
const uint64_t CLOSING_RESERVE_BYTES = 512;
// "1c\n": a value and a one-character identifier.
const uint64_t CHANGE_BYTES = 3;
const uint32_t EIGHTHS_PER_BIT = 8;

const uint8_t LINE_BITS[4] = {VCD_CHIP_SELECT, VCD_CLOCK, VCD_DATA_OUT, VCD_DATA_IN};
const char LINE_IDS[4] = {'c', 'k', 'o', 'i'};
// The names a logic analyser gives them, so that an SPI decoder finds them.
const char* const LINE_NAMES[4] = {"cs", "clk", "mosi", "miso"};

struct Dump {
    FILE* file = nullptr;
    bool drawing = false;
    uint64_t limitBytes = 0;
    uint64_t written = 0;
    VcdDrawing mode = VCD_DRAW_TARGET_MODE;
    uint8_t lines = VCD_IDLE_LINES;
    uint64_t lastNs = 0;
    // The frame under way.
    uint64_t frameStartNs = 0;
    uint64_t bitPeriodPs = 0;
    uint64_t frameBits = 0;
};

Dump dump;

void put(const char* text, int length) {
    if (length > 0) {
        fwrite(text, 1, static_cast<size_t>(length), dump.file);
        dump.written += static_cast<uint64_t>(length);
    }
}

void putTime(uint64_t timeNs) {
    char text[32];
    put(text, snprintf(text, sizeof(text), "#%llu\n", static_cast<unsigned long long>(timeNs)));
}

uint64_t decimalDigits(uint64_t value) {
    uint64_t digits = 1;
    for (; value >= 10; value /= 10) {
        digits++;
    }
    return digits;
}

void writeHeader(const char* writer) {
    char text[512];
    put(text,
        snprintf(
            text, sizeof(text),
            "$comment %s: SPI lines; chip select active low, clock idle low, bits taken on the "
            "rising edge, most significant bit first $end\n$timescale 1 ns $end\n$scope module spi $end\n",
            writer));
    for (int line = 0; line < 4; line++) {
        put(text, snprintf(text, sizeof(text), "$var wire 1 %c %s $end\n", LINE_IDS[line], LINE_NAMES[line]));
    }
    put(text, snprintf(text, sizeof(text), "$upscope $end\n$enddefinitions $end\n#0\n"));
    for (int line = 0; line < 4; line++) {
        put(text, snprintf(text, sizeof(text), "%d%c\n", (VCD_IDLE_LINES & LINE_BITS[line]) ? 1 : 0,
                           LINE_IDS[line]));
    }
}

void cut(uint64_t timeNs) {
    char text[256];
    put(text,
        snprintf(text, sizeof(text),
                 "$comment cut at %llu ns: what follows would take this file past its bound of %llu "
                 "bytes (VADAPTER_VCD_LIMIT); nothing after this point is drawn $end\n",
                 static_cast<unsigned long long>(timeNs), static_cast<unsigned long long>(dump.limitBytes)));
    dump.drawing = false;
}

// Whether changes up to untilNs fit under the bound; if not, the dump is cut at fromNs.
bool fits(uint64_t fromNs, uint64_t untilNs, uint64_t timestamps, uint64_t changes) {
    uint64_t needed = timestamps * (decimalDigits(untilNs) + 2) + changes * CHANGE_BYTES;
    if (dump.written + needed + CLOSING_RESERVE_BYTES <= dump.limitBytes) {
        return true;
    }
    cut(fromNs > dump.lastNs ? fromNs : dump.lastNs);
    return false;
}

// The time of an eighth of a bit into the frame.
uint64_t frameTime(uint64_t eighths) {
    return dump.frameStartNs + eighths * dump.bitPeriodPs / EIGHTHS_PER_BIT / PS_PER_NS;
}

// Both data lines at once: each end puts out its bit at the same moment.
void putBits(uint64_t timeNs, bool dataOut, bool dataIn) {
    uint8_t lines = vcdWithLine(vcdWithLine(dump.lines, VCD_DATA_OUT, dataOut), VCD_DATA_IN, dataIn);
    vcdLines(timeNs, lines);
}

} // namespace

bool vcdOpen(const char* path, const char* writer, uint64_t limitBytes, VcdDrawing drawing) {
    vcdClose(dump.lastNs);
    dump = Dump();
    dump.file = createOutputFile(path);
    if (!dump.file) {
        fprintf(stderr, "%s: cannot write waveform file %s\n", writer, path);
        return false;
    }
    dump.limitBytes = limitBytes;
    dump.mode = drawing;
    writeHeader(writer);
    dump.drawing = true;
    return true;
}

bool vcdDrawing() {
    return dump.drawing;
}

void vcdClose(uint64_t timeNs) {
    if (!dump.file) {
        return;
    }
    if (dump.drawing && timeNs > dump.lastNs) {
        putTime(timeNs);
    }
    fclose(dump.file);
    dump.file = nullptr;
    dump.drawing = false;
}

void vcdLines(uint64_t timeNs, uint8_t lines) {
    uint8_t changed = static_cast<uint8_t>(lines ^ dump.lines);
    if (!dump.drawing || changed == 0) {
        return;
    }
    // A frame has made room for all of its changes; a caller that drives the
    // lines itself is cut here.
    if (!fits(dump.lastNs, timeNs, 1, 4)) {
        return;
    }
    if (timeNs > dump.lastNs) {
        putTime(timeNs);
        dump.lastNs = timeNs;
    }
    for (int line = 0; line < 4; line++) {
        if (changed & LINE_BITS[line]) {
            char text[4] = {(lines & LINE_BITS[line]) ? '1' : '0', LINE_IDS[line], '\n', 0};
            put(text, 3);
        }
    }
    dump.lines = lines;
}

bool vcdFrameBegin(uint64_t startNs, uint64_t bitPeriodPs, uint64_t byteCount) {
    if (!dump.drawing) {
        return false;
    }
    uint64_t bits = byteCount * 8;
    uint64_t endNs = startNs + bits * bitPeriodPs / PS_PER_NS;
    // Each bit: its data, the rising and the falling edge; then the frame's two ends.
    if (!fits(startNs, endNs, 3 * bits + 2, 4 * bits + 4)) {
        return false;
    }
    dump.frameStartNs = startNs;
    dump.bitPeriodPs = bitPeriodPs;
    dump.frameBits = 0;
    vcdLines(startNs, vcdWithLine(dump.lines, VCD_CHIP_SELECT, false));
    return true;
}

void vcdFrameByte(uint8_t dataOut, uint8_t dataIn) {
    if (!dump.drawing) {
        return;
    }
    bool late = dump.mode == VCD_DRAW_LATE_PHASE;
    for (uint32_t i = 0; i < 8; i++) {
        uint32_t shift = dump.mode == VCD_DRAW_LSB_FIRST ? i : 7 - i;
        uint64_t bit = EIGHTHS_PER_BIT * dump.frameBits;
        bool out = (dataOut >> shift) & 1, in = (dataIn >> shift) & 1;
        if (!late) {
            putBits(frameTime(bit), out, in);
        }
        vcdLines(frameTime(bit + 2), static_cast<uint8_t>(dump.lines | VCD_CLOCK));
        if (late) {
            putBits(frameTime(bit + 4), out, in);
        }
        vcdLines(frameTime(bit + 6), static_cast<uint8_t>(dump.lines & ~VCD_CLOCK));
        dump.frameBits++;
    }
}

void vcdFrameEnd() {
    if (dump.drawing) {
        uint64_t endNs = frameTime(dump.frameBits == 0 ? 0 : EIGHTHS_PER_BIT * dump.frameBits - 1);
        vcdLines(endNs, VCD_IDLE_LINES);
    }
}

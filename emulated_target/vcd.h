// The four SPI lines between the host and the emulated target as a Value
// Change Dump, for a logic-analyser viewer and its protocol decoders. Times
// are nanoseconds of the emulation's own model, from 0 at the start of the
// dump. One dump per process, written from one thread.
//
// The target's SPI mode: chip select active low; the clock idles low; both
// ends put a bit out while the clock is low and take it in on the rising
// edge, most significant bit first. Between frames the host holds data out
// high and the target drives nothing (data in is pulled up).
//
// A dump has a bound, in bytes: a frame that would take the file past it is
// not drawn, and neither is anything after it; a comment at that point says
// where and why the dump was cut.
#pragma once

#include <stdint.h>

// The lines, as bits of a line state.
const uint8_t VCD_CHIP_SELECT = 0x01;
const uint8_t VCD_CLOCK = 0x02;
const uint8_t VCD_DATA_OUT = 0x04;
const uint8_t VCD_DATA_IN = 0x08;
const uint8_t VCD_IDLE_LINES = VCD_CHIP_SELECT | VCD_DATA_OUT | VCD_DATA_IN;

// The line state with one line set high or low.
inline uint8_t vcdWithLine(uint8_t lines, uint8_t line, bool high) {
    return high ? static_cast<uint8_t>(lines | line) : static_cast<uint8_t>(lines & ~line);
}

// The bound when none is configured: room for a small job whole, and for the
// start of a job that writes the whole flash.
const uint64_t VCD_DEFAULT_LIMIT_BYTES = 32ull << 20;

// How a frame is drawn. The two faults exist only to show that a decoder
// reading the dump in the target's mode notices a waveform that is wrong.
enum VcdDrawing {
    VCD_DRAW_TARGET_MODE,
    VCD_DRAW_LATE_PHASE, // bits change after the rising edge, as in the other clock phase
    VCD_DRAW_LSB_FIRST,  // least significant bit first
};

// Starts a dump at path, all lines idle at time 0; what wrote it (a few words)
// goes into its header. False, after a line on standard error beginning with
// those words, when the file cannot be written: nothing is drawn then.
bool vcdOpen(const char* path, const char* writer, uint64_t limitBytes, VcdDrawing drawing);
// A dump is being written, and has not been cut.
bool vcdDrawing();
// Ends the dump at timeNs (the lines keep their last state until then).
void vcdClose(uint64_t timeNs);

// ---- Pin level: for an emulation that drives the lines itself.
// The lines from timeNs on (not earlier than the last change); a change that
// would take the file past the bound cuts it.
void vcdLines(uint64_t timeNs, uint8_t lines);

// ---- Frame level: a frame drawn in the target's mode from its bytes.
// A frame of byteCount bytes begins at startNs, one bit every bitPeriodPs
// picoseconds: false (and the dump is cut) when it would not fit.
bool vcdFrameBegin(uint64_t startNs, uint64_t bitPeriodPs, uint64_t byteCount);
// The next byte of the frame, each way.
void vcdFrameByte(uint8_t dataOut, uint8_t dataIn);
// Chip select goes inactive an eighth of a bit before the frame's time is
// up, so that a frame that follows at once starts after a visible gap.
void vcdFrameEnd();

// The MPSSE engine of the emulated cable: takes the command stream that
// bulk OUT transfers carry, in whatever pieces they come, keeps the pins,
// clock and partial commands across transfers, frames the clocked bytes by
// chip select 0 into SPI frames for the emulated target, and queues the
// bytes that bulk IN transfers return. It names what the target would not
// take through cableViolation.
#pragma once

#include <stdint.h>

struct InterpreterStats {
    uint64_t bytesClocked; // SPI bytes clocked, framed or not
    uint64_t clockTicks;   // bit periods times (divisor + 1), in periods of 30 MHz
    uint64_t frames;       // chip-select frames begun
};

// Reports a violation; defined by the cable.
void cableViolation(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The chip's state after power-up or a USB reset; MPSSE mode off.
void interpreterReset();
// Bit mode from the SET_BITMODE request: MPSSE on or off.
void interpreterSetMpsse(bool on);
void interpreterFeed(const uint8_t* bytes, uint32_t count);
// Answer bytes waiting for bulk IN.
uint32_t interpreterWaiting();
// Moves up to max waiting bytes to out. Bytes that no SEND_IMMEDIATE
// followed are a violation: the chip would hold them for its latency timer.
uint32_t interpreterTake(uint8_t* out, uint32_t max);
void interpreterPurgeAnswers();
// Bytes the chip sends as if an earlier user had asked for them.
void interpreterInjectAnswers(const uint8_t* bytes, uint32_t count);
bool interpreterChipSelectActive();
InterpreterStats interpreterStats();

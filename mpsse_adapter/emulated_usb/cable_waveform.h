// The emulated cable's SPI lines as a waveform file (VADAPTER_VCD, bounded by
// VADAPTER_VCD_LIMIT): drawn pin by pin from what the MPSSE engine does, so
// the file shows the command stream's own clock edges, bit order and chip
// select, not the frames the target makes of them.
//
// Times follow the chip. A bulk OUT's bytes start to reach the engine
// MODEL_WRITE_START_NS after the USB model's time at the write, one every
// 1 / MODEL_BULK_BYTES_PER_S seconds; a command runs once its last byte is in
// and the command before it is done. A clocked bit lasts one period of
// 30 MHz / (divisor + 1); a pin command holds its levels for
// WAVEFORM_PIN_COMMAND_NS, a time the USB model leaves out, so the file runs
// that much longer than model_ns for each pin command.
#pragma once

#include <stdint.h>

#include "mpsse_command_set.h"

const uint64_t WAVEFORM_PIN_COMMAND_NS = 100;

// Starts the dump when VADAPTER_VCD names a file, once per process (at the
// first claim of a channel); {location} in the name becomes the claimed
// device's location id.
void cableWaveformOpen(uint32_t location = 0);
// A bulk OUT begins at modelNs of the USB model.
void cableWaveformWrite(uint64_t modelNs);

// ---- From the MPSSE engine, only while cableWaveformDrawing: a run without
// a waveform pays a test per call.
// A dump is open and not cut.
extern bool cableWaveformDrawing;
// The next byte of the write has reached the engine.
void cableWaveformByteArrives();
// A pin command: the low byte's levels and directions (a pin that is not
// an output is drawn high, as its pull-up holds it).
void cableWaveformPins(uint8_t levels, uint8_t directions);
// bits bits of one byte clocked by a shifting command, each ticksPerBit
// periods of 30 MHz, from the pins as they are: mosi goes out as the command
// says (edge, bit order), miso comes back as the target drives it (most significant bit
// first, changing while the clock rests).
void cableWaveformClock(const ChipCommand& command, uint32_t bits, uint8_t mosi, uint8_t miso,
                        uint64_t ticksPerBit);

// Ends the dump at the USB model's modelNs (or later, by the pin commands'
// time and the last change).
void cableWaveformClose(uint64_t modelNs);

// The writer's steps with its own console texts: the shared flash
// operations, and the lines the writer prints as they go.
#pragma once

#include <stdint.h>

// Erases count sectors from startSector with the writer's progress lines.
bool eraseSectors(uint32_t startSector, uint32_t count);

// Programs the first length bytes of the image buffer from address on, with
// the writer's progress lines. An interruption drops the commands still queued.
bool programImage(uint32_t length, uint32_t address);

// True when the target answers with its identity byte; otherwise prints the byte.
bool checkIdentity();

// Sets the SPI clock divisor and prints the resulting frequency in kHz.
void setClockDivisor(uint32_t divisor);

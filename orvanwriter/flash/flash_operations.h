// Operations on the target's flash contents: sector erase, 16 KB block read
// and image programming with the auto-increment programming command.
#pragma once

#include <stdint.h>

#include "orvanwriter/flash/flash_protocol.h"

// Queued programming commands sent per queue execution.
const uint32_t PROGRAM_BATCH = 10240;
// Consecutive read passes that deliver nothing before a block read gives up.
const uint32_t EMPTY_READ_PASS_LIMIT = 4;

// Process-wide, zero at start, never freed.
extern uint8_t imageBuffer[IMAGE_CAPACITY];
extern uint8_t readBackBuffer[IMAGE_CAPACITY];

bool eraseSectors(uint32_t startSector, uint32_t count);

// Reads SECTOR_SIZE bytes from address into destination.
bool readBlock(uint32_t address, uint8_t* destination);

// Programs the first length bytes of the image buffer from address on. An
// interruption drops the commands still queued.
bool programImage(uint32_t length, uint32_t address);

// The target's flash geometry and the units every layer counts in: defined
// once here for the programs. (The emulations keep their own reading of the
// chip, so that they judge this code instead of repeating it.)
#pragma once

#include <stdint.h>

const uint32_t SECTOR_SIZE = 16384;
const uint32_t SECTOR_COUNT = 8;
const uint32_t SECTOR_SHIFT = 14;
const uint32_t FLASH_BYTES = SECTOR_SIZE * SECTOR_COUNT;
// What every byte of a sector reads after an erase; programming only clears bits.
const uint8_t ERASED_BYTE = 0xFF;

const uint32_t BITS_PER_BYTE = 8;
const uint64_t MS_PER_SECOND = 1000;
const uint64_t NS_PER_SECOND = 1000000000;

static_assert(1u << SECTOR_SHIFT == SECTOR_SIZE, "the sector shift and size agree");
static_assert(FLASH_BYTES == 131072, "the flash holds 128 KiB");
static_assert(SECTOR_COUNT <= 8, "a byte's bits name the sectors");

// What a command is about to work on, shown on standard error before the
// cable is opened: each image's place, or the sectors of a range. Not under
// --quiet, and not by the workers of a run on many cables, whose parent
// showed it once.
#pragma once

#include <stdint.h>

#include <string>

#include "orvan/commands/orvan.h"

// "sector 1", "sectors 0-2", "sectors 0-1, 5".
std::string sectorsText(uint8_t sectorMask);

// "0x004000-0x007fff": the first and last address of the span.
std::string flashSpanText(uint32_t address, uint32_t length);

// One line per image of the map: "app.hex: 0x000000-0x00a3ff, sectors 0-2".
void showImagePlaces(const Request& request);

// "erase: sectors 1-2 (0x004000-0x00bfff, 32 KiB)".
void showSectorRange(const Request& request, const char* verb, uint32_t firstSector, uint32_t count);

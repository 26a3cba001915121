#include "orvan/commands/flash_preview.h"

#include "orvan/commands/progress.h"

#include <stdio.h>

#include "core/flash/flash_geometry.h"
#include "orvan/commands/images.h"
#include "orvan/images/image_map.h"

// Six hex digits hold every address of the flash, so the lines align.
static const int ADDRESS_DIGITS = 6;
static const uint32_t BYTES_PER_KIB = 1024;

static bool shown(const Request& request) {
    return !request.quiet && request.parentId == 0;
}

static std::string paddedAddress(uint32_t address) {
    char text[16];
    snprintf(text, sizeof text, "0x%0*x", ADDRESS_DIGITS, address);
    return text;
}

std::string flashSpanText(uint32_t address, uint32_t length) {
    return paddedAddress(address) + "-" + paddedAddress(address + length - 1);
}

std::string sectorsText(uint8_t sectorMask) {
    std::string runs;
    uint32_t sectors = 0;
    for (uint32_t sector = 0; sector < SECTOR_COUNT; sector++) {
        if ((sectorMask >> sector & 1) == 0) {
            continue;
        }
        uint32_t last = sector;
        while (last + 1 < SECTOR_COUNT && (sectorMask >> (last + 1) & 1) != 0) {
            last++;
        }
        runs += (runs.empty() ? "" : ", ") + std::to_string(sector);
        runs += last > sector ? "-" + std::to_string(last) : "";
        sectors += last - sector + 1;
        sector = last;
    }
    return (sectors == 1 ? "sector " : "sectors ") + runs;
}

void showImagePlaces(const Request& request) {
    if (!shown(request)) {
        return;
    }
    for (uint32_t index = 0; index < imageCount; index++) {
        uint32_t address = 0;
        uint32_t length = 0;
        imageSpan(&images[index], &address, &length);
        progressSay(std::string(images[index].argument) + ": " + flashSpanText(address, length) + ", " +
                    sectorsText(images[index].sectorMask));
    }
}

void showSectorRange(const Request& request, const char* verb, uint32_t firstSector, uint32_t count) {
    if (!shown(request)) {
        return;
    }
    uint8_t mask = static_cast<uint8_t>(((1u << count) - 1) << firstSector);
    progressSay(std::string(verb) + ": " + sectorsText(mask) + " (" +
                flashSpanText(firstSector * SECTOR_SIZE, count * SECTOR_SIZE) + ", " +
                std::to_string(count * SECTOR_SIZE / BYTES_PER_KIB) + " KiB)");
}

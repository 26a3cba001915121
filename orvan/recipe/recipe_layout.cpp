// Where each board's own bytes go: inside the flash, in sectors the recipe's
// images write (a sector no image writes is never erased, so bytes put there
// could not be programmed), over image bytes that are 0xff, and apart from
// each other.
#include <stdio.h>

#include "orvan/images/image_map.h"
#include "orvan/recipe/recipe_internal.h"

static std::string describe(const BoardField& field) {
    char span[48];
    snprintf(span, sizeof span, " (0x%05x-0x%05x)", field.address, field.address + field.length - 1);
    return field.name + span;
}

static std::string hexAddress(uint32_t address) {
    char text[16];
    snprintf(text, sizeof text, "0x%05x", address);
    return text;
}

static void checkSectors(ProblemList* list, const BoardField& field, uint8_t writtenSectors) {
    uint32_t last = field.address + field.length - 1;
    for (uint32_t sector = field.address / SECTOR_SIZE; sector <= last / SECTOR_SIZE; sector++) {
        if ((writtenSectors & (1u << sector)) == 0) {
            addProblem(list, field.line,
                       describe(field) + " lies in sector " + std::to_string(sector) +
                           ", which no image of the recipe writes");
            return;
        }
    }
}

static void checkImageBytes(ProblemList* list, const Recipe& recipe, const BoardField& field) {
    for (uint32_t at = field.address; at < field.address + field.length; at++) {
        if (planBytes[at] != ERASED_BYTE) {
            const std::string& image = recipe.images[planOwner[at] - 1].file;
            addProblem(list, field.line,
                       describe(field) + " covers bytes of " + image + " that are not 0xff, the first at " +
                           hexAddress(at));
            return;
        }
    }
}

static bool overlap(const BoardField& a, const BoardField& b) {
    return a.address < b.address + b.length && b.address < a.address + a.length;
}

void checkBoardFields(ProblemList* list, const Recipe& recipe, const std::vector<BoardField>& fields) {
    uint8_t writtenSectors = 0;
    for (uint32_t i = 0; i < imageCount; i++) {
        writtenSectors = static_cast<uint8_t>(writtenSectors | images[i].sectorMask);
    }
    for (size_t i = 0; i < fields.size(); i++) {
        const BoardField& field = fields[i];
        if (static_cast<uint64_t>(field.address) + field.length > FLASH_BYTES) {
            addProblem(list, field.line, describe(field) + " runs past the end of the 128 KiB flash");
            continue;
        }
        checkSectors(list, field, writtenSectors);
        checkImageBytes(list, recipe, field);
        for (size_t j = 0; j < i; j++) {
            if (overlap(field, fields[j])) {
                addProblem(list, field.line, describe(field) + " overlaps " + describe(fields[j]));
            }
        }
    }
}

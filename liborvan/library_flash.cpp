// liborvan's flash calls: read, verify, erase, write, over the operations
// orvan's commands run (orvan/operations/), and the image files' loader.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "core/flash/flash_operations.h"
#include "liborvan/library_calls.h"
#include "orvan/operations/flash_steps.h"
#include "orvan/operations/image_steps.h"

static const char* const NOT_OPEN = "the cable is not open (orvan_open it first)";

// The caller's images in the process's image map, checked as orvan checks
// its IMAGE arguments.
static void loadImages(const orvan_image* list, size_t count, ImageMapPurpose purpose) {
    resetImageMap();
    setImageMapPurpose(purpose);
    clearBoardAddresses();
    if (count == 0 || list == nullptr) {
        throw OperationFailure{STATUS_USAGE, "images: none given"};
    }
    for (size_t i = 0; i < count; i++) {
        char name[IMAGE_NAME_CHARS];
        snprintf(name, sizeof name, "image@0x%x", list[i].address);
        const char* named = list[i].name != nullptr ? list[i].name : name;
        if (list[i].bytes == nullptr && list[i].length != 0) {
            throw OperationFailure{STATUS_USAGE, std::string(named) + ": no bytes given"};
        }
        static ImageError error;
        if (!addImageBytes(named, list[i].address, list[i].bytes, list[i].length, &error)) {
            throw OperationFailure{STATUS_USAGE, error.text};
        }
    }
}

extern "C" int orvan_read(orvan_cable* cable, uint32_t address, size_t length, uint8_t* destination,
                          orvan_progress progress, void* context) {
    if (!isOpenCable(cable)) {
        return refuse(ORVAN_INPUT, std::string("read: ") + NOT_OPEN);
    }
    if (address > FLASH_BYTES || length > FLASH_BYTES - address || (destination == nullptr && length != 0)) {
        return refuse(ORVAN_INPUT, "read: " + std::to_string(length) + " bytes from " + hexAddress(address) +
                                       " do not lie within the 128 KiB flash, or have no room");
    }
    cable->session.flashChanged = false;
    return runCall(progress, context, [&] {
        readWithProgress(cable->session, "read", address, static_cast<uint32_t>(length), destination);
    });
}

extern "C" int orvan_verify(orvan_cable* cable, const orvan_image* list, size_t count,
                            orvan_progress progress, void* context) {
    if (!isOpenCable(cable)) {
        return refuse(ORVAN_INPUT, std::string("verify: ") + NOT_OPEN);
    }
    cable->session.flashChanged = false;
    return runCall(progress, context, [&] {
        loadImages(list, count, IMAGES_TO_VERIFY);
        std::string firstError;
        for (uint32_t index = 0; index < imageCount; index++) {
            ImageCheck check = verifyImageOnFlash(cable->session, index);
            if (check.difference != check.address + check.length && firstError.empty()) {
                firstError = differenceText(index, "differs", check.difference);
            }
        }
        if (!firstError.empty()) {
            throw OperationFailure{STATUS_TARGET_DISAGREED, firstError};
        }
    });
}

extern "C" int orvan_erase(orvan_cable* cable, uint32_t first_sector, uint32_t count, orvan_progress progress,
                           void* context) {
    if (!isOpenCable(cable)) {
        return refuse(ORVAN_INPUT, std::string("erase: ") + NOT_OPEN);
    }
    if (first_sector >= SECTOR_COUNT || count == 0 || count > SECTOR_COUNT - first_sector) {
        return refuse(ORVAN_INPUT, "erase: " + std::to_string(count) + " sectors from sector " +
                                       std::to_string(first_sector) + " are not within sectors 0 to " +
                                       std::to_string(SECTOR_COUNT - 1));
    }
    cable->session.flashChanged = false;
    return runCall(progress, context, [&] { eraseAndCheck(&cable->session, first_sector, count); });
}

extern "C" int orvan_write(orvan_cable* cable, const orvan_image* list, size_t count, int mode,
                           orvan_progress progress, void* context) {
    if (!isOpenCable(cable)) {
        return refuse(ORVAN_INPUT, std::string("write: ") + NOT_OPEN);
    }
    if (mode != ORVAN_WRITE_DEFAULT && mode != ORVAN_WRITE_CHANGED && mode != ORVAN_WRITE_FULL) {
        return refuse(ORVAN_INPUT, "write: mode " + std::to_string(mode) + " is not a write mode");
    }
    cable->session.flashChanged = false;
    return runCall(progress, context, [&] {
        loadImages(list, count, IMAGES_TO_WRITE);
        for (uint32_t index = 0; index < imageCount; index++) {
            ImageWrite write = ImageWrite();
            writeImage(static_cast<WriteMode>(mode), &cable->session, index, &write);
        }
    });
}

// The sectors an image file's records touch, as runs of consecutive
// sectors: orvan writes each run's sectors and leaves the sectors between
// runs alone, so each run becomes an image of its own.
struct SectorRun {
    uint32_t first;
    uint32_t count;
};

static std::vector<SectorRun> sectorRuns(uint8_t mask) {
    std::vector<SectorRun> runs;
    for (uint32_t sector = 0; sector < SECTOR_COUNT; sector++) {
        if ((mask & (1u << sector)) == 0) {
            continue;
        }
        if (!runs.empty() && runs.back().first + runs.back().count == sector) {
            runs.back().count++;
        } else {
            runs.push_back({sector, 1});
        }
    }
    return runs;
}

// Places the argument's file alone in the image map.
static void placeFile(const char* argument) {
    resetImageMap();
    setImageMapPurpose(IMAGES_TO_WRITE);
    static ImageError error;
    if (!addImage(argument, &error)) {
        throw OperationFailure{STATUS_USAGE, error.text};
    }
}

// The run's bytes from the file's first defined byte in it to its last,
// 0xff between, with a copy of the argument as its name. The image map holds
// the file alone, so image 0 owns every defined byte.
static orvan_image copyRun(const char* argument, SectorRun run) {
    uint32_t end = (run.first + run.count) * SECTOR_SIZE;
    uint32_t first = run.first * SECTOR_SIZE;
    while (first < end && planOwner[first] != 1) {
        first++;
    }
    if (first == end) {
        first = run.first * SECTOR_SIZE;
    }
    uint32_t last = end;
    while (last > first && planOwner[last - 1] != 1) {
        last--;
    }
    // A raw file of 0 bytes defines none and still loads, as an empty image.
    size_t length = last - first;
    uint8_t* bytes = static_cast<uint8_t*>(malloc(length == 0 ? 1 : length));
    char* name = strdup(argument);
    if (bytes == nullptr || name == nullptr) {
        free(bytes);
        free(name);
        throw OperationFailure{STATUS_USAGE, std::string(argument) + ": out of memory"};
    }
    memcpy(bytes, planBytes + first, length);
    return orvan_image{first, bytes, length, name};
}

extern "C" int orvan_image_load(const char* argument, orvan_image* image) {
    if (argument == nullptr || image == nullptr) {
        return refuse(ORVAN_INPUT, "image: no file or no place for the image given");
    }
    *image = orvan_image{0, nullptr, 0, nullptr};
    return runCall(nullptr, nullptr, [&] {
        placeFile(argument);
        std::vector<SectorRun> runs = sectorRuns(images[0].sectorMask);
        if (runs.size() > 1) {
            uint32_t untouched = runs[0].first + runs[0].count;
            uint32_t lastUntouched = runs[1].first - 1;
            std::string sectors = untouched == lastUntouched ? "sector " + std::to_string(untouched)
                                                             : "sectors " + std::to_string(untouched) +
                                                                   " to " + std::to_string(lastUntouched);
            resetImageMap();
            throw OperationFailure{STATUS_USAGE, std::string(argument) + ": its records leave " + sectors +
                                                     " untouched between their sectors, which one image "
                                                     "would erase; load it with orvan_image_load_parts"};
        }
        *image = copyRun(argument, runs.empty() ? SectorRun{0, SECTOR_COUNT} : runs[0]);
        resetImageMap();
    });
}

extern "C" int orvan_image_load_parts(const char* argument, orvan_image** list, size_t* count) {
    if (argument == nullptr || list == nullptr || count == nullptr) {
        return refuse(ORVAN_INPUT, "image: no file or no place for the images given");
    }
    *list = nullptr;
    *count = 0;
    return runCall(nullptr, nullptr, [&] {
        placeFile(argument);
        std::vector<SectorRun> runs = sectorRuns(images[0].sectorMask);
        if (runs.empty()) {
            runs.push_back({0, SECTOR_COUNT});
        }
        orvan_image* parts = static_cast<orvan_image*>(calloc(runs.size(), sizeof(orvan_image)));
        if (parts == nullptr) {
            throw OperationFailure{STATUS_USAGE, std::string(argument) + ": out of memory"};
        }
        size_t made = 0;
        try {
            for (; made < runs.size(); made++) {
                parts[made] = copyRun(argument, runs[made]);
            }
        } catch (const OperationFailure&) {
            orvan_image_free_parts(parts, made);
            resetImageMap();
            throw;
        }
        resetImageMap();
        *list = parts;
        *count = made;
    });
}

extern "C" void orvan_image_free_parts(orvan_image* list, size_t count) {
    if (list == nullptr) {
        return;
    }
    for (size_t i = 0; i < count; i++) {
        orvan_image_free(&list[i]);
    }
    free(list);
}

extern "C" void orvan_image_free(orvan_image* image) {
    if (image == nullptr) {
        return;
    }
    free(const_cast<uint8_t*>(image->bytes));
    free(const_cast<char*>(image->name));
    *image = orvan_image{0, nullptr, 0, nullptr};
}

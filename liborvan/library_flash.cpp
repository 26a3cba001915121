// liborvan's flash calls: read, verify, erase, write, over the operations
// orvan's commands run (orvan/operations/), and the image files' loader.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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

extern "C" int orvan_image_load(const char* argument, orvan_image* image) {
    if (argument == nullptr || image == nullptr) {
        return refuse(ORVAN_INPUT, "image: no file or no place for the image given");
    }
    *image = orvan_image{0, nullptr, 0, nullptr};
    return runCall(nullptr, nullptr, [&] {
        resetImageMap();
        static ImageError error;
        if (!addImage(argument, &error)) {
            throw OperationFailure{STATUS_USAGE, error.text};
        }
        uint32_t address = 0;
        uint32_t length = 0;
        imageSpan(&images[0], &address, &length);
        uint8_t* bytes = static_cast<uint8_t*>(malloc(length));
        char* name = strdup(argument);
        if (bytes == nullptr || name == nullptr) {
            free(bytes);
            free(name);
            throw OperationFailure{STATUS_USAGE, std::string(argument) + ": out of memory"};
        }
        memcpy(bytes, planBytes + address, length);
        resetImageMap();
        *image = orvan_image{address, bytes, length, name};
    });
}

extern "C" void orvan_image_free(orvan_image* image) {
    if (image == nullptr) {
        return;
    }
    free(const_cast<uint8_t*>(image->bytes));
    free(const_cast<char*>(image->name));
    *image = orvan_image{0, nullptr, 0, nullptr};
}

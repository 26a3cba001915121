// An image's span and its comparison with the flash.
#include <algorithm>
#include <vector>

#include "core/flash/flash_operations.h"
#include "orvan/operations/flash_steps.h"
#include "orvan/operations/image_steps.h"

// The flash addresses the board's own bytes took, beside the images' plan.
static std::vector<uint32_t> boardAddresses;

void imageSpan(const ImageRecord* image, uint32_t* address, uint32_t* length) {
    if (image->rangeCount == 0) {
        *address = 0;
        *length = 0;
        return;
    }
    const ImageRange& first = imageRanges[image->rangeFirst];
    const ImageRange& last = imageRanges[image->rangeFirst + image->rangeCount - 1];
    *address = first.address;
    *length = last.address + last.length - first.address;
}

uint32_t firstDifference(uint32_t index, const uint8_t* bytes, uint32_t address, uint32_t length) {
    uint8_t owner = static_cast<uint8_t>(index + 1);
    for (uint32_t at = address; at < address + length; at++) {
        if (planOwner[at] == owner && bytes[at] != planBytes[at]) {
            return at;
        }
    }
    return address + length;
}

void clearBoardAddresses() {
    boardAddresses.clear();
}

void noteBoardAddress(uint32_t address) {
    boardAddresses.push_back(address);
}

void boardSpan(uint32_t index, uint32_t* address, uint32_t* length) {
    imageSpan(&images[index], address, length);
    uint32_t first = *length == 0 ? FLASH_BYTES : *address;
    uint32_t end = *length == 0 ? 0 : *address + *length;
    for (uint32_t at : boardAddresses) {
        if (planOwner[at] == index + 1) {
            first = std::min(first, at);
            end = std::max(end, at + 1);
        }
    }
    *address = end == 0 ? 0 : first;
    *length = end == 0 ? 0 : end - first;
}

std::string differenceText(uint32_t index, const char* how, uint32_t address) {
    return std::string(images[index].argument) + ": " + how + " at " + hexAddress(address) + ": flash " +
           hexByte(readBackBuffer[address]) + ", image " + hexByte(planBytes[address]);
}

ImageCheck verifyImageOnFlash(const CableSession& cable, uint32_t index) {
    ImageCheck check = ImageCheck();
    imageSpan(&images[index], &check.address, &check.length);
    readWithProgress(cable, "verify", check.address, check.length, readBackBuffer + check.address);
    check.difference = firstDifference(index, readBackBuffer, check.address, check.length);
    return check;
}

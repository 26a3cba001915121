#include "orvan/commands/images.h"

#include <algorithm>
#include <vector>

#include "core/text/number_text.h"
#include "orvan/commands/flash_preview.h"
#include "orvan/commands/orvan.h"
#include "orvan/operations/image_steps.h"

static const uint32_t ADDRESS_DIGITS = 8;

void loadImages(const Request& request) {
    resetImageMap();
    setImageMapPurpose(request.command == "verify" ? IMAGES_TO_VERIFY : IMAGES_TO_WRITE);
    // A worker reads the copies its parent made of the bytes it checked.
    if (!request.imageSources.empty() && request.imageSources.size() != request.images.size()) {
        throw CommandFailure{STATUS_USAGE,
                             "images: the worker was given " + std::to_string(request.imageSources.size()) +
                                 " image copies for " + std::to_string(request.images.size()) + " images"};
    }
    for (size_t i = 0; i < request.images.size(); i++) {
        static ImageError error;
        const char* source = request.imageSources.empty() ? nullptr : request.imageSources[i].c_str();
        if (!addImageFrom(request.images[i].c_str(), source, &error)) {
            throw CommandFailure{STATUS_USAGE, error.text};
        }
    }
    showImagePlaces(request);
}

static CommandFailure boardDataFailure(const std::string& item, const std::string& why) {
    return CommandFailure{STATUS_USAGE, "--board-data " + item + ": " + why};
}

static void placeBoardByte(const std::string& item, uint32_t address, uint8_t value) {
    if (address >= FLASH_BYTES) {
        throw boardDataFailure(item, "past the flash's end");
    }
    uint8_t owner = sectorOwner[address / SECTOR_SIZE];
    if (owner == NO_IMAGE) {
        throw boardDataFailure(item, hexAddress(address) + " is in a sector no image writes");
    }
    if (planOwner[address] != NO_IMAGE && planBytes[address] != ERASED_BYTE) {
        throw boardDataFailure(item, hexAddress(address) + " holds a byte of " +
                                         images[planOwner[address] - 1].argument);
    }
    planBytes[address] = value;
    planOwner[address] = owner;
    noteBoardAddress(address);
}

static void applyBoardItem(const std::string& item) {
    size_t colon = item.find(':');
    uint32_t address = 0;
    if (colon == std::string::npos || item.compare(0, 2, "0x") != 0 ||
        !readHexDigits(item.c_str() + 2, colon - 2, ADDRESS_DIGITS, &address) ||
        (item.size() - colon) % 2 != 1) {
        throw boardDataFailure(item, "not 0xADDRESS:HEXBYTES");
    }
    for (size_t at = colon + 1; at < item.size(); at += 2) {
        uint32_t value = 0;
        if (!readHexDigits(item.c_str() + at, 2, 2, &value)) {
            throw boardDataFailure(item, "not 0xADDRESS:HEXBYTES");
        }
        placeBoardByte(item, address + static_cast<uint32_t>((at - colon - 1) / 2),
                       static_cast<uint8_t>(value));
    }
}

void applyBoardData(const Request& request) {
    clearBoardAddresses();
    for (const std::string& item : request.boardData) {
        applyBoardItem(item);
    }
}

std::vector<LoggedFile> loadedImageFiles() {
    std::vector<LoggedFile> files;
    for (uint32_t index = 0; index < imageCount; index++) {
        files.push_back({images[index].fileName, sha256Text(images[index].sha256)});
    }
    return files;
}

const char* imageFormatName(ImageFormat format) {
    switch (format) {
    case IMAGE_FORMAT_INTEL_HEX:
        return "ihex";
    case IMAGE_FORMAT_SRECORD:
        return "srec";
    case IMAGE_FORMAT_RAW:
        break;
    }
    return "raw";
}

std::string sha256Text(const uint8_t* digest) {
    char text[SHA256_HEX_CHARS];
    sha256Hex(digest, text);
    return text;
}

nlohmann::ordered_json imageRecordJson(uint32_t index) {
    const ImageRecord& image = images[index];
    nlohmann::ordered_json ranges = nlohmann::ordered_json::array();
    for (uint32_t r = image.rangeFirst; r < image.rangeFirst + image.rangeCount; r++) {
        nlohmann::ordered_json range = nlohmann::ordered_json::object();
        putAddress(&range, "address", imageRanges[r].address);
        range["bytes"] = imageRanges[r].length;
        ranges.push_back(range);
    }
    nlohmann::ordered_json json = {{"file", image.fileName}, {"format", imageFormatName(image.format)}};
    json["sector"] = image.format == IMAGE_FORMAT_RAW ? nlohmann::ordered_json(image.startSector)
                                                      : nlohmann::ordered_json();
    json["bytes"] = image.definedBytes;
    json["ranges"] = ranges;
    json["sha256"] = sha256Text(image.sha256);
    // Where the image was placed: a raw image's first byte, a HEX or S-record file's base.
    if (image.format == IMAGE_FORMAT_RAW) {
        putAddress(&json, "address", image.startAddress);
    } else {
        putAddress(&json, "base", image.base);
    }
    json["result"] = "not reached";
    json["first_difference"] = nullptr;
    return json;
}

nlohmann::ordered_json notReachedImages() {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (uint32_t index = 0; index < imageCount; index++) {
        list.push_back(imageRecordJson(index));
    }
    return list;
}

void putFirstDifference(nlohmann::ordered_json* json, uint32_t address, uint8_t flash, uint8_t image) {
    nlohmann::ordered_json difference = nlohmann::ordered_json::object();
    putAddress(&difference, "address", address);
    difference["flash"] = flash;
    difference["image"] = image;
    (*json)["first_difference"] = difference;
}

// Enough digits to tell builds apart at a glance; --json gives them all.
static const size_t SHORT_SHA256_DIGITS = 16;

std::string shortSha256(uint32_t index) {
    return sha256Text(images[index].sha256).substr(0, SHORT_SHA256_DIGITS);
}

std::string sha256OfBytes(const uint8_t* bytes, uint32_t length) {
    uint8_t digest[SHA256_DIGEST_BYTES];
    sha256Of(bytes, length, digest);
    return sha256Text(digest);
}

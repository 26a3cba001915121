#include "orvan/commands/images.h"

#include "orvan/commands/orvan.h"

void loadImages() {
    resetImageMap();
    // A worker reads the copies its parent made of the bytes it checked.
    if (!options.imageSources.empty() && options.imageSources.size() != options.images.size()) {
        finish(STATUS_USAGE, "images: the worker was given " + std::to_string(options.imageSources.size()) +
                                 " image copies for " + std::to_string(options.images.size()) + " images");
    }
    for (size_t i = 0; i < options.images.size(); i++) {
        static ImageError error;
        const char* source = options.imageSources.empty() ? nullptr : options.imageSources[i].c_str();
        if (!addImageFrom(options.images[i].c_str(), source, &error)) {
            finish(STATUS_USAGE, error.text);
        }
    }
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

std::string sha256Text(const uint8_t* digest) {
    char text[SHA256_HEX_CHARS];
    sha256Hex(digest, text);
    return text;
}

nlohmann::ordered_json imageRecordJson(uint32_t index) {
    const ImageRecord& image = images[index];
    nlohmann::ordered_json ranges = nlohmann::ordered_json::array();
    for (uint32_t r = image.rangeFirst; r < image.rangeFirst + image.rangeCount; r++) {
        ranges.push_back({{"address", hexAddress(imageRanges[r].address)}, {"bytes", imageRanges[r].length}});
    }
    nlohmann::ordered_json json = {{"file", image.fileName}, {"format", imageFormatName(image.format)}};
    json["sector"] = image.format == IMAGE_FORMAT_RAW ? nlohmann::ordered_json(image.startSector)
                                                      : nlohmann::ordered_json();
    json["bytes"] = image.definedBytes;
    json["ranges"] = ranges;
    json["sha256"] = sha256Text(image.sha256);
    return json;
}

std::string sha256OfBytes(const uint8_t* bytes, uint32_t length) {
    uint8_t digest[SHA256_DIGEST_BYTES];
    sha256Of(bytes, length, digest);
    return sha256Text(digest);
}

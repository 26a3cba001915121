// IMAGE arguments: a file name and, after its last '@', where the bytes go.
#include <ctype.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "core/text/number_text.h"
#include "orvan/images/image_formats.h"
#include "orvan/images/image_map.h"

// A sector number needs at most a few digits; longer is garbage.
const size_t SECTOR_TEXT_CHARS = 16;
// An address is "0x" and at most 8 hex digits: any 32-bit address of a file
// linked elsewhere, and every address of the flash.
const uint32_t ADDRESS_HEX_DIGITS = 8;
static const char BASE_PREFIX[] = "base=";
// A sector number of this many or more is taken for an address typed in
// decimal rather than a sector miscounted by a few.
const uint32_t ADDRESS_LIKE_MIN_BYTES = 1024;

static bool endsWith(const char* name, const char* suffix) {
    size_t nameLength = strlen(name);
    size_t suffixLength = strlen(suffix);
    if (nameLength < suffixLength) {
        return false;
    }
    for (size_t i = 0; i < suffixLength; i++) {
        if (tolower(static_cast<unsigned char>(name[nameLength - suffixLength + i])) != suffix[i]) {
            return false;
        }
    }
    return true;
}

bool formatByExtension(const char* name, ImageFormat* format) {
    static const char* const HEX_EXTENSIONS[] = {".hex", ".ihex"};
    static const char* const SRECORD_EXTENSIONS[] = {".srec", ".s19", ".s28", ".s37", ".mot"};
    for (const char* extension : HEX_EXTENSIONS) {
        if (endsWith(name, extension)) {
            *format = IMAGE_FORMAT_INTEL_HEX;
            return true;
        }
    }
    for (const char* extension : SRECORD_EXTENSIONS) {
        if (endsWith(name, extension)) {
            *format = IMAGE_FORMAT_SRECORD;
            return true;
        }
    }
    return false;
}

const char* formatPhrase(ImageFormat format) {
    return format == IMAGE_FORMAT_INTEL_HEX ? "an Intel HEX" : "an S-record";
}

static bool startsWith(const char* text, const char* prefix) {
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

static bool hasHexPrefix(const char* text) {
    return text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

// "0x" and 1 to 8 hex digits.
static bool parseAddress(const char* text, uint32_t* address) {
    return hasHexPrefix(text) && readHexDigits(text + 2, strlen(text + 2), ADDRESS_HEX_DIGITS, address);
}

// Decimal digits only, few enough that the value cannot overflow; whether
// it names a sector is the caller's to judge, so that it can word the why.
static bool parseSector(const char* text, uint64_t* sector) {
    size_t length = strlen(text);
    if (length == 0 || length > SECTOR_TEXT_CHARS) {
        return false;
    }
    uint64_t value = 0;
    for (; *text != '\0'; text++) {
        if (!isdigit(static_cast<unsigned char>(*text))) {
            return false;
        }
        value = value * 10 + static_cast<uint32_t>(*text - '0');
    }
    *sector = value;
    return true;
}

static bool placeAtSector(const char* text, const char* spelling, ImageArgument* argument,
                          ImageError* error) {
    uint64_t sector = 0;
    if (!parseSector(spelling, &sector)) {
        setImageError(error, "%s: '%s' is not a sector number (0 to %u) or an address (0x0 to 0x%x)", text,
                      spelling, SECTOR_COUNT - 1, FLASH_BYTES - 1);
        return false;
    }
    if (sector >= SECTOR_COUNT) {
        char hint[IMAGE_NAME_CHARS + 64] = "";
        if (sector >= ADDRESS_LIKE_MIN_BYTES && sector < FLASH_BYTES) {
            snprintf(hint, sizeof hint, "; for an address write %s@0x%x", argument->fileName,
                     static_cast<uint32_t>(sector));
        }
        setImageError(error, "%s: sector %s is out of range (0 to %u)%s", text, spelling, SECTOR_COUNT - 1,
                      hint);
        return false;
    }
    argument->place = IMAGE_PLACE_SECTOR;
    argument->sector = static_cast<uint32_t>(sector);
    argument->startAddress = argument->sector * SECTOR_SIZE;
    return true;
}

static bool placeAtAddress(const char* text, const char* spelling, ImageArgument* argument,
                           ImageError* error) {
    uint32_t address = 0;
    if (!parseAddress(spelling, &address)) {
        setImageError(error, "%s: '%s' is not an address (0x and up to %u hex digits)", text, spelling,
                      ADDRESS_HEX_DIGITS);
        return false;
    }
    if (address >= FLASH_BYTES) {
        setImageError(error, "%s: address %s is past the end of the 128 KiB flash (0x0 to 0x%x)", text,
                      spelling, FLASH_BYTES - 1);
        return false;
    }
    argument->place = IMAGE_PLACE_ADDRESS;
    argument->startAddress = address;
    return true;
}

static bool placeWithBase(const char* text, const char* spelling, ImageArgument* argument,
                          ImageError* error) {
    const char* value = spelling + strlen(BASE_PREFIX);
    if (!parseAddress(value, &argument->base)) {
        setImageError(error, "%s: '%s' is not a base address (base=0x and up to %u hex digits)", text, value,
                      ADDRESS_HEX_DIGITS);
        return false;
    }
    argument->place = IMAGE_PLACE_BASE;
    return true;
}

// A raw placement on a name that promises records: the file carries its own addresses.
static bool checkRawPlacement(const char* text, const ImageArgument* argument, ImageError* error) {
    ImageFormat format;
    if (!formatByExtension(argument->fileName, &format)) {
        return true;
    }
    if (argument->place == IMAGE_PLACE_SECTOR) {
        setImageError(error, "%s: %s file carries its own addresses; give it without @SECTOR", text,
                      formatPhrase(format));
    } else {
        setImageError(error,
                      "%s: %s file carries its own addresses; give it without @ADDRESS, or with "
                      "@base=ADDRESS when it is linked at another address",
                      text, formatPhrase(format));
    }
    return false;
}

// The last '@' of the argument when what follows it is a placement: a
// sector, an address or a base, unless it reads as part of a path or a name
// ("build@2/fw.hex", "fw@v2.hex"). What begins with a digit or "base=" is a
// placement ("x.bin@1.5" is refused as one) unless a file has the whole name.
static const char* placementAt(const char* text) {
    const char* at = strrchr(text, '@');
    if (at == nullptr) {
        return nullptr;
    }
    struct stat status;
    bool placementLike = (isdigit(static_cast<unsigned char>(at[1])) || startsWith(at + 1, BASE_PREFIX)) &&
                         strpbrk(at + 1, "/\\") == nullptr && stat(text, &status) != 0;
    if (!placementLike && strpbrk(at + 1, "./\\") != nullptr) {
        return nullptr;
    }
    return at;
}

static bool parsePlacement(const char* text, const char* spelling, ImageArgument* argument,
                           ImageError* error) {
    if (startsWith(spelling, BASE_PREFIX)) {
        return placeWithBase(text, spelling, argument, error);
    }
    bool placed = hasHexPrefix(spelling) ? placeAtAddress(text, spelling, argument, error)
                                         : placeAtSector(text, spelling, argument, error);
    return placed && checkRawPlacement(text, argument, error);
}

bool parseImageArgument(const char* text, ImageArgument* argument, ImageError* error) {
    size_t length = strlen(text);
    if (length >= IMAGE_NAME_CHARS) {
        setImageError(error, "%.40s...: the argument is longer than %u characters", text,
                      IMAGE_NAME_CHARS - 1);
        return false;
    }
    const char* at = placementAt(text);
    size_t nameLength = at != nullptr ? static_cast<size_t>(at - text) : length;
    if (nameLength == 0) {
        setImageError(error, "%s: no file name%s", text, at != nullptr ? " before '@'" : "");
        return false;
    }
    memcpy(argument->fileName, text, nameLength);
    argument->fileName[nameLength] = '\0';
    argument->place = IMAGE_PLACE_OWN;
    argument->sector = 0;
    argument->startAddress = 0;
    argument->base = 0;
    return at == nullptr || parsePlacement(text, at + 1, argument, error);
}

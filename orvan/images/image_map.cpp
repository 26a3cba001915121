#include "orvan/images/image_map.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "core/platform/platform.h"
#include "orvan/images/image_formats.h"

#include <vector>

ImageRecord images[MAX_IMAGES];
uint32_t imageCount;
ImageRange imageRanges[MAX_IMAGE_RANGES];
uint32_t imageRangeCount;
uint8_t planBytes[FLASH_BYTES];
uint8_t planOwner[FLASH_BYTES];
uint8_t sectorOwner[SECTOR_COUNT];

// Each one byte longer than its bound, for the byte that tells a file that
// fits from one that does not.
static uint8_t rawFileBuffer[FLASH_BYTES + 1];
static uint8_t textFileBuffer[MAX_TEXT_IMAGE_BYTES + 1];
// Each image's file as it was read and hashed, for workers to take the very same bytes.
static std::vector<uint8_t> fileBytes[MAX_IMAGES];

void setImageError(ImageError* error, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(error->text, sizeof error->text, format, arguments);
    va_end(arguments);
}

static ImageMapPurpose mapPurpose = IMAGES_TO_WRITE;

void setImageMapPurpose(ImageMapPurpose purpose) {
    mapPurpose = purpose;
}

void resetImageMap() {
    imageCount = 0;
    imageRangeCount = 0;
    memset(planBytes, ERASED_BYTE, sizeof planBytes);
    memset(planOwner, NO_IMAGE, sizeof planOwner);
    memset(sectorOwner, NO_IMAGE, sizeof sectorOwner);
}

ReadFileResult readWholeFile(const char* path, uint8_t* destination, uint32_t capacity, uint32_t* length,
                             uint64_t* reportedBytes, const char* what, ImageError* error) {
    // Looked at before it is opened: fopen takes a folder on POSIX (whose
    // size then reads huge) and waits on a FIFO for a writer that may never come.
    struct stat status;
    if (stat(path, &status) == 0 && S_ISDIR(status.st_mode)) {
        setImageError(error, "%s: is a folder, not a file", what);
        return READ_FILE_FAILED;
    }
    if (stat(path, &status) == 0 && !S_ISREG(status.st_mode)) {
        setImageError(error, "%s: is not a regular file (a device, pipe or socket)", what);
        return READ_FILE_FAILED;
    }
    PlatformFile file;
    if (!platformOpenFile(path, &file)) {
        setImageError(error, "%s: cannot open: %s", what, platformLastErrorText());
        return READ_FILE_FAILED;
    }
    // The reported size only words the message about a file too large; the
    // bytes read decide, since /proc reports 0.
    *reportedBytes = 0;
    if (!platformFileSize(file, reportedBytes)) {
        *reportedBytes = 0;
    }
    uint32_t total = 0;
    bool read = platformReadFile(file, destination, capacity + 1, &total);
    if (!read) {
        setImageError(error, "%s: cannot read: %s", what, platformLastErrorText());
    }
    platformCloseFile(file);
    if (!read) {
        return READ_FILE_FAILED;
    }
    *length = total;
    return total > capacity ? READ_FILE_TOO_LARGE : READ_FILE_OK;
}

static void describeTooLarge(char* text, size_t size, uint64_t reportedBytes, uint32_t capacity) {
    if (reportedBytes > capacity) {
        // ftell's long bounds the size, and "%lu" is printed by every C library.
        snprintf(text, size, "%lu", static_cast<unsigned long>(reportedBytes));
    } else {
        snprintf(text, size, "more than %u", capacity);
    }
}

static uint8_t ownerOf(uint32_t index) {
    return static_cast<uint8_t>(index + 1);
}

static bool claimSector(uint32_t index, uint32_t sector, const char* what, uint32_t line, ImageError* error) {
    uint8_t owner = sectorOwner[sector];
    if (owner != NO_IMAGE && owner != ownerOf(index)) {
        char where[32] = "";
        if (line > 0) {
            snprintf(where, sizeof where, "line %u: ", line);
        }
        bool writing = mapPurpose == IMAGES_TO_WRITE;
        setImageError(error, "%s: %ssector %u is also %s by %s; two images cannot share a sector, since %s",
                      what, where, sector, writing ? "written" : "verified", images[owner - 1].argument,
                      writing ? "each image's sectors are erased whole"
                              : "each sector is compared with one image");
        return false;
    }
    sectorOwner[sector] = ownerOf(index);
    images[index].sectorMask = static_cast<uint8_t>(images[index].sectorMask | (1u << sector));
    return true;
}

// Names the flash a based image may reach, in the file's own addresses.
static void refuseOutsideFlash(uint32_t index, uint64_t address, const char* what, uint32_t line,
                               ImageError* error) {
    uint32_t base = images[index].base;
    if (address < base) {
        setImageError(error, "%s: line %u: address 0x%X is below the base 0x%X", what, line,
                      static_cast<uint32_t>(address), base);
    } else if (base == 0) {
        setImageError(error, "%s: line %u: address 0x%X is past the end of the 128 KiB flash (0x%X)", what,
                      line, static_cast<uint32_t>(address), FLASH_BYTES);
    } else {
        setImageError(error,
                      "%s: line %u: address 0x%llX is past the end of the 128 KiB flash at base 0x%X "
                      "(0x%X to 0x%llX)",
                      what, line, static_cast<unsigned long long>(address), base, base,
                      static_cast<unsigned long long>(base) + FLASH_BYTES - 1);
    }
}

bool placeImageByte(uint32_t index, uint64_t address, uint8_t value, const char* what, uint32_t line,
                    ImageError* error) {
    uint32_t base = images[index].base;
    if (address < base || address - base >= FLASH_BYTES) {
        refuseOutsideFlash(index, address, what, line, error);
        return false;
    }
    address -= base;
    uint32_t at = static_cast<uint32_t>(address);
    if (!claimSector(index, at / SECTOR_SIZE, what, line, error)) {
        return false;
    }
    if (planOwner[at] == ownerOf(index)) {
        setImageError(error, "%s: line %u: address 0x%05X is defined twice (an earlier record defines it)",
                      what, line, at);
        return false;
    }
    planBytes[at] = value;
    planOwner[at] = ownerOf(index);
    return true;
}

// Takes back what a refused image placed, so the map is as before it.
static void removeImage(uint32_t index) {
    for (uint32_t sector = 0; sector < SECTOR_COUNT; sector++) {
        if (sectorOwner[sector] != ownerOf(index)) {
            continue;
        }
        for (uint32_t at = sector * SECTOR_SIZE; at < (sector + 1) * SECTOR_SIZE; at++) {
            if (planOwner[at] == ownerOf(index)) {
                planBytes[at] = ERASED_BYTE;
                planOwner[at] = NO_IMAGE;
            }
        }
        sectorOwner[sector] = NO_IMAGE;
    }
}

static void refuseTooLarge(const ImageRecord* image, uint64_t reported, uint32_t capacity,
                           ImageError* error) {
    char size[48];
    describeTooLarge(size, sizeof size, reported, capacity);
    if (image->place == IMAGE_PLACE_SECTOR) {
        setImageError(error, "%s: %s bytes do not fit in sector %u (at most %u)", image->argument, size,
                      image->startSector, capacity);
    } else {
        setImageError(error, "%s: %s bytes do not fit at 0x%x (at most %u to the end of the flash)",
                      image->argument, size, image->startAddress, capacity);
    }
}

// Places a raw image's bytes from its start address.
static bool placeRawBytes(ImageRecord* image, uint32_t index, const uint8_t* bytes, uint32_t length,
                          ImageError* error) {
    uint32_t first = image->startAddress;
    for (uint32_t sector = first / SECTOR_SIZE; sector * SECTOR_SIZE < first + length; sector++) {
        if (!claimSector(index, sector, image->argument, 0, error)) {
            return false;
        }
    }
    memcpy(planBytes + first, bytes, length);
    memset(planOwner + first, ownerOf(index), length);
    image->fileBytes = length;
    sha256Of(bytes, length, image->sha256);
    fileBytes[index].assign(bytes, bytes + length);
    return true;
}

static bool loadRawImage(ImageRecord* image, uint32_t index, ImageError* error) {
    uint32_t capacity = FLASH_BYTES - image->startAddress;
    uint32_t length = 0;
    uint64_t reported = 0;
    ReadFileResult result =
        readWholeFile(image->sourcePath, rawFileBuffer, capacity, &length, &reported, image->argument, error);
    if (result == READ_FILE_TOO_LARGE) {
        refuseTooLarge(image, reported, capacity, error);
    }
    return result == READ_FILE_OK && placeRawBytes(image, index, rawFileBuffer, length, error);
}

static bool detectFormat(ImageRecord* image, const char* text, uint32_t length, ImageError* error) {
    if (detectTextFormat(text, length, &image->format)) {
        return true;
    }
    ImageFormat promised;
    if (formatByExtension(image->fileName, &promised)) {
        setImageError(error, "%s: not %s file: its first record does not begin with %s", image->argument,
                      formatPhrase(promised), promised == IMAGE_FORMAT_INTEL_HEX ? "':'" : "'S' and a digit");
    } else {
        setImageError(error, "%s: not an Intel HEX or S-record file; give a raw image as FILE@SECTOR",
                      image->argument);
    }
    return false;
}

static bool loadTextImage(ImageRecord* image, uint32_t index, ImageError* error) {
    uint32_t length = 0;
    uint64_t reported = 0;
    ReadFileResult result = readWholeFile(image->sourcePath, textFileBuffer, MAX_TEXT_IMAGE_BYTES, &length,
                                          &reported, image->argument, error);
    if (result == READ_FILE_TOO_LARGE) {
        char size[48];
        describeTooLarge(size, sizeof size, reported, MAX_TEXT_IMAGE_BYTES);
        setImageError(error, "%s: %s bytes, more than an image file may hold (%u)", image->argument, size,
                      MAX_TEXT_IMAGE_BYTES);
    }
    if (result != READ_FILE_OK) {
        return false;
    }
    const char* text = reinterpret_cast<const char*>(textFileBuffer);
    if (!detectFormat(image, text, length, error)) {
        return false;
    }
    bool parsed = image->format == IMAGE_FORMAT_INTEL_HEX
                      ? parseIntelHex(text, length, index, image->argument, error)
                      : parseSrecord(text, length, index, image->argument, error);
    image->fileBytes = length;
    sha256Of(textFileBuffer, length, image->sha256);
    fileBytes[index].assign(textFileBuffer, textFileBuffer + length);
    return parsed;
}

// Merges the image's defined bytes into ranges, in address order.
static void collectRanges(ImageRecord* image, uint32_t index) {
    image->rangeFirst = imageRangeCount;
    image->rangeCount = 0;
    image->definedBytes = 0;
    bool inRange = false;
    for (uint32_t at = 0; at < FLASH_BYTES; at++) {
        bool defined = planOwner[at] == ownerOf(index);
        if (defined && !inRange) {
            imageRanges[imageRangeCount++] = {at, 0};
            image->rangeCount++;
        }
        if (defined) {
            imageRanges[imageRangeCount - 1].length++;
            image->definedBytes++;
        }
        inRange = defined;
    }
}

bool addImage(const char* text, ImageError* error) {
    return addImageFrom(text, nullptr, error);
}

const uint8_t* imageFileBytes(uint32_t index, uint32_t* length) {
    *length = static_cast<uint32_t>(fileBytes[index].size());
    return fileBytes[index].data();
}

// The next image's record, named by text, or null when the map is full.
static ImageRecord* beginImage(const char* text, const char* fileName, ImageError* error) {
    if (imageCount == MAX_IMAGES) {
        setImageError(error, "%s: more than %u images; each needs a sector of its own", text, MAX_IMAGES);
        return nullptr;
    }
    ImageRecord* image = &images[imageCount];
    memset(image, 0, sizeof *image);
    snprintf(image->argument, sizeof image->argument, "%s", text);
    snprintf(image->fileName, sizeof image->fileName, "%s", fileName);
    image->format = IMAGE_FORMAT_RAW;
    return image;
}

// Keeps the image when it loaded and defines a byte; otherwise takes back
// what it placed.
static bool finishImage(const char* text, bool raw, bool loaded, ImageError* error) {
    uint32_t index = imageCount;
    ImageRecord* image = &images[index];
    if (loaded) {
        collectRanges(image, index);
    }
    // An image that writes nothing is surely not the one meant.
    if (loaded && image->definedBytes == 0) {
        setImageError(error, "%s: %s", text, raw ? "the file is empty" : "the file has no data records");
        imageRangeCount = image->rangeFirst;
        loaded = false;
    }
    if (!loaded) {
        removeImage(index);
        return false;
    }
    imageCount++;
    return true;
}

bool addImageFrom(const char* text, const char* sourcePath, ImageError* error) {
    ImageArgument argument;
    if (!parseImageArgument(text, &argument, error)) {
        return false;
    }
    ImageRecord* image = beginImage(text, argument.fileName, error);
    if (image == nullptr) {
        return false;
    }
    snprintf(image->sourcePath, sizeof image->sourcePath, "%s",
             sourcePath != nullptr ? sourcePath : argument.fileName);
    image->place = argument.place;
    image->startAddress = argument.startAddress;
    image->startSector = argument.startAddress / SECTOR_SIZE;
    image->base = argument.base;
    bool raw = argument.place == IMAGE_PLACE_SECTOR || argument.place == IMAGE_PLACE_ADDRESS;
    bool loaded = raw ? loadRawImage(image, imageCount, error) : loadTextImage(image, imageCount, error);
    return finishImage(text, raw, loaded, error);
}

bool addImageBytes(const char* name, uint32_t address, const uint8_t* bytes, size_t length,
                   ImageError* error) {
    if (strlen(name) >= IMAGE_NAME_CHARS) {
        setImageError(error, "%.40s...: the name is longer than %u characters", name, IMAGE_NAME_CHARS - 1);
        return false;
    }
    if (address >= FLASH_BYTES) {
        setImageError(error, "%s: address 0x%x is past the end of the 128 KiB flash (0x0 to 0x%x)", name,
                      address, FLASH_BYTES - 1);
        return false;
    }
    if (length == 0) {
        setImageError(error, "%s: no bytes", name);
        return false;
    }
    ImageRecord* image = beginImage(name, name, error);
    if (image == nullptr) {
        return false;
    }
    image->place = IMAGE_PLACE_ADDRESS;
    image->startAddress = address;
    image->startSector = address / SECTOR_SIZE;
    uint32_t capacity = FLASH_BYTES - address;
    bool loaded = length <= capacity;
    if (!loaded) {
        refuseTooLarge(image, length, capacity, error);
    }
    loaded = loaded && placeRawBytes(image, imageCount, bytes, static_cast<uint32_t>(length), error);
    return finishImage(name, true, loaded, error);
}

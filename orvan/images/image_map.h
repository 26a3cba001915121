// The flash-wide picture of a write: each image's record and the bytes the
// flash is to hold. Images are added one at a time; every check (the file is
// readable whole, fits, parses, shares no sector with another image) runs as
// it is added, before anything touches the target.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "core/flash/flash_geometry.h"
#include "orvan/images/sha256.h"

// Each image takes at least one whole sector of its own.
const uint32_t MAX_IMAGES = SECTOR_COUNT;
// Merged ranges are separated by at least one undefined byte.
const uint32_t MAX_IMAGE_RANGES = FLASH_BYTES / 2;
// Intel HEX spends 2 hex digits per byte and 11 more characters per record
// of up to 255 bytes; S-records about the same. Room for a full flash with
// short records, comments aside.
const uint32_t MAX_TEXT_IMAGE_BYTES = 4u * 1024 * 1024;
const uint32_t IMAGE_ERROR_CHARS = 512;
const uint32_t IMAGE_NAME_CHARS = 1024;
// planOwner and sectorOwner hold the image's index plus one; this is no image.
const uint8_t NO_IMAGE = 0;

// One line, "WHAT: WHY", that the command prints after "orvan: ".
struct ImageError {
    char text[IMAGE_ERROR_CHARS];
};

enum ImageFormat { IMAGE_FORMAT_RAW, IMAGE_FORMAT_INTEL_HEX, IMAGE_FORMAT_SRECORD };

// Where an IMAGE argument puts its file's bytes.
enum ImagePlace {
    IMAGE_PLACE_OWN,     // FILE: a HEX or S-record file at its own addresses
    IMAGE_PLACE_SECTOR,  // FILE@SECTOR: a raw image from a sector's first byte
    IMAGE_PLACE_ADDRESS, // FILE@0xADDRESS: a raw image from any byte
    IMAGE_PLACE_BASE,    // FILE@base=0xADDRESS: a HEX or S-record file linked at that base
};

// An IMAGE argument taken apart, before its file is read.
struct ImageArgument {
    char fileName[IMAGE_NAME_CHARS];
    ImagePlace place;
    // IMAGE_PLACE_SECTOR only.
    uint32_t sector;
    // Raw images: the flash address of the file's first byte.
    uint32_t startAddress;
    // IMAGE_PLACE_BASE: subtracted from the file's addresses; 0 otherwise.
    uint32_t base;
};

struct ImageRange {
    uint32_t address;
    uint32_t length;
};

struct ImageRecord {
    // The argument as given: the WHAT of every message about this image.
    char argument[IMAGE_NAME_CHARS];
    char fileName[IMAGE_NAME_CHARS];
    // Where its bytes are read: the file itself, or a copy of it.
    char sourcePath[IMAGE_NAME_CHARS];
    ImageFormat format;
    ImagePlace place;
    // Raw images only: the flash address of the file's first byte and its sector.
    uint32_t startAddress;
    uint32_t startSector;
    // HEX and S-record images: what is subtracted from the file's addresses.
    uint32_t base;
    // The file's size in bytes.
    uint32_t fileBytes;
    // The bytes the image defines: a raw image all its bytes, a HEX or
    // S-record image those its data records carry.
    uint32_t definedBytes;
    // Its defined addresses, merged and sorted: imageRanges[rangeFirst] on.
    uint32_t rangeFirst;
    uint32_t rangeCount;
    // The SHA-256 of the file's bytes as read, for every format: for a raw
    // image that is the SHA-256 of the bytes it writes, for a HEX or S-record
    // image the SHA-256 of its text.
    uint8_t sha256[SHA256_DIGEST_BYTES];
    // Bit s set: the image defines at least one byte of sector s.
    uint8_t sectorMask;
};

// Process-wide, allocated once.
extern ImageRecord images[MAX_IMAGES];
extern uint32_t imageCount;
extern ImageRange imageRanges[MAX_IMAGE_RANGES];
extern uint32_t imageRangeCount;
// What the flash is to hold where an image defines a byte, 0xff elsewhere.
extern uint8_t planBytes[FLASH_BYTES];
// Which image defines each byte, and which image owns each sector.
extern uint8_t planOwner[FLASH_BYTES];
extern uint8_t sectorOwner[SECTOR_COUNT];

// Empties the map: no images, planBytes all 0xff.
void resetImageMap();

// What the images are placed for, which the reason a shared sector is
// refused names: a write erases each image's sectors whole, a verify
// compares each sector with one image.
enum ImageMapPurpose { IMAGES_TO_WRITE, IMAGES_TO_VERIFY };
void setImageMapPurpose(ImageMapPurpose purpose);

// Takes an IMAGE argument apart at its last '@': FILE@SECTOR (decimal, 0 to
// 7), FILE@0xADDRESS (hex, within the flash), FILE@base=0xADDRESS or a plain
// FILE. Refuses an empty file name and a raw placement on an Intel HEX or
// S-record file name; the file's content decides the rest.
bool parseImageArgument(const char* text, ImageArgument* argument, ImageError* error);

// Parses the argument, reads and checks its file and places its bytes in the
// map as the next image. On failure the map is as it was before the call.
bool addImage(const char* text, ImageError* error);

// The same, with the file's bytes read from sourcePath (a copy of the file
// the argument names, which still names it in the record and the messages).
bool addImageFrom(const char* text, const char* sourcePath, ImageError* error);

// A raw image from memory: length bytes from address, named by name in the
// messages and the record. Checked and placed as a raw image file would be.
bool addImageBytes(const char* name, uint32_t address, const uint8_t* bytes, size_t length,
                   ImageError* error);

// The image's file as it was read and hashed.
const uint8_t* imageFileBytes(uint32_t index, uint32_t* length);

// Reads the whole file at path into destination, at most capacity bytes,
// whatever size the file reports (files of /proc report 0). what names the
// file in errors. The caller's buffer holds capacity + 1 bytes: one more
// byte is read to tell a file that fits from one that does not.
enum ReadFileResult { READ_FILE_OK, READ_FILE_TOO_LARGE, READ_FILE_FAILED };
ReadFileResult readWholeFile(const char* path, uint8_t* destination, uint32_t capacity, uint32_t* length,
                             uint64_t* reportedBytes, const char* what, ImageError* error);

// For the parsers: defines the byte at address (the file's, before the
// image's base is subtracted) as value for image index, refusing an address
// below the base or past the flash, a byte that the same file defined
// already, and a sector that another image owns. line is 1-based.
bool placeImageByte(uint32_t index, uint64_t address, uint8_t value, const char* what, uint32_t line,
                    ImageError* error);

void setImageError(ImageError* error, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The images of the map (orvan/images/image_map.h) against the flash:
// verified, or written in one of orvan's three modes. Each step reads into
// the read-back buffer at flash addresses and throws OperationFailure when
// the target or the cable does not go along.
#pragma once

#include <stdint.h>

#include <string>

#include "orvan/images/image_map.h"
#include "orvan/operations/cable_session.h"

// The span of flash from the image's first defined byte to its last.
void imageSpan(const ImageRecord* image, uint32_t* address, uint32_t* length);

// The first address in [address, address + length) where the image defines
// a byte that bytes (indexed by flash address) does not hold; length's end
// when there is none.
uint32_t firstDifference(uint32_t index, const uint8_t* bytes, uint32_t address, uint32_t length);

// The board's own bytes placed in the plan beside the images' (orvan's
// --board-data): noted so that a full write sends them with their image.
void clearBoardAddresses();
void noteBoardAddress(uint32_t address);

// The span of an image's sectors that the board's bytes take, widened by the
// image's own span: what a full write sends.
void boardSpan(uint32_t index, uint32_t* address, uint32_t* length);

// "app.hex: differs at 0x4000: flash 0x00, image 0x12", from the read-back
// buffer and the plan; how is "differs" or "differs after programming".
std::string differenceText(uint32_t index, const char* how, uint32_t address);

// An image compared with the flash over its span.
struct ImageCheck {
    uint32_t address; // the span read
    uint32_t length;
    uint32_t difference; // the first differing address; address + length when none
};
ImageCheck verifyImageOnFlash(const CableSession& cable, uint32_t index);

bool sectorInMask(uint8_t mask, uint32_t sector);
uint8_t sectorCount(uint8_t mask);

// default: only bytes other than 0xff are sent; changed: sectors that
// already hold the result are left alone; full: every byte of the image's
// span is sent, as the writer sends it.
enum WriteMode { WRITE_DEFAULT, WRITE_CHANGED, WRITE_FULL };

// What a write did to one image's sectors.
struct ImageWrite {
    uint8_t sectorsWritten;    // erased and blank-checked
    uint8_t sectorsProgrammed; // got at least one byte
    uint8_t sectorsSkipped;    // changed: already right, left alone
    uint32_t bytesProgrammed;
    uint32_t runs;
    bool mismatch; // the read-back differed at mismatchAt
    uint32_t mismatchAt;
};

// Each sector the image touches ends up holding its bytes and 0xff
// elsewhere; no other sector is touched.
void writeImage(WriteMode mode, CableSession* cable, uint32_t index, ImageWrite* write);

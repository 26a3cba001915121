// Intel HEX: ":LLAAAATT" then LL data bytes and a checksum byte that makes
// the record's bytes sum to zero.
#include "orvan/images/image_formats.h"

enum HexRecordType {
    HEX_DATA = 0x00,
    HEX_END_OF_FILE = 0x01,
    HEX_EXTENDED_SEGMENT_ADDRESS = 0x02,
    HEX_START_SEGMENT_ADDRESS = 0x03,
    HEX_EXTENDED_LINEAR_ADDRESS = 0x04,
    HEX_START_LINEAR_ADDRESS = 0x05,
};

// Count, two address bytes, type and checksum.
const uint32_t HEX_RECORD_OVERHEAD_BYTES = 5;
const uint32_t HEX_DATA_OFFSET = 4;

struct HexState {
    // The base that extended address records set.
    uint32_t base;
    // Under a segment base the 16-bit offset wraps within its 64 KiB segment;
    // under a linear base it carries into the next.
    bool segmented;
    bool ended;
};

// The data bytes each record type other than data must hold.
static bool expectedLength(uint8_t type, uint32_t* length) {
    switch (type) {
    case HEX_END_OF_FILE:
        *length = 0;
        return true;
    case HEX_EXTENDED_SEGMENT_ADDRESS:
    case HEX_EXTENDED_LINEAR_ADDRESS:
        *length = 2;
        return true;
    case HEX_START_SEGMENT_ADDRESS:
    case HEX_START_LINEAR_ADDRESS:
        *length = 4;
        return true;
    default:
        return false;
    }
}

static bool checkRecordShape(const uint8_t* bytes, uint32_t count, uint32_t lineNumber, const char* what,
                             ImageError* error) {
    if (count < HEX_RECORD_OVERHEAD_BYTES) {
        setImageError(error, "%s: line %u: %u bytes, fewer than the %u of the shortest record", what,
                      lineNumber, count, HEX_RECORD_OVERHEAD_BYTES);
        return false;
    }
    if (count != HEX_RECORD_OVERHEAD_BYTES + bytes[0]) {
        setImageError(error, "%s: line %u: the record's length byte says %u data bytes, the line holds %u",
                      what, lineNumber, bytes[0], count - HEX_RECORD_OVERHEAD_BYTES);
        return false;
    }
    uint8_t sum = 0;
    for (uint32_t i = 0; i < count; i++) {
        sum = static_cast<uint8_t>(sum + bytes[i]);
    }
    if (sum != 0) {
        uint8_t expected = static_cast<uint8_t>(bytes[count - 1] - sum);
        setImageError(error, "%s: line %u: bad checksum 0x%02X (the record's bytes need 0x%02X)", what,
                      lineNumber, bytes[count - 1], expected);
        return false;
    }
    uint8_t type = bytes[3];
    uint32_t length = 0;
    if (type != HEX_DATA && !expectedLength(type, &length)) {
        setImageError(error, "%s: line %u: unknown record type 0x%02X", what, lineNumber, type);
        return false;
    }
    if (type != HEX_DATA && bytes[0] != length) {
        setImageError(error, "%s: line %u: a type %02X record holds %u data bytes, not %u", what, lineNumber,
                      type, length, bytes[0]);
        return false;
    }
    return true;
}

static bool placeData(const HexState* state, const uint8_t* bytes, uint32_t index, const char* what,
                      uint32_t lineNumber, ImageError* error) {
    uint32_t offset = (uint32_t(bytes[1]) << 8) | bytes[2];
    for (uint32_t i = 0; i < bytes[0]; i++) {
        uint64_t address =
            state->segmented ? state->base + ((offset + i) & 0xffff) : uint64_t(state->base) + offset + i;
        if (!placeImageByte(index, address, bytes[HEX_DATA_OFFSET + i], what, lineNumber, error)) {
            return false;
        }
    }
    return true;
}

static bool applyRecord(HexState* state, const uint8_t* bytes, uint32_t index, const char* what,
                        uint32_t lineNumber, ImageError* error) {
    uint32_t value16 = (uint32_t(bytes[HEX_DATA_OFFSET]) << 8) | bytes[HEX_DATA_OFFSET + 1];
    switch (bytes[3]) {
    case HEX_DATA:
        return placeData(state, bytes, index, what, lineNumber, error);
    case HEX_END_OF_FILE:
        state->ended = true;
        return true;
    case HEX_EXTENDED_SEGMENT_ADDRESS:
        state->base = value16 << 4;
        state->segmented = true;
        return true;
    case HEX_EXTENDED_LINEAR_ADDRESS:
        state->base = value16 << 16;
        state->segmented = false;
        return true;
    default:
        // Start addresses concern a processor, not the flash.
        return true;
    }
}

bool parseIntelHex(const char* text, uint32_t length, uint32_t index, const char* what, ImageError* error) {
    HexState state = {0, false, false};
    TextCursor cursor;
    TextLine line;
    uint8_t bytes[MAX_RECORD_BYTES];
    startText(&cursor, text, length);
    while (nextLine(&cursor, &line)) {
        uint32_t lineNumber = cursor.lineNumber;
        if (line.length == 0) {
            continue;
        }
        if (state.ended) {
            setImageError(error, "%s: line %u: a record after the end-of-file record", what, lineNumber);
            return false;
        }
        if (line.start[0] != ':') {
            setImageError(error, "%s: line %u: a record must begin with ':'", what, lineNumber);
            return false;
        }
        uint32_t count = 0;
        if (!decodeRecordBytes(&line, 1, bytes, &count, lineNumber, what, error) ||
            !checkRecordShape(bytes, count, lineNumber, what, error) ||
            !applyRecord(&state, bytes, index, what, lineNumber, error)) {
            return false;
        }
    }
    if (!state.ended) {
        setImageError(error, "%s: line %u: the file ends without an end-of-file record (type 01)", what,
                      cursor.lineNumber);
        return false;
    }
    return true;
}

// S-records: "S" and a type digit, then a count byte, an address of 2, 3 or
// 4 bytes, data and a checksum byte that makes the bytes from the count on
// sum to 0xff.
#include "orvan/images/image_formats.h"

#include <ctype.h>

enum SrecordRole { SRECORD_HEADER, SRECORD_DATA, SRECORD_COUNT, SRECORD_TERMINATION };

struct SrecordType {
    SrecordRole role;
    uint32_t addressBytes;
};

// The role and address size of each type digit; S4 is reserved.
static bool describeType(char digit, SrecordType* type) {
    switch (digit) {
    case '0':
        *type = {SRECORD_HEADER, 2};
        return true;
    case '1':
    case '2':
    case '3':
        *type = {SRECORD_DATA, static_cast<uint32_t>(digit - '0') + 1};
        return true;
    case '5':
    case '6':
        *type = {SRECORD_COUNT, static_cast<uint32_t>(digit - '5') + 2};
        return true;
    case '7':
    case '8':
    case '9':
        *type = {SRECORD_TERMINATION, static_cast<uint32_t>('9' - digit) + 2};
        return true;
    default:
        return false;
    }
}

struct SrecordState {
    uint32_t dataRecords;
    bool ended;
    // The last record so far is a count record that matched: a file may end
    // there without a termination record, since a cut-off file would fail
    // the count.
    bool countedToEnd;
};

// The count byte and the checksum byte.
const uint32_t SRECORD_FRAME_BYTES = 2;

static bool checkRecordShape(const uint8_t* bytes, uint32_t count, const SrecordType* type,
                             uint32_t lineNumber, const char* what, ImageError* error) {
    if (count == 0) {
        setImageError(error, "%s: line %u: a record without a count byte", what, lineNumber);
        return false;
    }
    if (bytes[0] != count - 1) {
        setImageError(error, "%s: line %u: the record's count byte says %u bytes follow, the line holds %u",
                      what, lineNumber, bytes[0], count - 1);
        return false;
    }
    if (count < SRECORD_FRAME_BYTES + type->addressBytes) {
        setImageError(error, "%s: line %u: %u bytes, too few for a %u-byte address and a checksum", what,
                      lineNumber, count, type->addressBytes);
        return false;
    }
    uint8_t sum = 0;
    for (uint32_t i = 0; i < count; i++) {
        sum = static_cast<uint8_t>(sum + bytes[i]);
    }
    if (sum != 0xff) {
        uint8_t expected = static_cast<uint8_t>(bytes[count - 1] + 0xff - sum);
        setImageError(error, "%s: line %u: bad checksum 0x%02X (the record's bytes need 0x%02X)", what,
                      lineNumber, bytes[count - 1], expected);
        return false;
    }
    return true;
}

static uint32_t readAddress(const uint8_t* bytes, uint32_t addressBytes) {
    uint32_t address = 0;
    for (uint32_t i = 0; i < addressBytes; i++) {
        address = (address << 8) | bytes[1 + i];
    }
    return address;
}

static bool applyRecord(SrecordState* state, const SrecordType* type, const uint8_t* bytes, uint32_t count,
                        uint32_t index, uint32_t lineNumber, const char* what, ImageError* error) {
    uint32_t address = readAddress(bytes, type->addressBytes);
    uint32_t dataFirst = 1 + type->addressBytes;
    uint32_t dataBytes = count - SRECORD_FRAME_BYTES - type->addressBytes;
    state->countedToEnd = false;
    switch (type->role) {
    case SRECORD_DATA:
        state->dataRecords++;
        for (uint32_t i = 0; i < dataBytes; i++) {
            if (!placeImageByte(index, uint64_t(address) + i, bytes[dataFirst + i], what, lineNumber,
                                error)) {
                return false;
            }
        }
        return true;
    case SRECORD_COUNT:
        if (address != state->dataRecords) {
            setImageError(error, "%s: line %u: the count record says %u data records, %u come before it",
                          what, lineNumber, address, state->dataRecords);
            return false;
        }
        state->countedToEnd = true;
        return true;
    case SRECORD_TERMINATION:
        state->ended = true;
        return true;
    default:
        // The header carries a name for people, nothing for the flash.
        return true;
    }
}

static bool parseLine(SrecordState* state, const TextLine* line, uint32_t index, uint32_t lineNumber,
                      const char* what, ImageError* error) {
    if (line->start[0] != 'S') {
        setImageError(error, "%s: line %u: a record must begin with 'S'", what, lineNumber);
        return false;
    }
    SrecordType type;
    if (line->length < 2 || !describeType(line->start[1], &type)) {
        char digit = line->length < 2 ? ' ' : line->start[1];
        if (isprint(static_cast<unsigned char>(digit))) {
            setImageError(error, "%s: line %u: unknown record type S%c", what, lineNumber, digit);
        } else {
            setImageError(error, "%s: line %u: unknown record type", what, lineNumber);
        }
        return false;
    }
    uint8_t bytes[MAX_RECORD_BYTES];
    uint32_t count = 0;
    return decodeRecordBytes(line, 2, bytes, &count, lineNumber, what, error) &&
           checkRecordShape(bytes, count, &type, lineNumber, what, error) &&
           applyRecord(state, &type, bytes, count, index, lineNumber, what, error);
}

bool parseSrecord(const char* text, uint32_t length, uint32_t index, const char* what, ImageError* error) {
    SrecordState state = {0, false, false};
    TextCursor cursor;
    TextLine line;
    startText(&cursor, text, length);
    while (nextLine(&cursor, &line)) {
        if (line.length == 0) {
            continue;
        }
        if (state.ended) {
            setImageError(error, "%s: line %u: a record after the termination record", what,
                          cursor.lineNumber);
            return false;
        }
        if (!parseLine(&state, &line, index, cursor.lineNumber, what, error)) {
            return false;
        }
    }
    if (!state.ended && !state.countedToEnd) {
        setImageError(error,
                      "%s: line %u: the file ends without a termination record (S7, S8 or S9) or a "
                      "count record (S5 or S6) after its last data record",
                      what, cursor.lineNumber);
        return false;
    }
    return true;
}

#include <ctype.h>

#include "orvan/images/image_formats.h"

#include "core/text/number_text.h"

static bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

void startText(TextCursor* cursor, const char* text, uint32_t length) {
    cursor->text = text;
    cursor->length = length;
    cursor->offset = 0;
    cursor->lineNumber = 0;
}

bool nextLine(TextCursor* cursor, TextLine* line) {
    if (cursor->offset >= cursor->length) {
        return false;
    }
    const char* start = cursor->text + cursor->offset;
    uint32_t length = 0;
    while (cursor->offset + length < cursor->length && start[length] != '\n') {
        length++;
    }
    cursor->offset += length + 1;
    cursor->lineNumber++;
    while (length > 0 && isBlank(start[length - 1])) {
        length--;
    }
    uint32_t indent = 0;
    while (indent < length && isBlank(start[indent])) {
        indent++;
    }
    line->start = start + indent;
    line->length = length - indent;
    line->indent = indent;
    return true;
}

static void refuseCharacter(char c, uint32_t column, uint32_t lineNumber, const char* what,
                            ImageError* error) {
    unsigned char u = static_cast<unsigned char>(c);
    if (isprint(u)) {
        setImageError(error, "%s: line %u: '%c' at column %u is not a hex digit", what, lineNumber, c,
                      column);
    } else {
        setImageError(error, "%s: line %u: byte 0x%02x at column %u is not a hex digit", what, lineNumber, u,
                      column);
    }
}

bool decodeRecordBytes(const TextLine* line, uint32_t first, uint8_t* bytes, uint32_t* count,
                       uint32_t lineNumber, const char* what, ImageError* error) {
    for (uint32_t i = first; i < line->length; i++) {
        if (hexDigitValue(line->start[i]) < 0) {
            refuseCharacter(line->start[i], line->indent + i + 1, lineNumber, what, error);
            return false;
        }
    }
    uint32_t digits = line->length - first;
    if (digits % 2 != 0) {
        setImageError(error, "%s: line %u: an odd number of hex digits (%u)", what, lineNumber, digits);
        return false;
    }
    if (digits / 2 > MAX_RECORD_BYTES) {
        setImageError(error, "%s: line %u: %u bytes, more than any record holds (%u)", what, lineNumber,
                      digits / 2, MAX_RECORD_BYTES);
        return false;
    }
    for (uint32_t i = 0; i < digits / 2; i++) {
        const char* pair = line->start + first + 2 * i;
        bytes[i] = static_cast<uint8_t>(hexDigitValue(pair[0]) * 16 + hexDigitValue(pair[1]));
    }
    *count = digits / 2;
    return true;
}

bool detectTextFormat(const char* text, uint32_t length, ImageFormat* format) {
    uint32_t i = 0;
    while (i < length && (isBlank(text[i]) || text[i] == '\n')) {
        i++;
    }
    if (i < length && text[i] == ':') {
        *format = IMAGE_FORMAT_INTEL_HEX;
        return true;
    }
    if (i + 1 < length && text[i] == 'S' && isdigit(static_cast<unsigned char>(text[i + 1]))) {
        *format = IMAGE_FORMAT_SRECORD;
        return true;
    }
    return false;
}

// Intel HEX and S-record text, parsed record by record into the image map.
// Both take the file's whole text and the index of the image it becomes;
// every error names the file (what) and the 1-based line.
#pragma once

#include <stdint.h>

#include "orvan/images/image_map.h"

// The most bytes one record of either format holds: an Intel HEX record's
// count, address, type and checksum around up to 255 data bytes.
const uint32_t MAX_RECORD_BYTES = 5 + 255;

bool parseIntelHex(const char* text, uint32_t length, uint32_t index, const char* what, ImageError* error);
bool parseSrecord(const char* text, uint32_t length, uint32_t index, const char* what, ImageError* error);

// The format the text carries, judged by its first non-blank character: ':'
// is Intel HEX, 'S' and a digit an S-record; false for anything else.
bool detectTextFormat(const char* text, uint32_t length, ImageFormat* format);

// The format a file's name promises, if any (".hex", ".s19", ...).
bool formatByExtension(const char* name, ImageFormat* format);
// "an Intel HEX" or "an S-record", for the messages.
const char* formatPhrase(ImageFormat format);

// Shared by both parsers: the text split into lines without their line ends
// (LF or CRLF) and surrounding blanks.
struct TextCursor {
    const char* text;
    uint32_t length;
    uint32_t offset;
    uint32_t lineNumber;
};
// A line without its leading blanks; indent counts them, for columns.
struct TextLine {
    const char* start;
    uint32_t length;
    uint32_t indent;
};
void startText(TextCursor* cursor, const char* text, uint32_t length);
bool nextLine(TextCursor* cursor, TextLine* line);

// Decodes the hex digits of line from column first on into bytes; refuses
// a character that is not a hex digit and an odd count of digits.
bool decodeRecordBytes(const TextLine* line, uint32_t first, uint8_t* bytes, uint32_t* count,
                       uint32_t lineNumber, const char* what, ImageError* error);

#include "core/text/number_text.h"

#include <string.h>

static const uint64_t UINT32_LIMIT = 0xFFFFFFFFull;

static bool isSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

static int digitValue(char c, uint32_t base) {
    int value = -1;
    if (c >= '0' && c <= '9') {
        value = c - '0';
    } else if (c >= 'a' && c <= 'z') {
        value = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'Z') {
        value = c - 'A' + 10;
    }
    return value >= 0 && static_cast<uint32_t>(value) < base ? value : -1;
}

// The 32-bit unsigned conversion of 32-bit Windows, whatever the host's width:
// a value beyond 32 bits saturates (also with a minus sign), otherwise a minus
// sign negates modulo 2^32.
static uint32_t convertUnsigned32(const char* text, uint32_t base) {
    while (isSpace(*text)) {
        text++;
    }
    bool negative = *text == '-';
    if (*text == '-' || *text == '+') {
        text++;
    }
    if (base == 16 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') && digitValue(text[2], 16) >= 0) {
        text += 2;
    }
    uint64_t value = 0;
    bool overflow = false;
    for (int digit = digitValue(*text, base); digit >= 0; digit = digitValue(*++text, base)) {
        value = value * base + static_cast<uint64_t>(digit);
        if (value > UINT32_LIMIT) {
            overflow = true;
            value = UINT32_LIMIT;
        }
    }
    if (overflow) {
        return static_cast<uint32_t>(UINT32_LIMIT);
    }
    uint32_t result = static_cast<uint32_t>(value);
    return negative ? 0u - result : result;
}

bool readNumber(const char* text, uint32_t* value) {
    if (strcmp(text, "0") == 0 || strcmp(text, "0x0") == 0) {
        *value = 0;
        return true;
    }
    *value = convertUnsigned32(text, 10);
    if (*value != 0) {
        return true;
    }
    *value = convertUnsigned32(text, 16);
    return *value != 0;
}

int hexDigitValue(char c) {
    return digitValue(c, 16);
}

bool readHexDigits(const char* text, size_t length, uint32_t maxDigits, uint32_t* value) {
    const uint32_t MOST_DIGITS = 8; // 32 bits
    if (length == 0 || length > maxDigits || length > MOST_DIGITS) {
        return false;
    }
    uint32_t result = 0;
    for (size_t i = 0; i < length; i++) {
        int digit = hexDigitValue(text[i]);
        if (digit < 0) {
            return false;
        }
        result = result << 4 | static_cast<uint32_t>(digit);
    }
    *value = result;
    return true;
}

// A second, deliberately plain reading of the number rule, for the fuzz
// targets to hold the program's reading against. It works on the whole digit
// run at once: the count of significant digits decides overflow wherever it
// can, and only runs short enough to matter are evaluated, in 128-bit
// arithmetic.
#pragma once

#include <stdint.h>

#include <string>

struct NumberReading {
    bool ok;
    uint32_t value;
};

const unsigned __int128 MODEL_SPAN_32 = static_cast<unsigned __int128>(1) << 32;
const uint32_t MODEL_SATURATED = 0xFFFFFFFFu;

inline int modelDigit(char c, int base) {
    const char* const DIGITS = "0123456789abcdef";
    char lower = c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c;
    for (int i = 0; i < base; i++) {
        if (DIGITS[i] == lower) {
            return i;
        }
    }
    return -1;
}

inline uint32_t modelConvert(const std::string& text, int base) {
    size_t at = text.find_first_not_of(" \t\n\v\f\r");
    if (at == std::string::npos) {
        return 0;
    }
    bool minus = text[at] == '-';
    if (text[at] == '-' || text[at] == '+') {
        at++;
    }
    // A bare "0x" reads as 0 whether or not the prefix is taken.
    if (base == 16 && (text.compare(at, 2, "0x") == 0 || text.compare(at, 2, "0X") == 0)) {
        at += 2;
    }
    size_t end = at;
    while (end < text.size() && modelDigit(text[end], base) >= 0) {
        end++;
    }
    size_t first = text.find_first_not_of('0', at);
    if (first == std::string::npos || first > end) {
        first = end;
    }
    // 10 decimal or 8 hexadecimal digits always fit in 36 bits; more never fit in 32.
    const size_t LONGEST_RUN = base == 10 ? 10 : 8;
    if (end - first > LONGEST_RUN) {
        return MODEL_SATURATED;
    }
    unsigned __int128 magnitude = 0;
    for (size_t i = first; i < end; i++) {
        magnitude =
            magnitude * static_cast<unsigned>(base) + static_cast<unsigned>(modelDigit(text[i], base));
    }
    if (magnitude > MODEL_SATURATED) {
        return MODEL_SATURATED;
    }
    if (minus) {
        magnitude = (MODEL_SPAN_32 - magnitude) % MODEL_SPAN_32;
    }
    return static_cast<uint32_t>(magnitude);
}

inline NumberReading modelParseNumber(const std::string& text) {
    if (text == "0" || text == "0x0") {
        return {true, 0};
    }
    for (int base : {10, 16}) {
        uint32_t value = modelConvert(text, base);
        if (value != 0) {
            return {true, value};
        }
    }
    return {false, 0};
}

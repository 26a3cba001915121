// The recipe's [serial] and [mac] sections: where each board's number goes,
// how it is spelled, and the range it is drawn from.
#include <ctype.h>
#include <stdint.h>
#include <string.h>

#include "core/text/number_text.h"
#include "orvan/recipe/recipe_internal.h"

// The most characters a number's conversion may be widened to: a 64-bit
// number has at most 20 decimal digits.
const uint32_t MAX_PATTERN_WIDTH = 20;
static const char PATTERN_CONVERSIONS[] = "udxX";

static std::string numberText(uint64_t number, char conversion) {
    const char* digits = conversion == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
    uint64_t radix = conversion == 'x' || conversion == 'X' ? 16 : 10;
    std::string text;
    do {
        text.insert(text.begin(), digits[number % radix]);
        number /= radix;
    } while (number > 0);
    return text;
}

std::string renderSerialPattern(const SerialPattern& pattern, uint64_t number) {
    std::string text = numberText(number, pattern.conversion);
    if (text.size() < pattern.width) {
        text.insert(0, pattern.width - text.size(), pattern.zeroPadded ? '0' : ' ');
    }
    return pattern.before + text + pattern.after;
}

// The conversion that starts at text[at], the '%' itself; returns where it ends.
static bool parseConversion(const std::string& text, size_t* at, SerialPattern* pattern, std::string* why) {
    size_t end = *at + 1;
    pattern->zeroPadded = end < text.size() && text[end] == '0';
    end += pattern->zeroPadded ? 1 : 0;
    uint32_t width = 0;
    for (; end < text.size() && isdigit(static_cast<unsigned char>(text[end])) && width <= MAX_PATTERN_WIDTH;
         end++) {
        width = width * 10 + static_cast<uint32_t>(text[end] - '0');
    }
    if (width > MAX_PATTERN_WIDTH) {
        *why = "the width of its conversion is more than " + std::to_string(MAX_PATTERN_WIDTH);
        return false;
    }
    if (end >= text.size() || strchr(PATTERN_CONVERSIONS, text[end]) == nullptr) {
        *why = "'" + text.substr(*at, end + 1 - *at) +
               "' is not a conversion %u, %d, %x or %X (with an optional 0 flag and width)";
        return false;
    }
    pattern->width = width;
    pattern->conversion = text[end];
    *at = end;
    return true;
}

bool parseSerialPattern(const std::string& text, SerialPattern* pattern, std::string* why) {
    std::string literal;
    bool converted = false;
    for (size_t at = 0; at < text.size(); at++) {
        if (text[at] != '%') {
            literal += text[at];
        } else if (at + 1 < text.size() && text[at + 1] == '%') {
            literal += '%';
            at++;
        } else if (converted) {
            *why = "more than one conversion; a literal % is written %%";
            return false;
        } else if (!parseConversion(text, &at, pattern, why)) {
            return false;
        } else {
            pattern->before = literal;
            literal.clear();
            converted = true;
        }
    }
    if (!converted) {
        *why = "no conversion (%u, %d, %x or %X) for the number";
    }
    pattern->after = literal;
    return converted;
}

bool parseMac(const std::string& text, uint64_t* mac) {
    const size_t MAC_TEXT_CHARS = 3 * MAC_BYTES - 1;
    if (text.size() != MAC_TEXT_CHARS) {
        return false;
    }
    uint64_t value = 0;
    for (size_t i = 0; i < MAC_TEXT_CHARS; i += 3) {
        uint32_t byte = 0;
        bool separated = i + 2 == MAC_TEXT_CHARS || text[i + 2] == ':';
        if (!separated || !readHexDigits(text.data() + i, 2, 2, &byte)) {
            return false;
        }
        value = value << 8 | byte;
    }
    *mac = value;
    return true;
}

void readPool(ProblemList* list, const toml::table& table, const char* where, const std::string& fallback,
              ValueRange* range) {
    range->pool = fallback;
    if (readText(list, table, where, "pool", false, &range->pool) && range->pool.empty()) {
        addProblem(list, lineOfKey(table, "pool"), std::string(where) + " pool: empty");
    }
}

static bool checkOrder(ProblemList* list, const toml::table& table, const char* where,
                       const ValueRange& range, const std::string& firstText, const std::string& lastText) {
    if (range.first > range.last) {
        addProblem(list, lineOfKey(table, "first"),
                   std::string(where) + ": first " + firstText + " is greater than last " + lastText);
        return false;
    }
    return true;
}

static bool readSerialRange(ProblemList* list, const toml::table& table, RecipeSerial* serial) {
    const char* where = "[serial]";
    int64_t first = 0;
    int64_t last = 0;
    bool ranged = readInteger(list, table, where, "first", true, 0, INT64_MAX, &first);
    ranged = readInteger(list, table, where, "last", true, 0, INT64_MAX, &last) && ranged;
    serial->range.first = static_cast<uint64_t>(first);
    serial->range.last = static_cast<uint64_t>(last);
    return ranged &&
           checkOrder(list, table, where, serial->range, std::to_string(first), std::to_string(last));
}

// The bytes the serial takes: 4 for a number, the text of last (the
// longest, since a number's text never shrinks as it grows) for a text.
static bool serialLength(ProblemList* list, const toml::table& table, RecipeSerial* serial,
                         uint32_t* length) {
    const char* where = "[serial]";
    bool text = serial->format == VALUE_TEXT;
    bool patterned = readText(list, table, where, "pattern", text, &serial->pattern);
    if (!text) {
        if (patterned) {
            addProblem(list, lineOfKey(table, "pattern"), "[serial] pattern: only for format = \"text\"");
        }
        if (serial->range.last > MAX_U32_VALUE) {
            addProblem(list, lineOfKey(table, "last"),
                       "[serial] last: " + std::to_string(serial->range.last) +
                           " does not fit in 4 bytes (at most 4294967295)");
            return false;
        }
        *length = U32_VALUE_BYTES;
        return !patterned;
    }
    SerialPattern pattern;
    std::string why;
    if (!patterned) {
        return false;
    }
    if (!parseSerialPattern(serial->pattern, &pattern, &why)) {
        addProblem(list, lineOfKey(table, "pattern"), "[serial] pattern '" + serial->pattern + "': " + why);
        return false;
    }
    *length = static_cast<uint32_t>(renderSerialPattern(pattern, serial->range.last).size());
    return true;
}

void readSerialSection(ProblemList* list, const toml::table& top, RecipeSerial* serial,
                       std::vector<BoardField>* fields) {
    const toml::table* table = optionalTable(list, top, "serial");
    serial->given = table != nullptr;
    if (table == nullptr) {
        return;
    }
    const char* where = "[serial]";
    refuseUnknownKeys(list, *table, where, {"address", "format", "pattern", "first", "last", "pool"});
    bool placed = readAddress(list, *table, where, true, &serial->address);
    bool formatted = readValueFormat(list, *table, where, &serial->format);
    bool ranged = readSerialRange(list, *table, serial);
    readPool(list, *table, where, "serial", &serial->range);
    uint32_t length = 0;
    if (formatted && ranged && serialLength(list, *table, serial, &length) && placed) {
        fields->push_back({"serial", serial->address, length, lineOfKey(*table, "address")});
    }
}

static bool readMacText(ProblemList* list, const toml::table& table, const char* key, uint64_t* mac) {
    std::string text;
    if (!readText(list, table, "[mac]", key, true, &text)) {
        return false;
    }
    if (!parseMac(text, mac)) {
        addProblem(list, lineOfKey(table, key),
                   std::string("[mac] ") + key + ": '" + text +
                       "' is not a MAC address as 02:00:00:00:00:00");
        return false;
    }
    return true;
}

void readMacSection(ProblemList* list, const toml::table& top, RecipeMac* mac,
                    std::vector<BoardField>* fields) {
    const toml::table* table = optionalTable(list, top, "mac");
    mac->given = table != nullptr;
    if (table == nullptr) {
        return;
    }
    const char* where = "[mac]";
    refuseUnknownKeys(list, *table, where, {"address", "first", "last", "pool"});
    bool placed = readAddress(list, *table, where, true, &mac->address);
    bool ranged = readMacText(list, *table, "first", &mac->range.first);
    ranged = readMacText(list, *table, "last", &mac->range.last) && ranged;
    readPool(list, *table, where, "mac", &mac->range);
    if (ranged &&
        checkOrder(list, *table, where, mac->range, table->get("first")->as_string()->get(),
                   table->get("last")->as_string()->get()) &&
        placed) {
        fields->push_back({"mac", mac->address, MAC_BYTES, lineOfKey(*table, "address")});
    }
}

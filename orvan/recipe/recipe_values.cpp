// Each board's own values: the ranges they are drawn from, their texts as
// recorded, and the bytes they put in the flash.
#include <stdio.h>

#include "core/flash/flash_geometry.h"
#include "orvan/recipe/recipe_internal.h"

std::vector<ValueRange> recipeRanges(const Recipe& recipe) {
    std::vector<ValueRange> ranges;
    if (recipe.serial.given) {
        ranges.push_back(recipe.serial.range);
    }
    if (recipe.mac.given) {
        ranges.push_back(recipe.mac.range);
    }
    if (recipe.table.given) {
        ranges.push_back(recipe.table.range);
    }
    return ranges;
}

// The number drawn for the next range, in the order of recipeRanges.
static uint64_t take(const std::vector<uint64_t>& numbers, size_t* next) {
    return *next < numbers.size() ? numbers[(*next)++] : 0;
}

BoardValues boardValuesFrom(const Recipe& recipe, const std::vector<uint64_t>& numbers) {
    BoardValues values = {0, 0, 0};
    size_t next = 0;
    if (recipe.serial.given) {
        values.serial = take(numbers, &next);
    }
    if (recipe.mac.given) {
        values.mac = take(numbers, &next);
    }
    if (recipe.table.given) {
        values.tableRow = take(numbers, &next);
    }
    return values;
}

std::vector<std::string> valueTexts(const Recipe& recipe, const std::vector<uint64_t>& numbers) {
    BoardValues values = boardValuesFrom(recipe, numbers);
    std::vector<std::string> texts;
    if (recipe.serial.given) {
        texts.push_back(serialText(recipe.serial, values.serial));
    }
    if (recipe.mac.given) {
        texts.push_back(macText(values.mac));
    }
    if (recipe.table.given) {
        texts.push_back(tableKey(recipe.table, values.tableRow));
    }
    return texts;
}

std::string serialText(const RecipeSerial& serial, uint64_t number) {
    SerialPattern pattern;
    std::string why;
    if (serial.format != VALUE_TEXT || !parseSerialPattern(serial.pattern, &pattern, &why)) {
        return std::to_string(number);
    }
    return renderSerialPattern(pattern, number);
}

std::string macText(uint64_t mac) {
    std::string text;
    for (uint32_t i = MAC_BYTES; i > 0; i--) {
        char pair[4];
        snprintf(pair, sizeof pair, i == MAC_BYTES ? "%02x" : ":%02x",
                 static_cast<unsigned>((mac >> (BITS_PER_BYTE * (i - 1))) & 0xff));
        text += pair;
    }
    return text;
}

static const std::string* tableCell(const RecipeTable& table, uint64_t row, const std::string& column) {
    int index = tableColumnIndex(table, column);
    if (row >= table.rows.size() || index < 0 || static_cast<size_t>(index) >= table.rows[row].size()) {
        return nullptr;
    }
    return &table.rows[row][static_cast<size_t>(index)];
}

std::string tableKey(const RecipeTable& table, uint64_t row) {
    const std::string* key = tableCell(table, row, table.key);
    return key != nullptr ? *key : "";
}

// The number's count bytes, most significant first, or least when littleEndian.
static std::vector<uint8_t> numberBytes(uint64_t number, uint32_t count, bool littleEndian) {
    std::vector<uint8_t> bytes(count);
    for (uint32_t i = 0; i < count; i++) {
        uint8_t byte = static_cast<uint8_t>(number >> (BITS_PER_BYTE * i));
        bytes[littleEndian ? i : count - 1 - i] = byte;
    }
    return bytes;
}

// A text's characters, then 0xff (the erased flash) up to length.
static std::vector<uint8_t> paddedText(const std::string& text, size_t length) {
    std::vector<uint8_t> bytes(text.begin(), text.end());
    bytes.resize(length > bytes.size() ? length : bytes.size(), ERASED_BYTE);
    return bytes;
}

static BoardPatch serialPatch(const RecipeSerial& serial, uint64_t number) {
    if (serial.format != VALUE_TEXT) {
        return {serial.address, numberBytes(number, U32_VALUE_BYTES, serial.format == VALUE_U32LE)};
    }
    size_t length = serialText(serial, serial.range.last).size();
    return {serial.address, paddedText(serialText(serial, number), length)};
}

static void addTablePatches(const RecipeTable& table, uint64_t row, std::vector<BoardPatch>* patches) {
    for (const TableColumn& column : table.columns) {
        const std::string* cell = tableCell(table, row, column.column);
        if (cell == nullptr) {
            continue;
        }
        uint32_t number = 0;
        if (column.format == VALUE_TEXT) {
            patches->push_back({column.address, paddedText(*cell, column.length)});
        } else if (parseTableNumber(*cell, &number)) {
            patches->push_back(
                {column.address, numberBytes(number, U32_VALUE_BYTES, column.format == VALUE_U32LE)});
        }
    }
}

std::vector<BoardPatch> boardPatches(const Recipe& recipe, const BoardValues& values) {
    std::vector<BoardPatch> patches;
    if (recipe.serial.given) {
        patches.push_back(serialPatch(recipe.serial, values.serial));
    }
    if (recipe.mac.given) {
        patches.push_back({recipe.mac.address, numberBytes(values.mac, MAC_BYTES, false)});
    }
    if (recipe.table.given) {
        addTablePatches(recipe.table, values.tableRow, &patches);
    }
    return patches;
}

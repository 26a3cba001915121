// The bytes and texts of each board's values, in every format.
#include <gtest/gtest.h>

#include "orvan/recipe/recipe.h"

namespace {

typedef std::vector<uint8_t> Bytes;

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Bytes FF2 = {0xff, 0xff};

TEST(RecipeValues, SerialTextsAndBytes) {
    const struct {
        ValueFormat format;
        const char* pattern;
        uint64_t last;
        uint64_t number;
        const char* text;
        Bytes bytes;
    } CASES[] = {
        {VALUE_TEXT, "OR-%06u", 999999, 1000, "OR-001000", bytesOf("OR-001000")},
        // Room for the longest, last; a shorter text leaves the rest erased.
        {VALUE_TEXT, "%u", 99999, 420, "420", bytesOf("420") + FF2},
        {VALUE_TEXT, "<%x>", 0xfff, 0xab, "<ab>", bytesOf("<ab>") + Bytes{0xff}},
        {VALUE_TEXT, "%X", 0xff, 0xab, "AB", bytesOf("AB")},
        {VALUE_TEXT, "%5d", 9, 42, "   42", bytesOf("   42")},
        {VALUE_TEXT, "%%%u%%", 9, 7, "%7%", bytesOf("%7%")},
        {VALUE_TEXT, "%020u", UINT64_MAX, UINT64_MAX, "18446744073709551615",
         bytesOf("18446744073709551615")},
        {VALUE_U32LE, "", 0xFFFFFFFF, 0x01020304, "16909060", {0x04, 0x03, 0x02, 0x01}},
        {VALUE_U32BE, "", 0xFFFFFFFF, 0x01020304, "16909060", {0x01, 0x02, 0x03, 0x04}},
    };
    for (const auto& c : CASES) {
        SCOPED_TRACE(c.pattern);
        Recipe recipe = Recipe();
        recipe.serial = {true, 0x1ff00, c.format, c.pattern, {"serial", 0, c.last}};
        EXPECT_EQ(serialText(recipe.serial, c.number), c.text);
        std::vector<BoardPatch> patches = boardPatches(recipe, boardValuesFrom(recipe, {c.number}));
        ASSERT_EQ(patches.size(), 1u);
        EXPECT_EQ(patches[0].address, 0x1ff00u);
        EXPECT_EQ(patches[0].bytes, c.bytes);
    }
}

TEST(RecipeValues, MacTextsAndBytes) {
    const struct {
        uint64_t mac;
        const char* text;
        Bytes bytes;
    } CASES[] = {
        {0x020000001000, "02:00:00:00:10:00", {0x02, 0x00, 0x00, 0x00, 0x10, 0x00}},
        {0xfedcba987654, "fe:dc:ba:98:76:54", {0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54}},
    };
    for (const auto& c : CASES) {
        Recipe recipe = Recipe();
        recipe.mac = {true, 0x1ff20, {"mac", 0, 0xffffffffffff}};
        EXPECT_EQ(macText(c.mac), c.text);
        std::vector<BoardPatch> patches = boardPatches(recipe, boardValuesFrom(recipe, {c.mac}));
        ASSERT_EQ(patches.size(), 1u);
        EXPECT_EQ(patches[0].bytes, c.bytes);
    }
}

TEST(RecipeValues, TableCellsAndBytes) {
    const struct {
        ValueFormat format;
        uint32_t length;
        const char* cell;
        Bytes bytes;
    } CASES[] = {
        {VALUE_U32LE, 4, "100", {100, 0, 0, 0}},
        {VALUE_U32BE, 4, "0x10", {0, 0, 0, 0x10}},
        {VALUE_U32LE, 4, "4294967295", {0xff, 0xff, 0xff, 0xff}},
        {VALUE_TEXT, 4, "ab", bytesOf("ab") + FF2},
        {VALUE_TEXT, 3, "a,b", bytesOf("a,b")},
        {VALUE_TEXT, 2, "", FF2},
    };
    for (const auto& c : CASES) {
        SCOPED_TRACE(c.cell);
        Recipe recipe = Recipe();
        recipe.table.given = true;
        recipe.table.key = "id";
        recipe.table.header = {"id", "value"};
        recipe.table.rows = {{"first", "0"}, {"second", c.cell}};
        recipe.table.columns = {{"value", 0x1ff40, c.format, c.length}};
        EXPECT_EQ(tableKey(recipe.table, 1), "second");
        std::vector<BoardPatch> patches = boardPatches(recipe, boardValuesFrom(recipe, {1}));
        ASSERT_EQ(patches.size(), 1u);
        EXPECT_EQ(patches[0].bytes, c.bytes);
    }
}

// Each range's number reaches its own value, in the order serial, mac, table.
TEST(RecipeValues, NumbersGoToTheirRangesInOrder) {
    Recipe recipe = Recipe();
    recipe.serial = {true, 0, VALUE_U32LE, "", {"serial", 0, 9}};
    recipe.mac = {true, 8, {"mac", 0, 9}};
    recipe.table.given = true;
    BoardValues values = boardValuesFrom(recipe, {3, 5, 7});
    EXPECT_EQ(values.serial, 3u);
    EXPECT_EQ(values.mac, 5u);
    EXPECT_EQ(values.tableRow, 7u);
    recipe.serial.given = false;
    values = boardValuesFrom(recipe, {5, 7});
    EXPECT_EQ(values.mac, 5u);
    EXPECT_EQ(values.tableRow, 7u);
}

} // namespace

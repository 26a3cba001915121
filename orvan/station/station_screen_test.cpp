// The operator's screen at the widths a terminal may have: every row fits,
// each slot's name, serial and result can be read, and the totals are there.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "orvan/station/station.h"

namespace {

// Columns a row takes: UTF-8 characters, colour sequences none.
size_t columnsOf(const std::string& row) {
    size_t columns = 0;
    for (size_t index = 0; index < row.size(); index++) {
        if (row[index] == '\033') {
            index = row.find('m', index);
            continue;
        }
        columns += (static_cast<unsigned char>(row[index]) & 0xC0) == 0x80 ? 0 : 1;
    }
    return columns;
}

std::string whole(const std::vector<std::string>& rows) {
    std::string text;
    for (const std::string& row : rows) {
        text += row + "\n";
    }
    return text;
}

std::vector<SlotView> fourSlots() {
    std::vector<SlotView> slots(4);
    slots[0] = {"A1", "0x1101", SLOT_PASSED, "", 0, 0, "OR-001000", "", 1.25};
    slots[1] = {"A2", "0x1102", SLOT_FAILED, "", 0, 0, "OR-001001", "removed during writing", 0.5};
    slots[2] = {"A3", "0x1103", SLOT_WRITING, "program", 8192, 16384, "OR-001002", "", 0};
    slots[3] = {"a slot name far too long for any block of the screen",
                "0x1104",
                SLOT_CABLE_FAULT,
                "",
                0,
                0,
                "",
                "cable 0x1104: could not be opened (in use by another program, or unplugged)",
                0};
    return slots;
}

struct ScreenCase {
    uint32_t columns;
    bool colour;
    bool namesShown; // the header rows have room for names and serials
};

class StationScreenTest : public ::testing::TestWithParam<ScreenCase> {};

TEST_P(StationScreenTest, EveryRowFitsAndTheSlotsCanBeRead) {
    StationTotals totals = {3, 1, 3600000};
    std::vector<std::string> rows = stationScreen(fourSlots(), totals, GetParam().columns, GetParam().colour);
    for (const std::string& row : rows) {
        EXPECT_LE(columnsOf(row), GetParam().columns - 1) << row;
    }
    std::string text = whole(rows);
    // PASS and FAIL drawn big: the full block appears, and the words stay for a narrow screen.
    EXPECT_NE(text.find("\u2588"), std::string::npos);
    EXPECT_NE(text.find("CABLE FAULT"), std::string::npos);
    EXPECT_NE(text.find("program"), std::string::npos);
    EXPECT_NE(text.find(GetParam().namesShown ? "passed 3  failed 1  yield 75.0%  4 boards/h" : "passed 3"),
              std::string::npos);
    EXPECT_EQ(text.find("\033[") != std::string::npos, GetParam().colour);
    if (GetParam().namesShown) {
        for (const char* shown :
             {"A1  0x1101", "OR-001000", "A2  0x1102", "OR-001001", "removed during writing"}) {
            EXPECT_NE(text.find(shown), std::string::npos) << shown;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Widths, StationScreenTest,
                         ::testing::Values(ScreenCase{80, true, true}, ScreenCase{80, false, true},
                                           ScreenCase{120, true, true}, ScreenCase{60, true, true},
                                           ScreenCase{24, false, false}));

} // namespace

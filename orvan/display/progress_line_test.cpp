// Progress rows at every width: never wider than the terminal less one
// column, the phase always there, and a time left only once it can be told.
#include <gtest/gtest.h>

#include <string>

#include "orvan/display/progress_line.h"

namespace {

struct RowCase {
    const char* name;
    ProgressView view;
    uint32_t columns;
    const char* mustShow;    // "" for nothing more than the phase
    const char* mustNotShow; // "" for nothing
};

TEST(ProgressLine, FitsTheWidthAndKeepsWhatMatters) {
    const std::string LONG_NAME(120, 'n');
    const RowCase cases[] = {
        {"wide, under way", {"app.hex", "program", 65536, 131072, 2000}, 120, "s left", ""},
        {"80 columns", {"app.hex", "program", 65536, 131072, 2000}, 80, "app.hex program [", ""},
        {"60 columns", {"app.hex", "program", 65536, 131072, 2000}, 60, "50%", ""},
        {"40 columns", {"app.hex", "program", 65536, 131072, 2000}, 40, "program", ""},
        {"20 columns", {"app.hex", "verify", 1, 2, 2000}, 20, "verify", ""},
        {"at 0 %: no time left", {"app.hex", "erase", 0, 131072, 2000}, 120, "0%", "left"},
        {"too soon to tell", {"app.hex", "erase", 65536, 131072, 100}, 120, "50%", "left"},
        {"done: no time left", {"", "read", 131072, 131072, 900}, 120, "100%", "left"},
        {"nothing to do", {"", "program", 0, 0, 0}, 80, "100%", "left"},
        {"a long name gives way", {LONG_NAME, "program", 10, 100, 2000}, 80, "program [", ""},
        {"unknown width is 80", {LONG_NAME, "program", 10, 100, 2000}, 0, "program", ""},
    };
    for (const RowCase& c : cases) {
        std::string row = progressLine(c.view, c.columns);
        uint32_t columns = c.columns == 0 ? 80 : c.columns;
        EXPECT_LE(row.size(), columns - 1) << c.name << ": " << row;
        EXPECT_NE(row.find(c.view.phase), std::string::npos) << c.name << ": " << row;
        EXPECT_NE(row.find(c.mustShow), std::string::npos) << c.name << ": " << row;
        if (c.mustNotShow[0] != '\0') {
            EXPECT_EQ(row.find(c.mustNotShow), std::string::npos) << c.name << ": " << row;
        }
    }
}

// A worker's plain line is read back by its parent into the same view.
TEST(ProgressLine, PlainLinesReadBack) {
    const ProgressView views[] = {{"app.hex", "program", 10240, 131072, 0},
                                  {"", "blank", 0, 16384, 0},
                                  {"dir/my image.bin@1", "verify", 16384, 16384, 0}};
    for (const ProgressView& view : views) {
        ProgressView back;
        ASSERT_TRUE(readProgressPlainLine(progressPlainLine(view), &back)) << progressPlainLine(view);
        EXPECT_EQ(back.subject, view.subject);
        EXPECT_EQ(back.phase, view.phase);
        EXPECT_EQ(back.done, view.done);
        EXPECT_EQ(back.total, view.total);
    }
    ProgressView none;
    for (const char* line : {"app.hex: written and verified, 1 sector", "orvan: cable 0x1101: bytes",
                             "program 9/8 bytes", "program x/8 bytes", " bytes"}) {
        EXPECT_FALSE(readProgressPlainLine(line, &none)) << line;
    }
}

// Closing lines fold at their commas and never leave a row wider than the
// terminal; colour takes no room.
TEST(ProgressLine, ClosingLinesFoldAtTheirParts) {
    const std::string GREEN = "\033[32mwritten and verified\033[0m";
    const struct {
        std::string line;
        uint32_t columns;
        const char* folded;
    } cases[] = {
        {"a.hex: written and verified, 3 sectors, SHA-256 0123456789abcdef", 80,
         "a.hex: written and verified, 3 sectors, SHA-256 0123456789abcdef"},
        {"a.hex: written and verified, 3 sectors, SHA-256 0123456789abcdef", 40,
         "a.hex: written and verified, 3 sectors,\n  SHA-256 0123456789abcdef"},
        {"a.hex: " + GREEN + ", 3 sectors, SHA-256 0123456789abcdef", 40,
         "a.hex: \033[32mwritten and verified\033[0m, 3 sectors,\n  SHA-256 0123456789abcdef"},
        {"one part far too long for its row", 11, "one part f"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(foldToColumns(c.line, c.columns), c.folded) << c.columns;
    }
}

} // namespace

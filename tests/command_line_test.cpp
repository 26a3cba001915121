#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "orvanwriter/command_line.h"

namespace {

struct NumberCase {
    const char* text;
    bool ok;
    uint32_t value;
};

TEST(ParseNumber, ReadsAsA32BitUnsignedConversion) {
    const std::vector<NumberCase> cases = {
        {"0", true, 0},
        {"0x0", true, 0},
        {"10", true, 10},
        {"0x10", true, 16},
        {"0X1f", true, 31},
        {"ff", true, 255},
        {"1f", true, 1},
        {"010", true, 10},
        {"12abc", true, 12},
        {"  \t7", true, 7},
        {"+9", true, 9},
        {"-1", true, 0xFFFFFFFFu},
        {"-16", true, 0xFFFFFFF0u},
        {"4294967295", true, 0xFFFFFFFFu},
        {"4294967296", true, 0xFFFFFFFFu},
        {"99999999999", true, 0xFFFFFFFFu},
        {"-4294967295", true, 1},
        {"-4294967296", true, 0xFFFFFFFFu},
        {"-99999999999", true, 0xFFFFFFFFu},
        {"100000000000000000000000000000", true, 0xFFFFFFFFu},
        {"fffffffff", true, 0xFFFFFFFFu},
        {"-0x10", true, 0xFFFFFFF0u},
        {"-ff", true, 0xFFFFFF01u},
        {"00", false, 0},
        {"x", false, 0},
        {"", false, 0},
        {"0x", false, 0},
        {"0x00", false, 0},
        {"-0", false, 0},
        {"g", false, 0},
        {" ", false, 0},
    };
    for (const NumberCase& numberCase : cases) {
        testing::internal::CaptureStdout();
        uint32_t value = 12345;
        bool ok = parseNumber(numberCase.text, &value);
        std::string output = testing::internal::GetCapturedStdout();
        EXPECT_EQ(ok, numberCase.ok) << '"' << numberCase.text << '"';
        if (numberCase.ok) {
            EXPECT_EQ(value, numberCase.value) << '"' << numberCase.text << '"';
            EXPECT_EQ(output, "");
        } else {
            EXPECT_EQ(output, "argument is not valid\n") << '"' << numberCase.text << '"';
        }
    }
}

struct ParseCase {
    std::vector<std::string> arguments;
    std::vector<std::pair<std::string, uint32_t>> jobs;
    uint32_t divisor;
    bool noWait;
};

class ParseCommandLine : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name : {"a.bin", "b.bin"}) {
            FILE* file = fopen(name, "wb");
            ASSERT_NE(file, nullptr);
            fclose(file);
        }
    }
    void TearDown() override {
        unlink("a.bin");
        unlink("b.bin");
    }
};

TEST_F(ParseCommandLine, PairsFilesWithSectorsByPosition) {
    const std::vector<ParseCase> cases = {
        {{"-s", "0", "-f", "a.bin"}, {{"a.bin", 0}}, 8, false},
        {{"-s", "1", "-s", "3", "-f", "a.bin", "-f", "b.bin"}, {{"a.bin", 1}, {"b.bin", 3}}, 8, false},
        {{"-f", "b.bin", "-f", "a.bin", "-s", "7", "-s", "0x2"}, {{"b.bin", 7}, {"a.bin", 2}}, 8, false},
        {{"-s", "0", "-f", "a.bin", "-e"}, {{"a.bin", 0}}, 8, true},
        {{"-e", "ignored", "-s", "0", "-f", "a.bin"}, {{"a.bin", 0}}, 8, true},
        {{"-q", "5", "-q", "2", "-s", "0", "-f", "a.bin"}, {{"a.bin", 0}}, 2, false},
        {{"-q", "0", "-s", "0", "-f", "a.bin"}, {{"a.bin", 0}}, 0, false},
        {{"-q", "-1", "-s", "0", "-f", "a.bin"}, {{"a.bin", 0}}, 0xFFFFFFFFu, false},
        {{"-q", "8", "-s", "0", "-f", "a.bin"}, {{"a.bin", 0}}, 8, false},
        {{"-s", "0", "-s", "1", "-f", "a.bin"}, {}, 8, false},
        {{"-q", "5"}, {}, 5, false},
        {{"-e"}, {}, 8, false},
        {{"-e", "-s"}, {}, 8, true},
        {{"-s", "0", "-f", "a.bin", "-q"}, {}, 8, false},
        {{"-s", "0", "-f", "a.bin", "-s"}, {}, 8, false},
        {{"-s", "0", "-f", "a.bin", "-f"}, {}, 8, false},
    };
    for (const ParseCase& parseCase : cases) {
        std::vector<std::string> words = {"orvanwriter"};
        words.insert(words.end(), parseCase.arguments.begin(), parseCase.arguments.end());
        std::vector<char*> argv;
        for (std::string& word : words) {
            argv.push_back(&word[0]);
        }
        argv.push_back(nullptr);
        RunOptions options;
        testing::internal::CaptureStdout();
        uint32_t count = parseCommandLine(static_cast<int>(words.size()), argv.data(), &options);
        testing::internal::GetCapturedStdout();
        std::string label = testing::PrintToString(parseCase.arguments);
        ASSERT_EQ(count, parseCase.jobs.size()) << label;
        for (uint32_t i = 0; i < count; i++) {
            EXPECT_STREQ(options.jobs[i].fileName, parseCase.jobs[i].first.c_str()) << label;
            EXPECT_EQ(options.jobs[i].startSector, parseCase.jobs[i].second) << label;
        }
        if (count > 0) {
            EXPECT_EQ(options.clockDivisor, parseCase.divisor) << label;
            EXPECT_EQ(options.noWait, parseCase.noWait) << label;
        }
    }
}

} // namespace

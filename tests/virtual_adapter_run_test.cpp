// The built program as a process against the virtual adapter, for what only
// whole runs show: a run without a trace (the adapter's short way for queued
// programming bytes) against the same run with one.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "program_runner.h"

namespace {

const size_t FLASH_BYTES = 131072;

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
}

// Bytes that differ from their neighbours and from erased flash.
std::string patternBytes(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; i++) {
        bytes[i] = static_cast<char>((i * 13 + seed * 29 + (i >> 9)) & 0xFF);
    }
    return bytes;
}

class VirtualAdapterRun : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/orvan-run-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory = pattern;
    }
    void TearDown() override {
        std::string command = "rm -rf '" + directory + "'";
        ASSERT_EQ(system(command.c_str()), 0);
    }
    std::string path(const std::string& name) const {
        return directory + "/" + name;
    }
    ProgramResult run(const std::vector<std::string>& arguments,
                      const std::vector<std::string>& environment) {
        ProgramRun programRun;
        programRun.arguments = arguments;
        programRun.environment = environment;
        programRun.directory = directory;
        ProgramResult result = runProgram(programRun);
        EXPECT_FALSE(result.timedOut);
        return result;
    }

    std::string directory;
};

// The same write, traced and untraced, from the same flash file: the same
// output, status and flash file, whatever the target does on the way.
TEST_F(VirtualAdapterRun, UntracedRunMatchesTracedRun) {
    struct RunCase {
        const char* name;
        std::vector<std::string> arguments;
        std::vector<std::string> environment;
    };
    writeFile(path("whole.bin"), patternBytes(FLASH_BYTES, 1));
    writeFile(path("part.bin"), patternBytes(20000, 2));
    writeFile(path("one.bin"), patternBytes(1, 3));
    const std::vector<std::string> whole = {"-q", "0", "-s", "0", "-f", "whole.bin", "-e"};
    const std::vector<std::string> two = {"-s", "5", "-f", "part.bin", "-s", "1", "-f", "one.bin", "-e"};
    const std::vector<RunCase> cases = {
        {"whole flash", whole, {}},
        {"two images", two, {}},
        {"no busy reads", two, {"VADAPTER_ERASE_BUSY_READS=0", "VADAPTER_PROGRAM_BUSY_READS=0"}},
        {"stuck after the 16394th af", two, {"VADAPTER_STUCK_AFTER=0xaf:16394"}},
        {"stuck bit", two, {"VADAPTER_STUCK_BIT=0x14001:0x80:1"}},
    };
    const std::string before = patternBytes(FLASH_BYTES, 7);
    for (const RunCase& c : cases) {
        ProgramResult results[2];
        std::string flashes[2];
        for (int traced = 0; traced < 2; traced++) {
            writeFile(path("flash.bin"), before);
            std::vector<std::string> environment = c.environment;
            environment.push_back("VADAPTER_FLASH=flash.bin");
            if (traced) {
                environment.push_back("VADAPTER_TRACE=trace.txt");
            }
            results[traced] = run(c.arguments, environment);
            flashes[traced] = readWholeFile(path("flash.bin"));
        }
        EXPECT_EQ(results[0].output, results[1].output) << c.name;
        EXPECT_EQ(results[0].status, results[1].status) << c.name;
        EXPECT_EQ(flashes[0].size(), FLASH_BYTES) << c.name;
        EXPECT_TRUE(flashes[0] == flashes[1]) << c.name << ": the flash files differ";
        EXPECT_FALSE(flashes[0] == before) << c.name << ": nothing was written";
        EXPECT_NE(readWholeFile(path("trace.txt")).find("\nexecute commands="), std::string::npos) << c.name;
    }
}

} // namespace

// The built program as a process against the virtual adapter, for what only
// whole runs show: a run without a trace (the adapter's short way for queued
// programming bytes) against the same run with one, and the flash file as
// runs at the same time, refused and killed runs leave it.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "program_runner.h"

namespace {

const size_t FLASH_BYTES = 131072;
const size_t SECTOR_BYTES = 16384;
const int STATUS_ERROR = 255;
const std::string NOT_CONNECTED = "Failed to connect VEXIL\n";

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

// A second program on a flash file in use is refused as a busy cable would
// be; the first one's write is whole.
TEST_F(VirtualAdapterRun, SecondProgramOnAFlashFileInUseIsRefused) {
    writeFile(path("first.bin"), patternBytes(SECTOR_BYTES, 4));
    writeFile(path("second.bin"), patternBytes(SECTOR_BYTES, 5));
    // A slow erase keeps the first program in the file for a second.
    const std::vector<std::string> slow = {"VADAPTER_FLASH=flash.bin", "VADAPTER_REALTIME=1",
                                           "VADAPTER_ERASE_BUSY_US=1000000"};
    ProgramResult first;
    std::thread firstRun([&] { first = run({"-s", "0", "-f", "first.bin", "-e"}, slow); });
    usleep(400000);
    ProgramResult second = run({"-s", "4", "-f", "second.bin", "-e"}, {"VADAPTER_FLASH=flash.bin"});
    firstRun.join();
    EXPECT_NE(second.output.find(NOT_CONNECTED), std::string::npos) << second.output;
    EXPECT_EQ(second.status, STATUS_ERROR);
    EXPECT_NE(first.output.find("Data verify OK"), std::string::npos) << first.output;
    EXPECT_EQ(first.status, 0);
    std::string expected = patternBytes(SECTOR_BYTES, 4) + std::string(FLASH_BYTES - SECTOR_BYTES, '\xFF');
    EXPECT_TRUE(readWholeFile(path("flash.bin")) == expected);
}

TEST_F(VirtualAdapterRun, FlashFileOfTheWrongSizeIsRefusedAndLeftAsItIs) {
    writeFile(path("image.bin"), patternBytes(100, 6));
    const std::string megabyte = patternBytes(1048576, 7);
    writeFile(path("flash.bin"), megabyte);
    ProgramResult result = run({"-s", "0", "-f", "image.bin", "-e"}, {"VADAPTER_FLASH=flash.bin"});
    EXPECT_NE(result.output.find(NOT_CONNECTED), std::string::npos) << result.output;
    EXPECT_EQ(result.status, STATUS_ERROR);
    EXPECT_TRUE(readWholeFile(path("flash.bin")) == megabyte);
}

// Killed while programming, the run leaves what hardware would hold: its
// sectors erased, the image's first bytes programmed, the rest still erased.
TEST_F(VirtualAdapterRun, KilledRunLeavesWhatItHadErasedAndProgrammed) {
    const std::string image = patternBytes(FLASH_BYTES, 8);
    writeFile(path("image.bin"), image);
    writeFile(path("flash.bin"), patternBytes(FLASH_BYTES, 9));
    // At 1 MHz in real time, erasing and the blank check take about 1.3 s and
    // programming 2.1 s more: the kill comes while programming.
    ProgramRun programRun;
    programRun.arguments = {"-q", "29", "-s", "0", "-f", "image.bin", "-e"};
    programRun.environment = {"VADAPTER_FLASH=flash.bin", "VADAPTER_REALTIME=1"};
    programRun.directory = directory;
    programRun.timeoutSeconds = 2;
    ProgramResult result = runProgram(programRun);
    ASSERT_TRUE(result.timedOut) << result.output;
    ASSERT_NE(result.output.find("Erase Verify...OK"), std::string::npos) << result.output;
    std::string flash = readWholeFile(path("flash.bin"));
    ASSERT_EQ(flash.size(), FLASH_BYTES);
    size_t programmed = 0;
    while (programmed < FLASH_BYTES && flash[programmed] == image[programmed]) {
        programmed++;
    }
    EXPECT_GT(programmed, 0u);
    EXPECT_LT(programmed, FLASH_BYTES);
    EXPECT_EQ(flash.find_first_not_of('\xFF', programmed), std::string::npos)
        << "after the " << programmed << " programmed bytes, not erased at "
        << flash.find_first_not_of('\xFF', programmed);
}

} // namespace

// End-to-end tests of runs cut short from outside: a reader of the output
// that goes away, an interruption by signal, and an adapter whose block
// reads trickle in.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <sstream>
#include <string>
#include <vector>

#include "program_fixture.h"

namespace {

// One block read's limit at the default divisor 8: 2000 ms, plus four times
// the 39.3 ms that 16 KiB take at 3.33 MHz.
const double BLOCK_READ_LIMIT_SECONDS = 2.160;
// A 16 KiB block at divisor 500 (59.9 kHz) takes longer than the limit's
// fixed part; read in two passes, it would trip a limit without the clock's
// share after the first.
const double BLOCK_AT_DIVISOR_500_SECONDS = 2.189;

std::string lastLine(const std::string& text) {
    std::string trimmed = text.substr(0, text.find_last_not_of('\n') + 1);
    return trimmed.substr(trimmed.rfind('\n') + 1);
}

uint32_t hexAfter(const std::string& line, const std::string& key) {
    return static_cast<uint32_t>(strtoul(line.c_str() + line.find(key) + key.size(), nullptr, 16));
}

// What the flash must hold after the calls the trace shows: the old
// contents, each sector erased to 0xff, and the programmed prefix of the
// image from its start address.
struct TracedWrite {
    std::string flash;
    size_t sectorsErased = 0;
    size_t bytesProgrammed = 0;
};

TracedWrite replayTrace(const std::string& trace, const std::string& oldFlash, const std::string& image) {
    TracedWrite write;
    write.flash = oldFlash;
    const std::string EXECUTED = "execute commands=";
    uint32_t programStart = 0;
    std::istringstream lines(trace);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("write cmd=20 ", 0) == 0) {
            write.flash.replace(hexAfter(line, "addr="), SECTOR, SECTOR, '\xFF');
            write.sectorsErased++;
        } else if (line.rfind("write cmd=af ", 0) == 0) {
            programStart = hexAfter(line, "addr=");
            write.bytesProgrammed = 1;
        } else if (line.rfind(EXECUTED, 0) == 0) {
            write.bytesProgrammed += strtoul(line.c_str() + EXECUTED.size(), nullptr, 10);
        }
    }
    write.flash.replace(programStart, write.bytesProgrammed, image.substr(0, write.bytesProgrammed));
    return write;
}

// ---------------------------------------------------------------- broken pipe

TEST_F(ProgramTest, ReaderThatGoesAwayLeavesTheRunItsOwnEnd) {
    makeImage("a.bin", 2 * SECTOR, 4);
    const std::vector<std::pair<std::string, int>> cases = {{"", 0},
                                                            {"VADAPTER_UNERASED_SECTOR=1", STATUS_ERROR}};
    for (const auto& pipeCase : cases) {
        unlink(path("flash.bin").c_str());
        ProgramRun programRun;
        programRun.arguments = {"-s", "0", "-f", "a.bin", "-e"};
        programRun.environment = {"VADAPTER_REALTIME=1"};
        if (!pipeCase.first.empty()) {
            programRun.environment.push_back(pipeCase.first);
        }
        programRun.closeOutputWhenShows = "1/2 sectors erased";
        ProgramResult result = run(programRun);
        EXPECT_TRUE(result.outputClosed) << pipeCase.first;
        EXPECT_EQ(result.signal, 0) << pipeCase.first;
        EXPECT_EQ(result.status, pipeCase.second) << pipeCase.first;
        EXPECT_EQ(lastLine(trace()).rfind("close ", 0), 0u) << pipeCase.first << ": " << lastLine(trace());
        if (pipeCase.second == 0) {
            expectFlash({{0, imageBytes(2 * SECTOR, 4)}});
        }
    }
}

// ---------------------------------------------------------------- interruption

struct InterruptionCase {
    std::string name;
    int signalNumber;
    std::string whenOutputShows; // empty: half a second after the start
    std::string notReached;      // output of the step after the interrupted one
    bool flashChanged;
};

// Wine hands SIGINT to the Windows program as Ctrl-C, and the program ends
// with STATUS_CONTROL_C_EXIT, of which a POSIX parent sees the low byte.
// Other signals, and any before the program has started, are Wine's own.
const int WRAPPED_CTRL_C_STATUS = 0x3A;

bool reachesWrappedProgram(const InterruptionCase& interruption) {
    return interruption.signalNumber == SIGINT && !interruption.whenOutputShows.empty();
}

TEST_F(ProgramTest, InterruptedWriteClosesTheAdapterAndSaysWhatTheFlashHolds) {
    if (programIsOverUsb()) {
        GTEST_SKIP() << "the emulated USB cable has no real-time mode or read faults";
    }
    const std::string image = imageBytes(FLASH_SIZE, 1);
    const std::string oldFlash = imageBytes(FLASH_SIZE, 9);
    writeFile(path("full.bin"), image);
    const std::vector<InterruptionCase> cases = {
        {"while opening the adapter", SIGINT, "", "File Name", false},
        {"at the erase", SIGINT, "1/8 sectors erased", "Erase Completed", true},
        {"at the erase check", SIGTERM, "Erase Verify...", "Erase Verify...OK", true},
        {"while programming", SIGINT, "10241 / 131072", "131072 / 131072", true},
        {"while reading back", SIGHUP, "131072 / 131072  100 % \n", "Data verify OK", true},
    };
    for (const InterruptionCase& interruption : cases) {
        if (programIsWrapped() && !reachesWrappedProgram(interruption)) {
            continue;
        }
        writeFile(path("flash.bin"), oldFlash);
        ProgramRun programRun;
        programRun.arguments = {"-s", "0", "-f", "full.bin", "-e"};
        programRun.environment = {"VADAPTER_REALTIME=1"};
        if (interruption.whenOutputShows.empty()) {
            // Slow round trips hold the run in the opening calls.
            programRun.environment.push_back("VADAPTER_LATENCY_US=300000");
        }
        programRun.signalNumber = interruption.signalNumber;
        programRun.signalWhenOutputShows = interruption.whenOutputShows;
        programRun.signalAfterMs = 500;
        ProgramResult result = run(programRun);
        const std::string& name = interruption.name;
        EXPECT_TRUE(result.signalSent) << name;
        if (programIsWrapped()) {
            EXPECT_EQ(result.status, WRAPPED_CTRL_C_STATUS) << name;
        } else {
            EXPECT_EQ(result.signal, interruption.signalNumber) << name;
        }
        std::string message =
            interruption.flashChanged
                ? "\nInterrupted while writing full.bin at sector 0: the flash may be incomplete\n"
                : "\nInterrupted before writing full.bin at sector 0: the flash is unchanged\n";
        ASSERT_GE(result.output.size(), message.size()) << name;
        EXPECT_EQ(result.output.substr(result.output.size() - message.size()), message) << name;
        EXPECT_EQ(result.output.find(interruption.notReached), std::string::npos) << name;
        EXPECT_EQ(result.output.find("Error"), std::string::npos) << name;
        EXPECT_EQ(lastLine(trace()).rfind("close ", 0), 0u) << name << ": " << lastLine(trace());
        TracedWrite traced = replayTrace(trace(), oldFlash, image);
        EXPECT_EQ(traced.sectorsErased > 0, interruption.flashChanged) << name;
        EXPECT_TRUE(flash() == traced.flash) << name << ": the flash file is not what the trace shows sent";
    }
}

TEST_F(ProgramTest, CtrlCAtTheKeyPromptRestoresTheTerminal) {
    if (programIsWrapped()) {
        GTEST_SKIP() << "the console of the wrapped program is not a host terminal";
    }
    makeImage("a.bin", 100);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", jobText("a.bin", 0, 100) + COMPLETED},
        {"VADAPTER_IDENTITY=0xAD", "invalid Flash ID(ad)"},
    };
    for (const auto& promptCase : cases) {
        unlink(path("flash.bin").c_str());
        ProgramRun programRun;
        programRun.arguments = {"-s", "0", "-f", "a.bin"};
        if (!promptCase.first.empty()) {
            programRun.environment = {promptCase.first};
        }
        programRun.stdinMode = STDIN_TERMINAL;
        programRun.input = "\x03"; // Ctrl-C, which the terminal turns into SIGINT
        programRun.timeoutSeconds = 20;
        ProgramResult result = run(programRun);
        EXPECT_TRUE(result.inputSent);
        EXPECT_EQ(result.output, BANNER + promptCase.second + PROMPT) << promptCase.first;
        EXPECT_EQ(result.signal, SIGINT) << promptCase.first;
        EXPECT_TRUE(result.terminalRestored) << promptCase.first;
        EXPECT_EQ(lastLine(trace()).rfind("close ", 0), 0u) << promptCase.first;
    }
    expectFlash({});
}

// ---------------------------------------------------------------- slow block reads

struct SlowReadCase {
    std::string name;
    std::vector<std::string> arguments;
    std::vector<std::string> environment;
    std::string expectedAfterBanner;
    int status;
    double leastSeconds;
    double mostSeconds;
};

TEST_F(ProgramTest, BlockReadsAreBoundInTimeByTheClock) {
    if (programIsOverUsb()) {
        GTEST_SKIP() << "the emulated USB cable has no real-time mode or read faults";
    }
    makeImage("a.bin", 10);
    // A wrapped program takes seconds to start.
    const double slack = programIsWrapped() ? 10.0 : 3.0;
    const std::vector<SlowReadCase> cases = {
        {"one byte per read",
         {"-s", "0", "-f", "a.bin", "-e"},
         {"VADAPTER_SHORT_READ=1:always"},
         "\nFile Name : a.bin \nStart Sector :0\n" + eraseText(1) + "Erase Verify...Error\n" + PROMPT,
         STATUS_ERROR,
         BLOCK_READ_LIMIT_SECONDS,
         BLOCK_READ_LIMIT_SECONDS + slack},
        {"slow clock",
         {"-q", "500", "-s", "0", "-f", "a.bin", "-e"},
         {"VADAPTER_SHORT_READ=16383:always"},
         "SPI Freq : 58khz\n" + jobText("a.bin", 0, 10) + COMPLETED,
         0,
         2 * BLOCK_AT_DIVISOR_500_SECONDS,
         2 * BLOCK_AT_DIVISOR_500_SECONDS + slack},
    };
    for (const SlowReadCase& slowCase : cases) {
        ProgramRun programRun;
        programRun.arguments = slowCase.arguments;
        programRun.environment = slowCase.environment;
        programRun.environment.push_back("VADAPTER_REALTIME=1");
        ProgramResult result = run(programRun);
        EXPECT_EQ(result.output, BANNER + slowCase.expectedAfterBanner) << slowCase.name;
        EXPECT_EQ(result.status, slowCase.status) << slowCase.name;
        EXPECT_GE(result.wallSeconds, slowCase.leastSeconds) << slowCase.name;
        EXPECT_LE(result.wallSeconds, slowCase.mostSeconds) << slowCase.name;
    }
}

} // namespace

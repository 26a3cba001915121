// The fixture of the end-to-end tests: a scratch folder per test, the
// program's expected texts, and the virtual flash file and trace of a run.
#pragma once

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "program_runner.h"

const int STATUS_ERROR = 255;
const size_t SECTOR = 16384;
const size_t FLASH_SIZE = 131072;
const size_t BATCH = 10240;
const std::string BANNER = "============ Orvan Flash Writer(v1.1) ============\n";
const std::string PROMPT = "\nPlease any key....\n";
const std::string USAGE = "Orvan Flash Writer version (v1.1) \n\nUSAGE: \n"
                          "-q N (Freq = 30Mhz/(N+1), 9 is Max Freq, \n-s sector number\n-f FILENAME\n"
                          "-e exit\n\nTessaly Inc.\n";
const std::string COMPLETED = "===== Flash Write Completed =========";
const std::string TOO_BIG = "Error : File Size is too big, >128Kbyte\n";

// The file's SHA-256 as sha256sum gives it, or "" when it cannot be read.
inline std::string sha256sum(const std::string& file) {
    FILE* pipe = popen(("sha256sum '" + file + "'").c_str(), "r");
    char digest[65] = {};
    return pipe != nullptr && fscanf(pipe, "%64s", digest) == 1 && pclose(pipe) == 0 ? digest : "";
}

inline void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
}

// Image bytes that differ from their neighbours and from erased flash.
inline std::string imageBytes(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; i++) {
        bytes[i] = static_cast<char>((i * 7 + seed * 31 + (i >> 8)) & 0xFF);
    }
    return bytes;
}

inline std::string eraseText(size_t sectors) {
    std::string text;
    for (size_t k = 1; k <= sectors; k++) {
        text += "\r" + std::to_string(k) + "/" + std::to_string(sectors) + " sectors erased";
    }
    return text + "\nErase Completed\n";
}

inline std::string programText(size_t size) {
    std::string text;
    for (size_t i = BATCH; i < size; i += BATCH) {
        text += std::to_string(i + 1) + " / " + std::to_string(size) + "  " +
                std::to_string(100 * (i + 1) / size) + " % \r";
    }
    return text + std::to_string(size) + " / " + std::to_string(size) + "  100 % \n";
}

inline std::string jobText(const std::string& name, unsigned sector, size_t size) {
    size_t sectors = (size + SECTOR - 1) / SECTOR;
    return "\nFile Name : " + name + " \nStart Sector :" + std::to_string(sector) + "\n" +
           eraseText(sectors) + "Erase Verify...OK\n" + programText(size) + "Data verify OK\n";
}

// The virtual adapter's own devices and faults; the emulated USB cable takes
// only the target's variables (and the flash and trace files), so runs over
// USB leave out the cases that need the others.
inline bool needsVirtualAdapter(const std::vector<std::string>& environment) {
    static const std::vector<std::string> cableVariables = {"VADAPTER_FLASH=",
                                                            "VADAPTER_TRACE=",
                                                            "VADAPTER_IDENTITY=",
                                                            "VADAPTER_READY_BYTE=",
                                                            "VADAPTER_BUSY_BYTE=",
                                                            "VADAPTER_STUCK_BIT=",
                                                            "VADAPTER_ERASE_BUSY_READS=",
                                                            "VADAPTER_STUCK_AFTER=",
                                                            "VADAPTER_UNERASED_SECTOR=",
                                                            "VADAPTER_PROGRAM_BUSY_READS="};
    if (!programIsOverUsb()) {
        return false;
    }
    for (const std::string& entry : environment) {
        bool taken = entry.rfind("VADAPTER_", 0) != 0;
        for (const std::string& name : cableVariables) {
            taken = taken || entry.rfind(name, 0) == 0;
        }
        if (!taken) {
            return true;
        }
    }
    return false;
}

// The emulated USB cable's own faults, which the virtual adapter ignores:
// runs through the virtual adapter leave out the cases that need them.
inline bool needsEmulatedCable(const std::vector<std::string>& environment) {
    for (const std::string& entry : environment) {
        if (!programIsOverUsb() && entry.rfind("VUSB_", 0) == 0) {
            return true;
        }
    }
    return false;
}

class ProgramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/orvan-test-XXXXXX";
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
    void makeImage(const std::string& name, size_t size, unsigned seed = 1) {
        writeFile(path(name), imageBytes(size, seed));
    }
    ProgramResult run(const std::vector<std::string>& arguments, std::vector<std::string> environment = {},
                      StdinMode stdinMode = STDIN_DEVNULL) {
        ProgramRun programRun;
        programRun.arguments = arguments;
        programRun.environment = environment;
        programRun.stdinMode = stdinMode;
        return run(programRun);
    }
    // Runs in the test's folder with its flash file and trace.
    ProgramResult run(ProgramRun programRun) {
        programRun.environment.push_back("VADAPTER_FLASH=flash.bin");
        programRun.environment.push_back("VADAPTER_TRACE=trace.txt");
        if (programIsOverUsb()) {
            programRun.environment.push_back("VUSB_FRAMES=frames.txt");
        }
        programRun.directory = directory;
        ProgramResult result = runProgram(programRun);
        EXPECT_FALSE(result.timedOut);
        // Whatever happens, the program drives the target the way it expects.
        std::string text = trace();
        size_t violation = text.find("violation:");
        EXPECT_EQ(violation, std::string::npos)
            << text.substr(violation == std::string::npos ? 0 : violation, 200);
        return result;
    }
    std::string flash() const {
        return readWholeFile(path("flash.bin"));
    }
    std::string trace() const {
        return readWholeFile(path("trace.txt"));
    }
    bool adapterClosed() const {
        return trace().find(programIsOverUsb() ? "\nclose device=" : "\nclose ") != std::string::npos;
    }
    bool adapterOpened() const {
        return trace().find(programIsOverUsb() ? "\nclaim device=" : " status=0 handle=") !=
               std::string::npos;
    }
    // The flash is erased everywhere except where the images were written.
    void expectFlash(const std::vector<std::pair<size_t, std::string>>& placed) const {
        std::string expected(FLASH_SIZE, '\xFF');
        for (const auto& piece : placed) {
            expected.replace(piece.first, piece.second.size(), piece.second);
        }
        std::string actual = flash();
        ASSERT_EQ(actual.size(), FLASH_SIZE);
        EXPECT_TRUE(actual == expected) << "flash contents differ";
    }

    std::string directory;
};

// The emulated target at the level of SPI frames: the bytes of each frame
// in, the bytes the target drives back and the violations it names.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "emulated_target/target.h"
#include "emulated_target/target_environment.h"

typedef std::vector<std::string> Lines;

namespace {

Lines named;
int64_t clockNs = 0;

} // namespace

void targetViolation(TargetViolationKind kind, const char* text) {
    named.push_back(std::to_string(kind) + " " + text);
}

int64_t targetClockNs() {
    return clockNs;
}

namespace {

std::vector<uint8_t> bytesOf(const std::string& hex) {
    std::istringstream words(hex);
    std::vector<uint8_t> bytes;
    for (std::string word; words >> word;) {
        bytes.push_back(static_cast<uint8_t>(std::stoul(word, nullptr, 16)));
    }
    return bytes;
}

// Clocks one frame byte by byte; returns what the target drove, as hex.
std::string frame(const std::string& hex) {
    std::string answer;
    targetSelect();
    for (uint8_t byte : bytesOf(hex)) {
        char text[4];
        snprintf(text, sizeof(text), "%s%02x", answer.empty() ? "" : " ", targetExchange(byte));
        answer += text;
    }
    targetDeselect();
    return answer;
}

// Flash bytes that differ from their neighbours and from erased flash.
void fillFlash() {
    for (uint32_t i = 0; i < TARGET_FLASH_BYTES; i++) {
        targetFlash()[i] = static_cast<uint8_t>(i * 7 + 1);
    }
}

TargetConfig quickConfig() {
    TargetConfig config;
    config.eraseBusyReads = 0;
    config.programBusyReads = 0;
    return config;
}

struct FrameCase {
    const char* name;
    std::vector<std::string> frames;  // hex bytes of each frame
    std::vector<std::string> answers; // hex bytes driven back, frame by frame
    Lines violations;                 // kind and text
};

void expectFrames(const TargetConfig& config, const std::vector<FrameCase>& cases) {
    for (const FrameCase& c : cases) {
        targetConfigure(config);
        fillFlash();
        named.clear();
        std::vector<std::string> answers;
        for (const std::string& hex : c.frames) {
            answers.push_back(frame(hex));
        }
        EXPECT_EQ(answers, c.answers) << c.name;
        EXPECT_EQ(named, c.violations) << c.name;
    }
}

TEST(TargetFrames, AnswersAndWhatTheTargetNames) {
    expectFrames(
        quickConfig(),
        {
            {"status", {"05 00 00"}, {"ff 01 01"}, {"4 command 05 reading 2 bytes"}},
            {"identity", {"90 00"}, {"ff ac"}, {}},
            {"erase, then read across its start",
             {"28", "20 00 40 00", "24", "16", "03 00 3f ff 00 00"},
             {"ff", "ff ff ff ff", "ff", "ff", "ff ff ff ff fa ff"},
             {}},
            {"programming only clears bits",
             {"36", "af 00 01 00 0f", "af f0", "34", "16", "03 00 01 00 00 00"},
             {"ff", "ff ff ff ff ff", "ff ff", "ff", "ff", "ff ff ff ff 01 00"},
             {}},
            {"read", {"16", "03 00 01 00 00 00", "14"}, {"ff", "ff ff ff ff 01 08", "ff"}, {}},
            {"read past the end",
             {"16", "03 01 ff ff 00 00 00"},
             {"ff", "ff ff ff ff fa ff ff"},
             {"5 read of 3 bytes at 01ffff runs past the end of flash"}},
            {"read outside",
             {"16", "03 02 00 00 00"},
             {"ff", "ff ff ff ff ff"},
             {"5 read address 020000 outside flash"}},
            {"read outside its bracket",
             {"03 00 00 00 00"},
             {"ff ff ff ff 01"},
             {"3 command 03 outside its bracket"}},
            {"unknown", {"42 05", "90 00"}, {"ff ff", "ff ac"}, {"1 unknown command 42"}},
            {"no command byte", {""}, {""}, {"4 no command byte"}},
            {"nested bracket", {"28", "16"}, {"ff", "ff"}, {"3 command 16 while bracket 28 is open"}},
            {"close unopened", {"24"}, {"ff"}, {"3 command 24 outside its bracket"}},
            {"erase short of its address",
             {"28", "20 00 40"},
             {"ff", "ff ff ff"},
             {"4 command 20 with 3 control bytes"}},
            {"data on a bare command", {"28 01"}, {"ff ff"}, {"4 command 28 with 1 data bytes"}},
            {"status without its byte", {"05"}, {"ff"}, {"4 command 05 reading 0 bytes"}},
            {"erase unaligned",
             {"28", "20 00 40 01"},
             {"ff", "ff ff ff ff"},
             {"5 erase address 004001 not sector aligned"}},
            {"erase outside",
             {"28", "20 02 00 00"},
             {"ff", "ff ff ff ff"},
             {"5 erase address 020000 outside flash"}},
            {"program without an address",
             {"36", "af 00"},
             {"ff", "ff ff"},
             {"5 command af without an address"}},
            {"program two bytes",
             {"36", "af 00 00 10 00 00"},
             {"ff", "ff ff ff ff ff ff"},
             {"4 command af with 2 data bytes"}},
            {"program past the end",
             {"36", "af 01 ff ff 00", "af 00"},
             {"ff", "ff ff ff ff ff", "ff ff"},
             {"5 program address 020000 outside flash"}},
        });
}

TEST(TargetFrames, ChipSelectAroundEveryByte) {
    targetConfigure(quickConfig());
    named.clear();
    EXPECT_EQ(targetExchange(0x05), TARGET_UNDRIVEN);
    targetDeselect();
    targetSelect();
    targetSelect();
    targetDeselect();
    EXPECT_EQ(named, (Lines{"0 byte 05 clocked without chip select", "0 chip select raised outside a frame",
                            "0 chip select while a frame is open", "4 no command byte"}));
}

TEST(TargetBusy, StatusReadsAndTimeAfterEraseAndProgramming) {
    TargetConfig config;
    config.eraseBusyReads = 2;
    config.programBusyReads = 1;
    config.busyByte = 0x80;
    config.readyByte = 0x41;
    expectFrames(config, {
                             {"erase",
                              {"28", "20 00 00 00", "24", "05 00", "05 00", "05 00", "24"},
                              {"ff", "ff ff ff ff", "ff", "ff 80", "ff 80", "ff 41", "ff"},
                              {"2 command 24 while busy"}},
                             {"program", {"36", "34", "05 00", "05 00"}, {"ff", "ff", "ff 80", "ff 41"}, {}},
                         });
    config.busyTime = true;
    config.eraseBusyReads = 0;
    config.eraseBusyUs = 30;
    targetConfigure(config);
    named.clear();
    clockNs = 1000000;
    frame("28");
    frame("20 00 00 00");
    clockNs += 29999;
    EXPECT_EQ(frame("05 00"), "ff 80");
    EXPECT_EQ(frame("24"), "ff");
    clockNs += 1;
    EXPECT_EQ(frame("05 00"), "ff 41");
    EXPECT_EQ(named, Lines{"2 command 24 while busy"});
}

// The many-bytes calls are the byte-by-byte wire, faster.
TEST(TargetBulk, ReadBytesAndProgramRunsMatchTheWire) {
    targetConfigure(quickConfig());
    fillFlash();
    frame("16");
    targetSelect();
    for (uint8_t byte : {0x03, 0x01, 0xFF, 0xF0}) {
        targetExchange(byte);
    }
    std::vector<uint8_t> bulk(32, 0x5A);
    EXPECT_EQ(targetReadBytes(bulk.data(), 32), 16u); // 16 bytes left before the end
    targetDeselect();
    EXPECT_EQ(std::vector<uint8_t>(bulk.begin(), bulk.begin() + 16),
              std::vector<uint8_t>(targetFlash() + 0x1FFF0, targetFlash() + TARGET_FLASH_BYTES));
    EXPECT_EQ(bulk[16], 0x5A);
    targetSelect();
    targetExchange(0x05);
    EXPECT_EQ(targetReadBytes(bulk.data(), 3), 3u);
    targetDeselect();
    EXPECT_EQ(bulk[2], 0x01);

    struct RunCase {
        const char* name;
        const char* before; // frames before the run
        uint32_t taken;
    };
    const uint8_t data[3] = {0x12, 0x34, 0x56};
    for (const RunCase& c : {RunCase{"in a run", "36|af 00 00 10 00", 3}, RunCase{"no run", "", 0},
                             RunCase{"no address", "36", 0}, RunCase{"at the end", "36|af 01 ff fe 00", 1}}) {
        targetConfigure(quickConfig());
        named.clear();
        std::istringstream frames(c.before);
        for (std::string hex; std::getline(frames, hex, '|');) {
            frame(hex);
        }
        EXPECT_EQ(targetProgramRun(data, 3), c.taken) << c.name;
        EXPECT_TRUE(named.empty()) << c.name;
    }
    EXPECT_EQ(targetFlash()[0x1FFFF], 0x12);
    TargetConfig stuck = quickConfig();
    stuck.stuckAfterCommand = 0xAF;
    stuck.stuckAfterOccurrence = 5;
    targetConfigure(stuck);
    frame("36");
    frame("af 00 00 00 00");
    EXPECT_EQ(targetProgramRun(data, 3), 0u); // each af counts towards the fault
}

} // namespace

// {location} in a file name: the opened device's location id, lower-case
// hexadecimal without 0x, wherever and however often it stands.
TEST(TargetEnvironment, LocationInAPathIsItsHexId) {
    struct PathCase {
        const char* path;
        uint32_t location;
        const char* expected;
    };
    const PathCase cases[] = {
        {"flash-{location}.bin", 0x1102, "flash-1102.bin"},
        {"{location}/{location}.txt", 0xABCDEF01, "abcdef01/abcdef01.txt"},
        {"flash.bin", 0x1102, "flash.bin"},
        {"{location}", 0, "0"},
        {"{locat}{LOCATION}{location", 0x1102, "{locat}{LOCATION}{location"},
        {"", 0x1102, ""},
    };
    for (const PathCase& pathCase : cases) {
        EXPECT_EQ(envPathAtLocation(pathCase.path, pathCase.location), pathCase.expected) << pathCase.path;
    }
}

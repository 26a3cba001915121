// End-to-end tests of the companion command orvan, run as a process against
// the virtual adapter (or the MPSSE library over the emulated cable, or
// under Wine): statuses, error lines, the flash file, the trace and --json.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "program_fixture.h"

namespace {

const std::string TWO_CABLES = "VADAPTER_DEVICES=Vexil USB-SPI Cable|A|0x1101;Vexil USB-SPI Cable|A|0x1102";
const int STATUS_SIGINT = 130;

std::string hex(unsigned value, int digits) {
    char text[16];
    snprintf(text, sizeof(text), "0x%0*x", digits, value);
    return text;
}

// The oracle for --json's digests: the host's own tool, not orvan's code.
std::string sha256OfFile(const std::string& path) {
    std::string command = "sha256sum '" + path + "'";
    FILE* pipe = popen(command.c_str(), "r");
    char digest[65] = "";
    if (pipe != nullptr) {
        int scanned = fscanf(pipe, "%64s", digest);
        (void)scanned;
        pclose(pipe);
    }
    return digest;
}

// One Intel HEX data record and the end record.
std::string intelHex(unsigned address, const std::string& bytes) {
    unsigned sum = static_cast<unsigned>(bytes.size()) + (address >> 8) + (address & 0xFF);
    std::string text =
        ":" + hex(static_cast<unsigned>(bytes.size()), 2).substr(2) + hex(address, 4).substr(2) + "00";
    for (char byte : bytes) {
        text += hex(static_cast<uint8_t>(byte), 2).substr(2);
        sum += static_cast<uint8_t>(byte);
    }
    return text + hex((0x100 - (sum & 0xFF)) & 0xFF, 2).substr(2) + "\n:00000001FF\n";
}

struct Outcome {
    int status;
    std::string output;
    std::string errorLine; // the "orvan: ..." lines of standard error
    ProgramResult result;
};

class OrvanCommandTest : public ProgramTest {
  protected:
    // Runs orvan with a command line of space-separated words and, when not
    // empty, one NAME=value.
    Outcome orvan(const std::string& line, const std::string& variable = "",
                  ProgramRun programRun = ProgramRun()) {
        // A run that never calls the adapter library leaves no trace of its own.
        unlink(path("trace.txt").c_str());
        std::istringstream words(line);
        for (std::string word; words >> word;) {
            programRun.arguments.push_back(word);
        }
        if (!variable.empty()) {
            programRun.environment.push_back(variable);
        }
        programRun.errorFile = "stderr.txt";
        Outcome outcome;
        outcome.result = run(programRun);
        outcome.status = outcome.result.status;
        outcome.output = outcome.result.output;
        std::istringstream errors(readWholeFile(path("stderr.txt")));
        for (std::string errorLine; std::getline(errors, errorLine);) {
            if (!errorLine.empty() && errorLine.back() == '\r') {
                errorLine.pop_back();
            }
            if (errorLine.rfind("orvan: ", 0) == 0) {
                outcome.errorLine += (outcome.errorLine.empty() ? "" : "|") + errorLine;
            }
        }
        return outcome;
    }
    void prepareFlash() {
        writeFile(path("flash.bin"), imageBytes(FLASH_SIZE, 9));
    }
    // Cases with a virtual-adapter-only variable are left out over the emulated cable.
    bool skipped(const std::string& variable) {
        return !variable.empty() && needsVirtualAdapter({variable});
    }
};

// The names of the unfinished read files in the folder, if any.
std::string partFiles(const std::string& folder) {
    std::string names;
    DIR* listing = opendir(folder.c_str());
    for (dirent* entry = listing != nullptr ? readdir(listing) : nullptr; entry != nullptr;
         entry = readdir(listing)) {
        std::string name = entry->d_name;
        if (name.size() > 5 && name.compare(name.size() - 5, 5, ".part") == 0) {
            names += name + " ";
        }
    }
    if (listing != nullptr) {
        closedir(listing);
    }
    return names;
}

std::string usage(const std::string& why) {
    return "orvan: usage: " + why + " (see orvan --help)";
}

// ---------------------------------------------------------------- command line

struct CommandLineCase {
    std::string line;
    int status;
    std::string errorLine; // status 2: the line; otherwise none
    std::string outputHas;
};

TEST_F(OrvanCommandTest, CommandLinesGiveTheirStatusErrorLineAndOutput) {
    prepareFlash();
    makeImage("a.bin", 100);
    makeImage("big.bin", 20000);
    makeImage("out.bin", 10);
    ASSERT_EQ(mkdir(path("folder").c_str(), 0755), 0);
    const std::string SHARED = "orvan: a.bin@1: sector 1 is also verified by big.bin@1; two images cannot "
                               "share a sector, since each sector is compared with one image";
    std::vector<CommandLineCase> cases = {
        {"--help", 0, "", "Usage: orvan"},
        {"erase --help", 0, "", "--count"},
        {"--version", 0, "", "orvan v"},
        {"list", 0, "", "A        Vexil USB-SPI Cable  (default)\n"},
        {"-q 0 info", 0, "", "clock     30000000 Hz (divisor 0)\nidentity  0xac\n"},
        {"-q 65535 info", 0, "", "(divisor 65535)"},
        {"", 2,
         usage("a command is missing (commands: list, info, read, verify, erase, write, recipe, run, report, "
               "station)"),
         ""},
        // Numbers as orvanwriter reads them: decimal first, then hex.
        {"-q 010 info", 0, "", "(divisor 10)"},
        {"-q 09 info", 0, "", "(divisor 9)"},
        {"-q ff info", 0, "", "(divisor 255)"},
        {"-q 65536 info", 2, usage("-q 65536: not a divisor from 0 to 65535"), ""},
        {"-q -1 info", 2, usage("-q -1: not a divisor from 0 to 65535"), ""},
        {"-q x info", 2, usage("-q x: not a divisor from 0 to 65535"), ""},
        {"--log folder info", 4,
         "orvan: --log folder: cannot be appended to (no such folder, no permission, or not a regular file)",
         ""},
        {"verify a.bin@1.5", 2,
         "orvan: a.bin@1.5: '1.5' is not a sector number (0 to 7) or an address (0x0 to 0x1ffff)", ""},
        {"verify a.bin@16384", 2,
         "orvan: a.bin@16384: sector 16384 is out of range (0 to 7); for an address write a.bin@0x4000", ""},
        {"verify big.bin@0x1c000", 2,
         "orvan: big.bin@0x1c000: 20000 bytes do not fit at 0x1c000 (at most 16384 to the end of the flash)",
         ""},
        {"--cable 0x1101x info", 2,
         usage("--cable: not all, a location in hex or locations separated by commas: 0x1101x"), ""},
        {"--cable 123456789 info", 2,
         usage("--cable: not all, a location in hex or locations separated by commas: 123456789"), ""},
        {"list extra", 2, usage("unexpected argument extra"), ""},
        {"-q 2 frobnicate", 2,
         usage("unknown command frobnicate (commands: list, info, read, verify, erase, write, recipe, run, "
               "report, station)"),
         ""},
        {"wirte", 2, usage("unknown command wirte; did you mean write?"), ""},
        {"help write", 0, "", "--changed"},
        {"--cable 0x1101 help", 0, "", "Subcommands:"},
        {"read -o n.bin --sector 1 --sector 2", 2, usage("--sector: given more than once"), ""},
        {"erase --sector 010", 2, usage("--sector: 010 is not a sector (0 to 7)"), ""},
        {"read -o nofolder/n.bin", 2,
         "orvan: nofolder/n.bin: cannot be created (no such folder, or no permission)", ""},
        {"read -o folder", 2, "orvan: folder: is a folder; name a file to write", ""},
        {"read", 2, usage("--output is missing"), ""},
        {"read -o n.bin --sector 8", 2, usage("--sector: 8 is not a sector (0 to 7)"), ""},
        {"read -o n.bin --sector 6 --count 3", 2, "orvan: --count 3: only 2 sectors follow sector 6", ""},
        {"erase --sector 7 --count 2", 2, "orvan: --count 2: only 1 sector follows sector 7", ""},
        {"read -o out.bin", 2, "orvan: out.bin: exists (give --force to replace it)", ""},
        {"erase --count 0", 2, usage("--count: 0 is not a count of sectors (1 to 8)"), ""},
        {"verify", 2, usage("IMAGE is missing: name at least one image"), ""},
        {"verify big.bin@7", 2, "orvan: big.bin@7: 20000 bytes do not fit in sector 7 (at most 16384)", ""},
        {"verify a.bin@0 big.bin@1 a.bin@1", 2, SHARED, ""},
        {"verify a.bin@8", 2, "orvan: a.bin@8: sector 8 is out of range (0 to 7)", ""},
        {"verify a.bin", 2,
         "orvan: a.bin: not an Intel HEX or S-record file; give a raw image as FILE@SECTOR", ""},
    };
    // Lines that carry the host's own error texts.
    if (!programIsWrapped()) {
        cases.push_back(
            {"verify a.bin@0 no.bin@1", 2, "orvan: no.bin@1: cannot open: No such file or directory", ""});
        cases.push_back({"verify folder@0", 2, "orvan: folder@0: is a folder, not a file", ""});
    }
    for (const CommandLineCase& lineCase : cases) {
        Outcome outcome = orvan(lineCase.line);
        EXPECT_EQ(outcome.status, lineCase.status) << lineCase.line;
        EXPECT_EQ(outcome.errorLine, lineCase.errorLine) << lineCase.line;
        EXPECT_NE(outcome.output.find(lineCase.outputHas), std::string::npos)
            << lineCase.line << ": " << outcome.output;
        if (lineCase.status == 2) {
            EXPECT_EQ(outcome.output, "") << lineCase.line;
            EXPECT_FALSE(adapterOpened()) << lineCase.line << ": a usage error touched the cable";
        }
    }
    EXPECT_TRUE(flash() == imageBytes(FLASH_SIZE, 9));
    EXPECT_EQ(readWholeFile(path("out.bin")), imageBytes(10, 1));
}

// ---------------------------------------------------------------- read, verify, erase

struct RangeCase {
    std::string options;
    size_t firstSector;
    size_t sectors;
};

TEST_F(OrvanCommandTest, ReadGivesTheFlashByteForByte) {
    prepareFlash();
    const std::string flashBefore = flash();
    const std::vector<RangeCase> cases = {
        {"", 0, 8},          {"--sector 2 --count 3", 2, 3},     {"--sector 7", 7, 1}, {"--sector 2", 2, 1},
        {"--count 1", 0, 1}, {"--sector 0x5 --count 0x3", 5, 3},
    };
    for (const RangeCase& rangeCase : cases) {
        Outcome outcome = orvan("--quiet read -o out.bin --force " + rangeCase.options);
        EXPECT_EQ(outcome.status, 0) << rangeCase.options << ": " << outcome.errorLine;
        EXPECT_TRUE(readWholeFile(path("out.bin")) ==
                    flashBefore.substr(rangeCase.firstSector * SECTOR, rangeCase.sectors * SECTOR))
            << rangeCase.options;
        EXPECT_TRUE(adapterClosed()) << rangeCase.options;
    }
    EXPECT_TRUE(flash() == flashBefore) << "a read changed the flash";
}

struct VerifyCase {
    std::vector<std::pair<std::string, std::string>> files; // name, contents
    std::string images;
    int status;
    std::string errorLine;
};

TEST_F(OrvanCommandTest, VerifyPassesAndNamesTheFirstDifference) {
    prepareFlash();
    const std::string flashBytes = flash();
    auto slice = [&](size_t address, size_t length) { return flashBytes.substr(address, length); };
    auto changed = [&](size_t address, size_t length, size_t at) {
        std::string bytes = slice(address, length);
        bytes[at] = static_cast<char>(~bytes[at]);
        return bytes;
    };
    auto difference = [&](const std::string& image, unsigned address) {
        uint8_t onFlash = static_cast<uint8_t>(flashBytes[address]);
        return "orvan: " + image + ": differs at " + hex(address, 1) + ": flash " + hex(onFlash, 2) +
               ", image " + hex(static_cast<uint8_t>(~onFlash), 2);
    };
    const std::vector<VerifyCase> cases = {
        {{{"w.bin", slice(0, FLASH_SIZE)}}, "w.bin@0", 0, ""},
        // Past an image's end the sector is not compared.
        {{{"p.bin", slice(3 * SECTOR, 1000)}}, "p.bin@3", 0, ""},
        {{{"a.bin", slice(0, 5)}, {"b.bin", slice(5 * SECTOR, 2 * SECTOR)}}, "b.bin@5 a.bin@0", 0, ""},
        {{{"p.bin", changed(3 * SECTOR, 1000, 777)}}, "p.bin@3", 1, difference("p.bin@3", 3 * SECTOR + 777)},
        {{{"w.bin", changed(0, FLASH_SIZE, FLASH_SIZE - 1)}},
         "w.bin@0",
         1,
         difference("w.bin@0", FLASH_SIZE - 1)},
        {{{"a.bin", slice(0, 5)}, {"b.bin", changed(6 * SECTOR, 10, 0)}},
         "a.bin@0 b.bin@6",
         1,
         difference("b.bin@6", 6 * SECTOR)},
        {{{"x.hex", intelHex(0x4010, slice(0x4010, 4))}}, "x.hex", 0, ""},
        {{{"x.hex", intelHex(0x4010, changed(0x4010, 4, 2))}}, "x.hex", 1, difference("x.hex", 0x4012)},
    };
    for (const VerifyCase& verifyCase : cases) {
        for (const auto& file : verifyCase.files) {
            writeFile(path(file.first), file.second);
        }
        Outcome outcome = orvan("--quiet verify " + verifyCase.images);
        EXPECT_EQ(outcome.status, verifyCase.status) << verifyCase.images;
        EXPECT_EQ(outcome.errorLine, verifyCase.errorLine) << verifyCase.images;
        EXPECT_TRUE(adapterClosed()) << verifyCase.images;
    }
    EXPECT_TRUE(flash() == flashBytes) << "a verify changed the flash";
}

TEST_F(OrvanCommandTest, EraseLeavesExactlyTheAskedSectorsErased) {
    const std::vector<RangeCase> cases = {
        {"", 0, 8},
        {"--sector 3", 3, 1},
        {"--count 3", 0, 3},
        {"--sector 5 --count 2", 5, 2},
        {"--sector 7 --count 1", 7, 1},
        {"--count 1", 0, 1},
    };
    for (const RangeCase& rangeCase : cases) {
        prepareFlash();
        std::string expected = flash();
        expected.replace(rangeCase.firstSector * SECTOR, rangeCase.sectors * SECTOR,
                         rangeCase.sectors * SECTOR, '\xFF');
        Outcome outcome = orvan("--quiet erase " + rangeCase.options);
        EXPECT_EQ(outcome.status, 0) << rangeCase.options << ": " << outcome.errorLine;
        EXPECT_TRUE(flash() == expected) << rangeCase.options;
    }
}

// What a command works on is shown on standard error before the cable is
// opened: with no cable listed the line is there all the same.
TEST_F(OrvanCommandTest, ShowsWhatItWorksOnBeforeTheCable) {
    prepareFlash();
    writeFile(path("a.bin"), std::string(100, 'a'));
    writeFile(path("app.hex"), intelHex(0x7ff0, std::string(32, 'h')));
    const struct {
        std::string line;
        std::string shown; // empty: nothing but errors on standard error
    } cases[] = {
        {"erase", "erase: sectors 0-7 (0x000000-0x01ffff, 128 KiB)\n"},
        {"erase --sector 1", "erase: sector 1 (0x004000-0x007fff, 16 KiB)\n"},
        {"read -o n.bin --count 2", "read: sectors 0-1 (0x000000-0x007fff, 32 KiB)\n"},
        {"verify a.bin@0x1ff9c app.hex",
         "a.bin@0x1ff9c: 0x01ff9c-0x01ffff, sector 7\napp.hex: 0x007ff0-0x00800f, sectors 1-2\n"},
        {"--json write app.hex@base=0x0", "app.hex@base=0x0: 0x007ff0-0x00800f, sectors 1-2\n"},
        {"--quiet verify app.hex", ""},
    };
    for (const auto& c : cases) {
        if (skipped("VADAPTER_DEVICES=")) {
            break;
        }
        Outcome outcome = orvan(c.line, "VADAPTER_DEVICES=");
        EXPECT_EQ(outcome.status, 3) << c.line;
        std::string errors = readWholeFile(path("stderr.txt"));
        // A Windows program's text lines end in "\r\n".
        errors.erase(std::remove(errors.begin(), errors.end(), '\r'), errors.end());
        EXPECT_EQ(errors.substr(0, errors.find("orvan: ")), c.shown) << c.line;
    }
    EXPECT_TRUE(flash() == imageBytes(FLASH_SIZE, 9));
}

// ---------------------------------------------------------------- faults and cables

struct FaultCase {
    std::string variable;
    std::string line;
    int status;
    std::string errorLine;
};

TEST_F(OrvanCommandTest, AdapterFaultsGiveStatusOneOrThreeWithALine) {
    const std::string NO_CABLE = "orvan: cable: no cable named Vexil... on channel A is listed";
    const std::string IDENTITY =
        "orvan: target: wrong identity byte 0xad (expected 0xac): no target, or not an Orvan target";
    const std::string UNOPENED =
        "orvan: cable 0x1101: could not be opened (in use by another program, or unplugged)";
    const std::string GONE_1101 = "orvan: cable 0x1101: stopped answering during ";
    const std::string GONE_USB = "orvan: cable 0x1200000: stopped answering during ";
    const std::string GONE_WHY = " (unplugged, or its USB link failed)";
    const std::vector<FaultCase> cases = {
        {"VADAPTER_DEVICES=", "info", 3, NO_CABLE},
        {"VADAPTER_DEVICES=Vexil USB-SPI Cable|B|0x1101", "read -o new.bin", 3, NO_CABLE},
        {"VADAPTER_COUNT_STATUS=1", "list", 3,
         "orvan: list: the adapter library could not count its devices"},
        {"VADAPTER_DESCRIBE_FAIL=0", "list", 3,
         "orvan: list: the adapter library could not describe device 0"},
        {"VADAPTER_OPEN_STATUS=5", "read -o new.bin", 3, UNOPENED},
        {"VADAPTER_LINE_LEVELS_STATUS=1", "erase", 3, "orvan: cable 0x1101: refused its line settings"},
        {"VADAPTER_IDENTITY=0xad", "erase", 3, IDENTITY},
        {"VADAPTER_IDENTITY=0xad", "read -o new.bin", 3, IDENTITY},
        {"VADAPTER_UNERASED_SECTOR=2", "erase --sector 1 --count 2", 1,
         "orvan: erase: sector 2 is not blank after the erase: 0x00 at 0x8064"},
        {"VADAPTER_STUCK_AFTER=0x20:2", "erase", 1,
         "orvan: erase of sector 1: the target stayed busy or did not answer in time"},
        {"VADAPTER_VANISH_AFTER=5", "info", 3, GONE_1101 + "its set-up" + GONE_WHY},
        {"VADAPTER_VANISH_AFTER=8", "info", 3, GONE_1101 + "the identity read" + GONE_WHY},
        {"VADAPTER_VANISH_AFTER=11", "read -o new.bin", 3, GONE_1101 + "read at 0x0" + GONE_WHY},
        {"VADAPTER_VANISH_AFTER=11", "verify flash.bin@0", 3, GONE_1101 + "verify at 0x0" + GONE_WHY},
        {"VUSB_UNPLUG_AFTER=14", "info", 3, GONE_USB + "the identity read" + GONE_WHY},
        {"VUSB_UNPLUG_AFTER=16", "read -o new.bin", 3, GONE_USB + "read at 0x0" + GONE_WHY},
        {"VUSB_UNPLUG_AFTER=16", "verify flash.bin@0", 3, GONE_USB + "verify at 0x0" + GONE_WHY},
    };
    for (const FaultCase& fault : cases) {
        if (skipped(fault.variable) || needsEmulatedCable({fault.variable})) {
            continue;
        }
        prepareFlash();
        Outcome outcome = orvan("--quiet " + fault.line, fault.variable);
        const std::string name = fault.variable + " " + fault.line;
        EXPECT_EQ(outcome.status, fault.status) << name;
        EXPECT_EQ(outcome.errorLine, fault.errorLine) << name;
        EXPECT_EQ(adapterOpened(), adapterClosed()) << name << ": the cable was left open";
        EXPECT_NE(access(path("new.bin").c_str(), F_OK), 0) << name << ": a failed read left a file";
        if (fault.status == 3) {
            EXPECT_TRUE(flash() == imageBytes(FLASH_SIZE, 9)) << name << ": the flash changed";
        }
    }
}

struct VerboseCase {
    std::string line;
    std::string variable;
    std::vector<std::string> shown; // lines of standard error, each present
};

// --verbose shows the target's transactions by their shape; without it, none.
TEST_F(OrvanCommandTest, VerboseShowsEachTransaction) {
    prepareFlash();
    writeFile(path("part.bin"), std::string(3000, '\x5A'));
    const std::vector<VerboseCase> cases = {
        {"--verbose read --sector 1 --count 1 -o out.bin",
         "",
         {"orvan: spi: read identity 0x90 -> 0xac", "orvan: spi: read status 0x05 -> 0x01",
          "orvan: spi: read open", "orvan: spi: read 0x004000 16384 bytes", "orvan: spi: read close"}},
        {"-v write part.bin@2",
         "",
         {"orvan: spi: erase sector @0x008000", "orvan: spi: program open",
          "orvan: spi: program byte @0x008000 0x5a", "orvan: spi: queue 2999 bytes",
          "orvan: spi: program close"}},
        {"--verbose info",
         "VADAPTER_VANISH_AFTER=8",
         {"orvan: spi: read identity 0x90 -> nothing (status 4: device gone)"}},
        {"read --sector 1 --count 1 -o none.bin", "", {}},
    };
    for (const VerboseCase& verboseCase : cases) {
        if (skipped(verboseCase.variable)) {
            continue;
        }
        Outcome outcome = orvan("--quiet " + verboseCase.line, verboseCase.variable);
        std::string errors = "\n" + readWholeFile(path("stderr.txt"));
        // A Windows program's text lines end in "\r\n".
        errors.erase(std::remove(errors.begin(), errors.end(), '\r'), errors.end());
        for (const std::string& line : verboseCase.shown) {
            EXPECT_NE(errors.find("\n" + line + "\n"), std::string::npos) << verboseCase.line << errors;
        }
        if (verboseCase.shown.empty()) {
            EXPECT_EQ(errors.find("orvan: spi:"), std::string::npos) << verboseCase.line << errors;
        }
    }
}

struct CableCase {
    std::string devices;
    std::string cable;
    std::string location;    // the one info shows; empty: none opened, status 3
    std::string openedTrace; // the trace's line that opens it
};

TEST_F(OrvanCommandTest, CableOptionPicksTheListedLocation) {
    const std::string OPEN = "\nopen name=\"Vexil USB-SPI Cable\" location=";
    const std::string MIXED =
        "VADAPTER_DEVICES=Other|A|0x1101;Vexil USB-SPI Cable|B|0x1102;Vexil USB-SPI Cable|A|0x1103";
    const std::vector<CableCase> overAdapter = {
        {TWO_CABLES, "--cable 0x1102", "0x1102", OPEN + "0x1102 "},
        {TWO_CABLES, "--cable 1102", "0x1102", OPEN + "0x1102 "},
        {TWO_CABLES, "", "0x1101", OPEN + "0x1101 "},
        {TWO_CABLES, "--cable 0x1103", "", ""},
        {MIXED, "", "0x1103", OPEN + "0x1103 "},
        {MIXED, "--cable 0x1102", "0x1102", OPEN + "0x1102 "},
    };
    // The emulated cable's location is its bus and port; each has channels A and B.
    const std::string TWO_USB = "VUSB_DEVICES=0x6010|Vexil USB-SPI Cable|1|2;0x6010|Vexil USB-SPI Cable|1|3";
    const std::vector<CableCase> overUsb = {
        {TWO_USB, "--cable 0x1300000", "0x1300000", "\nclaim device=1 "},
        {TWO_USB, "", "0x1200000", "\nclaim device=0 "},
        {TWO_USB, "--cable 0x1400000", "", ""},
    };
    for (const CableCase& cableCase : programIsOverUsb() ? overUsb : overAdapter) {
        Outcome outcome = orvan(cableCase.cable + " info", cableCase.devices);
        const std::string name = cableCase.devices + " " + cableCase.cable;
        if (cableCase.location.empty()) {
            EXPECT_EQ(outcome.status, 3) << name;
            std::string location = cableCase.cable.substr(cableCase.cable.find(' ') + 1);
            EXPECT_EQ(outcome.errorLine,
                      "orvan: cable " + location + ": no cable is listed at that location");
            EXPECT_FALSE(adapterOpened()) << name;
            continue;
        }
        EXPECT_EQ(outcome.status, 0) << name << ": " << outcome.errorLine;
        EXPECT_NE(trace().find(cableCase.openedTrace), std::string::npos) << name << ": " << trace();
        EXPECT_NE(outcome.output.find("location  " + cableCase.location + "\n"), std::string::npos) << name;
    }
    if (!programIsOverUsb()) {
        Outcome listed = orvan("list", MIXED);
        EXPECT_EQ(listed.output, "index  location    channel  name\n"
                                 "0      0x1101      A        Other\n"
                                 "1      0x1102      B        Vexil USB-SPI Cable\n"
                                 "2      0x1103      A        Vexil USB-SPI Cable  (default)\n");
    }
}

// ---------------------------------------------------------------- --json

struct JsonCase {
    std::string line;
    std::string variable;
    int status;
    std::string command;
    bool cableChosen;
    std::string listKey; // "ranges" or "images": the per range or image records
    std::string result;  // of the first record
};

TEST_F(OrvanCommandTest, JsonPrintsExactlyOneRecordWhateverTheOutcome) {
    prepareFlash();
    writeFile(path("good.bin"), flash().substr(2 * SECTOR, 3000));
    writeFile(path("bad.bin"), std::string(10, '\x5A'));
    const std::vector<JsonCase> cases = {
        {"list", "", 0, "list", false, "", ""},
        {"info", "", 0, "info", true, "", ""},
        {"read -o out.bin --sector 1 --count 2", "", 0, "read", true, "ranges", "read"},
        {"verify good.bin@2", "", 0, "verify", true, "images", "verified"},
        {"verify bad.bin@4", "", 1, "verify", true, "images", "mismatch"},
        {"erase --sector 6", "", 0, "erase", true, "ranges", "erased"},
        {"info", "VADAPTER_IDENTITY=0xad", 3, "info", true, "", ""},
        {"erase", "VADAPTER_UNERASED_SECTOR=0", 1, "erase", true, "", ""},
        {"-q 99999 info", "", 2, "info", false, "", ""},
        {"frobnicate", "", 2, "", false, "", ""},
        {"verify missing.bin@0", "", 2, "verify", false, "", ""},
    };
    for (const JsonCase& jsonCase : cases) {
        if (skipped(jsonCase.variable)) {
            continue;
        }
        Outcome outcome = orvan("--json " + jsonCase.line, jsonCase.variable);
        const std::string& name = jsonCase.line;
        EXPECT_EQ(outcome.status, jsonCase.status) << name;
        nlohmann::json record = nlohmann::json::parse(outcome.output, nullptr, false);
        ASSERT_TRUE(record.is_object()) << name << ": not one JSON object: " << outcome.output;
        EXPECT_EQ(record["command"], jsonCase.command) << name;
        EXPECT_EQ(record["ok"], jsonCase.status == 0) << name;
        EXPECT_EQ(record["status"], outcome.status) << name;
        EXPECT_TRUE(record["seconds"].is_number() && record["seconds"] >= 0) << name;
        if (jsonCase.status == 0) {
            EXPECT_TRUE(record["error"].is_null()) << name;
        } else {
            EXPECT_EQ("orvan: " + record["error"].get<std::string>(), outcome.errorLine) << name;
        }
        EXPECT_EQ(record.contains("cable"), jsonCase.cableChosen) << name;
        if (jsonCase.cableChosen) {
            EXPECT_EQ(record["cable"]["channel"], "A") << name;
            EXPECT_EQ(record["cable"]["name"], "Vexil USB-SPI Cable") << name;
            EXPECT_TRUE(record["cable"]["location"].is_string()) << name;
        }
        if (jsonCase.listKey.empty()) {
            continue;
        }
        ASSERT_TRUE(record[jsonCase.listKey].is_array() && record[jsonCase.listKey].size() == 1) << name;
        const nlohmann::json& first = record[jsonCase.listKey][0];
        EXPECT_EQ(first["result"], jsonCase.result) << name;
        EXPECT_TRUE(first["sector"].is_number() && first["bytes"].is_number()) << name;
        if (first.contains("file")) {
            EXPECT_EQ(first["sha256"], sha256OfFile(path(first["file"]))) << name;
        }
    }
    Outcome read = orvan("--json --quiet read -o whole.bin");
    nlohmann::json range = nlohmann::json::parse(read.output, nullptr, false)["ranges"][0];
    EXPECT_EQ(range["bytes"], FLASH_SIZE);
    EXPECT_EQ(range["sector"], 0);
}

// ---------------------------------------------------------------- files read writes

// read writes a file of its own making and then names it: a file it did not
// make (a planted ".part", a link's target that is no regular file, a FIFO,
// the log) is never truncated, removed, replaced or waited on.
TEST_F(OrvanCommandTest, ReadTouchesNoFileItDidNotMake) {
    if (programIsWrapped()) {
        GTEST_SKIP() << "links, FIFOs and devices are the POSIX host's";
    }
    struct ReadCase {
        std::string name;
        std::function<void()> prepare;
        std::vector<std::string> arguments;
        std::string variable;
        int status;
        std::string errorLine;
        std::function<void()> check;
        std::string partsLeft = ""; // the user's own ".part", which stays
    };
    auto file = [this](const std::string& name) { return readWholeFile(path(name)); };
    auto isLink = [this](const std::string& name) {
        struct stat status;
        return lstat(path(name).c_str(), &status) == 0 && S_ISLNK(status.st_mode);
    };
    const std::string NOT_REGULAR = ": is not a regular file (a device, a FIFO or a link to nothing)";
    std::vector<ReadCase> cases = {
        {"a .part of the user's stays when no cable is found",
         [&] { writeFile(path("backup.bin.part"), "notes"); },
         {"read", "-o", "backup.bin"},
         programIsOverUsb() ? "VUSB_DEVICES=" : "VADAPTER_DEVICES=",
         3,
         "orvan: cable: no cable named Vexil... on channel A is listed",
         [&] { EXPECT_EQ(file("backup.bin.part"), "notes"); },
         "backup.bin.part "},
        {"a .part link is not written through",
         [&] {
             writeFile(path("notes.txt"), "keep");
             ASSERT_EQ(symlink("notes.txt", path("backup.bin.part").c_str()), 0);
         },
         {"read", "-o", "backup.bin"},
         "",
         0,
         "",
         [&] {
             EXPECT_EQ(file("notes.txt"), "keep");
             EXPECT_FALSE(isLink("backup.bin"));
             EXPECT_TRUE(file("backup.bin") == flash());
         },
         "backup.bin.part "},
        {"a link to a device is refused, and stays a link",
         [&] { ASSERT_EQ(symlink("/dev/null", path("out.bin").c_str()), 0); },
         {"read", "--force", "-o", "out.bin"},
         "",
         2,
         "orvan: out.bin" + NOT_REGULAR,
         [&] { EXPECT_TRUE(isLink("out.bin")); }},
        {"a link to a regular file is written through",
         [&] {
             writeFile(path("target.bin"), "old");
             ASSERT_EQ(symlink("target.bin", path("out.bin").c_str()), 0);
         },
         {"read", "--force", "-o", "out.bin"},
         "",
         0,
         "",
         [&] {
             EXPECT_TRUE(isLink("out.bin"));
             EXPECT_TRUE(file("target.bin") == flash());
         }},
        {"a FIFO as the file is refused at once",
         [&] { ASSERT_EQ(mkfifo(path("out.bin").c_str(), 0600), 0); },
         {"read", "--force", "-o", "out.bin"},
         "",
         2,
         "orvan: out.bin" + NOT_REGULAR,
         [] {}},
        {"a FIFO as the log is refused at once",
         [&] { ASSERT_EQ(mkfifo(path("log").c_str(), 0600), 0); },
         {"--log", "log", "read", "-o", "out.bin"},
         "",
         4,
         "orvan: --log log: cannot be appended to (no such folder, no permission, or not a regular file)",
         [&] { EXPECT_NE(access(path("out.bin").c_str(), F_OK), 0); }},
        {"a device as the log is refused",
         [] {},
         {"--log", "/dev/full", "info"},
         "",
         4,
         "orvan: --log /dev/full: cannot be appended to (no such folder, no permission, or not a regular "
         "file)",
         [] {}},
        {"an empty log name",
         [] {},
         {"--log", "", "info"},
         "",
         2,
         "orvan: --log: the file name is empty",
         [] {}},
        {"an empty file name",
         [] {},
         {"read", "-o", ""},
         "",
         2,
         "orvan: read -o: the file name is empty",
         [] {}},
    };
    for (const ReadCase& readCase : cases) {
        prepareFlash();
        for (const char* name :
             {"backup.bin", "backup.bin.part", "notes.txt", "out.bin", "target.bin", "log"}) {
            unlink(path(name).c_str());
        }
        readCase.prepare();
        ProgramRun programRun;
        programRun.arguments = readCase.arguments;
        programRun.timeoutSeconds = 10;
        Outcome outcome = orvan("--quiet", readCase.variable, programRun);
        EXPECT_FALSE(outcome.result.timedOut) << readCase.name;
        EXPECT_EQ(outcome.status, readCase.status) << readCase.name;
        EXPECT_EQ(outcome.errorLine, readCase.errorLine) << readCase.name;
        if (readCase.status == 2) {
            EXPECT_FALSE(adapterOpened()) << readCase.name << ": the cable was touched";
        }
        readCase.check();
        EXPECT_EQ(partFiles(directory), readCase.partsLeft) << readCase.name;
    }
}

// Reads from two cables to one file at once: never both succeed, and the one
// that does names the bytes the file holds.
TEST_F(OrvanCommandTest, TwoReadsToOneFileNeverBothSucceed) {
    if (programIsWrapped() || programIsOverUsb()) {
        GTEST_SKIP() << "two processes at once on the virtual adapter";
    }
    const int PAIRS = 20;
    for (int pair = 0; pair < PAIRS; pair++) {
        unlink(path("out.bin").c_str());
        Outcome outcomes[2];
        std::thread readers[2];
        for (int i = 0; i < 2; i++) {
            readers[i] = std::thread([&, i] {
                ProgramRun programRun;
                programRun.arguments = {"--json", "--quiet", "--cable", i == 0 ? "0x1101" : "0x1102",
                                        "read",   "-o",      "out.bin"};
                programRun.environment = {TWO_CABLES, "VADAPTER_FLASH=fl-{location}.bin", "VADAPTER_TRACE="};
                programRun.directory = directory;
                programRun.errorFile = "pair-" + std::to_string(i) + ".txt";
                ProgramResult result = runProgram(programRun);
                outcomes[i].status = result.status;
                outcomes[i].output = result.output;
            });
        }
        readers[0].join();
        readers[1].join();
        int succeeded = 0;
        for (const Outcome& outcome : outcomes) {
            if (outcome.status != 0) {
                continue;
            }
            succeeded++;
            nlohmann::json range = nlohmann::json::parse(outcome.output, nullptr, false)["ranges"][0];
            EXPECT_EQ(range.value("sha256", ""), sha256OfFile(path("out.bin"))) << "pair " << pair;
        }
        EXPECT_EQ(succeeded, 1) << "pair " << pair << ": " << outcomes[0].status << ", "
                                << outcomes[1].status;
        EXPECT_EQ(partFiles(directory), "") << "pair " << pair;
    }
}

// ---------------------------------------------------------------- interruption

TEST_F(OrvanCommandTest, InterruptionClosesTheCableAndSaysWhatTheFlashHolds) {
    if (programIsOverUsb() || programIsWrapped()) {
        GTEST_SKIP() << "the real-time mode is the virtual adapter's, and Wine takes early signals itself";
    }
    // At divisor 100 (297 kHz) the whole flash takes 3.5 s to read in real
    // time. At divisor 1000 (30 kHz) a sector's blank check takes 4.4 s and
    // the writer's programming batch of 10240 bytes 5.5 s: the signal comes
    // during programming, which must stop within its 250 ms batch.
    makeImage("sector.bin", SECTOR);
    struct InterruptCase {
        std::string command;
        std::string errorLine;
        int signalAfterMs;
        double withinSeconds;
    };
    const std::vector<InterruptCase> cases = {
        {"-q 100 read -o out.bin", "orvan: interrupted: the flash is unchanged", 700, 3.0},
        {"-q 100 erase", "orvan: interrupted: the flash may be incomplete", 700, 3.0},
        {"-q 1000 write sector.bin@0", "orvan: interrupted: the flash may be incomplete", 5500, 6.5},
    };
    for (const InterruptCase& interruptCase : cases) {
        for (const std::string json : {"", "--json "}) {
            prepareFlash();
            ProgramRun programRun;
            programRun.signalNumber = SIGINT;
            programRun.signalAfterMs = interruptCase.signalAfterMs;
            const std::string name = "--quiet " + json + interruptCase.command;
            Outcome outcome = orvan(name, "VADAPTER_REALTIME=1", programRun);
            EXPECT_TRUE(outcome.result.signalSent) << name;
            EXPECT_EQ(outcome.result.signal, SIGINT) << name;
            EXPECT_LT(outcome.result.wallSeconds, interruptCase.withinSeconds) << name << ": took too long";
            EXPECT_EQ(outcome.errorLine, interruptCase.errorLine) << name;
            EXPECT_TRUE(adapterClosed()) << name;
            EXPECT_NE(access(path("out.bin").c_str(), F_OK), 0)
                << name << ": an interrupted read left a file";
            EXPECT_EQ(partFiles(directory), "") << name;
            if (json.empty()) {
                EXPECT_EQ(outcome.output, "") << name;
                continue;
            }
            nlohmann::json record = nlohmann::json::parse(outcome.output, nullptr, false);
            EXPECT_EQ(record["status"], STATUS_SIGINT) << name << ": " << outcome.output;
            EXPECT_EQ(record["ok"], false) << name;
            EXPECT_EQ("orvan: " + record.value("error", std::string()), interruptCase.errorLine) << name;
        }
    }
}

} // namespace

// The program over the MPSSE adapter library and the emulated USB cable:
// USB faults, cut and short transfers, the device listing, and the same job
// through both adapter libraries.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "program_fixture.h"

namespace {

const double FAULT_SECONDS_LIMIT = 12; // the readiness deadline is 5 s

// The frames the virtual adapter's trace shows, written as the cable writes
// its frames: the host's bytes, then "rN" for N bytes the target answered.
std::string framesOfCalls(const std::string& trace) {
    std::istringstream lines(trace);
    std::string frames;
    for (std::string line; std::getline(lines, line);) {
        std::string kind = line.substr(0, line.find(' '));
        if (kind != "read" && kind != "write" && kind != "queue") {
            continue;
        }
        std::string frame = line.substr(line.find("cmd=") + 4, 2);
        size_t address = line.find(" addr=");
        if (address != std::string::npos) {
            for (size_t at = address + 6; at < address + 12; at += 2) {
                frame += " " + line.substr(at, 2);
            }
        }
        size_t byte = line.find(" byte=");
        if (kind != "read" && byte != std::string::npos) {
            frame += " " + line.substr(byte + 6, 2);
        }
        if (kind == "read") {
            size_t bits = line.find(" data=");
            frame += " r" + std::to_string(std::stoul(line.substr(bits + 6)) / 8);
        }
        frames += frame + "\n";
    }
    return frames;
}

// The end-to-end fixture with a fresh flash each run; a test may change the
// library folders (ORVAN_OVER_USB), which are put back after it.
class UsbCableTest : public ProgramTest {
  public:
    void SetUp() override {
        ProgramTest::SetUp();
        overUsb = getenv("ORVAN_OVER_USB") == nullptr ? "" : getenv("ORVAN_OVER_USB");
        ASSERT_FALSE(overUsb.empty()) << "ORVAN_OVER_USB names the library folders";
    }
    void TearDown() override {
        setenv("ORVAN_OVER_USB", overUsb.c_str(), 1);
        ProgramTest::TearDown();
    }
    using ProgramTest::makeImage;
    using ProgramTest::trace;
    ProgramResult run(const std::vector<std::string>& arguments,
                      const std::vector<std::string>& environment) {
        unlink(path("flash.bin").c_str());
        ProgramRun programRun;
        programRun.arguments = arguments;
        programRun.environment = environment;
        programRun.timeoutSeconds = 30;
        return ProgramTest::run(programRun);
    }
    std::string frames() const {
        return readWholeFile(path("frames.txt"));
    }

    std::string overUsb;
};

const std::string JOB = "\nFile Name : a.bin \nStart Sector :0\n";
const std::string ERASED = JOB + "\r1/2 sectors erased\r2/2 sectors erased\nErase Completed\n";

struct FaultCase {
    std::string fault;
    std::string expectedAfterBanner;
};

// Each fault ends the run with the program's message and status 255, well
// within the program's readiness deadline of 5 s after the last answer.
void expectFaultsEndTheRun(UsbCableTest* test, const std::vector<FaultCase>& cases) {
    test->makeImage("a.bin", SECTOR + 10);
    for (const FaultCase& faultCase : cases) {
        ProgramResult result = test->run({"-s", "0", "-f", "a.bin", "-e"}, {faultCase.fault});
        EXPECT_EQ(result.output, BANNER + faultCase.expectedAfterBanner + PROMPT) << faultCase.fault;
        EXPECT_EQ(result.status, STATUS_ERROR) << faultCase.fault;
        EXPECT_LT(result.wallSeconds, FAULT_SECONDS_LIMIT) << faultCase.fault;
        EXPECT_NE(test->trace().find("\nfault: "), std::string::npos) << faultCase.fault;
    }
}

// Opening takes 11 transfers (2 of them bulk), the set-up 3 more (the
// latency timer, then the clock and the line levels in bulk), then the
// identity read.
TEST_F(UsbCableTest, UnpluggedCableEndsTheRun) {
    expectFaultsEndTheRun(
        this, {
                  {"VUSB_UNPLUG_AFTER=0", "Failed to connect VEXIL\n"},
                  {"VUSB_UNPLUG_AFTER=8", "Failed to connect VEXIL\n"},
                  {"VUSB_UNPLUG_AFTER=13", "Failed to connect VEXIL\n"},
                  {"VUSB_UNPLUG_AFTER=14", "invalid Flash ID(0)"},
                  {"VUSB_UNPLUG_AFTER=32", JOB + "\r1/2 sectors erasedError\n"},
                  {"VUSB_UNPLUG_AFTER=62", ERASED + "Erase Verify...Error\n"},
                  {"VUSB_UNPLUG_AFTER=82",
                   ERASED + "Erase Verify...OK\n10241 / 16394  62 % \r16394 / 16394  100 % \nError\n"},
              });
}

// A bulk transfer that times out fails at once from then on; a chip that
// stops answering makes each read give up after 2 s without a byte.
TEST_F(UsbCableTest, TimedOutOrSilentCableEndsTheRun) {
    expectFaultsEndTheRun(this, {
                                    {"VUSB_BULK_TIMEOUT=1", "Failed to connect VEXIL\n"},
                                    {"VUSB_BULK_TIMEOUT=4", "Failed to connect VEXIL\n"},
                                    {"VUSB_BULK_TIMEOUT=5", "invalid Flash ID(0)"},
                                    {"VUSB_BULK_TIMEOUT=40", ERASED + "Erase Verify...Error\n"},
                                    {"VUSB_SILENT_AFTER=0", "Failed to connect VEXIL\n"},
                                    {"VUSB_SILENT_AFTER=5000", ERASED + "Erase Verify...Error\n"},
                                });
}

// The open skips what an earlier user left unread before the reply to its
// synchronisation probe, up to 62 bytes.
TEST_F(UsbCableTest, OpenSkipsStaleBytesBeforeTheSynchronisationReply) {
    makeImage("a.bin", 10);
    const std::vector<std::pair<std::string, int>> cases = {
        {"VUSB_STALE_BYTES=1", 0}, {"VUSB_STALE_BYTES=62", 0}, {"VUSB_STALE_BYTES=63", STATUS_ERROR}};
    for (const auto& staleCase : cases) {
        ProgramResult result = run({"-s", "0", "-f", "a.bin", "-e"}, {staleCase.first});
        EXPECT_EQ(result.status, staleCase.second) << staleCase.first;
        if (staleCase.second != 0) {
            EXPECT_EQ(result.output, BANNER + "Failed to connect VEXIL\n" + PROMPT);
        }
    }
}

// A cut may fall inside any command, its length or its data.
TEST_F(UsbCableTest, CutAndShortTransfersGiveTheSameFrames) {
    makeImage("a.bin", 300);
    const std::vector<std::string> arguments = {"-s", "2", "-f", "a.bin", "-e"};
    ProgramResult reference = run(arguments, {});
    ASSERT_EQ(reference.status, 0);
    std::string referenceFrames = frames();
    std::string referenceFlash = flash();
    ASSERT_FALSE(referenceFrames.empty());
    for (const char* cut :
         {"VUSB_OUT_PIECE=1", "VUSB_OUT_PIECE=2", "VUSB_OUT_PIECE=3", "VUSB_OUT_PIECE=7",
          "VUSB_OUT_PIECE=4096", "VUSB_SHORT_IN=1", "VUSB_SHORT_IN=509", "VUSB_SHORT_IN=511"}) {
        ProgramResult result = run(arguments, {cut});
        EXPECT_EQ(result.output, reference.output) << cut;
        EXPECT_TRUE(frames() == referenceFrames) << cut;
        EXPECT_TRUE(flash() == referenceFlash) << cut;
    }
}

TEST_F(UsbCableTest, OneJobThroughBothAdapterLibraries) {
    makeImage("a.bin", 2 * SECTOR + 77);
    const std::vector<std::string> arguments = {"-q", "2", "-s", "1", "-f", "a.bin", "-e"};
    ProgramResult overUsbResult = run(arguments, {});
    std::string usbFrames = frames();
    std::string usbFlash = flash();
    unsetenv("ORVAN_OVER_USB");
    ProgramResult virtualResult = run(arguments, {});
    EXPECT_EQ(overUsbResult.status, 0);
    EXPECT_EQ(overUsbResult.output, virtualResult.output);
    EXPECT_EQ(usbFlash.size(), 131072u);
    EXPECT_TRUE(usbFlash == flash()) << "flash files differ";
    std::string virtualFrames = framesOfCalls(trace());
    EXPECT_EQ(std::count(usbFrames.begin(), usbFrames.end(), '\n'),
              std::count(virtualFrames.begin(), virtualFrames.end(), '\n'));
    EXPECT_TRUE(usbFrames == virtualFrames) << usbFrames.substr(0, 300) << "\n--\n"
                                            << virtualFrames.substr(0, 300);
}

// The cable holds the flash file as the virtual adapter does: a file of
// another size, or one another program holds, fails the open and stays as
// it was.
TEST_F(UsbCableTest, FlashFileOfAnotherSizeOrInUseIsRefused) {
    makeImage("a.bin", 10);
    const std::vector<std::string> arguments = {"-s", "0", "-f", "a.bin", "-e"};
    const std::string refused = BANNER + "Failed to connect VEXIL\n" + PROMPT;
    for (size_t size : {size_t(0), FLASH_SIZE - 1, FLASH_SIZE + 1}) {
        std::string content(size, '\x5A');
        writeFile(path("flash.bin"), content);
        ProgramResult result = ProgramTest::run(arguments);
        EXPECT_EQ(result.output, refused) << size;
        EXPECT_NE(trace().find("note: flash file flash.bin has " + std::to_string(size) +
                               " bytes, not 131072: left as it is\n"),
                  std::string::npos)
            << size;
        EXPECT_TRUE(flash() == content) << size;
    }
    writeFile(path("flash.bin"), std::string(FLASH_SIZE, '\xFF'));
    int other = open(path("flash.bin").c_str(), O_RDWR);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    ProgramResult held = ProgramTest::run(arguments);
    EXPECT_EQ(held.output, refused);
    EXPECT_NE(trace().find("note: flash file flash.bin is in use by another program\n"), std::string::npos);
    close(other);
    EXPECT_EQ(ProgramTest::run(arguments).status, 0);
    expectFlash({{0, imageBytes(10, 1)}});
}

TEST_F(UsbCableTest, ChannelsAreListedInBusOrderAndMatchedByName) {
    makeImage("a.bin", 10);
    struct ListingCase {
        std::string devices;
        std::string claimed; // "" when the program finds no adapter
    };
    const std::vector<ListingCase> cases = {
        {"0x6010|Other cable|1|1;0x6010|Vexil dual|1|2", "claim device=1 interface=0"},
        {"0x6014|Vexil late|2|1;0x6010|Vexil early|1|4", "claim device=1 interface=0"},
        {"0x6010|Vexil shallow|1|2;0x6010|Vexil deep|1|1.3", "claim device=1 interface=0"},
        {"0x6011|Vexil quad|3|1;0x6001|Vexil serial only|1|1", "claim device=0 interface=0"},
        {"0x6001|Vexil serial only|1|1", ""},
        {"0x6010|vexil lower case|1|1", ""},
        {"", ""},
        // A bad entry refuses the whole value: the default cable is listed,
        // not the good entries before it.
        {"0x6010|Other cable|1|1;0x6010|Vexil dual|1", "claim device=0 interface=0"},
        {"0x6010|Other cable|1|1;0x6010|Vexil dual|1|x", "claim device=0 interface=0"},
    };
    for (const ListingCase& listing : cases) {
        unlink(path("trace.txt").c_str());
        ProgramResult result = run({"-s", "0", "-f", "a.bin", "-e"}, {"VUSB_DEVICES=" + listing.devices});
        if (listing.claimed.empty()) {
            EXPECT_EQ(result.output, BANNER + "Failed to found VEXIL\n" + PROMPT) << listing.devices;
            EXPECT_EQ(trace().find("claim "), std::string::npos) << listing.devices;
        } else {
            EXPECT_EQ(result.status, 0) << listing.devices;
            EXPECT_NE(trace().find("\n" + listing.claimed + "\n"), std::string::npos) << listing.devices;
        }
    }
}

// The program's run path is its own folder; LD_LIBRARY_PATH comes first.
TEST_F(UsbCableTest, LibraryBesideTheProgramOrFirstInTheSearchPath) {
    makeImage("a.bin", 10);
    std::string program = getenv("ORVAN_PROGRAM");
    std::string mpsseFolder = overUsb.substr(0, overUsb.find(':'));
    std::string cableFolder = overUsb.substr(overUsb.find(':') + 1);
    std::string copy = "mkdir '" + path("bin") + "' && cp '" + program + "' '" + mpsseFolder +
                       "/libftcspi.so' '" + path("bin") + "'";
    ASSERT_EQ(system(copy.c_str()), 0);
    struct PathCase {
        std::string program;
        std::string searchPath;
        bool overUsb; // the MPSSE library was taken
    };
    const std::vector<PathCase> cases = {
        {path("bin/orvanwriter"), cableFolder, true}, // beside it, as installed
        {program, overUsb, true},                     // named first in the search path
        {program, cableFolder, false},                // the virtual adapter beside the built program
    };
    for (const PathCase& pathCase : cases) {
        setenv("ORVAN_PROGRAM", pathCase.program.c_str(), 1);
        setenv("ORVAN_OVER_USB", pathCase.searchPath.c_str(), 1);
        unlink(path("trace.txt").c_str());
        ProgramResult result = run({"-s", "0", "-f", "a.bin", "-e"}, {});
        EXPECT_EQ(result.status, 0) << pathCase.program << " " << pathCase.searchPath;
        EXPECT_EQ(trace().find("\nclaim device=0 interface=0\n") != std::string::npos, pathCase.overUsb)
            << pathCase.program << " " << pathCase.searchPath;
    }
    setenv("ORVAN_PROGRAM", program.c_str(), 1);
}

} // namespace

namespace {

struct LocationCase {
    const char* what;
    std::vector<std::string> environment;
    int status;
    std::string message; // in the output
};

} // namespace

// Two cables on bus 1, ports 2 and 3 (location ids 0x1200000 and 0x1300000):
// the program claims the first, and the files and faults follow its location.
TEST_F(UsbCableTest, FilesAndFaultsFollowTheClaimedLocation) {
    makeImage("a.bin", 100);
    const std::string devices = "VUSB_DEVICES=0x6010|Vexil USB-SPI Cable|1|2;0x6010|Vexil USB-SPI Cable|1|3";
    const std::vector<LocationCase> cases = {
        {"files named after the location",
         {"VADAPTER_FLASH=flash-{location}.bin", "VADAPTER_TRACE=trace-{location}.txt",
          "VUSB_FRAMES=frames-{location}.txt", "VADAPTER_VCD=lines-{location}.vcd"},
         0,
         COMPLETED},
        {"target fault elsewhere",
         {"VADAPTER_FAULT_LOCATION=0x1300000", "VADAPTER_IDENTITY=0xAD"},
         0,
         COMPLETED},
        {"target fault here",
         {"VADAPTER_FAULT_LOCATION=0x1200000", "VADAPTER_IDENTITY=0xAD"},
         STATUS_ERROR,
         "invalid Flash ID(ad)"},
        {"cable fault elsewhere",
         {"VADAPTER_FAULT_LOCATION=0x1300000", "VUSB_UNPLUG_AFTER=14"},
         0,
         COMPLETED},
        {"cable fault here",
         {"VADAPTER_FAULT_LOCATION=0x1200000", "VUSB_UNPLUG_AFTER=14"},
         STATUS_ERROR,
         "invalid Flash ID(0)"},
    };
    for (const LocationCase& row : cases) {
        std::vector<std::string> environment = row.environment;
        environment.push_back(devices);
        ProgramResult result = run({"-s", "0", "-f", "a.bin", "-e"}, environment);
        EXPECT_EQ(result.status, row.status) << row.what << ": " << result.output;
        EXPECT_NE(result.output.find(row.message), std::string::npos) << row.what << ": " << result.output;
    }
    // The first row's files, each under the claimed cable's name only.
    std::string flash = readWholeFile(path("flash-1200000.bin"));
    ASSERT_EQ(flash.size(), FLASH_SIZE);
    EXPECT_EQ(flash.substr(0, 100), imageBytes(100, 1));
    EXPECT_NE(readWholeFile(path("trace-1200000.txt")).find("\nclaim device=0"), std::string::npos);
    EXPECT_NE(readWholeFile(path("frames-1200000.txt")), "");
    EXPECT_NE(readWholeFile(path("lines-1200000.vcd")).find("$enddefinitions"), std::string::npos);
    EXPECT_EQ(system(("cd '" + directory + "' && ! ls | grep -e '{location}' -e 1300000").c_str()), 0);
}

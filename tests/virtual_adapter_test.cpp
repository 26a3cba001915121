// The virtual adapter through its own library operations and control
// interface: the target's rules, its faults, the flash file, the timing model
// and the trace.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "adapter_interface/adapter_library.h"
#include "virtual_adapter_control.h"

namespace {

typedef std::vector<uint8_t> Bytes;
typedef std::vector<std::string> Lines;

// A caller that shapes its transactions as the target expects, unless a test
// spoils one of the fields.
struct Bus {
    StartCondition start{0, 1, 1, 0};
    WriteWaitSettings wait{0, 0, 0, 5000};
    UpperPinStates pins;
    uint32_t bitOrder = 1, clockEdge = 0, dataBitOrder = 1;
    int controlBits = -1, dataFlag = -1, dataBits = -1; // -1: the right value
    uint32_t returned = 0;
    uint32_t handle = 1;
    Bus() {
        for (PinStatePair& pin : pins.pins) {
            pin = {0, 1};
        }
    }
    uint32_t pick(int value, size_t right) const {
        return value < 0 ? uint32_t(right) : uint32_t(value);
    }
    void write(Bytes control, Bytes data, bool queued) {
        uint8_t spare = 0;
        uint8_t* controlBytes = control.empty() ? &spare : control.data();
        uint8_t* dataBytes = data.empty() ? &spare : data.data();
        uint32_t cBits = pick(controlBits, 8 * control.size()), flag = pick(dataFlag, data.empty() ? 0 : 1);
        uint32_t dBits = pick(dataBits, 8 * data.size());
        if (queued) {
            libQueueWrite(handle, &start, bitOrder, clockEdge, cBits, controlBytes, control.size(), flag,
                          dBits, dataBytes, data.size(), &pins);
        } else {
            libWrite(handle, &start, bitOrder, clockEdge, cBits, controlBytes, control.size(), flag, dBits,
                     dataBytes, data.size(), &wait, &pins);
        }
    }
    Bytes read(Bytes control, uint32_t size) {
        Bytes data(size, 0x5A);
        returned = 0;
        libRead(handle, &start, bitOrder, clockEdge, pick(controlBits, 8 * control.size()), control.data(),
                control.size(), dataBitOrder, 0, pick(dataBits, 8 * size), data.data(), &returned, &pins);
        data.resize(returned);
        return data;
    }
    int status() {
        Bytes byte = read({0x05}, 1);
        return byte.empty() ? -1 : byte[0];
    }
    // Runs steps written as words: "w28" writes command 28, "w20@4000" with an
    // address, "waf@0+12" with data byte 12, "r03@1fff0:32" reads 32 bytes
    // ("r05" one), "q34" queues af with data 34, "x" executes the queue.
    void run(const std::string& steps) {
        std::istringstream words(steps);
        for (std::string word; words >> word;) {
            auto hexAfter = [&](size_t at) { return uint32_t(std::stoul(word.substr(at + 1), nullptr, 16)); };
            size_t at = word.find('@'), plus = word.find('+'), colon = word.find(':');
            Bytes control;
            if (word.size() >= 3 && word[0] != 'q') {
                control.push_back(uint8_t(std::stoul(word.substr(1, 2), nullptr, 16)));
            }
            if (at != std::string::npos) {
                uint32_t address = hexAfter(at);
                control.insert(control.end(),
                               {uint8_t(address >> 16), uint8_t(address >> 8), uint8_t(address)});
            }
            if (word[0] == 'w') {
                write(control, plus == std::string::npos ? Bytes{} : Bytes{uint8_t(hexAfter(plus))}, false);
            } else if (word[0] == 'r') {
                read(control, colon == std::string::npos ? 1 : std::stoul(word.substr(colon + 1)));
            } else if (word[0] == 'q') {
                write({0xAF}, {uint8_t(hexAfter(0))}, true);
            } else if (word == "x") {
                uint8_t area[4];
                libExecuteQueue(handle, area, &returned);
            }
        }
    }
};

VirtualAdapterConfig traced() {
    VirtualAdapterConfig config;
    config.keepTrace = true;
    return config;
}

void openWith(const VirtualAdapterConfig& config) {
    vaConfigure(config);
    uint32_t handle = 0;
    ASSERT_EQ(libOpenDevice("Vexil USB-SPI Cable", 0x1101, "A", &handle), ADAPTER_OK);
    ASSERT_EQ(handle, 1u);
}

Lines linesStartingWith(const std::string& prefix, bool cut = false) {
    Lines found;
    for (const std::string& line : vaTraceLines()) {
        if (line.rfind(prefix, 0) == 0) {
            found.push_back(cut ? line.substr(prefix.size()) : line);
        }
    }
    return found;
}

struct RuleCase {
    const char* name;
    std::function<void(Bus&)> prepare; // spoils a field or makes a call of its own
    const char* steps;
    Lines violations;
};

void expectViolations(const VirtualAdapterConfig& config, const std::vector<RuleCase>& cases) {
    for (const RuleCase& rule : cases) {
        openWith(config);
        Bus bus;
        if (rule.prepare) {
            rule.prepare(bus);
        }
        bus.run(rule.steps);
        EXPECT_EQ(linesStartingWith("violation: ", true), rule.violations) << rule.name;
        EXPECT_EQ(vaStats().violations, rule.violations.size()) << rule.name;
    }
}

TEST(VirtualAdapterTarget, BracketAndCommandRules) {
    VirtualAdapterConfig config = traced();
    config.target.eraseBusyReads = config.target.programBusyReads = 0;
    expectViolations(
        config,
        {
            {"clean", nullptr, "w28 w20@0 w24 w16 r03@0:16 w14 w36 waf@0+1 q2 x w34 r05 r90", {}},
            {"erase outside", nullptr, "w20@0", {"command 20 outside its bracket"}},
            {"read outside", nullptr, "r03@0:4", {"command 03 outside its bracket"}},
            {"program outside", nullptr, "waf@0+0", {"command af outside its bracket"}},
            {"no address", nullptr, "w36 q0 x", {"command af without an address"}},
            {"close unopened", nullptr, "w24", {"command 24 outside its bracket"}},
            {"close other", nullptr, "w16 w34", {"command 34 outside its bracket"}},
            {"nested", nullptr, "w28 w16", {"command 16 while bracket 28 is open"}},
            {"unknown", nullptr, "w42", {"unknown command 42"}},
            {"no command", nullptr, "w", {"no command byte"}},
            {"read as write", nullptr, "w05", {"command 05 sent as a write"}},
            {"write as read", nullptr, "r28", {"command 28 sent as a read"}},
            {"bare erase", nullptr, "w28 w20", {"command 20 with 1 control bytes"}},
            {"data on bare", nullptr, "w28+1", {"command 28 with 1 data bytes"}},
            {"long status", nullptr, "r05:2", {"command 05 reading 2 bytes"}},
            {"unaligned", nullptr, "w28 w20@4001", {"erase address 004001 not sector aligned"}},
            {"erase beyond", nullptr, "w28 w20@20000", {"erase address 020000 outside flash"}},
            {"read past end",
             nullptr,
             "w16 r03@1fff0:32",
             {"read of 32 bytes at 01fff0 runs past the end of flash"}},
            {"program past end", nullptr, "w36 waf@1ffff+0 q0 x", {"program address 020000 outside flash"}},
        });
}

TEST(VirtualAdapterTarget, TransactionShapesAndCallArguments) {
    ChipSelectDisableStates disable{{0, 1, 0, 1, 0}};
    PinSettings settings{{{1, 1}, {0, 0}, {1, 1}, {1, 1}}};
    uint8_t control = 0x05;
    expectViolations(
        traced(),
        {
            {"bit order", [](Bus& b) { b.bitOrder = 0; }, "w28", {"bit order 0"}},
            {"clock edge", [](Bus& b) { b.clockEdge = 1; }, "w28", {"clock edge 1"}},
            {"data bit order", [](Bus& b) { b.dataBitOrder = 2; }, "r05", {"data bit order 2"}},
            {"control bits", [](Bus& b) { b.controlBits = 32; }, "w28", {"control bits 32 for 1 bytes"}},
            {"flag 0 with data", [](Bus& b) { b.dataBits = 8; }, "w28", {"data flag 0 with data 8/0"}},
            {"data bits",
             [](Bus& b) { b.run("w36"), b.dataBits = 16; },
             "waf@0+1",
             {"data bits 16 for 1 bytes"}},
            {"data flag", [](Bus& b) { b.dataFlag = 2; }, "w28", {"data flag 2"}},
            {"read bits", [](Bus& b) { b.dataBits = 12; }, "r05", {"read of 12 data bits"}},
            {"start", [](Bus& b) { b.start.dataOutLevel = 0; }, "q1", {"start condition 0,0,1,0"}},
            {"wait", [](Bus& b) { b.wait.timeoutMs = 0; }, "w28", {"wait settings 0,0,0,0"}},
            {"pins", [](Bus& b) { b.pins.pins[7].activeState = 0; }, "r05", {"pin states"}},
            {"setup6", [](Bus&) { libSetup6(1, 7); }, "", {"setup6 value 7"}},
            {"line levels",
             [&](Bus&) { libSetLineLevels(1, &disable, &settings); },
             "",
             {"chip select disable states 0,1,0,1,0"}},
            {"other handle",
             [](Bus&) { EXPECT_EQ(libSetup14(2), VA_STATUS_INVALID_HANDLE); },
             "",
             {"handle 2 is not the open handle"}},
            {"closed",
             [](Bus&) {
                 libClose(1);
                 EXPECT_EQ(libSetup14(1), VA_STATUS_INVALID_HANDLE);
             },
             "",
             {"handle 1 is not the open handle"}},
            {"null count",
             [](Bus&) { EXPECT_EQ(libCountDevices(nullptr), VA_STATUS_INVALID_PARAMETER); },
             "",
             {"null pointer for count"}},
            {"null open",
             [](Bus&) { EXPECT_NE(libOpenDevice(nullptr, 0, "A", nullptr), ADAPTER_OK); },
             "",
             {"null pointer for name", "null pointer for handle"}},
            {"null read",
             [&](Bus& b) {
                 EXPECT_NE(libRead(1, &b.start, 1, 0, 8, &control, 1, 1, 0, 8, nullptr, nullptr, &b.pins),
                           ADAPTER_OK);
             },
             "",
             {"null pointer for destination", "null pointer for bytes returned"}},
            {"null execute",
             [](Bus&) { EXPECT_NE(libExecuteQueue(1, nullptr, nullptr), ADAPTER_OK); },
             "",
             {"null pointer for result area", "null pointer for bytes returned"}},
        });
}

TEST(VirtualAdapterTarget, BusyRefusesCommandsForItsStatusReads) {
    VirtualAdapterConfig config = traced();
    config.target.eraseBusyReads = 3;
    config.target.programBusyReads = 2;
    config.target.busyByte = 0x80;
    config.target.readyByte = 0x41;
    for (std::pair<const char*, int> busy :
         {std::make_pair("w28 w20@4000", 3), std::make_pair("w36 w34", 2)}) {
        openWith(config);
        Bus bus;
        bus.run(busy.first);
        EXPECT_TRUE(bus.read({0x90}, 1).empty());
        EXPECT_EQ(linesStartingWith("violation: ", true), Lines{"command 90 while busy"});
        std::vector<int> statuses;
        while (statuses.size() < 6 && (statuses.empty() || statuses.back() != 0x41)) {
            statuses.push_back(bus.status());
        }
        std::vector<int> expected(busy.second, 0x80);
        expected.push_back(0x41);
        EXPECT_EQ(statuses, expected) << busy.first;
        EXPECT_EQ(bus.read({0x90}, 1), Bytes{0xAC});
    }
}

TEST(VirtualAdapterTarget, QueuedProgrammingCopiesItsBytesAndOnlyClearsBits) {
    openWith(traced());
    vaMutableFlash()[0x101] = 0xF0;
    Bus bus;
    bus.run("w36 waf@100+11");
    // The caller reuses one buffer for every queued command.
    uint8_t control = 0xAF, data = 0;
    for (uint8_t byte : {0x3C, 0x33}) {
        data = byte;
        libQueueWrite(1, &bus.start, 1, 0, 8, &control, 1, 1, 8, &data, 1, &bus.pins);
    }
    control = data = 0;
    EXPECT_EQ(vaFlash()[0x101], 0xF0); // nothing happens before the execution
    bus.run("x x w34");                // the second execution finds the queue empty
    EXPECT_EQ(Bytes(vaFlash() + 0x100, vaFlash() + 0x104), (Bytes{0x11, 0x30, 0x33, 0xFF}));
    EXPECT_EQ(linesStartingWith("execute"),
              (Lines{"execute commands=2 returned=0", "execute commands=0 returned=0"}));
    EXPECT_EQ(vaStats().violations, 0u);
}

TEST(VirtualAdapterFaults, AddressedReadsDeliverWhatTheFaultsLeave) {
    struct ReadCase {
        uint32_t shortBytes;
        bool always;
        uint32_t empty;
        std::vector<uint32_t> returned;
        bool repeat = false;
    };
    for (const ReadCase& c :
         {ReadCase{0, false, 0, {100, 100, 100}}, ReadCase{30, false, 0, {30, 100, 100}},
          ReadCase{30, true, 0, {30, 30, 30}}, ReadCase{0, false, 2, {0, 0, 100}},
          ReadCase{0, false, VA_ALWAYS, {0, 0, 0}}, ReadCase{30, false, 1, {0, 30, 100}},
          ReadCase{30, true, 2, {0, 0, 30, 0, 0, 30}, true}, ReadCase{0, false, 1, {0, 100, 0, 100}, true}}) {
        VirtualAdapterConfig config = traced();
        config.shortReadBytes = c.shortBytes;
        config.shortReadAlways = c.always;
        config.emptyReads = c.empty;
        config.emptyReadsRepeat = c.repeat;
        openWith(config);
        for (uint32_t i = 0; i < VA_FLASH_SIZE; i++) {
            vaMutableFlash()[i] = uint8_t(i * 7);
        }
        Bus bus;
        bus.run("w16");
        for (uint32_t expected : c.returned) {
            Bytes data = bus.read({0x03, 0x00, 0x02, 0x00}, 100);
            EXPECT_EQ(data, Bytes(vaFlash() + 0x200, vaFlash() + 0x200 + expected));
        }
        EXPECT_EQ(vaStats().violations, 0u);
    }
}

TEST(VirtualAdapterFaults, UnerasedSectorAndStuckBit) {
    VirtualAdapterConfig config = traced();
    config.target.unerasedSector = 2;
    config.target.eraseBusyReads = 0;
    config.target.stuckBitAddress = 0x4001;
    config.target.stuckBitMask = 0x06;
    for (uint8_t value : {0, 1}) {
        config.target.stuckBitValue = value;
        openWith(config);
        memset(vaMutableFlash(), 0x55, VA_FLASH_SIZE);
        Bus bus;
        bus.run("w28 w20@8000 w20@c000 w24 w16");
        EXPECT_EQ(vaFlash()[0x8000 + VA_UNERASED_OFFSET], 0x00);
        EXPECT_EQ(std::count(vaFlash() + 0x8000, vaFlash() + 0x10000, 0xFF), 2 * 16384 - 1);
        EXPECT_EQ(bus.read({0x03, 0x00, 0x40, 0x00}, 3), (Bytes{0x55, uint8_t(value ? 0x57 : 0x51), 0x55}));
        EXPECT_EQ(vaFlash()[0x4001], 0x55);
    }
}

TEST(VirtualAdapterFaults, StuckTargetReportsBusyButTakesCommands) {
    VirtualAdapterConfig config = traced();
    config.target.eraseBusyReads = 1;
    config.target.stuckAfterCommand = 0x20;
    config.target.stuckAfterOccurrence = 2;
    openWith(config);
    Bus bus;
    bus.run("w28 w20@0");
    EXPECT_EQ(bus.status(), 0x00);
    EXPECT_EQ(bus.status(), 0x01);
    bus.run("w20@4000");
    for (int i = 0; i < 50; i++) {
        ASSERT_EQ(bus.status(), 0x00);
    }
    bus.run("w24");
    EXPECT_EQ(vaStats().violations, 0u);
}

TEST(VirtualAdapterFaults, VanishedAdapterFailsAndTouchesNothing) {
    VirtualAdapterConfig config = traced();
    config.vanishAfterCalls = 2;
    openWith(config);
    Bus bus;
    bus.run("w36");
    uint8_t control[4] = {0xAF, 0, 0, 0}, data = 0, destination = 0x5A;
    uint32_t returned = 77, hz = 5;
    EXPECT_EQ(libWrite(1, &bus.start, 1, 0, 32, control, 4, 1, 8, &data, 1, &bus.wait, &bus.pins),
              VA_STATUS_DEVICE_GONE);
    control[0] = 0x05;
    EXPECT_NE(libRead(1, &bus.start, 1, 0, 8, control, 1, 1, 0, 8, &destination, &returned, &bus.pins),
              ADAPTER_OK);
    EXPECT_NE(libSetClockDivisor(1, 0, &hz), ADAPTER_OK);
    EXPECT_NE(libClose(1), ADAPTER_OK);
    EXPECT_EQ(vaFlash()[0], 0xFF);
    EXPECT_EQ(destination, 0x5A);
    EXPECT_EQ(returned, 77u);
    EXPECT_EQ(hz, 5u);
    EXPECT_TRUE(vaIsOpen());
    EXPECT_EQ(vaTraceLines().back(), "close bus_ns=2002400 round_trips=2 bits=8 violations=0 status=4");
}

// Steps as Bus::run takes them, with "-" to take the board off the cable
// and "+" to put it back (its presence file removed or made).
void runWithBoard(Bus& bus, const std::string& steps, const std::string& presentFile) {
    std::istringstream words(steps);
    for (std::string word; words >> word;) {
        if (word == "-") {
            std::remove(presentFile.c_str());
        } else if (word == "+") {
            std::ofstream(presentFile).put('\n');
        } else {
            bus.run(word);
        }
    }
}

TEST(VirtualAdapterPresence, BoardOffTheCableTakesNothingAndReadsHigh) {
    struct PresenceCase {
        const char* name;
        const char* steps; // the board is on the cable at the start; a call sees each change
        uint8_t identity;  // read at the end
        uint8_t programmed;
        Lines violations;
    };
    const std::string folder = ::testing::TempDir();
    VirtualAdapterConfig config = traced();
    config.presentPath = folder + "va_present_{location}";
    const std::string presentFile = folder + "va_present_1101";
    for (const PresenceCase& c : {
             PresenceCase{"on the cable", "w36 waf@1234+42 w34 r05 r05", 0xAC, 0x42, {}},
             PresenceCase{"off the cable", "- w36 waf@1234+42 w34", 0xFF, 0xFF, {}},
             PresenceCase{"erase while off", "w36 waf@1234+42 w34 r05 r05 - w28 w20@0 w24 +", 0xAC, 0x42, {}},
             PresenceCase{"put on mid-session", "- r90 + w36 waf@1234+42 w34 r05 r05", 0xAC, 0x42, {}},
             PresenceCase{"back after a bracket was open",
                          "w36 - r05 + waf@1234+42",
                          0xAC,
                          0x42,
                          {"command af outside its bracket"}},
             PresenceCase{"back after busy", "w36 waf@1234+42 w34 - r05 + w36 w34 r05 r05", 0xAC, 0x42, {}},
         }) {
        std::ofstream(presentFile).put('\n');
        openWith(config);
        Bus bus;
        runWithBoard(bus, c.steps, presentFile);
        EXPECT_EQ(bus.read({0x90}, 1), Bytes{c.identity}) << c.name;
        EXPECT_EQ(vaFlash()[0x1234], c.programmed) << c.name;
        EXPECT_EQ(linesStartingWith("violation: ", true), c.violations) << c.name;
        libClose(1);
    }
    std::remove(presentFile.c_str());
}

TEST(VirtualAdapterPresence, UnpluggedCableIsNotListedAndItsHandleStaysDead) {
    const std::string folder = ::testing::TempDir();
    const std::string plugged1101 = folder + "va_plugged_1101", plugged1102 = folder + "va_plugged_1102";
    VirtualAdapterConfig config = traced();
    config.devices = {{"Vexil USB-SPI Cable", "A", 0x1101}, {"Vexil USB-SPI Cable", "A", 0x1102}};
    config.pluggedPath = folder + "va_plugged_{location}";
    std::ofstream(plugged1101).put('\n');
    std::remove(plugged1102.c_str());
    vaConfigure(config);
    uint32_t count = 0, location = 0, type = 0, handle = 0;
    char name[64], channel[8];
    ASSERT_EQ(libCountDevices(&count), ADAPTER_OK);
    EXPECT_EQ(count, 1u);
    ASSERT_EQ(libDescribeDevice(0, name, sizeof(name), &location, channel, sizeof(channel), &type),
              ADAPTER_OK);
    EXPECT_EQ(location, 0x1101u);
    EXPECT_EQ(libOpenDevice("Vexil USB-SPI Cable", 0x1102, "A", &handle), VA_STATUS_DEVICE_NOT_FOUND);
    ASSERT_EQ(libOpenDevice("Vexil USB-SPI Cable", 0x1101, "A", &handle), ADAPTER_OK);
    Bus bus;
    bus.run("w36");
    std::remove(plugged1101.c_str());
    uint8_t control[4] = {0xAF, 0, 0, 0}, data = 0, destination = 0x5A, area[4];
    uint32_t returned = 77;
    struct DeadCall {
        const char* name;
        std::function<AdapterStatus()> call;
    };
    for (const DeadCall& c : {
             DeadCall{"write",
                      [&] {
                          return libWrite(1, &bus.start, 1, 0, 32, control, 4, 1, 8, &data, 1, &bus.wait,
                                          &bus.pins);
                      }},
             DeadCall{"queue",
                      [&] {
                          return libQueueWrite(1, &bus.start, 1, 0, 8, control, 1, 1, 8, &data, 1, &bus.pins);
                      }},
             DeadCall{"execute", [&] { return libExecuteQueue(1, area, &returned); }},
             DeadCall{"read",
                      [&] {
                          return libRead(1, &bus.start, 1, 0, 8, control, 1, 1, 0, 8, &destination, &returned,
                                         &bus.pins);
                      }},
             DeadCall{"close", [&] { return libClose(1); }},
         }) {
        EXPECT_EQ(c.call(), VA_STATUS_DEVICE_GONE) << c.name;
    }
    EXPECT_EQ(destination, 0x5A);
    EXPECT_EQ(returned, 77u);
    EXPECT_EQ(vaFlash()[0], 0xFF);
    EXPECT_FALSE(vaIsOpen());
    EXPECT_EQ(libCountDevices(&count), ADAPTER_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(libOpenDevice("Vexil USB-SPI Cable", 0x1101, "A", &handle), VA_STATUS_DEVICE_NOT_FOUND);

    std::ofstream(plugged1101).put('\n');
    ASSERT_EQ(libOpenDevice("Vexil USB-SPI Cable", 0x1101, "A", &handle), ADAPTER_OK);
    EXPECT_EQ(handle, 2u);
    bus.handle = handle;
    bus.run("w36 waf@0+42 w34");
    EXPECT_EQ(vaFlash()[0], 0x42);
    EXPECT_EQ(libSetup14(1), VA_STATUS_DEVICE_GONE);
    EXPECT_EQ(libClose(handle), ADAPTER_OK);
    EXPECT_EQ(linesStartingWith("note: cable unplugged"), Lines{"note: cable unplugged, handle 1 gone"});
    EXPECT_EQ(vaStats().violations, 0u);
    std::remove(plugged1101.c_str());
}

std::string fileContent(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

void writeContent(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

TEST(VirtualAdapterFlashFile, WrittenThroughWhileOpenAndLoadedAtOpen) {
    std::string path = ::testing::TempDir() + "virtual_adapter_flash.bin";
    std::remove(path.c_str());
    VirtualAdapterConfig config = traced();
    config.flashPath = path;
    openWith(config);
    EXPECT_EQ(vaTraceLines().back(), "note: flash file " + path + " missing, starting erased");
    EXPECT_TRUE(fileContent(path) == std::string(VA_FLASH_SIZE, '\xFF'));
    Bus bus;
    bus.run("w36 waf@1234+42 w34");
    EXPECT_EQ(fileContent(path)[0x1234], '\x42'); // before any close
    libClose(1);
    vaConfigure(config);
    EXPECT_EQ(vaFlash()[0x1234], 0xFF);
    openWith(config);
    EXPECT_EQ(vaFlash()[0x1234], 0x42);
    EXPECT_EQ(std::count(vaFlash(), vaFlash() + VA_FLASH_SIZE, 0xFF), VA_FLASH_SIZE - 1);
    bus.run("w28 w20@0");
    EXPECT_EQ(fileContent(path)[0x1234], '\xFF');
    libClose(1);
    EXPECT_EQ(vaFlash()[0x1234], 0xFF); // the flash stays readable after the close
    std::remove(path.c_str());
}

TEST(VirtualAdapterFlashFile, WrongSizeIsRefusedAndLeftAsItIs) {
    std::string path = ::testing::TempDir() + "virtual_adapter_wrong_size.bin";
    VirtualAdapterConfig config = traced();
    config.flashPath = path;
    for (size_t size : {size_t(0), size_t(VA_FLASH_SIZE - 1), size_t(VA_FLASH_SIZE + 1), size_t(1048576)}) {
        std::string content(size, '\x5A');
        writeContent(path, content);
        vaConfigure(config);
        uint32_t handle = 0;
        testing::internal::CaptureStderr();
        EXPECT_EQ(libOpenDevice("Vexil USB-SPI Cable", 0x1101, "A", &handle), VA_STATUS_FLASH_FILE);
        std::string message =
            "flash file " + path + " has " + std::to_string(size) + " bytes, not 131072: left as it is";
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "virtual adapter: " + message + "\n");
        EXPECT_FALSE(vaIsOpen());
        EXPECT_EQ(handle, 0u);
        EXPECT_EQ(linesStartingWith("open ", true).back(),
                  "name=\"Vexil USB-SPI Cable\" location=0x1101 channel=\"A\" status=6");
        EXPECT_EQ(vaTraceLines().back(), "note: " + message);
        EXPECT_TRUE(fileContent(path) == content) << size;
    }
    std::remove(path.c_str());
}

TEST(VirtualAdapterFlashFile, HeldWhileOpenAgainstOtherPrograms) {
    std::string path = ::testing::TempDir() + "virtual_adapter_held.bin";
    std::remove(path.c_str());
    VirtualAdapterConfig config = traced();
    config.flashPath = path;
    openWith(config);
    // Another program's attempt, as the adapter makes it.
    int other = open(path.c_str(), O_RDWR);
    ASSERT_GE(other, 0);
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
    libClose(1);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    vaConfigure(config);
    uint32_t handle = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(libOpenDevice("Vexil USB-SPI Cable", 0x1101, "A", &handle), VA_STATUS_DEVICE_BUSY);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "virtual adapter: flash file " + path + " is in use by another program\n");
    EXPECT_FALSE(vaIsOpen());
    close(other);
    openWith(config);
    libClose(1);
    std::remove(path.c_str());
}

// A library inside a program that started with standard streams closed
// never puts its own files there: the program's console text would land in
// them. Each row runs in a child process, which closes the descriptors,
// opens the device with flash, trace and waveform files, programs a byte and
// reports what is open on 0, 1 and 2 afterwards.
TEST(VirtualAdapterFlashFile, OwnFilesNeverTakeAStandardDescriptor) {
    const int NOTHING_ON_THEM = 0, ONE_TAKEN = 1, OPEN_FAILED = 2;
    const std::vector<std::vector<int>> closedSets = {{0}, {1}, {2}, {0, 1, 2}};
    for (const std::vector<int>& closedSet : closedSets) {
        std::string folder = ::testing::TempDir() + "va_closed_" + std::to_string(closedSet.size()) + "_" +
                             std::to_string(closedSet[0]);
        VirtualAdapterConfig config = traced();
        config.flashPath = folder + "flash.bin";
        config.tracePath = folder + "trace.txt";
        config.vcdPath = folder + "lines.vcd";
        std::remove(config.flashPath.c_str());
        fflush(nullptr);
        pid_t child = fork();
        if (child == 0) {
            for (int descriptor : closedSet) {
                close(descriptor);
            }
            vaConfigure(config);
            uint32_t handle = 0;
            if (libOpenDevice("Vexil USB-SPI Cable", 0x1101, "A", &handle) != ADAPTER_OK) {
                _exit(OPEN_FAILED);
            }
            Bus bus;
            bus.run("w36 waf@1234+42 w34");
            for (int descriptor : closedSet) {
                if (fcntl(descriptor, F_GETFD) >= 0) {
                    _exit(ONE_TAKEN);
                }
            }
            libClose(1);
            _exit(NOTHING_ON_THEM);
        }
        int waitStatus = 0;
        ASSERT_EQ(waitpid(child, &waitStatus, 0), child);
        EXPECT_TRUE(WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == NOTHING_ON_THEM)
            << "closed " << ::testing::PrintToString(closedSet) << ": wait status " << waitStatus;
        std::string flash = fileContent(config.flashPath);
        ASSERT_EQ(flash.size(), size_t(VA_FLASH_SIZE));
        EXPECT_EQ(std::count(flash.begin(), flash.end(), '\xFF'), VA_FLASH_SIZE - 1);
        EXPECT_EQ(flash[0x1234], '\x42');
        for (const std::string& path : {config.flashPath, config.tracePath, config.vcdPath}) {
            std::remove(path.c_str());
        }
    }
}

// A fixture of several cables: each opened device has its own flash, trace
// and waveform files, named after its location.
TEST(VirtualAdapterLocations, FilesAreNamedAfterTheOpenedDevice) {
    std::string folder = ::testing::TempDir() + "va_locations_";
    VirtualAdapterConfig config = traced();
    config.devices = {{"Vexil USB-SPI Cable", "A", 0x1101}, {"Vexil USB-SPI Cable", "A", 0xAB02}};
    config.flashPath = folder + "flash-{location}.bin";
    config.tracePath = folder + "trace-{location}.txt";
    config.vcdPath = folder + "lines-{location}.vcd";
    struct Opening {
        uint32_t location;
        const char* suffix;
        const char* program;
        uint8_t byte;
    };
    for (const Opening& opening : {Opening{0xAB02, "ab02", "w36 waf@1234+42 w34", 0x42},
                                   Opening{0x1101, "1101", "w36 waf@1234+17 w34", 0x17}}) {
        vaConfigure(config);
        uint32_t count = 0;
        ASSERT_EQ(libCountDevices(&count), ADAPTER_OK);
        uint32_t handle = 0;
        ASSERT_EQ(libOpenDevice("Vexil USB-SPI Cable", opening.location, "A", &handle), ADAPTER_OK);
        Bus bus;
        bus.run(opening.program);
        libClose(1);
        std::string flash = fileContent(folder + "flash-" + opening.suffix + ".bin");
        ASSERT_EQ(flash.size(), size_t(VA_FLASH_SIZE)) << opening.suffix;
        EXPECT_EQ(uint8_t(flash[0x1234]), opening.byte) << opening.suffix;
        std::string trace = fileContent(folder + "trace-" + opening.suffix + ".txt");
        // The lines before the open wait for it and go first.
        EXPECT_EQ(trace.find("count status=0"), 0u) << trace;
        EXPECT_NE(trace.find(std::string("location=0x") + opening.suffix), std::string::npos) << trace;
        EXPECT_NE(fileContent(folder + "lines-" + opening.suffix + ".vcd").find("$enddefinitions"),
                  std::string::npos);
    }
    // The first device's flash kept its own byte.
    EXPECT_EQ(uint8_t(fileContent(folder + "flash-ab02.bin")[0x1234]), 0x42);
    for (const char* suffix : {"ab02", "1101"}) {
        for (const std::string& name :
             {"flash-" + std::string(suffix) + ".bin", "trace-" + std::string(suffix) + ".txt",
              "lines-" + std::string(suffix) + ".vcd"}) {
            std::remove((folder + name).c_str());
        }
    }
}

// With a fault location the adapter's and the target's faults concern only
// the device opened there; the others behave faultless.
TEST(VirtualAdapterLocations, FaultsLimitedToOneLocation) {
    struct FaultCase {
        const char* what;
        bool locationSet;
        uint32_t faultLocation;
        uint32_t openStatus; // the adapter fault configured
        uint32_t opened;
        AdapterStatus expectedOpen;
        uint8_t byteAfterErase; // byte 100 of sector 0: 0x00 where the unerased-sector fault applies
    };
    const FaultCase cases[] = {
        {"no fault location: everywhere", false, 0, 2, 0x1102, 2, 0x00},
        {"at the fault location", true, 0x1102, 2, 0x1102, 2, 0x00},
        {"elsewhere", true, 0x1102, 2, 0x1101, ADAPTER_OK, 0xFF},
        {"target fault at the location", true, 0x1102, 0, 0x1102, ADAPTER_OK, 0x00},
        {"a location no device has", true, 0x1103, 2, 0x1101, ADAPTER_OK, 0xFF},
    };
    for (const FaultCase& fault : cases) {
        VirtualAdapterConfig config;
        config.devices = {{"Vexil USB-SPI Cable", "A", 0x1101}, {"Vexil USB-SPI Cable", "A", 0x1102}};
        config.faultLocationSet = fault.locationSet;
        config.faultLocation = fault.faultLocation;
        config.openStatus = fault.openStatus;
        config.target.unerasedSector = 0;
        vaConfigure(config);
        uint32_t handle = 0;
        EXPECT_EQ(libOpenDevice("Vexil USB-SPI Cable", fault.opened, "A", &handle), fault.expectedOpen)
            << fault.what;
        // The target fault, on a device that opens without the adapter fault.
        config.openStatus = 0;
        vaConfigure(config);
        ASSERT_EQ(libOpenDevice("Vexil USB-SPI Cable", fault.opened, "A", &handle), ADAPTER_OK) << fault.what;
        Bus bus;
        bus.run("w28 w20@0");
        EXPECT_EQ(vaFlash()[100], fault.byteAfterErase) << fault.what;
        libClose(1);
    }
}

TEST(VirtualAdapterTiming, BitsAtTheClockRatePlusLatencyPerRoundTrip) {
    struct TimingCase {
        uint32_t divisor, latencyUs;
        const char* steps;
        uint64_t bits, roundTrips, busNs;
    };
    for (const TimingCase& c :
         {TimingCase{0, 1000, "r05", 16, 1, 533 + 1000000}, TimingCase{8, 1000, "r05", 16, 1, 4800 + 1000000},
          TimingCase{2, 0, "w16 r03@0:16384", 8 + 32 + 131072, 2, 13111200},
          TimingCase{0, 7, "w36 waf@0+1 q2 q3 x", 8 + 40 + 32, 3, 2667 + 21000}}) {
        VirtualAdapterConfig config = traced();
        config.callLatencyUs = c.latencyUs;
        openWith(config);
        uint32_t frequency;
        libSetClockDivisor(1, c.divisor, &frequency);
        VirtualAdapterStats before = vaStats();
        Bus().run(c.steps);
        VirtualAdapterStats after = vaStats();
        EXPECT_EQ(after.bitsClocked - before.bitsClocked, c.bits) << c.steps;
        EXPECT_EQ(after.roundTrips - before.roundTrips, c.roundTrips) << c.steps;
        EXPECT_NEAR(double(after.busTimeNs - before.busTimeNs), double(c.busNs), 1.0) << c.steps;
    }
}

TEST(VirtualAdapterTiming, RealTimeModeWaitsOnTheWallClock) {
    VirtualAdapterConfig config = traced();
    config.realTime = true;
    config.target.eraseBusyReads = 0;
    config.target.eraseBusyUs = 30000;
    config.callLatencyUs = 100;
    openWith(config);
    Bus bus;
    auto start = std::chrono::steady_clock::now();
    bus.run("w28 w20@0");
    int busyReads = 0;
    while (bus.status() == 0x00) {
        busyReads++;
    }
    double elapsedMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(elapsedMs, 29.0); // less at most the last millisecond not yet slept
    EXPECT_GE(busyReads, 100);  // each read costs its 0.1 ms of latency
}

TEST(VirtualAdapterTrace, SessionLinesAndDeviceFailures) {
    VirtualAdapterConfig config = traced();
    config.devices.push_back({"Second", "BC", 7});
    config.describeFailIndex = 2;
    config.describeStatus = 9;
    config.frequencyMode = VA_FREQUENCY_UNTOUCHED;
    vaConfigure(config);
    uint32_t count = 0, location = 0, type = 5, handle = 0, frequency = 123;
    char name[8], channel[2];
    libCountDevices(&count);
    libDescribeDevice(0, name, sizeof(name), &location, channel, sizeof(channel), &type);
    EXPECT_EQ(std::string(name) + "|" + channel + "|" + std::to_string(location + type), "Vexil U|A|4353");
    libDescribeDevice(1, name, 0, &location, channel, 1, &type);
    EXPECT_EQ(libDescribeDevice(2, name, 8, &location, channel, 2, &type), 9u);
    EXPECT_EQ(libDescribeDevice(3, name, 8, &location, channel, 2, &type), VA_STATUS_DEVICE_NOT_FOUND);
    libOpenDevice("Vexil USB-SPI Cable", 0x1101, "A", &handle);
    libSetClockDivisor(handle, 0, &frequency);
    EXPECT_EQ(frequency, 123u);
    Bus().run("r05 w36 waf@0+12 q34 x w34 w28");
    libClose(handle);
    const Lines expected = {
        "count status=0 count=2",
        "describe index=0 status=0 name=\"Vexil U\" channel=\"A\" location=0x1101",
        "describe index=1 status=0 name=\"\" channel=\"\" location=0x7",
        "describe index=2 status=9",
        "describe index=3 status=2",
        "violation: describe index 3 out of range",
        "open name=\"Vexil USB-SPI Cable\" location=0x1101 channel=\"A\" status=0 handle=1",
        "clock divisor=0 frequency=untouched",
        "read cmd=05 ctrl=8/1 data=8 returned=1 byte=01",
        "write cmd=36 ctrl=8/1 flag=0 data=0/0",
        "write cmd=af addr=000000 ctrl=32/4 flag=1 data=8/1 byte=12",
        "queue cmd=af ctrl=8/1 flag=1 data=8/1 byte=34",
        "execute commands=1 returned=0",
        "write cmd=34 ctrl=8/1 flag=0 data=0/0",
        "write cmd=28 ctrl=8/1 flag=0 data=0/0",
        "violation: command 28 while busy",
        "close bus_ns=9003200 round_trips=9 bits=96 violations=2",
    };
    EXPECT_EQ(vaTraceLines(), expected);
    VirtualAdapterStats stats = vaStats();
    std::string counts;
    for (uint32_t i = 0; i < 13; i++) {
        counts += std::string(vaCallName(i)) + "=" + std::to_string(stats.callCounts[i]) + " ";
    }
    EXPECT_EQ(counts, "count=1 describe=4 open=1 setup6=0 clock=1 setup14=0 linelevels=0 query=0 read=1 "
                      "write=4 queue=1 execute=1 close=1 ");
}

std::string summary(const VirtualAdapterConfig& c) {
    std::string text = "devices=";
    for (const VirtualDevice& device : c.devices) {
        text += device.name + "|" + device.channel + "|" + std::to_string(device.locationId) + ";";
    }
    char fields[300];
    snprintf(fields, sizeof(fields),
             " describe=%u:%u frequency=%d:%u identity=%u stuck=%u:%u:%u short=%u:%d empty=%u repeat=%d "
             "after=%u:%u "
             "realtime=%d count=%u vanish=%u unerased=%u",
             c.describeFailIndex, c.describeStatus, c.frequencyMode, c.fixedFrequencyHz,
             c.target.identityByte, c.target.stuckBitAddress, c.target.stuckBitMask, c.target.stuckBitValue,
             c.shortReadBytes, c.shortReadAlways, c.emptyReads, c.emptyReadsRepeat,
             c.target.stuckAfterCommand, c.target.stuckAfterOccurrence, c.realTime, c.countStatus,
             c.vanishAfterCalls, c.target.unerasedSector);
    return text + fields;
}

TEST(VirtualAdapterEnvironment, VariablesAndBadValues) {
    struct EnvCase {
        const char* name;
        const char* value;
        const char* expected; // part of the summary; nullptr: a bad value, the defaults stay
    };
    const std::string defaults = summary(VirtualAdapterConfig());
    for (const EnvCase& c : {
             EnvCase{"VADAPTER_DEVICES", "a|B|0x10;c||7", "devices=a|B|16;c||7; "},
             EnvCase{"VADAPTER_DEVICES", "", "devices= "},
             EnvCase{"VADAPTER_DESCRIBE_FAIL", "1:3", "describe=1:3 "},
             EnvCase{"VADAPTER_FREQUENCY", "untouched", "frequency=2:0 "},
             EnvCase{"VADAPTER_FREQUENCY", "0xF4240", "frequency=1:1000000 "},
             EnvCase{"VADAPTER_STUCK_BIT", "0x4000:0x02:1", "stuck=16384:2:1 "},
             EnvCase{"VADAPTER_SHORT_READ", "1000:always", "short=1000:1 "},
             EnvCase{"VADAPTER_EMPTY_READS", "always", "empty=4294967295 "},
             EnvCase{"VADAPTER_EMPTY_READS", "3:repeat", "empty=3 repeat=1 "},
             EnvCase{"VADAPTER_STUCK_AFTER", "0xaf:16394", "after=175:16394 "},
             EnvCase{"VADAPTER_REALTIME", "1", "realtime=1 "},
             EnvCase{"VADAPTER_DEVICES", "a|b", nullptr},
             EnvCase{"VADAPTER_IDENTITY", "0x1ff", nullptr},
             EnvCase{"VADAPTER_COUNT_STATUS", "4x", nullptr},
             EnvCase{"VADAPTER_VANISH_AFTER", "4294967296", nullptr},
             EnvCase{"VADAPTER_UNERASED_SECTOR", "8", nullptr},
             EnvCase{"VADAPTER_STUCK_AFTER", "0x20:0", nullptr},
             EnvCase{"VADAPTER_REALTIME", "yes", nullptr},
             EnvCase{"VADAPTER_EMPTY_READS", "3:again", nullptr},
         }) {
        setenv(c.name, c.value, 1);
        testing::internal::CaptureStderr();
        std::string text = summary(vaConfigFromEnvironment());
        std::string errors = testing::internal::GetCapturedStderr();
        unsetenv(c.name);
        if (c.expected) {
            EXPECT_NE(text.find(c.expected), std::string::npos) << c.name << "=" << c.value << ": " << text;
            EXPECT_EQ(errors, "");
        } else {
            EXPECT_EQ(text, defaults) << c.name << "=" << c.value;
            EXPECT_EQ(errors, "virtual adapter: bad " + std::string(c.name) + " value\n");
        }
    }
}

} // namespace

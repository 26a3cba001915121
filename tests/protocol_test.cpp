// The program's adapter connection and flash protocol, in-process against the
// virtual adapter, checked through the exact calls in its trace.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/adapter/adapter_connection.h"
#include "core/flash/flash_operations.h"
#include "orvanwriter/write_run.h"
#include "orvanwriter/writer_steps.h"
#include "virtual_adapter_control.h"

namespace {

std::vector<std::string> traceLinesStartingWith(const std::string& prefix) {
    std::vector<std::string> lines;
    for (const std::string& line : vaTraceLines()) {
        if (line.rfind(prefix, 0) == 0) {
            lines.push_back(line);
        }
    }
    return lines;
}

std::vector<std::string> commandLines() {
    std::vector<std::string> lines;
    for (const std::string& line : vaTraceLines()) {
        bool isStatusRead = line.rfind("read cmd=05", 0) == 0;
        if (!isStatusRead && (line.rfind("read ", 0) == 0 || line.rfind("write ", 0) == 0 ||
                              line.rfind("queue ", 0) == 0 || line.rfind("execute ", 0) == 0)) {
            lines.push_back(line);
        }
    }
    return lines;
}

VirtualAdapterConfig tracedConfig() {
    VirtualAdapterConfig config;
    config.keepTrace = true;
    return config;
}

void openWith(const VirtualAdapterConfig& config) {
    vaConfigure(config);
    openAdapter();
}

double millisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

TEST(AdapterConnection, OpensWithTheExactCallsAndRecords) {
    openWith(tracedConfig());
    const std::vector<std::string> expected = {
        "count status=0 count=1",
        "describe index=0 status=0 name=\"Vexil USB-SPI Cable\" channel=\"A\" location=0x1101",
        "open name=\"Vexil USB-SPI Cable\" location=0x1101 channel=\"A\" status=0 handle=1",
        "setup6 value=8",
        "clock divisor=8 frequency=3333333",
        "setup14",
        "linelevels status=0",
        "query status=0",
    };
    EXPECT_EQ(vaTraceLines(), expected);
    const uint32_t start[4] = {0, 1, 1, 0};
    EXPECT_EQ(0, memcmp(&connection.writeStart, start, sizeof(start)));
    EXPECT_EQ(0, memcmp(&connection.readStart, start, sizeof(start)));
    const uint32_t wait[4] = {0, 0, 0, 5000};
    EXPECT_EQ(0, memcmp(&connection.waitSettings, wait, sizeof(wait)));
    for (const PinStatePair& pin : connection.pinStates.pins) {
        EXPECT_EQ(pin.state, 0u);
        EXPECT_EQ(pin.activeState, 1u);
    }
    EXPECT_EQ(vaStats().violations, 0u);
    closeAdapter();
    EXPECT_FALSE(vaIsOpen());
}

TEST(AdapterConnection, ClockOverridePrintsKilohertz) {
    struct ClockCase {
        VirtualFrequencyMode mode;
        uint32_t fixedHz;
        uint32_t divisor;
        std::string line;
    };
    const std::vector<ClockCase> cases = {
        {VA_FREQUENCY_FIXED, 1000000, 2, "SPI Freq : 976khz\n"},
        {VA_FREQUENCY_COMPUTED, 0, 0, "SPI Freq : 29296khz\n"},
        {VA_FREQUENCY_COMPUTED, 0, 29, "SPI Freq : 976khz\n"},
        {VA_FREQUENCY_UNTOUCHED, 0, 2, "SPI Freq : 0khz\n"},
    };
    for (const ClockCase& clockCase : cases) {
        VirtualAdapterConfig config = tracedConfig();
        config.frequencyMode = clockCase.mode;
        config.fixedFrequencyHz = clockCase.fixedHz;
        openWith(config);
        testing::internal::CaptureStdout();
        setClockDivisor(clockCase.divisor);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), clockCase.line);
        EXPECT_EQ(traceLinesStartingWith("clock divisor=" + std::to_string(clockCase.divisor) + " ").size(),
                  1u);
        closeAdapter();
    }
}

TEST(FlashProtocol, ReadinessIsBitZeroOfTheStatusByte) {
    struct ReadyCase {
        uint8_t busyByte;
        uint8_t readyByte;
    };
    for (ReadyCase readyCase :
         {ReadyCase{0x00, 0x01}, ReadyCase{0xFE, 0xFF}, ReadyCase{0xFE, 0x01}, ReadyCase{0x00, 0xFF}}) {
        VirtualAdapterConfig config = tracedConfig();
        config.target.busyByte = readyCase.busyByte;
        config.target.readyByte = readyCase.readyByte;
        config.target.eraseBusyReads = 3;
        openWith(config);
        ASSERT_TRUE(waitReady());
        EXPECT_EQ(traceLinesStartingWith("read cmd=05").size(), 1u);
        sendBareCommand(CMD_ERASE_OPEN);
        sendAddressedCommand(CMD_ERASE_SECTOR, 0);
        auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(waitReady());
        EXPECT_GE(millisecondsSince(start), 3.0);
        // One ready read before the erase, three busy ones and one ready one after it.
        EXPECT_EQ(traceLinesStartingWith("read cmd=05").size(), 5u);
        EXPECT_EQ(vaStats().violations, 0u);
        closeAdapter();
    }
}

TEST(FlashProtocol, ReadinessPollGivesUpOnATargetThatStaysBusy) {
    VirtualAdapterConfig config = tracedConfig();
    config.target.stuckAfterCommand = CMD_ERASE_SECTOR;
    config.target.stuckAfterOccurrence = 1;
    openWith(config);
    sendBareCommand(CMD_ERASE_OPEN);
    sendAddressedCommand(CMD_ERASE_SECTOR, 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(waitReady());
    double elapsed = millisecondsSince(start);
    EXPECT_GE(elapsed, READY_TIMEOUT_MS - 1.0); // the poll reads a millisecond clock
    EXPECT_LT(elapsed, READY_TIMEOUT_MS + 1000.0);
    EXPECT_FALSE(adapterGone()) << "a busy target is not a device gone";
    closeAdapter();
}

// The poll gives up on its first failed status read instead of waiting out
// READY_TIMEOUT_MS; the next open starts with the device present.
TEST(FlashProtocol, AVanishedAdapterIsNeverReadyAndGivesUpAtOnce) {
    VirtualAdapterConfig config = tracedConfig();
    config.vanishAfterCalls = 9; // the eight opening calls and one status read
    openWith(config);
    ASSERT_TRUE(waitReady());
    EXPECT_FALSE(adapterGone());
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(waitReady());
    EXPECT_LT(millisecondsSince(start), READY_TIMEOUT_MS / 10.0);
    EXPECT_TRUE(adapterGone());
    EXPECT_EQ(traceLinesStartingWith("read cmd=05").size(), 2u);
    closeAdapter();
    openWith(tracedConfig());
    EXPECT_FALSE(adapterGone());
    closeAdapter();
}

TEST(FlashProtocol, IdentityByteIsChecked) {
    struct IdentityCase {
        uint8_t identity;
        bool ok;
        std::string output;
    };
    for (const IdentityCase& identityCase :
         {IdentityCase{0xAC, true, ""}, IdentityCase{0xAD, false, "invalid Flash ID(ad)"},
          IdentityCase{0x05, false, "invalid Flash ID(5)"}}) {
        VirtualAdapterConfig config = tracedConfig();
        config.target.identityByte = identityCase.identity;
        openWith(config);
        testing::internal::CaptureStdout();
        EXPECT_EQ(checkIdentity(), identityCase.ok);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), identityCase.output);
        // No readiness poll before the identity read, and no address bytes.
        EXPECT_EQ(commandLines().size(), 1u);
        EXPECT_EQ(commandLines()[0].rfind("read cmd=90 ctrl=8/1 data=8 returned=1", 0), 0u);
        closeAdapter();
    }
}

TEST(FlashOperations, EraseSendsTheBracketedCommandsWithProgress) {
    struct EraseCase {
        uint32_t start;
        uint32_t count;
        std::vector<std::string> commands;
        std::string output;
    };
    const std::vector<EraseCase> cases = {
        {6,
         2,
         {"write cmd=28 ctrl=8/1 flag=0 data=0/0", "write cmd=20 addr=018000 ctrl=32/4 flag=0 data=0/0",
          "write cmd=24 ctrl=8/1 flag=0 data=0/0", "write cmd=28 ctrl=8/1 flag=0 data=0/0",
          "write cmd=20 addr=01c000 ctrl=32/4 flag=0 data=0/0", "write cmd=24 ctrl=8/1 flag=0 data=0/0"},
         "\r1/2 sectors erased\r2/2 sectors erased\nErase Completed\n"},
        {5,
         1,
         {"write cmd=28 ctrl=8/1 flag=0 data=0/0", "write cmd=20 addr=014000 ctrl=32/4 flag=0 data=0/0",
          "write cmd=24 ctrl=8/1 flag=0 data=0/0"},
         "\r1/1 sectors erased\nErase Completed\n"},
        {3, 0, {}, "\nErase Completed\n"},
    };
    for (const EraseCase& eraseCase : cases) {
        openWith(tracedConfig());
        memset(vaMutableFlash(), 0x00, VA_FLASH_SIZE);
        testing::internal::CaptureStdout();
        EXPECT_TRUE(eraseSectors(eraseCase.start, eraseCase.count));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), eraseCase.output);
        EXPECT_EQ(commandLines(), eraseCase.commands);
        for (uint32_t sector = 0; sector < 8; sector++) {
            bool erased = sector >= eraseCase.start && sector < eraseCase.start + eraseCase.count;
            EXPECT_EQ(vaFlash()[sector * VA_SECTOR_SIZE + 77], erased ? 0xFF : 0x00) << sector;
        }
        EXPECT_EQ(vaStats().violations, 0u);
        closeAdapter();
    }
}

TEST(FlashOperations, BlockReadContinuesAfterAShortRead) {
    VirtualAdapterConfig config = tracedConfig();
    config.shortReadBytes = 1000;
    openWith(config);
    for (uint32_t i = 0; i < VA_FLASH_SIZE; i++) {
        vaMutableFlash()[i] = static_cast<uint8_t>(i * 13 + (i >> 9));
    }
    static uint8_t block[SECTOR_SIZE + 1];
    block[SECTOR_SIZE] = 0x5A;
    EXPECT_TRUE(readBlock(5 * SECTOR_SIZE, block));
    const std::vector<std::string> expected = {
        "write cmd=16 ctrl=8/1 flag=0 data=0/0",
        "read cmd=03 addr=014000 ctrl=32/4 data=131072 returned=1000",
        "write cmd=14 ctrl=8/1 flag=0 data=0/0",
        "write cmd=16 ctrl=8/1 flag=0 data=0/0",
        "read cmd=03 addr=0143e8 ctrl=32/4 data=123072 returned=15384",
        "write cmd=14 ctrl=8/1 flag=0 data=0/0",
    };
    EXPECT_EQ(commandLines(), expected);
    EXPECT_EQ(0, memcmp(block, vaFlash() + 5 * SECTOR_SIZE, SECTOR_SIZE));
    EXPECT_EQ(block[SECTOR_SIZE], 0x5A);
    closeAdapter();
}

TEST(FlashOperations, BlockReadGivesUpWhenNothingArrives) {
    VirtualAdapterConfig config = tracedConfig();
    config.emptyReads = VA_ALWAYS;
    openWith(config);
    static uint8_t block[SECTOR_SIZE];
    EXPECT_FALSE(readBlock(0, block));
    EXPECT_EQ(traceLinesStartingWith("read cmd=03").size(), EMPTY_READ_PASS_LIMIT);
    EXPECT_EQ(traceLinesStartingWith("write cmd=14").size(), EMPTY_READ_PASS_LIMIT);
    closeAdapter();
}

TEST(FlashOperations, BlockReadLimitHoldsTheSlowestClock) {
    // At the largest divisor a block takes 217 days (131072 bits at 0.007 Hz);
    // the limit must cover that, not wrap around.
    const uint64_t SLOWEST_BLOCK_MS = 217ull * 24 * 3600 * 1000;
    EXPECT_GT(blockReadTimeoutMs(0xFFFFFFFF), BLOCK_READ_CLOCK_ALLOWANCE * SLOWEST_BLOCK_MS);
    EXPECT_GE(blockReadTimeoutMs(0), BLOCK_READ_TIMEOUT_MARGIN_MS);
}

// The limit is on empty reads in a row: every read that delivers starts the
// count again, however many empty ones the block has seen in all.
TEST(FlashOperations, BlockReadCountsEmptyReadsInARow) {
    struct EmptyCase {
        uint32_t emptyInARow;
        bool ok;
        size_t reads;
    };
    for (EmptyCase emptyCase : {EmptyCase{EMPTY_READ_PASS_LIMIT - 1, true, 17 * EMPTY_READ_PASS_LIMIT},
                                EmptyCase{EMPTY_READ_PASS_LIMIT, false, EMPTY_READ_PASS_LIMIT}}) {
        VirtualAdapterConfig config = tracedConfig();
        config.emptyReads = emptyCase.emptyInARow;
        config.emptyReadsRepeat = true;
        config.shortReadBytes = 1000; // 17 reads deliver the block
        config.shortReadAlways = true;
        openWith(config);
        for (uint32_t i = 0; i < VA_FLASH_SIZE; i++) {
            vaMutableFlash()[i] = static_cast<uint8_t>(i * 11 + (i >> 10));
        }
        static uint8_t block[SECTOR_SIZE];
        memset(block, 0, sizeof(block));
        EXPECT_EQ(readBlock(2 * SECTOR_SIZE, block), emptyCase.ok) << emptyCase.emptyInARow;
        EXPECT_EQ(traceLinesStartingWith("read cmd=03").size(), emptyCase.reads) << emptyCase.emptyInARow;
        if (emptyCase.ok) {
            EXPECT_EQ(0, memcmp(block, vaFlash() + 2 * SECTOR_SIZE, SECTOR_SIZE));
        }
        closeAdapter();
    }
}

TEST(FlashOperations, ProgrammingSendsByteZeroWithTheAddressAndQueuesTheRest) {
    struct ProgramCase {
        uint32_t length;
        uint32_t address;
        std::vector<std::string> executions;
        std::string output;
    };
    const std::vector<ProgramCase> cases = {
        {1, 0x8000, {"execute commands=0 returned=0"}, "1 / 1  100 % \n"},
        {PROGRAM_BATCH + 1,
         0,
         {"execute commands=10240 returned=0", "execute commands=0 returned=0"},
         "10241 / 10241  100 % \r10241 / 10241  100 % \n"},
        {SECTOR_SIZE,
         0x4000,
         {"execute commands=10240 returned=0", "execute commands=6143 returned=0"},
         "10241 / 16384  62 % \r16384 / 16384  100 % \n"},
        {0, 0, {}, "0 / 0  100 % \n"},
    };
    for (const ProgramCase& programCase : cases) {
        openWith(tracedConfig());
        for (uint32_t i = 0; i < IMAGE_CAPACITY; i++) {
            imageBuffer[i] = static_cast<uint8_t>(i * 5 + 3);
        }
        testing::internal::CaptureStdout();
        EXPECT_TRUE(programImage(programCase.length, programCase.address));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), programCase.output);
        EXPECT_EQ(traceLinesStartingWith("execute"), programCase.executions);
        std::vector<std::string> writes = traceLinesStartingWith("write");
        if (programCase.length == 0) {
            EXPECT_TRUE(writes.empty());
            EXPECT_TRUE(traceLinesStartingWith("queue").empty());
        } else {
            char addressed[96];
            snprintf(addressed, sizeof(addressed), "write cmd=af addr=%06x ctrl=32/4 flag=1 data=8/1 byte=03",
                     programCase.address);
            ASSERT_EQ(writes.size(), 3u);
            EXPECT_EQ(writes[0], "write cmd=36 ctrl=8/1 flag=0 data=0/0");
            EXPECT_EQ(writes[1], addressed);
            EXPECT_EQ(writes[2], "write cmd=34 ctrl=8/1 flag=0 data=0/0");
            EXPECT_EQ(traceLinesStartingWith("queue cmd=af ctrl=8/1 flag=1 data=8/1 byte=").size(),
                      programCase.length - 1);
        }
        EXPECT_EQ(0, memcmp(vaFlash() + programCase.address, imageBuffer, programCase.length));
        EXPECT_EQ(vaStats().violations, 0u);
        closeAdapter();
    }
}

} // namespace

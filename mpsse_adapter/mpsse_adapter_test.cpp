// The MPSSE adapter library called directly, over the real libftdi1 and the
// emulated cable (this program links the stand-in as its libusb-1.0.so.0):
// the device list, statuses, and how calls map to USB writes and reads.
#include "mpsse_adapter_fixture.h"

namespace {

const StartCondition START = {0, 1, 1, 0};

TEST_F(MpsseAdapter, ListsEachMpsseChannelInLocationOrder) {
    uint32_t count = 0;
    ASSERT_EQ(libCountDevices(&count), ADAPTER_OK);
    struct Entry {
        const char* name;
        uint32_t location;
        const char* channel;
        uint32_t type;
    };
    // Bus in bits 31-24, then one port per 4 bits.
    const Entry expected[] = {{"Quad", 0x01100000, "A", 0x6011},
                              {"Quad", 0x01100000, "B", 0x6011},
                              {"Vexil dual", 0x01320000, "A", 0x6010},
                              {"Vexil dual", 0x01320000, "B", 0x6010},
                              {"Vexil single", 0x02100000, "A", 0x6014}};
    ASSERT_EQ(count, 5u);
    for (uint32_t i = 0; i < count; i++) {
        char name[DEVICE_NAME_SIZE];
        char channel[DEVICE_CHANNEL_SIZE];
        uint32_t location = 0;
        uint32_t type = 0;
        ASSERT_EQ(libDescribeDevice(i, name, sizeof(name), &location, channel, sizeof(channel), &type),
                  ADAPTER_OK);
        EXPECT_STREQ(name, expected[i].name) << i;
        EXPECT_EQ(location, expected[i].location) << i;
        EXPECT_STREQ(channel, expected[i].channel) << i;
        EXPECT_EQ(type, expected[i].type) << i;
    }
    char name[4];
    char channel[DEVICE_CHANNEL_SIZE];
    uint32_t location = 0;
    uint32_t type = 0;
    EXPECT_EQ(libDescribeDevice(2, name, sizeof(name), &location, channel, sizeof(channel), &type),
              ADAPTER_OK);
    EXPECT_STREQ(name, "Vex"); // cut to the buffer, terminated
    EXPECT_EQ(libDescribeDevice(5, name, sizeof(name), &location, channel, sizeof(channel), &type),
              MPSSE_STATUS_DEVICE_NOT_FOUND);
    uint32_t handle = 0;
    EXPECT_EQ(libOpenDevice("Vexil dual", 0x01320001, "A", &handle), MPSSE_STATUS_DEVICE_NOT_FOUND);
}

TEST_F(MpsseAdapter, QueueGoesOutInOneWriteAndReadsEndWithSendImmediate) {
    uint32_t handle = openDual();
    // An erase bracket opened, closed and opened again: three bare frames.
    uint8_t commands[3] = {0x28, 0x24, 0x28};
    StartCondition start = START;
    for (uint8_t& command : commands) {
        EXPECT_EQ(libQueueWrite(handle, &start, MSB_FIRST, 0, 8, &command, 1, 0, 0, nullptr, 0, &pins),
                  ADAPTER_OK);
    }
    EXPECT_EQ(newTrace(), "");
    uint8_t area[8];
    uint32_t returned = 99;
    EXPECT_EQ(libExecuteQueue(handle, area, &returned), ADAPTER_OK);
    EXPECT_EQ(returned, 0u);
    // Chip select low (3), write command with one byte (4), chip select
    // high (3); the high byte is as it was at open, so it is not sent.
    EXPECT_EQ(newTrace(), "out bytes=30\n");
    EXPECT_EQ(libExecuteQueue(handle, area, &returned), ADAPTER_OK);
    EXPECT_EQ(newTrace(), ""); // an empty queue sends nothing

    uint8_t status = 0x05;
    uint8_t answer = 0;
    EXPECT_EQ(
        libRead(handle, &start, MSB_FIRST, 0, 8, &status, 1, MSB_FIRST, 0, 8, &answer, &returned, &pins),
        ADAPTER_OK);
    EXPECT_EQ(returned, 1u);
    EXPECT_EQ(newTrace(), "out bytes=14\nin bytes=1\n"); // 13 framed + SEND_IMMEDIATE
    EXPECT_EQ(libClose(handle), ADAPTER_OK);
}

TEST_F(MpsseAdapter, StatusesOfBadCalls) {
    uint32_t handle = openDual();
    StartCondition start = START;
    uint8_t bytes[4] = {0x03, 0, 0, 0};
    uint32_t returned = 0;
    uint32_t frequency = 0;
    EXPECT_EQ(libSetup14(handle + 1), MPSSE_STATUS_INVALID_HANDLE);
    EXPECT_EQ(libWrite(handle, &start, MSB_FIRST, 0, 33, bytes, 4, 0, 0, bytes, 0, nullptr, &pins),
              MPSSE_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(libWrite(handle, nullptr, MSB_FIRST, 0, 8, bytes, 1, 0, 0, bytes, 0, nullptr, &pins),
              MPSSE_STATUS_INVALID_PARAMETER);
    StartCondition badLine = {0, 1, 1, 5};
    EXPECT_EQ(libWrite(handle, &badLine, MSB_FIRST, 0, 8, bytes, 1, 0, 0, bytes, 0, nullptr, &pins),
              MPSSE_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(libRead(handle, &start, MSB_FIRST, 0, 32, bytes, 4, MSB_FIRST, 0, 8, nullptr, &returned, &pins),
              MPSSE_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(newTrace(), ""); // refused before anything was sent
    uint32_t second = 0;
    EXPECT_EQ(libOpenDevice("Vexil dual", 0x01320000, "A", &second), MPSSE_STATUS_ALREADY_OPEN);
    EXPECT_EQ(libSetClockDivisor(handle, 100000, &frequency), ADAPTER_OK);
    EXPECT_EQ(frequency, 457u);
    EXPECT_EQ(libClose(handle), ADAPTER_OK);
    EXPECT_EQ(libClose(handle), MPSSE_STATUS_INVALID_HANDLE);
    EXPECT_EQ(libSetup14(handle), MPSSE_STATUS_INVALID_HANDLE);
}

// A station's cable: the board taken off and put back, the cable unplugged
// and plugged in again while the program runs.
TEST_F(MpsseAdapter, BoardOffTheCableReadsHighAndAnUnpluggedCableIsGone) {
    const uint32_t dual = 0x01320000;
    uint32_t handle = openDual();
    StartCondition start = START;
    auto identity = [&] {
        uint8_t command = 0x90, answer = 0;
        uint32_t returned = 0;
        AdapterStatus status =
            libRead(handle, &start, MSB_FIRST, 0, 8, &command, 1, MSB_FIRST, 0, 8, &answer, &returned, &pins);
        return status == ADAPTER_OK ? answer : -static_cast<int>(status);
    };
    for (bool onCable : {true, false, true}) {
        setPresence(PRESENT_PATTERN, dual, onCable);
        EXPECT_EQ(identity(), onCable ? 0xAC : 0xFF) << onCable;
    }
    setPresence(PLUGGED_PATTERN, dual, false);
    EXPECT_EQ(identity(), -static_cast<int>(ADAPTER_STATUS_DEVICE_GONE));
    EXPECT_EQ(libClose(handle), ADAPTER_STATUS_DEVICE_GONE);
    uint32_t count = 0;
    EXPECT_EQ(libCountDevices(&count), ADAPTER_OK);
    EXPECT_EQ(count, 3u); // the dual cable's two channels are gone
    EXPECT_EQ(libOpenDevice("Vexil dual", dual, "A", &handle), MPSSE_STATUS_DEVICE_NOT_FOUND);
    setPresence(PLUGGED_PATTERN, dual, true);
    handle = openDual();
    EXPECT_EQ(identity(), 0xAC);
    EXPECT_EQ(libClose(handle), ADAPTER_OK);
}

} // namespace

// The MPSSE byte sequences of framed transfers and of the clock set-up.
#include <gtest/gtest.h>

#include <vector>

#include "adapter_interface/adapter_clock.h"
#include "mpsse_encoder.h"

namespace {

typedef std::vector<uint8_t> Bytes;

// Low byte at rest with the program's line levels: data out and every
// chip-select line high; the frame pulls chip select 0 low.
const uint8_t REST = 0xFA;
const uint8_t SELECTED = 0xF2;
const uint8_t DIRECTIONS = 0xFB;

struct FrameCase {
    const char* name;
    Bytes control;
    uint32_t controlBits;
    Bytes data;
    uint32_t readBits;
    Bytes expected; // between the select and deselect pin commands
};

Bytes encoded(const FrameCase& frameCase, uint32_t* predicted) {
    static uint8_t storage[80000];
    MpsseBuffer buffer = {storage, 0, sizeof(storage)};
    MpsseFrame frame = {};
    frame.selectedLow = SELECTED;
    frame.restLow = REST;
    frame.lowDirections = DIRECTIONS;
    frame.writeOpcode = writeOpcode(1, 0);
    frame.control = frameCase.control.data();
    frame.controlBits = frameCase.controlBits;
    frame.data = frameCase.data.data();
    frame.dataBits = static_cast<uint32_t>(frameCase.data.size() * 8);
    frame.readOpcode = readOpcode(1, 0);
    frame.readBits = frameCase.readBits;
    *predicted = frameSize(frame);
    EXPECT_TRUE(encodeFrame(&buffer, frame));
    return Bytes(storage, storage + buffer.used);
}

TEST(MpsseEncoder, FramedTransfers) {
    const std::vector<FrameCase> cases = {
        {"queued programming byte", {0xAF}, 8, {0x12}, 0, {0x11, 0x01, 0x00, 0xAF, 0x12}},
        {"addressed write with a data byte",
         {0xAF, 0x01, 0x40, 0x00},
         32,
         {0x34},
         0,
         {0x11, 0x04, 0x00, 0xAF, 0x01, 0x40, 0x00, 0x34}},
        {"bare command", {0x28}, 8, {}, 0, {0x11, 0x00, 0x00, 0x28}},
        {"read of 1 byte", {0x05}, 8, {}, 8, {0x11, 0x00, 0x00, 0x05, 0x20, 0x00, 0x00}},
        {"read of 16384 bytes",
         {0x03, 0x01, 0x40, 0x00},
         32,
         {},
         16384 * 8,
         {0x11, 0x03, 0x00, 0x03, 0x01, 0x40, 0x00, 0x20, 0xFF, 0x3F}},
        {"read of 65536 bytes",
         {0x03, 0, 0, 0},
         32,
         {},
         65536 * 8,
         {0x11, 0x03, 0x00, 0x03, 0, 0, 0, 0x20, 0xFF, 0xFF}},
        {"read of 65537 bytes takes two commands",
         {0x03, 0, 0, 0},
         32,
         {},
         65537 * 8,
         {0x11, 0x03, 0x00, 0x03, 0, 0, 0, 0x20, 0xFF, 0xFF, 0x20, 0x00, 0x00}},
        {"12 control bits end with a bit command",
         {0xA5, 0xC0},
         12,
         {},
         0,
         {0x11, 0x00, 0x00, 0xA5, 0x13, 0x03, 0xC0}},
        {"3 read bits", {0x05}, 8, {}, 3, {0x11, 0x00, 0x00, 0x05, 0x22, 0x02}},
    };
    for (const FrameCase& frameCase : cases) {
        Bytes expected = {0x80, SELECTED, DIRECTIONS};
        expected.insert(expected.end(), frameCase.expected.begin(), frameCase.expected.end());
        expected.insert(expected.end(), {0x80, REST, DIRECTIONS});
        uint32_t predicted = 0;
        Bytes actual = encoded(frameCase, &predicted);
        EXPECT_EQ(actual, expected) << frameCase.name;
        EXPECT_EQ(predicted, actual.size()) << frameCase.name;
    }
}

TEST(MpsseEncoder, FrameThatDoesNotFitAppendsNothing) {
    uint8_t storage[16];
    MpsseBuffer buffer = {storage, 5, sizeof(storage)};
    const uint8_t control[4] = {0xAF, 0, 0, 0};
    const uint8_t data[1] = {0x12};
    MpsseFrame frame = {SELECTED, REST, DIRECTIONS, writeOpcode(1, 0), control, 32, data, 8, 0, 0};
    EXPECT_FALSE(encodeFrame(&buffer, frame)); // 14 bytes, 11 free
    EXPECT_EQ(buffer.used, 5u);
    buffer.used = 2;
    EXPECT_TRUE(encodeFrame(&buffer, frame));
    EXPECT_EQ(buffer.used, 16u);
}

TEST(MpsseEncoder, ClockSetUp) {
    struct ClockCase {
        uint32_t divisor;
        uint32_t sent;
        uint32_t hz;
    };
    const std::vector<ClockCase> cases = {
        {0, 0, 30000000}, {8, 8, 3333333}, {29, 29, 1000000}, {65535, 65535, 457}, {70000, 65535, 457}};
    for (const ClockCase& clockCase : cases) {
        uint8_t storage[6];
        MpsseBuffer buffer = {storage, 0, sizeof(storage)};
        uint32_t sent = divisorSent(clockCase.divisor);
        EXPECT_EQ(sent, clockCase.sent);
        EXPECT_EQ(adapterClockHz(sent), clockCase.hz);
        ASSERT_TRUE(encodeClock(&buffer, sent));
        Bytes expected = {
            0x8A, 0x97, 0x8D, 0x86, static_cast<uint8_t>(sent & 0xFF), static_cast<uint8_t>(sent >> 8)};
        EXPECT_EQ(Bytes(storage, storage + buffer.used), expected) << clockCase.divisor;
    }
}

TEST(MpsseEncoder, OpcodesForBitOrderAndEdge) {
    // Target's mode: out on the falling edge, in on the rising, MSB first.
    EXPECT_EQ(writeOpcode(1, 0), 0x11);
    EXPECT_EQ(readOpcode(1, 0), 0x20);
    EXPECT_EQ(writeOpcode(1, 1), 0x10);
    EXPECT_EQ(readOpcode(1, 1), 0x24);
    EXPECT_EQ(writeOpcode(0, 0), 0x19);
    EXPECT_EQ(readOpcode(0, 0), 0x28);
    EXPECT_EQ(chipSelectBit(0), 0x08);
    EXPECT_EQ(chipSelectBit(4), 0x80);
}

} // namespace

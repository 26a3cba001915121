// Two independent readings of the MPSSE command set side by side: the
// library's encoder (mpsse_encoder.h) and the emulated cable's own table
// (emulated_usb/mpsse_command_set.h). Each opcode the library sends must mean
// to the cable what the library means by it, so that a misreading of the
// chip's commands cannot pass as long as it is made on one side only.
#include <gtest/gtest.h>

#include <vector>

#include "emulated_usb/mpsse_command_set.h"
#include "mpsse_encoder.h"

namespace {

typedef std::vector<uint8_t> Bytes;

struct SettingCase {
    const char* use;
    uint8_t library;
    uint8_t cable;
    uint8_t headerBytes;
};

TEST(MpsseCommandSet, SettingOpcodesAgree) {
    const SettingCase cases[] = {
        {"pins of the low byte", MPSSE_SET_LOW_BYTE, CHIP_SET_BITS_LOW, 3},
        {"pins of the high byte", MPSSE_SET_HIGH_BYTE, CHIP_SET_BITS_HIGH, 3},
        {"loopback off", MPSSE_LOOPBACK_OFF, CHIP_LOOPBACK_OFF, 1},
        {"clock divisor", MPSSE_SET_DIVISOR, CHIP_SET_DIVISOR, 3},
        {"send immediate", MPSSE_SEND_IMMEDIATE, CHIP_SEND_IMMEDIATE, 1},
        {"divide-by-5 off", MPSSE_DIVIDE_BY_5_OFF, CHIP_DIVIDE_BY_5_OFF, 1},
        {"divide-by-5 on", MPSSE_DIVIDE_BY_5_ON, CHIP_DIVIDE_BY_5_ON, 1},
        {"three-phase off", MPSSE_THREE_PHASE_OFF, CHIP_THREE_PHASE_OFF, 1},
        {"adaptive off", MPSSE_ADAPTIVE_OFF, CHIP_ADAPTIVE_OFF, 1},
    };
    for (const SettingCase& c : cases) {
        EXPECT_EQ(c.library, c.cable) << c.use;
        const ChipCommand* command = chipCommand(c.library);
        ASSERT_NE(command, nullptr) << c.use;
        EXPECT_EQ(command->headerBytes, c.headerBytes) << c.use;
        EXPECT_FALSE(chipShifts(*command)) << c.use;
    }
    // The synchronisation check relies on an opcode the chip does not know.
    EXPECT_EQ(chipCommand(MPSSE_BAD_OPCODE), nullptr);
    EXPECT_EQ(MPSSE_BAD_OPCODE_REPLY, CHIP_BAD_COMMAND_REPLY);
}

TEST(MpsseCommandSet, PinsAgree) {
    EXPECT_EQ(PIN_CLOCK, CHIP_PIN_TCK_SK);
    EXPECT_EQ(PIN_DATA_OUT, CHIP_PIN_TDI_DO);
    EXPECT_EQ(PIN_DATA_IN, CHIP_PIN_TDO_DI);
    EXPECT_EQ(PIN_CHIP_SELECT_0, CHIP_PIN_TMS_CS);
}

// The library's arguments as mpsse_adapter.h gives them: bit order 1 is most
// significant bit first; clock edge 0 puts data out on the falling edge and
// samples data in on the rising edge, 1 the other way round.
struct ShiftCase {
    uint32_t bitOrder;
    uint32_t clockEdge;
    ChipBitOrder order;
    ChipEdge outEdge; // for a write
    ChipEdge inEdge;  // for a read
};

TEST(MpsseCommandSet, ShiftingOpcodesAgree) {
    const ShiftCase cases[] = {
        {1, 0, CHIP_MSB_FIRST, CHIP_EDGE_FALLING, CHIP_EDGE_RISING},
        {1, 1, CHIP_MSB_FIRST, CHIP_EDGE_RISING, CHIP_EDGE_FALLING},
        {0, 0, CHIP_LSB_FIRST, CHIP_EDGE_FALLING, CHIP_EDGE_RISING},
        {0, 1, CHIP_LSB_FIRST, CHIP_EDGE_RISING, CHIP_EDGE_FALLING},
    };
    for (const ShiftCase& c : cases) {
        for (bool bits : {false, true}) {
            uint8_t unit = bits ? MPSSE_BITS : 0;
            ChipLength length = bits ? CHIP_LENGTH_BITS : CHIP_LENGTH_BYTES;
            const ChipCommand* write =
                chipCommand(static_cast<uint8_t>(writeOpcode(c.bitOrder, c.clockEdge) | unit));
            const ChipCommand* read =
                chipCommand(static_cast<uint8_t>(readOpcode(c.bitOrder, c.clockEdge) | unit));
            ASSERT_NE(write, nullptr) << c.bitOrder << c.clockEdge << bits;
            ASSERT_NE(read, nullptr) << c.bitOrder << c.clockEdge << bits;
            EXPECT_EQ(write->order, c.order) << write->name;
            EXPECT_EQ(write->outEdge, c.outEdge) << write->name;
            EXPECT_EQ(write->inEdge, CHIP_EDGE_NONE) << write->name;
            EXPECT_EQ(write->length, length) << write->name;
            EXPECT_EQ(read->order, c.order) << read->name;
            EXPECT_EQ(read->inEdge, c.inEdge) << read->name;
            EXPECT_EQ(read->outEdge, CHIP_EDGE_NONE) << read->name;
            EXPECT_EQ(read->length, length) << read->name;
            EXPECT_FALSE(write->tms || read->tms);
        }
    }
}

// A third reading, of the shifting opcodes' bit fields as the reference
// lays them out: bit 0 write on the falling edge, bit 1 bits (else bytes),
// bit 2 read on the falling edge, bit 3 least significant bit first, bit 4
// write data out, bit 5 read data in, bit 6 write TMS. Catches a slip in one
// row of the cable's table.
TEST(MpsseCommandSet, EveryShiftingRowMatchesItsOpcodeBits) {
    uint32_t count = 0;
    const ChipCommand* commands = chipCommands(&count);
    uint32_t shifting = 0;
    for (uint32_t i = 0; i < count; i++) {
        const ChipCommand& c = commands[i];
        EXPECT_EQ(chipCommand(c.opcode), &c) << c.name;
        if (!chipShifts(c)) {
            EXPECT_NE(c.opcode & 0x80, 0) << c.name;
            continue;
        }
        shifting++;
        uint8_t op = c.opcode;
        bool tms = (op & 0x40) != 0;
        EXPECT_EQ(c.tms, tms) << c.name;
        EXPECT_EQ(chipWrites(c), tms || (op & 0x10) != 0) << c.name;
        EXPECT_EQ(chipReads(c), (op & 0x20) != 0) << c.name;
        EXPECT_EQ(c.length == CHIP_LENGTH_BITS, (op & 0x02) != 0) << c.name;
        EXPECT_EQ(c.order == CHIP_LSB_FIRST, tms || (op & 0x08) != 0) << c.name;
        if (chipWrites(c)) {
            EXPECT_EQ(c.outEdge == CHIP_EDGE_FALLING, (op & 0x01) != 0) << c.name;
        }
        if (chipReads(c)) {
            EXPECT_EQ(c.inEdge == CHIP_EDGE_FALLING, (op & 0x04) != 0) << c.name;
        }
        // Opcode and length; a bit write carries its data byte too.
        uint8_t header = c.length == CHIP_LENGTH_BYTES ? 3 : chipWrites(c) ? 3 : 2;
        EXPECT_EQ(c.headerBytes, header) << c.name;
    }
    // 24 on TDI/DO (12 each bit order) and 6 on TMS.
    EXPECT_EQ(shifting, 30u);
}

// The library's streams read with the cable's header sizes and lengths:
// every command is known, and the walk ends exactly at the stream's end
// with every bit the library meant to clock.
struct Walk {
    bool known = true;
    uint32_t end = 0;
    uint64_t bitsOut = 0;
    uint64_t bitsIn = 0;
};

Walk walk(const Bytes& stream) {
    Walk w;
    uint32_t at = 0;
    while (at < stream.size()) {
        const ChipCommand* c = chipCommand(stream[at]);
        if (c == nullptr || at + c->headerBytes > stream.size()) {
            w.known = false;
            return w;
        }
        uint32_t units = 0;
        if (c->length == CHIP_LENGTH_BITS) {
            units = (stream[at + 1] & 0x07) + 1u;
        } else if (c->length == CHIP_LENGTH_BYTES) {
            units = (stream[at + 1] | stream[at + 2] << 8) + 1u;
        }
        uint64_t bits = c->length == CHIP_LENGTH_BYTES ? units * 8ull : units;
        w.bitsOut += chipWrites(*c) ? bits : 0;
        w.bitsIn += chipReads(*c) ? bits : 0;
        at += c->headerBytes + (c->length == CHIP_LENGTH_BYTES && chipWrites(*c) ? units : 0);
    }
    w.end = at;
    return w;
}

struct FrameCase {
    const char* name;
    uint32_t controlBits;
    uint32_t dataBits;
    uint32_t readBits;
};

TEST(MpsseCommandSet, LibraryStreamsWalkWithTheCableTable) {
    static uint8_t source[70000];
    static uint8_t storage[80000];
    const FrameCase cases[] = {
        {"one command byte", 8, 0, 0},
        {"command, address, data", 32, 8, 0},
        {"control of 12 bits, data of 5", 12, 5, 0},
        {"status read", 8, 0, 8},
        {"read of 3 bits", 8, 0, 3},
        {"write past one command's 65536 bytes", 32, 65537 * 8, 0},
        {"read past one command's 65536 bytes", 32, 0, 65536 * 8 + 7},
    };
    for (const FrameCase& c : cases) {
        MpsseBuffer buffer = {storage, 0, sizeof(storage)};
        MpsseFrame frame = {};
        frame.selectedLow = 0xF2;
        frame.restLow = 0xFA;
        frame.lowDirections = 0xFB;
        frame.writeOpcode = writeOpcode(1, 0);
        frame.control = source;
        frame.controlBits = c.controlBits;
        frame.data = source;
        frame.dataBits = c.dataBits;
        frame.readOpcode = readOpcode(1, 0);
        frame.readBits = c.readBits;
        ASSERT_TRUE(encodeFrame(&buffer, frame)) << c.name;
        ASSERT_TRUE(encodeClock(&buffer, 8)) << c.name;
        Walk w = walk(Bytes(storage, storage + buffer.used));
        EXPECT_TRUE(w.known) << c.name;
        EXPECT_EQ(w.end, buffer.used) << c.name;
        EXPECT_EQ(w.bitsOut, c.controlBits + c.dataBits) << c.name;
        EXPECT_EQ(w.bitsIn, c.readBits) << c.name;
    }
}

} // namespace

// The emulated chip's own reading of the MPSSE command set, written from the
// chip vendor's published command reference for the MPSSE command processor
// (its chapters on data shifting, on the set / read pin commands and on the
// clock commands), independently of the adapter library it judges: the
// cable includes no header of that library. Names are the reference's.
#pragma once

#include <stdint.h>

// Channel low-byte pins in MPSSE mode (ADBUS0-3); the cable wires TMS/CS as
// the target's chip select.
const uint8_t CHIP_PIN_TCK_SK = 0x01;
const uint8_t CHIP_PIN_TDI_DO = 0x02;
const uint8_t CHIP_PIN_TDO_DI = 0x04;
const uint8_t CHIP_PIN_TMS_CS = 0x08;

// Opcodes that are not data shifting, as the reference lists them.
const uint8_t CHIP_SET_BITS_LOW = 0x80;
const uint8_t CHIP_READ_BITS_LOW = 0x81;
const uint8_t CHIP_SET_BITS_HIGH = 0x82;
const uint8_t CHIP_READ_BITS_HIGH = 0x83;
const uint8_t CHIP_LOOPBACK_ON = 0x84;
const uint8_t CHIP_LOOPBACK_OFF = 0x85;
const uint8_t CHIP_SET_DIVISOR = 0x86;
const uint8_t CHIP_SEND_IMMEDIATE = 0x87;
const uint8_t CHIP_DIVIDE_BY_5_OFF = 0x8A;
const uint8_t CHIP_DIVIDE_BY_5_ON = 0x8B;
const uint8_t CHIP_THREE_PHASE_ON = 0x8C;
const uint8_t CHIP_THREE_PHASE_OFF = 0x8D;
const uint8_t CHIP_CLOCK_BITS_NO_DATA = 0x8E;
const uint8_t CHIP_CLOCK_BYTES_NO_DATA = 0x8F;
const uint8_t CHIP_ADAPTIVE_ON = 0x96;
const uint8_t CHIP_ADAPTIVE_OFF = 0x97;

// An opcode the engine does not know is answered with this byte and the
// opcode; 0xAA and 0xAB are the two the reference suggests for the check.
const uint8_t CHIP_BAD_COMMAND_REPLY = 0xFA;
const uint8_t CHIP_SYNC_PROBE_1 = 0xAA;
const uint8_t CHIP_SYNC_PROBE_2 = 0xAB;

// Clocking with the divide-by-5 prescaler on takes five base-clock periods
// where it would take one.
const uint32_t CHIP_DIVIDE_BY_5 = 5;

// The edge of the clock on which a shifting command changes data out or
// samples data in.
enum ChipEdge { CHIP_EDGE_NONE, CHIP_EDGE_RISING, CHIP_EDGE_FALLING };
enum ChipBitOrder { CHIP_ORDER_NONE, CHIP_MSB_FIRST, CHIP_LSB_FIRST };
// What a command's length parameter counts.
enum ChipLength {
    CHIP_LENGTH_NONE,
    CHIP_LENGTH_BYTES, // two bytes, low first: length + 1 bytes (1 to 65536)
    CHIP_LENGTH_BITS,  // one byte: length + 1 bits (1 to 8)
};

struct ChipCommand {
    uint8_t opcode;
    const char* name;
    // Bytes up to the first data byte: the opcode and its parameters; a bit
    // write's one data byte counts here, a byte write's data follows.
    uint8_t headerBytes;
    ChipLength length;
    ChipEdge outEdge; // data out changes on it; NONE: nothing is written
    ChipEdge inEdge;  // data in is sampled on it; NONE: nothing is read
    ChipBitOrder order;
    bool tms; // shifts the TMS/CS line, not TDI/DO
};

// The command of an opcode; nullptr for one the engine does not know.
const ChipCommand* chipCommand(uint8_t opcode);
// Every defined command, for tests that walk them.
const ChipCommand* chipCommands(uint32_t* count);

inline bool chipWrites(const ChipCommand& command) {
    return command.outEdge != CHIP_EDGE_NONE;
}
inline bool chipReads(const ChipCommand& command) {
    return command.inEdge != CHIP_EDGE_NONE;
}
inline bool chipShifts(const ChipCommand& command) {
    return command.order != CHIP_ORDER_NONE;
}

// Byte sequences of the MPSSE command stream: pins, clock and chip-select
// framed transfers, appended to a caller's buffer. No USB here, so the
// sequences can be checked byte for byte.
#pragma once

#include <stdint.h>

// Opcodes of the MPSSE engine.
const uint8_t MPSSE_SET_LOW_BYTE = 0x80;
const uint8_t MPSSE_SET_HIGH_BYTE = 0x82;
const uint8_t MPSSE_LOOPBACK_OFF = 0x85;
const uint8_t MPSSE_SET_DIVISOR = 0x86;
const uint8_t MPSSE_SEND_IMMEDIATE = 0x87;
const uint8_t MPSSE_DIVIDE_BY_5_OFF = 0x8A;
const uint8_t MPSSE_DIVIDE_BY_5_ON = 0x8B;
const uint8_t MPSSE_THREE_PHASE_OFF = 0x8D;
const uint8_t MPSSE_ADAPTIVE_OFF = 0x97;
const uint8_t MPSSE_BAD_OPCODE = 0xAA;
const uint8_t MPSSE_BAD_OPCODE_REPLY = 0xFA;
// Clocking opcodes: write 0x10, read 0x20; flags below.
const uint8_t MPSSE_WRITE = 0x10;
const uint8_t MPSSE_READ = 0x20;
const uint8_t MPSSE_OUT_ON_FALLING = 0x01;
const uint8_t MPSSE_BITS = 0x02;
const uint8_t MPSSE_IN_ON_FALLING = 0x04;
const uint8_t MPSSE_LSB_FIRST = 0x08;

const uint32_t MPSSE_MAX_BYTES_PER_COMMAND = 65536;
const uint32_t MPSSE_MAX_DIVISOR = 65535;

// Low-byte pins.
const uint8_t PIN_CLOCK = 0x01;
const uint8_t PIN_DATA_OUT = 0x02;
const uint8_t PIN_DATA_IN = 0x04;
const uint8_t PIN_CHIP_SELECT_0 = 0x08;
const uint32_t CHIP_SELECT_LINES = 5;
// A pin command: opcode, levels, directions.
const uint32_t MPSSE_PIN_COMMAND_BYTES = 3;

struct MpsseBuffer {
    uint8_t* bytes;
    uint32_t used;
    uint32_t capacity;
};

// One chip-select framed transfer: control bits, then written data bits,
// then read bits, all clocked while the line is active.
struct MpsseFrame {
    uint8_t selectedLow; // low byte while the frame runs
    uint8_t restLow;     // low byte after it
    uint8_t lowDirections;
    uint8_t writeOpcode; // byte-write opcode for control and data
    const uint8_t* control;
    uint32_t controlBits;
    const uint8_t* data;
    uint32_t dataBits;
    uint8_t readOpcode; // byte-read opcode
    uint32_t readBits;
};

uint32_t divisorSent(uint32_t divisor);
uint8_t writeOpcode(uint32_t bitOrder, uint32_t clockEdge);
uint8_t readOpcode(uint32_t bitOrder, uint32_t clockEdge);
uint8_t chipSelectBit(uint32_t line);

// Bytes that encodeFrame appends for this frame, without SEND_IMMEDIATE.
uint32_t frameSize(const MpsseFrame& frame);

// Each returns false, appending nothing, when the buffer has no room.
bool encodeClock(MpsseBuffer* buffer, uint32_t divisorSent);
bool encodeLowPins(MpsseBuffer* buffer, uint8_t levels, uint8_t directions);
bool encodeHighPins(MpsseBuffer* buffer, uint8_t levels, uint8_t directions);
bool encodeFrame(MpsseBuffer* buffer, const MpsseFrame& frame);
bool encodeByte(MpsseBuffer* buffer, uint8_t byte);

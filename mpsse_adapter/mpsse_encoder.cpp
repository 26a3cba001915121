#include "mpsse_encoder.h"

static const uint32_t BITS_PER_BYTE = 8;
static const uint32_t BYTE_COMMAND_HEADER = 3; // opcode, length low, length high
static const uint32_t BIT_WRITE_SIZE = 3;      // opcode, length, byte
static const uint32_t BIT_READ_SIZE = 2;       // opcode, length
static const uint32_t CLOCK_SETUP_SIZE = 6;

uint32_t divisorSent(uint32_t divisor) {
    return divisor > MPSSE_MAX_DIVISOR ? MPSSE_MAX_DIVISOR : divisor;
}

uint8_t writeOpcode(uint32_t bitOrder, uint32_t clockEdge) {
    return static_cast<uint8_t>(MPSSE_WRITE | (clockEdge == 0 ? MPSSE_OUT_ON_FALLING : 0) |
                                (bitOrder == 0 ? MPSSE_LSB_FIRST : 0));
}

uint8_t readOpcode(uint32_t bitOrder, uint32_t clockEdge) {
    return static_cast<uint8_t>(MPSSE_READ | (clockEdge == 0 ? 0 : MPSSE_IN_ON_FALLING) |
                                (bitOrder == 0 ? MPSSE_LSB_FIRST : 0));
}

uint8_t chipSelectBit(uint32_t line) {
    return static_cast<uint8_t>(PIN_CHIP_SELECT_0 << line);
}

static uint32_t byteCommandsSize(uint32_t bytes) {
    uint32_t commands = (bytes + MPSSE_MAX_BYTES_PER_COMMAND - 1) / MPSSE_MAX_BYTES_PER_COMMAND;
    return commands * BYTE_COMMAND_HEADER;
}

static uint32_t outSize(const MpsseFrame& frame) {
    uint32_t controlBytes = frame.controlBits / BITS_PER_BYTE;
    uint32_t dataBytes = frame.dataBits / BITS_PER_BYTE;
    uint32_t size = 0;
    if (frame.controlBits % BITS_PER_BYTE == 0) {
        size += byteCommandsSize(controlBytes + dataBytes) + controlBytes + dataBytes;
    } else {
        size += byteCommandsSize(controlBytes) + controlBytes + BIT_WRITE_SIZE;
        size += byteCommandsSize(dataBytes) + dataBytes;
    }
    return size + (frame.dataBits % BITS_PER_BYTE != 0 ? BIT_WRITE_SIZE : 0);
}

uint32_t frameSize(const MpsseFrame& frame) {
    uint32_t readSize = byteCommandsSize(frame.readBits / BITS_PER_BYTE) +
                        (frame.readBits % BITS_PER_BYTE != 0 ? BIT_READ_SIZE : 0);
    return 2 * MPSSE_PIN_COMMAND_BYTES + outSize(frame) + readSize;
}

static bool hasRoom(const MpsseBuffer* buffer, uint32_t size) {
    return buffer->capacity - buffer->used >= size;
}

static void put(MpsseBuffer* buffer, uint8_t byte) {
    buffer->bytes[buffer->used++] = byte;
}

static void putLength(MpsseBuffer* buffer, uint32_t count) {
    put(buffer, static_cast<uint8_t>((count - 1) & 0xFF));
    put(buffer, static_cast<uint8_t>((count - 1) >> 8));
}

// The whole bytes of two sources clocked out as one run of byte commands.
static void putOutBytes(MpsseBuffer* buffer, uint8_t opcode, const uint8_t* first, uint32_t firstCount,
                        const uint8_t* second, uint32_t secondCount) {
    uint32_t total = firstCount + secondCount;
    for (uint32_t done = 0; done < total;) {
        uint32_t chunk = total - done;
        if (chunk > MPSSE_MAX_BYTES_PER_COMMAND) {
            chunk = MPSSE_MAX_BYTES_PER_COMMAND;
        }
        put(buffer, opcode);
        putLength(buffer, chunk);
        for (uint32_t end = done + chunk; done < end; done++) {
            put(buffer, done < firstCount ? first[done] : second[done - firstCount]);
        }
    }
}

// The last bits of a count that is not whole bytes, from the byte that holds them.
static void putOutBits(MpsseBuffer* buffer, uint8_t opcode, const uint8_t* bytes, uint32_t bits) {
    if (bits % BITS_PER_BYTE != 0) {
        put(buffer, static_cast<uint8_t>(opcode | MPSSE_BITS));
        put(buffer, static_cast<uint8_t>(bits % BITS_PER_BYTE - 1));
        put(buffer, bytes[bits / BITS_PER_BYTE]);
    }
}

static void putIn(MpsseBuffer* buffer, uint8_t opcode, uint32_t bits) {
    for (uint32_t left = bits / BITS_PER_BYTE; left > 0;) {
        uint32_t chunk = left > MPSSE_MAX_BYTES_PER_COMMAND ? MPSSE_MAX_BYTES_PER_COMMAND : left;
        put(buffer, opcode);
        putLength(buffer, chunk);
        left -= chunk;
    }
    if (bits % BITS_PER_BYTE != 0) {
        put(buffer, static_cast<uint8_t>(opcode | MPSSE_BITS));
        put(buffer, static_cast<uint8_t>(bits % BITS_PER_BYTE - 1));
    }
}

bool encodeFrame(MpsseBuffer* buffer, const MpsseFrame& frame) {
    if (!hasRoom(buffer, frameSize(frame))) {
        return false;
    }
    uint32_t controlBytes = frame.controlBits / BITS_PER_BYTE;
    uint32_t dataBytes = frame.dataBits / BITS_PER_BYTE;
    encodeLowPins(buffer, frame.selectedLow, frame.lowDirections);
    if (frame.controlBits % BITS_PER_BYTE == 0) {
        putOutBytes(buffer, frame.writeOpcode, frame.control, controlBytes, frame.data, dataBytes);
    } else {
        putOutBytes(buffer, frame.writeOpcode, frame.control, controlBytes, nullptr, 0);
        putOutBits(buffer, frame.writeOpcode, frame.control, frame.controlBits);
        putOutBytes(buffer, frame.writeOpcode, frame.data, dataBytes, nullptr, 0);
    }
    putOutBits(buffer, frame.writeOpcode, frame.data, frame.dataBits);
    putIn(buffer, frame.readOpcode, frame.readBits);
    encodeLowPins(buffer, frame.restLow, frame.lowDirections);
    return true;
}

static bool putCommand(MpsseBuffer* buffer, uint8_t opcode, uint8_t first, uint8_t second) {
    if (!hasRoom(buffer, MPSSE_PIN_COMMAND_BYTES)) {
        return false;
    }
    put(buffer, opcode);
    put(buffer, first);
    put(buffer, second);
    return true;
}

bool encodeLowPins(MpsseBuffer* buffer, uint8_t levels, uint8_t directions) {
    return putCommand(buffer, MPSSE_SET_LOW_BYTE, levels, directions);
}

bool encodeHighPins(MpsseBuffer* buffer, uint8_t levels, uint8_t directions) {
    return putCommand(buffer, MPSSE_SET_HIGH_BYTE, levels, directions);
}

// Divide-by-5 off makes the base clock 60 MHz / 2 = 30 MHz for the divisor;
// adaptive and three-phase clocking off keep one bit per clock period.
bool encodeClock(MpsseBuffer* buffer, uint32_t divisorSent) {
    if (!hasRoom(buffer, CLOCK_SETUP_SIZE)) {
        return false;
    }
    put(buffer, MPSSE_DIVIDE_BY_5_OFF);
    put(buffer, MPSSE_ADAPTIVE_OFF);
    put(buffer, MPSSE_THREE_PHASE_OFF);
    put(buffer, MPSSE_SET_DIVISOR);
    put(buffer, static_cast<uint8_t>(divisorSent & 0xFF));
    put(buffer, static_cast<uint8_t>(divisorSent >> 8));
    return true;
}

bool encodeByte(MpsseBuffer* buffer, uint8_t byte) {
    if (!hasRoom(buffer, 1)) {
        return false;
    }
    put(buffer, byte);
    return true;
}

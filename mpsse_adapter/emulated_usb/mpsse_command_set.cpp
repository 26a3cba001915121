#include "mpsse_command_set.h"

namespace {

const ChipEdge NONE = CHIP_EDGE_NONE;
const ChipEdge RISE = CHIP_EDGE_RISING;
const ChipEdge FALL = CHIP_EDGE_FALLING;
const ChipLength BYTES = CHIP_LENGTH_BYTES;
const ChipLength BITS = CHIP_LENGTH_BITS;
const ChipLength NO_LENGTH = CHIP_LENGTH_NONE;
const ChipBitOrder MSB = CHIP_MSB_FIRST;
const ChipBitOrder LSB = CHIP_LSB_FIRST;
const ChipBitOrder NO_ORDER = CHIP_ORDER_NONE;

// In the reference's order. "+ve" is the rising edge, "-ve" the falling one.
// Columns: opcode, name, header bytes, length, out edge, in edge, bit order, TMS.
const ChipCommand COMMANDS[] = {
    // Data shifting, most significant bit first.
    {0x10, "Clock Data Bytes Out on +ve clock edge MSB first (no read)", 3, BYTES, RISE, NONE, MSB, false},
    {0x11, "Clock Data Bytes Out on -ve clock edge MSB first (no read)", 3, BYTES, FALL, NONE, MSB, false},
    {0x12, "Clock Data Bits Out on +ve clock edge MSB first (no read)", 3, BITS, RISE, NONE, MSB, false},
    {0x13, "Clock Data Bits Out on -ve clock edge MSB first (no read)", 3, BITS, FALL, NONE, MSB, false},
    {0x20, "Clock Data Bytes In on +ve clock edge MSB first (no write)", 3, BYTES, NONE, RISE, MSB, false},
    {0x24, "Clock Data Bytes In on -ve clock edge MSB first (no write)", 3, BYTES, NONE, FALL, MSB, false},
    {0x22, "Clock Data Bits In on +ve clock edge MSB first (no write)", 2, BITS, NONE, RISE, MSB, false},
    {0x26, "Clock Data Bits In on -ve clock edge MSB first (no write)", 2, BITS, NONE, FALL, MSB, false},
    {0x31, "Clock Data Bytes In and Out MSB first (out on -ve, in on +ve)", 3, BYTES, FALL, RISE, MSB, false},
    {0x34, "Clock Data Bytes In and Out MSB first (out on +ve, in on -ve)", 3, BYTES, RISE, FALL, MSB, false},
    {0x33, "Clock Data Bits In and Out MSB first (out on -ve, in on +ve)", 3, BITS, FALL, RISE, MSB, false},
    {0x36, "Clock Data Bits In and Out MSB first (out on +ve, in on -ve)", 3, BITS, RISE, FALL, MSB, false},
    // Data shifting, least significant bit first.
    {0x18, "Clock Data Bytes Out on +ve clock edge LSB first (no read)", 3, BYTES, RISE, NONE, LSB, false},
    {0x19, "Clock Data Bytes Out on -ve clock edge LSB first (no read)", 3, BYTES, FALL, NONE, LSB, false},
    {0x1A, "Clock Data Bits Out on +ve clock edge LSB first (no read)", 3, BITS, RISE, NONE, LSB, false},
    {0x1B, "Clock Data Bits Out on -ve clock edge LSB first (no read)", 3, BITS, FALL, NONE, LSB, false},
    {0x28, "Clock Data Bytes In on +ve clock edge LSB first (no write)", 3, BYTES, NONE, RISE, LSB, false},
    {0x2C, "Clock Data Bytes In on -ve clock edge LSB first (no write)", 3, BYTES, NONE, FALL, LSB, false},
    {0x2A, "Clock Data Bits In on +ve clock edge LSB first (no write)", 2, BITS, NONE, RISE, LSB, false},
    {0x2E, "Clock Data Bits In on -ve clock edge LSB first (no write)", 2, BITS, NONE, FALL, LSB, false},
    {0x39, "Clock Data Bytes In and Out LSB first (out on -ve, in on +ve)", 3, BYTES, FALL, RISE, LSB, false},
    {0x3C, "Clock Data Bytes In and Out LSB first (out on +ve, in on -ve)", 3, BYTES, RISE, FALL, LSB, false},
    {0x3B, "Clock Data Bits In and Out LSB first (out on -ve, in on +ve)", 3, BITS, FALL, RISE, LSB, false},
    {0x3E, "Clock Data Bits In and Out LSB first (out on +ve, in on -ve)", 3, BITS, RISE, FALL, LSB, false},
    // TMS commands: bit 7 of the data byte is held on TDI/DO meanwhile.
    {0x4A, "Clock Data to TMS pin (no read), out on +ve", 3, BITS, RISE, NONE, LSB, true},
    {0x4B, "Clock Data to TMS pin (no read), out on -ve", 3, BITS, FALL, NONE, LSB, true},
    {0x6A, "Clock Data to TMS pin with read, out on +ve, in on +ve", 3, BITS, RISE, RISE, LSB, true},
    {0x6B, "Clock Data to TMS pin with read, out on -ve, in on +ve", 3, BITS, FALL, RISE, LSB, true},
    {0x6E, "Clock Data to TMS pin with read, out on +ve, in on -ve", 3, BITS, RISE, FALL, LSB, true},
    {0x6F, "Clock Data to TMS pin with read, out on -ve, in on -ve", 3, BITS, FALL, FALL, LSB, true},
    // Set / read data bits: value, then direction (1 = output).
    {CHIP_SET_BITS_LOW, "Set Data bits LowByte", 3, NO_LENGTH, NONE, NONE, NO_ORDER, false},
    {CHIP_READ_BITS_LOW, "Read Data bits LowByte", 1, NO_LENGTH, NONE, NONE, NO_ORDER, false},
    {CHIP_SET_BITS_HIGH, "Set Data bits HighByte", 3, NO_LENGTH, NONE, NONE, NO_ORDER, false},
    {CHIP_READ_BITS_HIGH, "Read Data bits HighByte", 1, NO_LENGTH, NONE, NONE, NO_ORDER, false},
    {CHIP_LOOPBACK_ON, "Connect TDI to TDO for Loopback", 1, NO_LENGTH, NONE, NONE, NO_ORDER, false},
    {CHIP_LOOPBACK_OFF, "Disconnect TDI to TDO for Loopback", 1, NO_LENGTH, NONE, NONE, NO_ORDER, false},
    // Clock divisor: value low, value high.
    {CHIP_SET_DIVISOR, "Set TCK/SK Divisor", 3, NO_LENGTH, NONE, NONE, NO_ORDER, false},
    {CHIP_SEND_IMMEDIATE, "Send Immediate", 1, NO_LENGTH, NONE, NONE, NO_ORDER, false},
    {0x88, "Wait On I/O High", 1, NO_LENGTH, NONE, NONE, NO_ORDER, false},
    {0x89, "Wait On I/O Low", 1, NO_LENGTH, NONE, NONE, NO_ORDER, false},
    // The commands of the high-speed chips.
    {CHIP_DIVIDE_BY_5_OFF, "Disable Clk Divide by 5", 1, NO_LENGTH, NONE, NONE, NO_ORDER, false},
    {CHIP_DIVIDE_BY_5_ON, "Enable Clk Divide by 5", 1, NO_LENGTH, NONE, NONE, NO_ORDER, false},
    {CHIP_THREE_PHASE_ON, "Enable 3 Phase Data Clocking", 1, NO_LENGTH, NONE, NONE, NO_ORDER, false},
    {CHIP_THREE_PHASE_OFF, "Disable 3 Phase Data Clocking", 1, NO_LENGTH, NONE, NONE, NO_ORDER, false},
    {CHIP_CLOCK_BITS_NO_DATA, "Clock For n bits with no data transfer", 2, BITS, NONE, NONE, NO_ORDER, false},
    {CHIP_CLOCK_BYTES_NO_DATA, "Clock For n x 8 bits with no data transfer", 3, BYTES, NONE, NONE, NO_ORDER,
     false},
    {0x94, "Clk continuously and Wait On I/O High", 1, NO_LENGTH, NONE, NONE, NO_ORDER, false},
    {0x95, "Clk continuously and Wait On I/O Low", 1, NO_LENGTH, NONE, NONE, NO_ORDER, false},
    {CHIP_ADAPTIVE_ON, "Turn On Adaptive clocking", 1, NO_LENGTH, NONE, NONE, NO_ORDER, false},
    {CHIP_ADAPTIVE_OFF, "Turn Off Adaptive clocking", 1, NO_LENGTH, NONE, NONE, NO_ORDER, false},
    {0x9C, "Clock For n x 8 bits with no data transfer or Until GPIOL1 is High", 3, BYTES, NONE, NONE,
     NO_ORDER, false},
    {0x9D, "Clock For n x 8 bits with no data transfer or Until GPIOL1 is Low", 3, BYTES, NONE, NONE,
     NO_ORDER, false},
    {0x9E, "Set I/O to only drive on a '0' and tristate on a '1'", 3, NO_LENGTH, NONE, NONE, NO_ORDER, false},
};

const uint32_t COMMAND_COUNT = sizeof(COMMANDS) / sizeof(COMMANDS[0]);
const uint32_t OPCODES = 256;
const uint8_t UNDEFINED = 0xFF;

// Row of each opcode, built at the first look-up: the engine looks one up
// for every command of a job.
uint8_t rowOf[OPCODES];
bool indexed = false;

void buildIndex() {
    for (uint32_t opcode = 0; opcode < OPCODES; opcode++) {
        rowOf[opcode] = UNDEFINED;
    }
    for (uint32_t row = 0; row < COMMAND_COUNT; row++) {
        rowOf[COMMANDS[row].opcode] = static_cast<uint8_t>(row);
    }
    indexed = true;
}

} // namespace

static_assert(sizeof(COMMANDS) / sizeof(COMMANDS[0]) < UNDEFINED, "a row number fits a byte");

const ChipCommand* chipCommand(uint8_t opcode) {
    if (!indexed) {
        buildIndex();
    }
    return rowOf[opcode] == UNDEFINED ? nullptr : &COMMANDS[rowOf[opcode]];
}

const ChipCommand* chipCommands(uint32_t* count) {
    *count = COMMAND_COUNT;
    return COMMANDS;
}

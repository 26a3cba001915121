#include "mpsse_interpreter.h"

#include <vector>

#include "cable_waveform.h"
#include "emulated_cable.h"
#include "mpsse_command_set.h"

namespace {

// The longest header of a command the engine runs (see ChipCommand).
const uint32_t MAX_HEADER_BYTES = 3;
// A bit command's length byte counts bits - 1 in its low three bits.
const uint8_t BIT_LENGTH_MASK = 0x07;
const uint32_t BITS_PER_BYTE = 8;
// Most significant bit first, the last bit out of a byte is bit 0.
const uint8_t LAST_BIT_OUT = 0x01;
// Data in with no target driving it: the pull-up's byte.
const uint8_t DATA_IN_PULLED_UP = 0xFF;

struct Engine {
    bool mpsse;
    uint8_t low, lowDirections, high, highDirections;
    bool divideBy5, threePhase, adaptive, loopback;
    uint32_t divisor;
    bool selected;
    uint8_t header[MAX_HEADER_BYTES];
    uint32_t headerUsed;
    const ChipCommand* command; // the shifting command under way
    uint32_t dataLeft;          // data bytes of a byte-write command still to come
    std::vector<uint8_t> answers;
    size_t answersHead;
    size_t flushedUpTo; // answers before this index were followed by SEND_IMMEDIATE
    InterpreterStats stats;
};

Engine engine;

// An opcode the chip does not know is one byte long.
uint32_t headerSize(uint8_t opcode) {
    const ChipCommand* command = chipCommand(opcode);
    return command == nullptr ? 1 : command->headerBytes;
}

uint16_t lengthParameter() {
    return static_cast<uint16_t>(engine.header[1] | engine.header[2] << 8);
}

void answer(uint8_t byte) {
    engine.answers.push_back(byte);
}

// Chip select 0 active: driven, and low.
bool chipSelectActive() {
    return (engine.lowDirections & CHIP_PIN_TMS_CS) != 0 && (engine.low & CHIP_PIN_TMS_CS) == 0;
}

void setLow(uint8_t levels, uint8_t directions) {
    engine.low = levels;
    engine.lowDirections = directions;
    if (cableWaveformDrawing) {
        cableWaveformPins(levels, directions);
    }
    bool active = chipSelectActive();
    if (active && !engine.selected) {
        engine.stats.frames++;
        cableSelect();
    } else if (!active && engine.selected) {
        cableDeselect();
    }
    engine.selected = active;
}

// The target samples on the rising edge of a clock that rests low, most
// significant bit first, with the clock at 30 MHz / (divisor + 1).
void checkClocking(const ChipCommand& command) {
    uint8_t opcode = command.opcode;
    if (!engine.selected) {
        cableViolation("data clocked with chip select inactive (opcode %02x)", opcode);
    }
    if (command.order == CHIP_LSB_FIRST) {
        cableViolation("opcode %02x clocks least significant bit first", opcode);
    }
    if ((chipWrites(command) && command.outEdge != CHIP_EDGE_FALLING) ||
        (chipReads(command) && command.inEdge != CHIP_EDGE_RISING)) {
        cableViolation("opcode %02x clocks on the target's wrong edge", opcode);
    }
    if ((engine.low & CHIP_PIN_TCK_SK) != 0) {
        cableViolation("clock rests high before opcode %02x", opcode);
    }
    if ((engine.lowDirections & (CHIP_PIN_TCK_SK | CHIP_PIN_TDI_DO)) != (CHIP_PIN_TCK_SK | CHIP_PIN_TDI_DO)) {
        cableViolation("clock or data out not an output at opcode %02x", opcode);
    }
    if (engine.divideBy5) {
        cableViolation("divide-by-5 left on at opcode %02x", opcode);
    }
    if (engine.adaptive || engine.threePhase || engine.loopback) {
        cableViolation("adaptive, three-phase or loopback clocking on at opcode %02x", opcode);
    }
}

uint64_t ticksPerBit() {
    return static_cast<uint64_t>(engine.divisor + 1) * (engine.divideBy5 ? CHIP_DIVIDE_BY_5 : 1);
}

// One byte on the wire: the host's byte out, the target's byte back; a bit
// command draws only its bits. Inline, as it was before the waveform's call
// made it larger: it runs for every byte of a job.
inline uint8_t clockByte(uint8_t mosi, uint32_t bits = BITS_PER_BYTE) {
    engine.stats.bytesClocked++;
    engine.stats.clockTicks += BITS_PER_BYTE * ticksPerBit();
    uint8_t miso = engine.selected ? cableExchange(mosi) : DATA_IN_PULLED_UP;
    if (cableWaveformDrawing) {
        cableWaveformClock(*engine.command, bits, mosi, miso, ticksPerBit());
    }
    return miso;
}

// A bit command moves fewer than 8 bits; the target takes whole bytes only.
void clockBits(const ChipCommand& command, uint32_t bits, uint8_t mosi) {
    if (bits != BITS_PER_BYTE) {
        cableViolation("opcode %02x clocks %u bits, not a whole byte", command.opcode, bits);
    }
    uint8_t miso = clockByte(mosi, bits);
    if (chipReads(command)) {
        answer(static_cast<uint8_t>(miso >> (BITS_PER_BYTE - bits)));
    }
}

uint8_t restingDataOut() {
    return (engine.low & CHIP_PIN_TDI_DO) != 0 ? 0xFF : 0x00;
}

void startClocking(const ChipCommand& command) {
    engine.command = &command;
    checkClocking(command);
    if (command.tms) {
        cableViolation("opcode %02x clocks the TMS line", command.opcode);
    }
    if (command.length == CHIP_LENGTH_BITS) {
        uint8_t mosi = chipWrites(command) ? engine.header[2] : restingDataOut();
        clockBits(command, (engine.header[1] & BIT_LENGTH_MASK) + 1u, mosi);
        return;
    }
    uint32_t length = lengthParameter();
    if (chipWrites(command)) {
        engine.dataLeft = length + 1;
    } else {
        for (uint32_t i = 0; i <= length; i++) {
            answer(clockByte(restingDataOut()));
        }
    }
}

void clockDataByte(uint8_t mosi) {
    uint8_t miso = clockByte(mosi);
    if (chipReads(*engine.command)) {
        answer(miso);
    }
    // The last bit written stays on data out.
    engine.low = static_cast<uint8_t>((engine.low & ~CHIP_PIN_TDI_DO) |
                                      ((mosi & LAST_BIT_OUT) != 0 ? CHIP_PIN_TDI_DO : 0));
}

void badOpcode(uint8_t opcode) {
    if (opcode != CHIP_SYNC_PROBE_1 && opcode != CHIP_SYNC_PROBE_2) {
        cableViolation("undefined opcode %02x", opcode);
    }
    answer(CHIP_BAD_COMMAND_REPLY);
    answer(opcode);
}

bool runSetting(uint8_t opcode) {
    switch (opcode) {
    case CHIP_SET_BITS_LOW:
        setLow(engine.header[1], engine.header[2]);
        return true;
    case CHIP_SET_BITS_HIGH:
        engine.high = engine.header[1];
        engine.highDirections = engine.header[2];
        return true;
    case CHIP_READ_BITS_LOW:
        answer(engine.low);
        return true;
    case CHIP_READ_BITS_HIGH:
        answer(engine.high);
        return true;
    case CHIP_SET_DIVISOR:
        engine.divisor = lengthParameter();
        return true;
    case CHIP_SEND_IMMEDIATE:
        engine.flushedUpTo = engine.answers.size();
        return true;
    default:
        return false;
    }
}

bool runMode(uint8_t opcode) {
    switch (opcode) {
    case CHIP_LOOPBACK_ON:
    case CHIP_LOOPBACK_OFF:
        engine.loopback = opcode == CHIP_LOOPBACK_ON;
        return true;
    case CHIP_DIVIDE_BY_5_OFF:
    case CHIP_DIVIDE_BY_5_ON:
        engine.divideBy5 = opcode == CHIP_DIVIDE_BY_5_ON;
        return true;
    case CHIP_THREE_PHASE_ON:
    case CHIP_THREE_PHASE_OFF:
        engine.threePhase = opcode == CHIP_THREE_PHASE_ON;
        return true;
    case CHIP_ADAPTIVE_ON:
    case CHIP_ADAPTIVE_OFF:
        engine.adaptive = opcode == CHIP_ADAPTIVE_ON;
        return true;
    case CHIP_CLOCK_BITS_NO_DATA:
    case CHIP_CLOCK_BYTES_NO_DATA:
        cableViolation("opcode %02x clocks without data", opcode);
        return true;
    default:
        return false;
    }
}

// A command of the reference that this target's cable never needs (waits on
// a pin, open-drain outputs, clocking until a pin changes) is named, not run.
void runCommand() {
    uint8_t opcode = engine.header[0];
    const ChipCommand* command = chipCommand(opcode);
    if (command == nullptr) {
        badOpcode(opcode);
    } else if (chipShifts(*command)) {
        startClocking(*command);
    } else if (!runSetting(opcode) && !runMode(opcode)) {
        cableViolation("opcode %02x (%s) is not emulated", opcode, command->name);
    }
}

void feedByte(uint8_t byte) {
    if (engine.dataLeft > 0) {
        engine.dataLeft--;
        clockDataByte(byte);
        return;
    }
    engine.header[engine.headerUsed++] = byte;
    if (engine.headerUsed == headerSize(engine.header[0])) {
        engine.headerUsed = 0;
        runCommand();
    }
}

} // namespace

void interpreterReset() {
    if (engine.selected) {
        cableDeselect();
    }
    InterpreterStats stats = engine.stats;
    engine.answers.clear();
    engine = Engine();
    engine.stats = stats;
    if (cableWaveformDrawing) {
        cableWaveformPins(engine.low, engine.lowDirections);
    }
    // After power-up the clock is divided by 5 and all pins are inputs.
    engine.divideBy5 = true;
}

void interpreterSetMpsse(bool on) {
    engine.mpsse = on;
    engine.headerUsed = 0;
    engine.dataLeft = 0;
}

void interpreterFeed(const uint8_t* bytes, uint32_t count) {
    if (!engine.mpsse && count > 0) {
        cableViolation("%u bytes written with MPSSE mode off", count);
        return;
    }
    for (uint32_t i = 0; i < count; i++) {
        if (cableWaveformDrawing) {
            cableWaveformByteArrives();
        }
        feedByte(bytes[i]);
    }
}

uint32_t interpreterWaiting() {
    return static_cast<uint32_t>(engine.answers.size() - engine.answersHead);
}

uint32_t interpreterTake(uint8_t* out, uint32_t max) {
    uint32_t count = interpreterWaiting() < max ? interpreterWaiting() : max;
    if (count > 0 && engine.answersHead + count > engine.flushedUpTo) {
        cableViolation("answer bytes read without SEND_IMMEDIATE: the chip holds them for its latency timer");
        engine.flushedUpTo = engine.answers.size();
    }
    for (uint32_t i = 0; i < count; i++) {
        out[i] = engine.answers[engine.answersHead++];
    }
    if (engine.answersHead == engine.answers.size()) {
        interpreterPurgeAnswers();
    }
    return count;
}

void interpreterPurgeAnswers() {
    engine.answers.clear();
    engine.answersHead = 0;
    engine.flushedUpTo = 0;
}

void interpreterInjectAnswers(const uint8_t* bytes, uint32_t count) {
    engine.answers.insert(engine.answers.end(), bytes, bytes + count);
    engine.flushedUpTo = engine.answers.size();
}

bool interpreterChipSelectActive() {
    return engine.selected;
}

InterpreterStats interpreterStats() {
    return engine.stats;
}

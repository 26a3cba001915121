#include "mpsse_interpreter.h"

#include <vector>

#include "cable_waveform.h"
#include "emulated_cable.h"
#include "mpsse_encoder.h"

namespace {

const uint32_t DIVIDE_BY_5 = 5;
const uint8_t OPCODE_READ_LOW = 0x81;
const uint8_t OPCODE_READ_HIGH = 0x83;
const uint8_t OPCODE_LOOPBACK_ON = 0x84;
const uint8_t OPCODE_CLOCK_BITS = 0x8E;
const uint8_t OPCODE_CLOCK_BYTES = 0x8F;
const uint8_t OPCODE_ADAPTIVE_ON = 0x96;
const uint8_t OPCODE_THREE_PHASE_ON = 0x8C;
const uint8_t OPCODE_SYNC_PROBE_2 = 0xAB;
const uint8_t TMS_FLAG = 0x40;
const uint32_t MAX_HEADER = 3;

struct Engine {
    bool mpsse;
    uint8_t low, lowDirections, high, highDirections;
    bool divideBy5, threePhase, adaptive, loopback;
    uint32_t divisor;
    bool selected;
    uint8_t header[MAX_HEADER];
    uint32_t headerUsed;
    uint32_t dataLeft; // data bytes of a byte-write command still to come
    std::vector<uint8_t> answers;
    size_t answersHead;
    size_t flushedUpTo; // answers before this index were followed by SEND_IMMEDIATE
    InterpreterStats stats;
};

Engine engine;

bool isClocking(uint8_t opcode) {
    return (opcode & 0x80) == 0 && (opcode & (MPSSE_WRITE | MPSSE_READ)) != 0;
}

uint32_t headerSize(uint8_t opcode) {
    if (isClocking(opcode)) {
        bool bits = (opcode & MPSSE_BITS) != 0;
        bool writes = (opcode & MPSSE_WRITE) != 0;
        return bits && !writes ? 2 : 3;
    }
    switch (opcode) {
    case MPSSE_SET_LOW_BYTE:
    case MPSSE_SET_HIGH_BYTE:
    case MPSSE_SET_DIVISOR:
    case OPCODE_CLOCK_BYTES:
        return 3;
    case OPCODE_CLOCK_BITS:
        return 2;
    default:
        return 1;
    }
}

void answer(uint8_t byte) {
    engine.answers.push_back(byte);
}

// Chip select 0 active: driven, and low.
bool chipSelectActive() {
    return (engine.lowDirections & PIN_CHIP_SELECT_0) != 0 && (engine.low & PIN_CHIP_SELECT_0) == 0;
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
void checkClocking(uint8_t opcode) {
    if (!engine.selected) {
        cableViolation("data clocked with chip select inactive (opcode %02x)", opcode);
    }
    if ((opcode & MPSSE_LSB_FIRST) != 0) {
        cableViolation("opcode %02x clocks least significant bit first", opcode);
    }
    bool writes = (opcode & MPSSE_WRITE) != 0;
    bool reads = (opcode & MPSSE_READ) != 0;
    if ((writes && (opcode & MPSSE_OUT_ON_FALLING) == 0) || (reads && (opcode & MPSSE_IN_ON_FALLING) != 0)) {
        cableViolation("opcode %02x clocks on the target's wrong edge", opcode);
    }
    if ((engine.low & PIN_CLOCK) != 0) {
        cableViolation("clock rests high before opcode %02x", opcode);
    }
    if ((engine.lowDirections & (PIN_CLOCK | PIN_DATA_OUT)) != (PIN_CLOCK | PIN_DATA_OUT)) {
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
    return static_cast<uint64_t>(engine.divisor + 1) * (engine.divideBy5 ? 5 : 1);
}

// One byte on the wire: the host's byte out, the target's byte back; a bit
// command draws only its bits. Inline, as it was before the waveform's call
// made it larger: it runs for every byte of a job.
inline uint8_t clockByte(uint8_t mosi, uint32_t bits = 8) {
    engine.stats.bytesClocked++;
    engine.stats.clockTicks += 8 * ticksPerBit();
    uint8_t miso = engine.selected ? cableExchange(mosi) : 0xFF;
    if (cableWaveformDrawing) {
        cableWaveformClock(engine.header[0], bits, mosi, miso, ticksPerBit());
    }
    return miso;
}

// A bit command moves fewer than 8 bits; the target takes whole bytes only.
void clockBits(uint8_t opcode, uint32_t bits, uint8_t mosi) {
    if (bits != 8) {
        cableViolation("opcode %02x clocks %u bits, not a whole byte", opcode, bits);
    }
    uint8_t miso = clockByte(mosi, bits);
    if ((opcode & MPSSE_READ) != 0) {
        answer(static_cast<uint8_t>(miso >> (8 - bits)));
    }
}

uint8_t restingDataOut() {
    return (engine.low & PIN_DATA_OUT) != 0 ? 0xFF : 0x00;
}

void startClocking(uint8_t opcode) {
    checkClocking(opcode);
    if ((opcode & TMS_FLAG) != 0) {
        cableViolation("opcode %02x clocks the TMS line", opcode);
    }
    if ((opcode & MPSSE_BITS) != 0) {
        uint8_t mosi = (opcode & MPSSE_WRITE) != 0 ? engine.header[2] : restingDataOut();
        clockBits(opcode, (engine.header[1] & 0x07) + 1u, mosi);
        return;
    }
    uint32_t length = engine.header[1] | engine.header[2] << 8;
    if ((opcode & MPSSE_WRITE) != 0) {
        engine.dataLeft = length + 1;
    } else {
        for (uint32_t i = 0; i <= length; i++) {
            answer(clockByte(restingDataOut()));
        }
    }
}

void clockDataByte(uint8_t mosi) {
    uint8_t opcode = engine.header[0];
    uint8_t miso = clockByte(mosi);
    if ((opcode & MPSSE_READ) != 0) {
        answer(miso);
    }
    // The last bit written stays on data out.
    engine.low = static_cast<uint8_t>((engine.low & ~PIN_DATA_OUT) | ((mosi & 0x01) != 0 ? PIN_DATA_OUT : 0));
}

void badOpcode(uint8_t opcode) {
    if (opcode != MPSSE_BAD_OPCODE && opcode != OPCODE_SYNC_PROBE_2) {
        cableViolation("undefined opcode %02x", opcode);
    }
    answer(MPSSE_BAD_OPCODE_REPLY);
    answer(opcode);
}

bool runSetting(uint8_t opcode) {
    switch (opcode) {
    case MPSSE_SET_LOW_BYTE:
        setLow(engine.header[1], engine.header[2]);
        return true;
    case MPSSE_SET_HIGH_BYTE:
        engine.high = engine.header[1];
        engine.highDirections = engine.header[2];
        return true;
    case OPCODE_READ_LOW:
        answer(engine.low);
        return true;
    case OPCODE_READ_HIGH:
        answer(engine.high);
        return true;
    case MPSSE_SET_DIVISOR:
        engine.divisor = engine.header[1] | engine.header[2] << 8;
        return true;
    case MPSSE_SEND_IMMEDIATE:
        engine.flushedUpTo = engine.answers.size();
        return true;
    default:
        return false;
    }
}

bool runMode(uint8_t opcode) {
    switch (opcode) {
    case OPCODE_LOOPBACK_ON:
    case MPSSE_LOOPBACK_OFF:
        engine.loopback = opcode == OPCODE_LOOPBACK_ON;
        return true;
    case MPSSE_DIVIDE_BY_5_OFF:
    case MPSSE_DIVIDE_BY_5_ON:
        engine.divideBy5 = opcode == MPSSE_DIVIDE_BY_5_ON;
        return true;
    case OPCODE_THREE_PHASE_ON:
    case MPSSE_THREE_PHASE_OFF:
        engine.threePhase = opcode == OPCODE_THREE_PHASE_ON;
        return true;
    case OPCODE_ADAPTIVE_ON:
    case MPSSE_ADAPTIVE_OFF:
        engine.adaptive = opcode == OPCODE_ADAPTIVE_ON;
        return true;
    case OPCODE_CLOCK_BITS:
    case OPCODE_CLOCK_BYTES:
        cableViolation("opcode %02x clocks without data", opcode);
        return true;
    default:
        return false;
    }
}

void runCommand() {
    uint8_t opcode = engine.header[0];
    if (isClocking(opcode)) {
        startClocking(opcode);
    } else if (!runSetting(opcode) && !runMode(opcode)) {
        badOpcode(opcode);
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

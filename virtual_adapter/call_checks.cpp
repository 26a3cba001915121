// The checks of each call: its pointers, its handle, and the transaction
// shape the program is expected to use (bit order, clock edge, bit and byte
// counts, start condition, wait settings, pin states).
#include <string.h>

#include "virtual_adapter.h"

namespace vadapter {

namespace {

const char* const CALL_NAMES[OP_KINDS] = {"count",   "describe",   "open",  "setup6", "clock",
                                          "setup14", "linelevels", "query", "read",   "write",
                                          "queue",   "execute",    "close"};
static_assert(OP_KINDS == sizeof(VirtualAdapterStats::callCounts) / sizeof(uint64_t),
              "one count per operation");

// The shapes the program uses. Start: clock resting low, data out high,
// chip select 0 active low. High byte: every pin an input (state 0).
const StartCondition EXPECTED_START = {0, 1, 1, 0};
const UpperPinStates EXPECTED_PIN_STATES = {{{0, 1}, {0, 1}, {0, 1}, {0, 1}, {0, 1}, {0, 1}, {0, 1}, {0, 1}}};
// Lines 0 and 2 chip-select lines, lines 1, 3 and 4 general pins driven
// high; line 2's pin pair is not used.
const ChipSelectDisableStates EXPECTED_DISABLE_STATES = {{0, 1, 0, 1, 1}};
const PinSettings EXPECTED_PIN_SETTINGS = {{{1, 1}, {0, 0}, {1, 1}, {1, 1}}};
// No wait on a pin after a write; the timeout the program passes with it.
const uint32_t WRITE_WAIT_TIMEOUT_MS = 5000;
const WriteWaitSettings EXPECTED_WAIT_SETTINGS = {0, 0, 0, WRITE_WAIT_TIMEOUT_MS};

struct Calls {
    uint64_t counts[OP_KINDS];
    uint64_t total;
    bool vanished;
};

Calls calls;

// The checks of a call on the open device: its pointers, then its handle.
AdapterStatus checkDeviceCall(uint32_t handle, std::initializer_list<PointerArgument> arguments) {
    AdapterStatus status = checkPointers(arguments);
    if (status != ADAPTER_OK) {
        return status;
    }
    if (!isOpen() || handle != openHandle()) {
        violation("handle %u is not the open handle", handle);
        return VA_STATUS_INVALID_HANDLE;
    }
    return ADAPTER_OK;
}

void checkBitOrder(uint32_t bitOrder, uint32_t clockEdge, const char* prefix) {
    if (bitOrder != 1) {
        violation("%sbit order %u", prefix, bitOrder);
    }
    if (clockEdge != 0) {
        violation("%sclock edge %u", prefix, clockEdge);
    }
}

void checkControlBits(uint32_t bits, uint32_t bytes) {
    if (bits != 8ull * bytes) {
        violation("control bits %u for %u bytes", bits, bytes);
    }
}

void checkWriteData(uint32_t flag, uint32_t bits, uint32_t bytes) {
    if (flag == 0) {
        if (bits != 0 || bytes != 0) {
            violation("data flag 0 with data %u/%u", bits, bytes);
        }
    } else if (flag == 1) {
        if (bits != 8ull * bytes) {
            violation("data bits %u for %u bytes", bits, bytes);
        }
    } else {
        violation("data flag %u", flag);
    }
}

void checkStart(const StartCondition& start) {
    if (start.clockLevel != 0 || start.dataOutLevel != 1 || start.chipSelectLevel != 1 ||
        start.chipSelectLine != 0) {
        violation("start condition %u,%u,%u,%u", start.clockLevel, start.dataOutLevel, start.chipSelectLevel,
                  start.chipSelectLine);
    }
}

void checkPinStates(const UpperPinStates& pinStates) {
    if (memcmp(&pinStates, &EXPECTED_PIN_STATES, sizeof(EXPECTED_PIN_STATES)) == 0) {
        return;
    }
    for (const PinStatePair& pin : pinStates.pins) {
        if (pin.state != 0 || pin.activeState != 1) {
            violation("pin states");
            return;
        }
    }
}

void checkWaitSettings(const WriteWaitSettings& wait) {
    // The records are 32-bit fields without padding (adapter_library.h).
    if (memcmp(&wait, &EXPECTED_WAIT_SETTINGS, sizeof(wait)) != 0) {
        violation("wait settings %u,%u,%u,%u", wait.waitFlag, wait.pinNumber, wait.completionLevel,
                  wait.timeoutMs);
    }
}

} // namespace

void resetCallCounts() {
    calls = Calls();
}

uint64_t callCount(uint32_t operation) {
    return operation < OP_KINDS ? calls.counts[operation] : 0;
}

const char* callName(uint32_t operation) {
    return operation < OP_KINDS ? CALL_NAMES[operation] : "";
}

void countCall(Operation operation) {
    calls.counts[operation]++;
    calls.total++;
}

AdapterStatus beginCall(Operation operation) {
    ensureConfigured();
    countCall(operation);
    uint32_t limit = config().vanishAfterCalls;
    if (limit != 0 && calls.total > limit) {
        if (!calls.vanished) {
            calls.vanished = true;
            note(format("adapter vanished after %u calls", limit));
        }
        return VA_STATUS_DEVICE_GONE;
    }
    endSessionIfUnplugged();
    return ADAPTER_OK;
}

AdapterStatus checkPointers(std::initializer_list<PointerArgument> arguments) {
    AdapterStatus status = ADAPTER_OK;
    for (const PointerArgument& argument : arguments) {
        if (!argument.pointer) {
            violation("null pointer for %s", argument.name);
            status = VA_STATUS_INVALID_PARAMETER;
        }
    }
    return status;
}

AdapterStatus beginDeviceCall(Operation operation, uint32_t handle,
                              std::initializer_list<PointerArgument> arguments) {
    AdapterStatus status = beginCall(operation);
    if (status == ADAPTER_OK && isRetiredHandle(handle)) {
        status = VA_STATUS_DEVICE_GONE;
    }
    if (status == ADAPTER_OK) {
        status = checkDeviceCall(handle, arguments);
    }
    if (status == ADAPTER_OK) {
        followBoardPresence();
    }
    return status;
}

bool isExpectedShape(const StartCondition* start, const UpperPinStates* pinStates) {
    return start && pinStates && memcmp(start, &EXPECTED_START, sizeof(EXPECTED_START)) == 0 &&
           memcmp(pinStates, &EXPECTED_PIN_STATES, sizeof(EXPECTED_PIN_STATES)) == 0;
}

void checkReadShape(uint32_t controlBitOrder, uint32_t controlClockEdge, uint32_t controlBitCount,
                    uint32_t controlByteCount, uint32_t dataBitOrder, uint32_t dataClockEdge,
                    uint32_t dataBitCount, const StartCondition& start, const UpperPinStates& pinStates) {
    checkBitOrder(controlBitOrder, controlClockEdge, "");
    checkBitOrder(dataBitOrder, dataClockEdge, "data ");
    checkControlBits(controlBitCount, controlByteCount);
    if (dataBitCount == 0 || dataBitCount % 8 != 0) {
        violation("read of %u data bits", dataBitCount);
    }
    checkStart(start);
    checkPinStates(pinStates);
}

uint32_t checkWriteShape(uint32_t bitOrder, uint32_t clockEdge, uint32_t controlBitCount,
                         uint32_t controlByteCount, uint32_t dataFlag, uint32_t dataBitCount,
                         uint32_t dataByteCount, const StartCondition& start, const WriteWaitSettings* wait,
                         const UpperPinStates& pinStates) {
    checkBitOrder(bitOrder, clockEdge, "");
    checkControlBits(controlBitCount, controlByteCount);
    checkWriteData(dataFlag, dataBitCount, dataByteCount);
    checkStart(start);
    if (wait) {
        checkWaitSettings(*wait);
    }
    checkPinStates(pinStates);
    return dataFlag == 1 ? dataByteCount : 0;
}

void checkLineLevels(const ChipSelectDisableStates& disableStates, const PinSettings& pinSettings) {
    const uint32_t* lines = disableStates.lines;
    if (memcmp(&disableStates, &EXPECTED_DISABLE_STATES, sizeof(disableStates)) != 0) {
        violation("chip select disable states %u,%u,%u,%u,%u", lines[0], lines[1], lines[2], lines[3],
                  lines[4]);
    }
    const PinSettingPair* pins = pinSettings.pins;
    if (memcmp(&pinSettings, &EXPECTED_PIN_SETTINGS, sizeof(pinSettings)) != 0) {
        violation("pin settings %u,%u,%u,%u,%u,%u,%u,%u", pins[0].direction, pins[0].level, pins[1].direction,
                  pins[1].level, pins[2].direction, pins[2].level, pins[3].direction, pins[3].level);
    }
}

} // namespace vadapter

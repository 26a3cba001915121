// The virtual adapter: a stand-in for the USB-to-SPI adapter library that
// emulates the adapter and the flash target behind it, so that the program
// runs without hardware. It checks every call against what the target
// expects, models the time spent on the bus and can inject faults. It is
// driven from one thread and keeps no lock.
//
// Trace: one line per call, per violation and per note. Bytes are two
// lower-case hex digits, addresses six, other numbers decimal.
//   count status=0 count=1
//   describe index=0 status=0 name="Vexil USB-SPI Cable" channel="A" location=0x1101
//   open name="Vexil USB-SPI Cable" location=0x1101 channel="A" status=0 handle=1
//   setup6 value=8
//   clock divisor=8 frequency=3333333          (frequency=untouched when not written)
//   setup14
//   linelevels status=0
//   query status=0
//   read cmd=05 ctrl=8/1 data=8 returned=1 byte=01
//   read cmd=03 addr=014000 ctrl=32/4 data=131072 returned=16384
//   write cmd=20 addr=018000 ctrl=32/4 flag=0 data=0/0
//   write cmd=af addr=000000 ctrl=32/4 flag=1 data=8/1 byte=12
//   queue cmd=af ctrl=8/1 flag=1 data=8/1 byte=34
//   execute commands=10240 returned=0
//   close bus_ns=123456789 round_trips=250 bits=4194304 violations=0
//   violation: command 20 while busy
//   note: flash file flash.bin missing, starting erased
// count, describe, open, linelevels and query always show status=; the other
// lines end in " status=N" only when the call failed. A failed call leaves
// out the outputs it did not write (count=, name=..., handle=). byte= shows
// the byte when exactly one was read or written. ctrl= is bits/bytes, data=
// of a write is bits/bytes, data= of a read is bits. The violation and note
// lines of a call follow its own line.
#include "orvanwriter/adapter/adapter_library.h"
#include "virtual_adapter_control.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

enum Operation : uint32_t {
    OP_COUNT,
    OP_DESCRIBE,
    OP_OPEN,
    OP_SETUP6,
    OP_CLOCK,
    OP_SETUP14,
    OP_LINE_LEVELS,
    OP_QUERY,
    OP_READ,
    OP_WRITE,
    OP_QUEUE,
    OP_EXECUTE,
    OP_CLOSE,
    OP_KINDS
};
const char* const CALL_NAMES[OP_KINDS] = {"count",   "describe",   "open",  "setup6", "clock",
                                          "setup14", "linelevels", "query", "read",   "write",
                                          "queue",   "execute",    "close"};
static_assert(OP_KINDS == sizeof(VirtualAdapterStats::callCounts) / sizeof(uint64_t),
              "one count per operation");

const uint32_t OPEN_HANDLE = 1;
const uint32_t DEFAULT_DIVISOR = 8;
const uint32_t MAX_DIVISOR = 0xFFFF;
const uint32_t SETUP6_VALUE = 8;
const int64_t SLEEP_THRESHOLD_NS = 1000000;

// Command bytes of the target.
const uint8_t CMD_STATUS = 0x05;
const uint8_t CMD_IDENTITY = 0x90;
const uint8_t CMD_ERASE_OPEN = 0x28;
const uint8_t CMD_ERASE = 0x20;
const uint8_t CMD_ERASE_CLOSE = 0x24;
const uint8_t CMD_READ_OPEN = 0x16;
const uint8_t CMD_READ = 0x03;
const uint8_t CMD_READ_CLOSE = 0x14;
const uint8_t CMD_PROGRAM_OPEN = 0x36;
const uint8_t CMD_PROGRAM = 0xAF;
const uint8_t CMD_PROGRAM_CLOSE = 0x34;
const uint8_t NO_BRACKET = 0;

// A queued write, its bytes kept in Adapter::queueBytes from offset on:
// first the control bytes, then the data bytes.
struct QueuedWrite {
    uint32_t offset;
    uint32_t controlCount;
    uint32_t dataCount;
};

// One SPI transaction as the target sees it.
struct Transaction {
    bool isRead;
    const uint8_t* control;
    uint32_t controlCount;
    const uint8_t* data; // written data
    uint32_t dataCount;
    uint8_t* destination; // read data
    uint32_t capacity;
};

struct Adapter {
    VirtualAdapterConfig config;
    bool configured = false;
    bool open = false;
    bool exitHandlerRegistered = false;
    std::vector<uint8_t> flash = std::vector<uint8_t>(VA_FLASH_SIZE, 0xFF);
    uint32_t divisor = DEFAULT_DIVISOR;

    // The target.
    uint8_t bracket = NO_BRACKET; // the opening command of the open bracket
    bool programAddressKnown = false;
    uint32_t programAddress = 0;
    uint32_t busyReads = 0;
    Clock::time_point busyUntil{};
    bool stuck = false;
    uint32_t stuckCommandCount = 0;
    uint32_t emptyReadsLeft = 0;
    bool shortReadDone = false;

    // The queue of libQueueWrite, kept allocated between executions.
    std::vector<QueuedWrite> queue;
    std::vector<uint8_t> queueBytes; // grown, never shrunk; queueBytesUsed of it hold the queue
    size_t queueBytesUsed = 0;
    uint64_t queuedBits = 0;

    // Statistics and timing.
    VirtualAdapterStats stats{};
    uint64_t clockTicks = 0; // bits clocked times (divisor + 1), in periods of 30 MHz
    uint64_t totalCalls = 0;
    bool vanished = false;
    int64_t sleepDebtNs = 0; // real-time mode: modeled time not yet slept

    // The trace.
    bool tracing = false;
    std::FILE* traceFile = nullptr;
    bool traceFileFailed = false;
    std::vector<std::string> traceLines;
    std::vector<std::string> afterLines; // violations and notes of the current call
};

// Never destroyed, so that the exit handler finds it intact.
Adapter& va = *new Adapter;

#if defined(__GNUC__)
#define PRINTF_LIKE __attribute__((format(printf, 1, 2)))
#else
#define PRINTF_LIKE
#endif

std::string format(const char* pattern, ...) PRINTF_LIKE;
void violation(const char* pattern, ...) PRINTF_LIKE;

std::string formatArgs(const char* pattern, va_list args) {
    char buffer[256];
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(buffer, sizeof(buffer), pattern, copy);
    va_end(copy);
    if (length < 0) {
        return std::string();
    }
    if (static_cast<size_t>(length) < sizeof(buffer)) {
        return std::string(buffer, static_cast<size_t>(length));
    }
    std::vector<char> large(static_cast<size_t>(length) + 1);
    std::vsnprintf(large.data(), large.size(), pattern, args);
    return std::string(large.data(), static_cast<size_t>(length));
}

std::string format(const char* pattern, ...) {
    va_list args;
    va_start(args, pattern);
    std::string text = formatArgs(pattern, args);
    va_end(args);
    return text;
}

// Counts a violation and traces it after the line of the current call.
void violation(const char* pattern, ...) {
    va.stats.violations++;
    if (va.tracing) {
        va_list args;
        va_start(args, pattern);
        va.afterLines.push_back("violation: " + formatArgs(pattern, args));
        va_end(args);
    }
}

void note(const std::string& text) {
    if (va.tracing) {
        va.afterLines.push_back("note: " + text);
    }
}

void emit(const std::string& line) {
    if (va.config.keepTrace) {
        va.traceLines.push_back(line);
    }
    if (va.config.tracePath.empty()) {
        return;
    }
    if (!va.traceFile && !va.traceFileFailed) {
        va.traceFile = std::fopen(va.config.tracePath.c_str(), "wb"); // the same bytes on every system
        if (!va.traceFile) {
            va.traceFileFailed = true;
            std::fprintf(stderr, "virtual adapter: cannot write trace file %s\n",
                         va.config.tracePath.c_str());
            return;
        }
    }
    if (va.traceFile) {
        std::fputs(line.c_str(), va.traceFile);
        std::fputc('\n', va.traceFile);
    }
}

void flushPendingLines() {
    for (const std::string& after : va.afterLines) {
        emit(after);
    }
    va.afterLines.clear();
}

// Writes the line of a call, then its violations and notes.
void finishCall(const std::string& line) {
    emit(line);
    flushPendingLines();
}

std::string statusSuffix(AdapterStatus status) {
    return status == ADAPTER_OK ? std::string() : format(" status=%u", status);
}

// ---------------------------------------------------------------- timing

uint64_t latencyNs() {
    return static_cast<uint64_t>(va.config.callLatencyUs) * 1000;
}

// 30 MHz / (divisor + 1) makes one bit (divisor + 1) periods of 100/3 ns.
uint64_t busTimeNs() {
    return va.clockTicks * 100 / 3 + va.stats.roundTrips * latencyNs();
}

Clock::time_point modeledNow() {
    return Clock::now() + std::chrono::nanoseconds(std::max<int64_t>(va.sleepDebtNs, 0));
}

// Books one bus round trip that clocks the given bits; in real-time mode
// sleeps once the modeled time runs more than a millisecond ahead.
void roundTrip(uint64_t bits) {
    uint64_t before = busTimeNs();
    va.stats.roundTrips++;
    va.stats.bitsClocked += bits;
    va.clockTicks += bits * (static_cast<uint64_t>(va.divisor) + 1);
    if (!va.config.realTime) {
        return;
    }
    va.sleepDebtNs += static_cast<int64_t>(busTimeNs() - before);
    if (va.sleepDebtNs > SLEEP_THRESHOLD_NS) {
        Clock::time_point start = Clock::now();
        std::this_thread::sleep_for(std::chrono::nanoseconds(va.sleepDebtNs));
        va.sleepDebtNs -= std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
    }
}

// ---------------------------------------------------------------- the flash file

void loadFlash() {
    const std::string& path = va.config.flashPath;
    if (path.empty()) {
        return;
    }
    std::fill(va.flash.begin(), va.flash.end(), 0xFF);
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        note("flash file " + path + " missing, starting erased");
        return;
    }
    std::vector<uint8_t> content(VA_FLASH_SIZE + 1);
    size_t length = std::fread(content.data(), 1, content.size(), file);
    std::fclose(file);
    if (length != VA_FLASH_SIZE) {
        note("flash file " + path + " has wrong size, starting erased");
        return;
    }
    std::copy(content.begin(), content.begin() + VA_FLASH_SIZE, va.flash.begin());
}

void saveFlash() {
    const std::string& path = va.config.flashPath;
    if (path.empty()) {
        return;
    }
    std::FILE* file = std::fopen(path.c_str(), "wb");
    bool saved = file && std::fwrite(va.flash.data(), 1, VA_FLASH_SIZE, file) == VA_FLASH_SIZE;
    if (file && std::fclose(file) != 0) {
        saved = false;
    }
    if (!saved) {
        std::fprintf(stderr, "virtual adapter: cannot write flash file %s\n", path.c_str());
        note("cannot write flash file " + path);
    }
}

// A program that exits without closing the adapter still leaves its flash file.
void saveAtExit() {
    if (va.open) {
        saveFlash();
        note("process exit while open, flash file saved");
        flushPendingLines();
    }
    if (va.traceFile) {
        std::fclose(va.traceFile);
        va.traceFile = nullptr;
    }
}

// ---------------------------------------------------------------- call checks

// Counts a call (loading the configuration from the environment on the first
// one) and fails it once the adapter has vanished.
AdapterStatus beginCall(Operation operation) {
    if (!va.configured) {
        vaConfigure(vaConfigFromEnvironment());
    }
    va.stats.callCounts[operation]++;
    va.totalCalls++;
    if (va.config.vanishAfterCalls != 0 && va.totalCalls > va.config.vanishAfterCalls) {
        if (!va.vanished) {
            va.vanished = true;
            note(format("adapter vanished after %u calls", va.config.vanishAfterCalls));
        }
        return VA_STATUS_DEVICE_GONE;
    }
    return ADAPTER_OK;
}

struct PointerArgument {
    const void* pointer;
    const char* name;
};

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

// The checks of a call on the open device: its pointers, then its handle.
AdapterStatus checkDeviceCall(uint32_t handle, std::initializer_list<PointerArgument> arguments) {
    AdapterStatus status = checkPointers(arguments);
    if (status != ADAPTER_OK) {
        return status;
    }
    if (!va.open || handle != OPEN_HANDLE) {
        violation("handle %u is not the open handle", handle);
        return VA_STATUS_INVALID_HANDLE;
    }
    return ADAPTER_OK;
}

// Counts a call on the open device and checks it.
AdapterStatus beginDeviceCall(Operation operation, uint32_t handle,
                              std::initializer_list<PointerArgument> arguments) {
    AdapterStatus status = beginCall(operation);
    return status == ADAPTER_OK ? checkDeviceCall(handle, arguments) : status;
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

const StartCondition EXPECTED_START = {0, 1, 1, 0};
const UpperPinStates EXPECTED_PIN_STATES = {{{0, 1}, {0, 1}, {0, 1}, {0, 1}, {0, 1}, {0, 1}, {0, 1}, {0, 1}}};

void checkPinStates(const UpperPinStates& pinStates) {
    if (std::memcmp(&pinStates, &EXPECTED_PIN_STATES, sizeof(EXPECTED_PIN_STATES)) == 0) {
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
    if (wait.waitFlag != 0 || wait.pinNumber != 0 || wait.completionLevel != 0 || wait.timeoutMs != 5000) {
        violation("wait settings %u,%u,%u,%u", wait.waitFlag, wait.pinNumber, wait.completionLevel,
                  wait.timeoutMs);
    }
}

// The checks every written or queued command passes (a queued one has no
// wait settings); returns the data bytes that go out, none without the data
// flag whatever the count says.
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

// ---------------------------------------------------------------- the target

uint32_t addressOf(const uint8_t* control) {
    return static_cast<uint32_t>(control[1]) << 16 | static_cast<uint32_t>(control[2]) << 8 | control[3];
}

// Busy with an erase or a programming run: commands other than a status read
// are refused. A stuck target only reports busy; it still takes commands.
bool busyWithWork() {
    return va.busyReads > 0 || (va.config.realTime && modeledNow() < va.busyUntil);
}

void startBusy(uint32_t reads, uint32_t microseconds) {
    va.busyReads = reads;
    va.busyUntil = modeledNow() + std::chrono::microseconds(microseconds);
}

uint8_t statusByte() {
    bool busy = va.stuck || busyWithWork();
    if (va.busyReads > 0) {
        va.busyReads--;
    }
    return busy ? va.config.busyByte : va.config.readyByte;
}

uint32_t fill(const Transaction& t, uint8_t value) {
    if (t.capacity > 0) {
        std::memset(t.destination, value, t.capacity);
    }
    return t.capacity;
}

void openBracket(uint8_t command) {
    if (va.bracket != NO_BRACKET) {
        violation("command %02x while bracket %02x is open", command, va.bracket);
    }
    va.bracket = command;
    va.programAddressKnown = false;
}

void closeBracket(uint8_t command, uint8_t opening) {
    if (va.bracket != opening) {
        violation("command %02x outside its bracket", command);
        return;
    }
    va.bracket = NO_BRACKET;
}

void requireBracket(uint8_t command, uint8_t opening) {
    if (va.bracket != opening) {
        violation("command %02x outside its bracket", command);
    }
}

void eraseSector(const Transaction& t) {
    uint32_t address = addressOf(t.control);
    if (address >= VA_FLASH_SIZE) {
        violation("erase address %06x outside flash", address);
        return;
    }
    if (address % VA_SECTOR_SIZE != 0) {
        violation("erase address %06x not sector aligned", address);
    }
    uint32_t sector = address / VA_SECTOR_SIZE;
    std::memset(&va.flash[sector * VA_SECTOR_SIZE], 0xFF, VA_SECTOR_SIZE);
    if (sector == va.config.unerasedSector) {
        va.flash[sector * VA_SECTOR_SIZE + VA_UNERASED_OFFSET] = 0x00;
    }
    startBusy(va.config.eraseBusyReads, va.config.eraseBusyUs);
}

uint32_t readFlash(const Transaction& t) {
    uint32_t address = addressOf(t.control);
    if (address >= VA_FLASH_SIZE) {
        violation("read address %06x outside flash", address);
        return 0;
    }
    uint32_t length = t.capacity;
    if (length > VA_FLASH_SIZE - address) {
        violation("read of %u bytes at %06x runs past the end of flash", length, address);
        length = VA_FLASH_SIZE - address;
    }
    if (va.emptyReadsLeft > 0) {
        if (va.emptyReadsLeft != VA_ALWAYS) {
            va.emptyReadsLeft--;
        }
        return 0;
    }
    if (va.config.shortReadBytes != 0 && (va.config.shortReadAlways || !va.shortReadDone)) {
        va.shortReadDone = true;
        length = std::min(length, va.config.shortReadBytes);
    }
    if (length == 0) {
        return 0;
    }
    std::memcpy(t.destination, &va.flash[address], length);
    uint32_t stuck = va.config.stuckBitAddress;
    if (stuck >= address && stuck - address < length) {
        uint8_t& byte = t.destination[stuck - address];
        uint8_t mask = va.config.stuckBitMask;
        byte = va.config.stuckBitValue != 0 ? static_cast<uint8_t>(byte | mask)
                                            : static_cast<uint8_t>(byte & ~mask);
    }
    return length;
}

void program(const Transaction& t) {
    if (t.controlCount >= 4) {
        va.programAddress = addressOf(t.control);
        va.programAddressKnown = true;
    } else if (!va.programAddressKnown) {
        violation("command af without an address");
        return;
    }
    for (uint32_t i = 0; i < t.dataCount; i++, va.programAddress++) {
        if (va.programAddress >= VA_FLASH_SIZE) {
            violation("program address %06x outside flash", va.programAddress);
        } else {
            va.flash[va.programAddress] &= t.data[i];
        }
    }
}

bool isReadCommand(uint8_t command) {
    return command == CMD_STATUS || command == CMD_IDENTITY || command == CMD_READ;
}

bool isKnownCommand(uint8_t command) {
    switch (command) {
    case CMD_STATUS:
    case CMD_IDENTITY:
    case CMD_ERASE_OPEN:
    case CMD_ERASE:
    case CMD_ERASE_CLOSE:
    case CMD_READ_OPEN:
    case CMD_READ:
    case CMD_READ_CLOSE:
    case CMD_PROGRAM_OPEN:
    case CMD_PROGRAM:
    case CMD_PROGRAM_CLOSE:
        return true;
    default:
        return false;
    }
}

// Whether the command's transaction has the shape the target expects; a
// mismatch is a violation, and false when the command cannot be carried out.
bool checkCommandShape(const Transaction& t, uint8_t command) {
    bool readCommand = isReadCommand(command);
    if (readCommand != t.isRead) {
        violation("command %02x sent as a %s", command, t.isRead ? "read" : "write");
    }
    bool addressed = command == CMD_READ || command == CMD_ERASE;
    bool countOk = command == CMD_PROGRAM ? t.controlCount == 1 || t.controlCount == 4
                                          : t.controlCount == (addressed ? 4u : 1u);
    if (!countOk) {
        violation("command %02x with %u control bytes", command, t.controlCount);
    }
    if (readCommand == t.isRead) {
        if (command == CMD_PROGRAM && t.dataCount != 1) {
            violation("command af with %u data bytes", t.dataCount);
        } else if (!t.isRead && command != CMD_PROGRAM && t.dataCount != 0) {
            violation("command %02x with %u data bytes", command, t.dataCount);
        } else if ((command == CMD_STATUS || command == CMD_IDENTITY) && t.capacity != 1) {
            violation("command %02x reading %u bytes", command, t.capacity);
        }
    }
    if (addressed || command == CMD_PROGRAM) {
        return t.controlCount >= 4 || (command == CMD_PROGRAM && t.controlCount == 1);
    }
    return true;
}

// Carries out one transaction on the target; returns the bytes delivered.
uint32_t perform(const Transaction& t) {
    if (t.controlCount == 0) {
        violation("no command byte");
        return 0;
    }
    uint8_t command = t.control[0];
    if (!isKnownCommand(command)) {
        violation("unknown command %02x", command);
        return 0;
    }
    bool possible = checkCommandShape(t, command);
    if (command != CMD_STATUS && busyWithWork()) {
        violation("command %02x while busy", command);
        return 0;
    }
    uint32_t delivered = 0;
    switch (command) {
    case CMD_STATUS:
        delivered = fill(t, statusByte());
        break;
    case CMD_IDENTITY:
        delivered = fill(t, va.config.identityByte);
        break;
    case CMD_ERASE_OPEN:
    case CMD_READ_OPEN:
    case CMD_PROGRAM_OPEN:
        openBracket(command);
        break;
    case CMD_ERASE_CLOSE:
        closeBracket(command, CMD_ERASE_OPEN);
        break;
    case CMD_READ_CLOSE:
        closeBracket(command, CMD_READ_OPEN);
        break;
    case CMD_PROGRAM_CLOSE:
        closeBracket(command, CMD_PROGRAM_OPEN);
        startBusy(va.config.programBusyReads, va.config.programBusyUs);
        break;
    case CMD_ERASE:
        requireBracket(command, CMD_ERASE_OPEN);
        if (possible) {
            eraseSector(t);
        }
        break;
    case CMD_READ:
        requireBracket(command, CMD_READ_OPEN);
        if (possible && t.capacity > 0) {
            delivered = readFlash(t);
        }
        break;
    case CMD_PROGRAM:
        requireBracket(command, CMD_PROGRAM_OPEN);
        if (possible) {
            program(t);
        }
        break;
    }
    if (va.config.stuckAfterOccurrence != 0 && command == va.config.stuckAfterCommand &&
        ++va.stuckCommandCount >= va.config.stuckAfterOccurrence) {
        va.stuck = true;
    }
    return delivered;
}

// The common queued command, one programming byte within an open programming
// run, takes the short way; every other command goes through perform and its
// checks. Returns false when the command is not of that kind.
bool programQueuedByte(const uint8_t* control, const QueuedWrite& write) {
    bool common = write.controlCount == 1 && write.dataCount == 1 && control[0] == CMD_PROGRAM &&
                  va.bracket == CMD_PROGRAM_OPEN && va.programAddressKnown &&
                  va.programAddress < VA_FLASH_SIZE && va.busyReads == 0 && !va.config.realTime &&
                  va.config.stuckAfterOccurrence == 0;
    if (common) {
        va.flash[va.programAddress++] &= control[1];
    }
    return common;
}

// The caller reuses its buffers at once: the bytes are copied now. A plain
// loop, since a queued command is a byte or two.
void appendToQueue(const uint8_t* control, uint32_t controlCount, const uint8_t* data, uint32_t dataCount,
                   uint32_t dataBits) {
    size_t offset = va.queueBytesUsed;
    va.queue.push_back({static_cast<uint32_t>(offset), controlCount, dataCount});
    va.queueBytesUsed += controlCount + dataCount;
    if (va.queueBytesUsed > va.queueBytes.size()) {
        va.queueBytes.resize(2 * va.queueBytesUsed);
    }
    uint8_t* copy = va.queueBytes.data() + offset;
    for (uint32_t i = 0; i < controlCount; i++) {
        *copy++ = control[i];
    }
    for (uint32_t i = 0; i < dataCount; i++) {
        *copy++ = data[i];
    }
    va.queuedBits += 8ull * controlCount + dataBits;
}

// A queued command of one control byte and one data byte in the expected
// shape, the bulk of every programming run, is queued without the checks one
// by one; anything else, or anything traced, takes the checked way, which
// names what is wrong. Returns false when the command was not queued here.
bool queueCommonCommand(uint32_t handle, const StartCondition* start, const UpperPinStates* pinStates,
                        uint8_t command, uint8_t data) {
    bool common = va.configured && !va.tracing && va.config.vanishAfterCalls == 0 && va.open &&
                  handle == OPEN_HANDLE && start && pinStates &&
                  std::memcmp(start, &EXPECTED_START, sizeof(EXPECTED_START)) == 0 &&
                  std::memcmp(pinStates, &EXPECTED_PIN_STATES, sizeof(EXPECTED_PIN_STATES)) == 0;
    if (!common) {
        return false;
    }
    va.stats.callCounts[OP_QUEUE]++;
    va.totalCalls++;
    appendToQueue(&command, 1, &data, 1, 8);
    return true;
}

// ---------------------------------------------------------------- trace lines

std::string commandText(const uint8_t* control, uint32_t count) {
    if (!control || count == 0) {
        return "cmd=none";
    }
    if (count >= 4) {
        return format("cmd=%02x addr=%06x", control[0], addressOf(control));
    }
    return format("cmd=%02x", control[0]);
}

std::string writeLine(const char* name, const uint8_t* control, uint32_t controlBits, uint32_t controlCount,
                      uint32_t flag, uint32_t dataBits, const uint8_t* data, uint32_t dataCount,
                      AdapterStatus status) {
    std::string line =
        format("%s %s ctrl=%u/%u flag=%u data=%u/%u", name, commandText(control, controlCount).c_str(),
               controlBits, controlCount, flag, dataBits, dataCount);
    if (flag == 1 && dataCount == 1 && data) {
        line += format(" byte=%02x", data[0]);
    }
    return line + statusSuffix(status);
}

// Copies a string as the library does: cut to the buffer, always terminated.
std::string truncated(const std::string& text, uint32_t size) {
    return size == 0 ? std::string() : text.substr(0, size - 1);
}

void copyString(char* out, uint32_t size, const std::string& text) {
    if (size == 0) {
        return;
    }
    std::string cut = truncated(text, size);
    std::memcpy(out, cut.c_str(), cut.size() + 1);
}

// ---------------------------------------------------------------- configuration

void reportBadValue(const char* name) {
    std::fprintf(stderr, "virtual adapter: bad %s value\n", name);
}

// A decimal or 0x hexadecimal number of at most 32 bits, nothing else.
bool parseNumber(const std::string& text, uint32_t& value) {
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    size_t start = hex ? 2 : 0;
    if (text.size() <= start) {
        return false;
    }
    uint64_t result = 0;
    for (size_t i = start; i < text.size(); i++) {
        char c = text[i];
        uint32_t digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<uint32_t>(c - '0');
        } else if (hex && c >= 'a' && c <= 'f') {
            digit = static_cast<uint32_t>(c - 'a' + 10);
        } else if (hex && c >= 'A' && c <= 'F') {
            digit = static_cast<uint32_t>(c - 'A' + 10);
        } else {
            return false;
        }
        result = result * (hex ? 16 : 10) + digit;
        if (result > 0xFFFFFFFFull) {
            return false;
        }
    }
    value = static_cast<uint32_t>(result);
    return true;
}

bool parseByte(const std::string& text, uint8_t& value) {
    uint32_t number;
    if (!parseNumber(text, number) || number > 0xFF) {
        return false;
    }
    value = static_cast<uint8_t>(number);
    return true;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) {
            return parts;
        }
        start = end + 1;
    }
}

// Reads one variable if set; a value the parser refuses is reported and the
// configuration keeps its default.
template <typename Parser> void readVariable(const char* name, Parser parse) {
    const char* value = std::getenv(name);
    if (value && !parse(std::string(value))) {
        reportBadValue(name);
    }
}

void readNumber(const char* name, uint32_t& field) {
    readVariable(name, [&](const std::string& text) { return parseNumber(text, field); });
}

void readByte(const char* name, uint8_t& field) {
    readVariable(name, [&](const std::string& text) { return parseByte(text, field); });
}

bool parseDevices(const std::string& text, std::vector<VirtualDevice>& devices) {
    std::vector<VirtualDevice> parsed;
    if (!text.empty()) {
        for (const std::string& entry : split(text, ';')) {
            std::vector<std::string> fields = split(entry, '|');
            VirtualDevice device;
            if (fields.size() != 3 || !parseNumber(fields[2], device.locationId)) {
                return false;
            }
            device.name = fields[0];
            device.channel = fields[1];
            parsed.push_back(device);
        }
    }
    devices = parsed;
    return true;
}

} // namespace

// ---------------------------------------------------------------- control interface

VirtualAdapterConfig vaConfigFromEnvironment() {
    VirtualAdapterConfig config;
    readVariable("VADAPTER_FLASH", [&](const std::string& text) { return config.flashPath = text, true; });
    readVariable("VADAPTER_TRACE", [&](const std::string& text) { return config.tracePath = text, true; });
    readVariable("VADAPTER_DEVICES",
                 [&](const std::string& text) { return parseDevices(text, config.devices); });
    readNumber("VADAPTER_COUNT_STATUS", config.countStatus);
    readVariable("VADAPTER_DESCRIBE_FAIL", [&](const std::string& text) {
        std::vector<std::string> fields = split(text, ':');
        uint32_t index, status = 1;
        if (fields.size() > 2 || !parseNumber(fields[0], index) ||
            (fields.size() == 2 && !parseNumber(fields[1], status))) {
            return false;
        }
        config.describeFailIndex = index;
        config.describeStatus = status;
        return true;
    });
    readNumber("VADAPTER_OPEN_STATUS", config.openStatus);
    readNumber("VADAPTER_LINE_LEVELS_STATUS", config.lineLevelsStatus);
    readNumber("VADAPTER_QUERY_STATUS", config.queryStatus);
    readVariable("VADAPTER_FREQUENCY", [&](const std::string& text) {
        if (text == "untouched") {
            config.frequencyMode = VA_FREQUENCY_UNTOUCHED;
        } else if (text == "computed") {
            config.frequencyMode = VA_FREQUENCY_COMPUTED;
        } else if (parseNumber(text, config.fixedFrequencyHz)) {
            config.frequencyMode = VA_FREQUENCY_FIXED;
        } else {
            return false;
        }
        return true;
    });
    readByte("VADAPTER_IDENTITY", config.identityByte);
    readByte("VADAPTER_READY_BYTE", config.readyByte);
    readByte("VADAPTER_BUSY_BYTE", config.busyByte);
    readNumber("VADAPTER_ERASE_BUSY_READS", config.eraseBusyReads);
    readNumber("VADAPTER_PROGRAM_BUSY_READS", config.programBusyReads);
    readNumber("VADAPTER_ERASE_BUSY_US", config.eraseBusyUs);
    readNumber("VADAPTER_PROGRAM_BUSY_US", config.programBusyUs);
    readVariable("VADAPTER_REALTIME", [&](const std::string& text) {
        if (text != "0" && text != "1") {
            return false;
        }
        config.realTime = text == "1";
        return true;
    });
    readNumber("VADAPTER_LATENCY_US", config.callLatencyUs);
    readVariable("VADAPTER_UNERASED_SECTOR", [&](const std::string& text) {
        uint32_t sector;
        if (!parseNumber(text, sector) || sector >= VA_FLASH_SIZE / VA_SECTOR_SIZE) {
            return false;
        }
        config.unerasedSector = sector;
        return true;
    });
    readVariable("VADAPTER_STUCK_BIT", [&](const std::string& text) {
        std::vector<std::string> fields = split(text, ':');
        uint32_t address;
        uint8_t mask = config.stuckBitMask, value = config.stuckBitValue;
        if (fields.size() > 3 || !parseNumber(fields[0], address) || address >= VA_FLASH_SIZE ||
            (fields.size() > 1 && !parseByte(fields[1], mask)) ||
            (fields.size() > 2 && !parseByte(fields[2], value))) {
            return false;
        }
        config.stuckBitAddress = address;
        config.stuckBitMask = mask;
        config.stuckBitValue = value;
        return true;
    });
    readVariable("VADAPTER_SHORT_READ", [&](const std::string& text) {
        std::vector<std::string> fields = split(text, ':');
        uint32_t bytes;
        if (fields.size() > 2 || !parseNumber(fields[0], bytes) ||
            (fields.size() == 2 && fields[1] != "always")) {
            return false;
        }
        config.shortReadBytes = bytes;
        config.shortReadAlways = fields.size() == 2;
        return true;
    });
    readVariable("VADAPTER_EMPTY_READS", [&](const std::string& text) {
        if (text == "always") {
            config.emptyReads = VA_ALWAYS;
            return true;
        }
        return parseNumber(text, config.emptyReads);
    });
    readVariable("VADAPTER_STUCK_AFTER", [&](const std::string& text) {
        std::vector<std::string> fields = split(text, ':');
        uint8_t command;
        uint32_t occurrence = 1;
        if (fields.size() > 2 || !parseByte(fields[0], command) ||
            (fields.size() == 2 && (!parseNumber(fields[1], occurrence) || occurrence == 0))) {
            return false;
        }
        config.stuckAfterCommand = command;
        config.stuckAfterOccurrence = occurrence;
        return true;
    });
    readNumber("VADAPTER_VANISH_AFTER", config.vanishAfterCalls);
    return config;
}

void vaConfigure(const VirtualAdapterConfig& config) {
    if (va.traceFile) {
        std::fclose(va.traceFile);
        va.traceFile = nullptr;
    }
    va.config = config;
    va.configured = true;
    va.open = false;
    std::fill(va.flash.begin(), va.flash.end(), 0xFF);
    va.divisor = DEFAULT_DIVISOR;
    va.bracket = NO_BRACKET;
    va.programAddressKnown = false;
    va.programAddress = 0;
    va.busyReads = 0;
    va.busyUntil = Clock::time_point();
    va.stuck = false;
    va.stuckCommandCount = 0;
    va.emptyReadsLeft = config.emptyReads;
    va.shortReadDone = false;
    va.queue.clear();
    va.queue.reserve(16384);
    va.queueBytes.assign(16384 * 8, 0);
    va.queueBytesUsed = 0;
    va.queuedBits = 0;
    va.stats = VirtualAdapterStats();
    va.clockTicks = 0;
    va.totalCalls = 0;
    va.vanished = false;
    va.sleepDebtNs = 0;
    va.tracing = config.keepTrace || !config.tracePath.empty();
    va.traceFileFailed = false;
    va.traceLines.clear();
    va.afterLines.clear();
}

const std::vector<std::string>& vaTraceLines() {
    return va.traceLines;
}

const uint8_t* vaFlash() {
    return va.flash.data();
}

uint8_t* vaMutableFlash() {
    return va.flash.data();
}

VirtualAdapterStats vaStats() {
    VirtualAdapterStats stats = va.stats;
    stats.busTimeNs = busTimeNs();
    return stats;
}

bool vaIsOpen() {
    return va.open;
}

const char* vaCallName(uint32_t index) {
    return index < OP_KINDS ? CALL_NAMES[index] : "";
}

// ---------------------------------------------------------------- the library

extern "C" {

ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libCountDevices(uint32_t* count) {
    AdapterStatus status = beginCall(OP_COUNT);
    if (status == ADAPTER_OK) {
        status = checkPointers({{count, "count"}});
    }
    if (status == ADAPTER_OK && va.config.countStatus != 0) {
        status = va.config.countStatus;
    }
    if (status == ADAPTER_OK) {
        *count = static_cast<uint32_t>(va.config.devices.size());
    }
    if (va.tracing) {
        finishCall(format("count status=%u", status) +
                   (status == ADAPTER_OK ? format(" count=%u", *count) : ""));
    }
    return status;
}

ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libDescribeDevice(uint32_t index, char* name, uint32_t nameSize,
                                                            uint32_t* locationId, char* channel,
                                                            uint32_t channelSize, uint32_t* deviceType) {
    AdapterStatus status = beginCall(OP_DESCRIBE);
    if (status == ADAPTER_OK) {
        status = checkPointers(
            {{name, "name"}, {locationId, "location"}, {channel, "channel"}, {deviceType, "device type"}});
    }
    if (status == ADAPTER_OK && index == va.config.describeFailIndex) {
        status = va.config.describeStatus;
    }
    if (status == ADAPTER_OK && index >= va.config.devices.size()) {
        violation("describe index %u out of range", index);
        status = VA_STATUS_DEVICE_NOT_FOUND;
    }
    if (status == ADAPTER_OK) {
        const VirtualDevice& device = va.config.devices[index];
        copyString(name, nameSize, device.name);
        copyString(channel, channelSize, device.channel);
        *locationId = device.locationId;
        *deviceType = 0;
    }
    if (va.tracing) {
        std::string line = format("describe index=%u status=%u", index, status);
        if (status == ADAPTER_OK) {
            const VirtualDevice& device = va.config.devices[index];
            line +=
                format(" name=\"%s\" channel=\"%s\" location=0x%x", truncated(device.name, nameSize).c_str(),
                       truncated(device.channel, channelSize).c_str(), device.locationId);
        }
        finishCall(line);
    }
    return status;
}

ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libOpenDevice(const char* name, uint32_t locationId,
                                                        const char* channel, uint32_t* handle) {
    AdapterStatus status = beginCall(OP_OPEN);
    if (status == ADAPTER_OK) {
        status = checkPointers({{name, "name"}, {channel, "channel"}, {handle, "handle"}});
    }
    if (status == ADAPTER_OK) {
        status = va.config.openStatus;
        roundTrip(0);
    }
    if (status == ADAPTER_OK) {
        if (va.open) {
            violation("open while already open");
        } else {
            bool known = false;
            for (const VirtualDevice& device : va.config.devices) {
                known = known ||
                        (device.name == name && device.channel == channel && device.locationId == locationId);
            }
            if (!known) {
                violation("open of a device that is not listed");
            }
            loadFlash();
            va.bracket = NO_BRACKET;
            va.programAddressKnown = false;
            va.queue.clear();
            va.queueBytesUsed = 0;
            va.queuedBits = 0;
            va.open = true;
        }
        *handle = OPEN_HANDLE;
        if (!va.exitHandlerRegistered) {
            va.exitHandlerRegistered = std::atexit(saveAtExit) == 0;
        }
    }
    if (va.tracing) {
        std::string line = format("open name=\"%s\" location=0x%x channel=\"%s\" status=%u",
                                  name ? name : "(null)", locationId, channel ? channel : "(null)", status);
        if (status == ADAPTER_OK) {
            line += format(" handle=%u", OPEN_HANDLE);
        }
        finishCall(line);
    }
    return status;
}

ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libSetup6(uint32_t handle, uint32_t value) {
    AdapterStatus status = beginDeviceCall(OP_SETUP6, handle, {});
    if (status == ADAPTER_OK) {
        if (value != SETUP6_VALUE) {
            violation("setup6 value %u", value);
        }
        roundTrip(0);
    }
    if (va.tracing) {
        finishCall(format("setup6 value=%u", value) + statusSuffix(status));
    }
    return status;
}

ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libSetClockDivisor(uint32_t handle, uint32_t divisor,
                                                             uint32_t* frequency) {
    AdapterStatus status = beginDeviceCall(OP_CLOCK, handle, {{frequency, "frequency"}});
    if (status == ADAPTER_OK) {
        if (divisor > MAX_DIVISOR) {
            violation("clock divisor %u out of range", divisor);
        }
        va.divisor = divisor;
        if (va.config.frequencyMode == VA_FREQUENCY_COMPUTED) {
            *frequency = static_cast<uint32_t>(30000000ull / (static_cast<uint64_t>(divisor) + 1));
        } else if (va.config.frequencyMode == VA_FREQUENCY_FIXED) {
            *frequency = va.config.fixedFrequencyHz;
        }
        roundTrip(0);
    }
    if (va.tracing) {
        std::string line = format("clock divisor=%u", divisor);
        if (status == ADAPTER_OK) {
            line += va.config.frequencyMode == VA_FREQUENCY_UNTOUCHED ? std::string(" frequency=untouched")
                                                                      : format(" frequency=%u", *frequency);
        }
        finishCall(line + statusSuffix(status));
    }
    return status;
}

ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libSetup14(uint32_t handle) {
    AdapterStatus status = beginDeviceCall(OP_SETUP14, handle, {});
    if (status == ADAPTER_OK) {
        roundTrip(0);
    }
    if (va.tracing) {
        finishCall("setup14" + statusSuffix(status));
    }
    return status;
}

ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libSetLineLevels(uint32_t handle,
                                                           ChipSelectDisableStates* disableStates,
                                                           PinSettings* pinSettings) {
    AdapterStatus status = beginDeviceCall(
        OP_LINE_LEVELS, handle, {{disableStates, "disable states"}, {pinSettings, "pin settings"}});
    if (status == ADAPTER_OK) {
        const uint32_t* lines = disableStates->lines;
        if (lines[0] != 0 || lines[1] != 1 || lines[2] != 0 || lines[3] != 1 || lines[4] != 1) {
            violation("chip select disable states %u,%u,%u,%u,%u", lines[0], lines[1], lines[2], lines[3],
                      lines[4]);
        }
        const PinSettingPair* pins = pinSettings->pins;
        if (pins[0].direction != 1 || pins[0].level != 1 || pins[1].direction != 0 || pins[1].level != 0 ||
            pins[2].direction != 1 || pins[2].level != 1 || pins[3].direction != 1 || pins[3].level != 1) {
            violation("pin settings %u,%u,%u,%u,%u,%u,%u,%u", pins[0].direction, pins[0].level,
                      pins[1].direction, pins[1].level, pins[2].direction, pins[2].level, pins[3].direction,
                      pins[3].level);
        }
        status = va.config.lineLevelsStatus;
        roundTrip(0);
    }
    if (va.tracing) {
        finishCall(format("linelevels status=%u", status));
    }
    return status;
}

ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libQuery(uint32_t handle, uint8_t* area) {
    AdapterStatus status = beginDeviceCall(OP_QUERY, handle, {{area, "query area"}});
    if (status == ADAPTER_OK) {
        status = va.config.queryStatus;
        if (status == ADAPTER_OK) {
            std::memset(area, 0, QUERY_AREA_SIZE);
        }
        roundTrip(0);
    }
    if (va.tracing) {
        finishCall(format("query status=%u", status));
    }
    return status;
}

ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libRead(uint32_t handle, StartCondition* start,
                                                  uint32_t controlBitOrder, uint32_t controlClockEdge,
                                                  uint32_t controlBitCount, uint8_t* controlBytes,
                                                  uint32_t controlByteCount, uint32_t dataBitOrder,
                                                  uint32_t dataClockEdge, uint32_t dataBitCount,
                                                  uint8_t* destination, uint32_t* bytesReturned,
                                                  UpperPinStates* pinStates) {
    AdapterStatus status = beginDeviceCall(OP_READ, handle,
                                           {{start, "start condition"},
                                            {controlBytes, "control bytes"},
                                            {destination, "destination"},
                                            {bytesReturned, "bytes returned"},
                                            {pinStates, "pin states"}});
    uint32_t delivered = 0;
    if (status == ADAPTER_OK) {
        checkBitOrder(controlBitOrder, controlClockEdge, "");
        checkBitOrder(dataBitOrder, dataClockEdge, "data ");
        checkControlBits(controlBitCount, controlByteCount);
        if (dataBitCount == 0 || dataBitCount % 8 != 0) {
            violation("read of %u data bits", dataBitCount);
        }
        checkStart(*start);
        checkPinStates(*pinStates);
        Transaction t{true, controlBytes, controlByteCount, nullptr, 0, destination, dataBitCount / 8};
        delivered = perform(t);
        *bytesReturned = delivered;
        roundTrip(8ull * controlByteCount + dataBitCount);
    }
    if (va.tracing) {
        std::string line = format("read %s ctrl=%u/%u data=%u returned=%u",
                                  commandText(controlBytes, controlByteCount).c_str(), controlBitCount,
                                  controlByteCount, dataBitCount, delivered);
        if (delivered == 1) {
            line += format(" byte=%02x", destination[0]);
        }
        finishCall(line + statusSuffix(status));
    }
    return status;
}

ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libWrite(
    uint32_t handle, StartCondition* start, uint32_t bitOrder, uint32_t clockEdge, uint32_t controlBitCount,
    uint8_t* controlBytes, uint32_t controlByteCount, uint32_t dataFlag, uint32_t dataBitCount,
    uint8_t* dataBytes, uint32_t dataByteCount, WriteWaitSettings* waitSettings, UpperPinStates* pinStates) {
    AdapterStatus status = beginDeviceCall(OP_WRITE, handle,
                                           {{start, "start condition"},
                                            {controlBytes, "control bytes"},
                                            {dataBytes, "data bytes"},
                                            {waitSettings, "wait settings"},
                                            {pinStates, "pin states"}});
    if (status == ADAPTER_OK) {
        uint32_t dataCount = checkWriteShape(bitOrder, clockEdge, controlBitCount, controlByteCount, dataFlag,
                                             dataBitCount, dataByteCount, *start, waitSettings, *pinStates);
        Transaction t{false, controlBytes, controlByteCount, dataBytes, dataCount, nullptr, 0};
        perform(t);
        roundTrip(8ull * controlByteCount + dataBitCount);
    }
    if (va.tracing) {
        finishCall(writeLine("write", controlBytes, controlBitCount, controlByteCount, dataFlag, dataBitCount,
                             dataBytes, dataByteCount, status));
    }
    return status;
}

ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libQueueWrite(uint32_t handle, StartCondition* start,
                                                        uint32_t bitOrder, uint32_t clockEdge,
                                                        uint32_t controlBitCount, uint8_t* controlBytes,
                                                        uint32_t controlByteCount, uint32_t dataFlag,
                                                        uint32_t dataBitCount, uint8_t* dataBytes,
                                                        uint32_t dataByteCount, UpperPinStates* pinStates) {
    bool common = controlByteCount == 1 && controlBitCount == 8 && dataFlag == 1 && dataByteCount == 1 &&
                  dataBitCount == 8 && bitOrder == 1 && clockEdge == 0 && controlBytes && dataBytes &&
                  queueCommonCommand(handle, start, pinStates, controlBytes[0], dataBytes[0]);
    if (common) {
        return ADAPTER_OK;
    }
    AdapterStatus status = beginDeviceCall(OP_QUEUE, handle,
                                           {{start, "start condition"},
                                            {controlBytes, "control bytes"},
                                            {dataBytes, "data bytes"},
                                            {pinStates, "pin states"}});
    if (status == ADAPTER_OK) {
        uint32_t dataCount = checkWriteShape(bitOrder, clockEdge, controlBitCount, controlByteCount, dataFlag,
                                             dataBitCount, dataByteCount, *start, nullptr, *pinStates);
        appendToQueue(controlBytes, controlByteCount, dataBytes, dataCount, dataBitCount);
    }
    if (va.tracing) {
        finishCall(writeLine("queue", controlBytes, controlBitCount, controlByteCount, dataFlag, dataBitCount,
                             dataBytes, dataByteCount, status));
    }
    return status;
}

ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libExecuteQueue(uint32_t handle, uint8_t* resultArea,
                                                          uint32_t* bytesReturned) {
    AdapterStatus status =
        beginDeviceCall(OP_EXECUTE, handle, {{resultArea, "result area"}, {bytesReturned, "bytes returned"}});
    size_t commands = va.queue.size();
    if (status == ADAPTER_OK) {
        const uint8_t* bytes = va.queueBytes.data();
        for (const QueuedWrite& write : va.queue) {
            const uint8_t* control = bytes + write.offset;
            if (programQueuedByte(control, write)) {
                continue;
            }
            perform({false, control, write.controlCount, control + write.controlCount, write.dataCount,
                     nullptr, 0});
        }
        roundTrip(va.queuedBits);
        va.queue.clear();
        va.queueBytesUsed = 0;
        va.queuedBits = 0;
        *bytesReturned = 0;
    }
    if (va.tracing) {
        finishCall(format("execute commands=%u returned=0",
                          status == ADAPTER_OK ? static_cast<uint32_t>(commands) : 0) +
                   statusSuffix(status));
    }
    return status;
}

ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libClose(uint32_t handle) {
    AdapterStatus status = beginDeviceCall(OP_CLOSE, handle, {});
    if (status == ADAPTER_OK) {
        roundTrip(0);
        saveFlash();
        va.open = false;
    }
    if (va.tracing) {
        finishCall("close bus_ns=" + std::to_string(busTimeNs()) + " round_trips=" +
                   std::to_string(va.stats.roundTrips) + " bits=" + std::to_string(va.stats.bitsClocked) +
                   " violations=" + std::to_string(va.stats.violations) + statusSuffix(status));
    }
    if (va.traceFile) {
        std::fflush(va.traceFile);
    }
    return status;
}

} // extern "C"

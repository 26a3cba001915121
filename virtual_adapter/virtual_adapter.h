// The parts of the virtual adapter and what each offers the others. Each part
// keeps its own state in its own file; the library is driven from one thread
// and keeps no lock.
#pragma once

#include <stdint.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "adapter_interface/adapter_clock.h"
#include "adapter_interface/adapter_library.h"
#include "virtual_adapter_control.h"

namespace vadapter {

// The first open's handle; each device unplugged while open retires its
// handle, and the next open gets the one after it.
const uint32_t OPEN_HANDLE = 1;
// The target's auto-increment programming command, which the queue gathers
// and the transactions replay.
const uint8_t CMD_PROGRAM = 0xAF;

// ---------------------------------------------------------------- session (control.cpp)

// Reads the configuration from the environment on the first call of all.
void ensureConfigured();
const VirtualAdapterConfig& config();
// Before a device is opened: with a fault location set, the faults (the
// adapter's and the target's) are in force only when the device is there.
void applyFaultsAt(uint32_t locationId);
bool isOpen();
void setOpen(bool open);
uint32_t openHandle();
bool isRetiredHandle(uint32_t handle);

// ---------------------------------------------------------------- presence (control.cpp)

// The devices whose cables are plugged in, in the configured order.
std::vector<VirtualDevice> pluggedDevices();
bool isPluggedIn(uint32_t locationId);
// At open: the presence files of the device opened there.
void watchPresenceAt(uint32_t locationId);
bool openCableStillPlugged();
// A call notices that the open device's cable is gone: the session ends as at
// a close, and its handle is retired.
void endSessionIfUnplugged();
// Before a call on the open device reaches the target: whether the board is
// there now.
void followBoardPresence();

// ---------------------------------------------------------------- call checks (call_checks.cpp)

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

struct PointerArgument {
    const void* pointer;
    const char* name;
};

void resetCallCounts();
uint64_t callCount(uint32_t operation);
const char* callName(uint32_t operation);
// Counts a call without checking it (the queue's short way).
void countCall(Operation operation);
// Counts a call (configuring on the first) and fails it once the adapter has vanished.
AdapterStatus beginCall(Operation operation);
AdapterStatus checkPointers(std::initializer_list<PointerArgument> arguments);
// Counts a call on the open device, then checks its pointers and its handle.
AdapterStatus beginDeviceCall(Operation operation, uint32_t handle,
                              std::initializer_list<PointerArgument> arguments);
bool isExpectedShape(const StartCondition* start, const UpperPinStates* pinStates);
void checkReadShape(uint32_t controlBitOrder, uint32_t controlClockEdge, uint32_t controlBitCount,
                    uint32_t controlByteCount, uint32_t dataBitOrder, uint32_t dataClockEdge,
                    uint32_t dataBitCount, const StartCondition& start, const UpperPinStates& pinStates);
// Returns the data bytes that go out: none without the data flag, whatever the count says.
uint32_t checkWriteShape(uint32_t bitOrder, uint32_t clockEdge, uint32_t controlBitCount,
                         uint32_t controlByteCount, uint32_t dataFlag, uint32_t dataBitCount,
                         uint32_t dataByteCount, const StartCondition& start, const WriteWaitSettings* wait,
                         const UpperPinStates& pinStates);
void checkLineLevels(const ChipSelectDisableStates& disableStates, const PinSettings& pinSettings);

// ---------------------------------------------------------------- transactions (transactions.cpp)

// One SPI transaction of a library call, sent to the target as one frame.
struct Transaction {
    bool isRead;
    const uint8_t* control;
    uint32_t controlCount;
    const uint8_t* data; // written data
    uint32_t dataCount;
    uint8_t* destination; // read data
    uint32_t capacity;
};

// Checks the transaction's shape against the command's, then clocks it
// through the target; returns the bytes delivered to the destination.
uint32_t perform(const Transaction& t);
// One queued programming byte of the common shape: the frame "af data".
void performProgramByte(uint8_t data);
void resetReadFaults();

// ---------------------------------------------------------------- queue (queue.cpp)

void resetQueue();
// The queue's short way is open to an untraced session on the open device.
void allowQueueShortWay(bool allowed);
// Queues one programming byte of the common shape without the call's checks;
// false when the short way is closed or the call is not of that shape.
bool queueProgramByte(uint32_t handle, const StartCondition* start, const UpperPinStates* pinStates,
                      uint8_t data);
// The caller reuses its buffers at once: the bytes are copied.
void queueWrite(const uint8_t* control, uint32_t controlCount, const uint8_t* data, uint32_t dataCount,
                uint32_t dataBits);
// Carries out the queue and empties it; returns the commands it held.
uint32_t executeQueue();

// ---------------------------------------------------------------- trace (trace.cpp)

#if defined(__GNUC__)
#define VA_PRINTF_LIKE __attribute__((format(printf, 1, 2)))
#else
#define VA_PRINTF_LIKE
#endif

void resetTrace(const VirtualAdapterConfig& configuration);
// A trace path with {location} names its file after the device opened; the
// lines before the open go into it first.
void traceAtLocation(uint32_t locationId);
bool isTracing();
const std::vector<std::string>& traceLines();
std::string format(const char* pattern, ...) VA_PRINTF_LIKE;
// Counts a violation and traces it after the line of the current call.
void violation(const char* pattern, ...) VA_PRINTF_LIKE;
uint64_t violationCount();
void note(const std::string& text);
// Writes the line of a call, then its violations and notes.
void finishCall(const std::string& line);
void flushPendingLines();
void flushTrace();
void closeTrace();
std::string statusSuffix(AdapterStatus status);
std::string commandText(const uint8_t* control, uint32_t count);
std::string writeLine(const char* name, const uint8_t* control, uint32_t controlBits, uint32_t controlCount,
                      uint32_t flag, uint32_t dataBits, const uint8_t* data, uint32_t dataCount,
                      AdapterStatus status);

// ---------------------------------------------------------------- timing (timing.cpp)

void resetTiming();
void setDivisor(uint32_t divisor);
// Books one bus round trip that clocks the given bits; in real-time mode
// sleeps once the modeled time runs more than a millisecond ahead.
void roundTrip(uint64_t bits);
uint64_t busTimeNs();
uint64_t roundTrips();
uint64_t bitsClocked();
// One bit at the SPI clock set, 30 MHz / (divisor + 1).
uint64_t bitPeriodPs();

// ---------------------------------------------------------------- waveform (waveform.cpp)

// Starts the waveform file afresh when one is configured (VADAPTER_VCD).
void resetWaveform(const VirtualAdapterConfig& configuration);
// A waveform path with {location} is opened when the device is, under its
// location's name.
void openWaveformAt(uint32_t locationId);
bool isDrawing();
// A frame of byteCount bytes, next on the bus: the first of its call once the
// call's latency has passed, else right after the one before.
void drawFrameBegin(uint32_t byteCount);
void drawByte(uint8_t dataOut, uint8_t dataIn);
// count bytes of a read's data phase: the host sends nothing, the target
// drives the first drivenCount of them.
void drawReadBytes(const uint8_t* driven, uint32_t drivenCount, uint32_t count);
// Clocks count read bytes that the adapter drops, drawing them; returns how
// many the target drove.
uint32_t readDrawnAndDropped(uint32_t count);
void drawFrameEnd();
// Ends the file at the bus time so far.
void finishWaveform();

// ---------------------------------------------------------------- flash file (flash_file.cpp)

// Maps the configured flash file (if any) as the target's flash and holds it
// for the session; a status other than ADAPTER_OK when it cannot serve, after
// saying why on standard error.
AdapterStatus openFlashFile(uint32_t locationId);
// Releases the file; the target keeps a copy of the flash.
void closeFlashFile();
// A program that exits without closing the adapter is told of in the trace.
void registerExitHandler();

} // namespace vadapter

// The adapter library's binary interface: the records and the thirteen
// operations of the USB-to-SPI adapter library. The program and every
// stand-in library (the virtual adapter among them) include this one header.
#pragma once

#include <stdint.h>

// On 32-bit Windows the library uses the standard Windows API convention and
// is bound by ordinal; elsewhere the platform's C convention applies.
#if defined(_WIN32)
#define ADAPTER_CALL __stdcall
#else
#define ADAPTER_CALL
#endif

#if defined(_WIN32) && defined(ADAPTER_LIBRARY_BUILD)
#define ADAPTER_EXPORT __declspec(dllexport)
#elif defined(ADAPTER_LIBRARY_BUILD)
#define ADAPTER_EXPORT __attribute__((visibility("default")))
#else
#define ADAPTER_EXPORT
#endif

extern "C" {

// Every field is a 32-bit value; the records have no padding.
struct StartCondition {
    uint32_t clockLevel;
    uint32_t dataOutLevel;
    uint32_t chipSelectLevel;
    uint32_t chipSelectLine;
};

struct WriteWaitSettings {
    uint32_t waitFlag;
    uint32_t pinNumber;
    uint32_t completionLevel;
    uint32_t timeoutMs;
};

struct PinStatePair {
    uint32_t state;
    uint32_t activeState;
};

struct UpperPinStates {
    PinStatePair pins[8];
};

struct ChipSelectDisableStates {
    uint32_t lines[5];
};

struct PinSettingPair {
    uint32_t direction;
    uint32_t level;
};

struct PinSettings {
    PinSettingPair pins[4];
};

typedef uint32_t AdapterStatus;
const AdapterStatus ADAPTER_OK = 0;
// The device stopped answering: unplugged, or its USB link failed. Every
// adapter library reports it with this status, and fails every later call
// on the handle with it until the close.
const AdapterStatus ADAPTER_STATUS_DEVICE_GONE = 4;

const uint32_t DEVICE_NAME_SIZE = 100;
const uint32_t DEVICE_CHANNEL_SIZE = 5;
const uint32_t QUERY_AREA_SIZE = 32;

// Ordinal 20
ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libCountDevices(uint32_t* count);
// Ordinal 21
ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libDescribeDevice(uint32_t index, char* name, uint32_t nameSize,
                                                            uint32_t* locationId, char* channel,
                                                            uint32_t channelSize, uint32_t* deviceType);
// Ordinal 22
ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libOpenDevice(const char* name, uint32_t locationId,
                                                        const char* channel, uint32_t* handle);
// Ordinal 6: a set-up value of the open device, which the program sets to 8
// once after opening. The virtual adapter takes one round trip and names any
// other value as a violation; the MPSSE library makes it the chip's latency
// timer in milliseconds (0 keeps it, above 255 is refused).
ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libSetup6(uint32_t handle, uint32_t value);
// Ordinal 8
ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libSetClockDivisor(uint32_t handle, uint32_t divisor,
                                                             uint32_t* frequency);
// Ordinal 14: a set-up step of the open device, without arguments. The
// virtual adapter takes one round trip; the MPSSE library only checks the
// handle, the open having set the channel up.
ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libSetup14(uint32_t handle);
// Ordinal 10
ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libSetLineLevels(uint32_t handle,
                                                           ChipSelectDisableStates* disableStates,
                                                           PinSettings* pinSettings);
// Ordinal 31
ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libQuery(uint32_t handle, uint8_t* area);
// Ordinal 33
ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libRead(uint32_t handle, StartCondition* start,
                                                  uint32_t controlBitOrder, uint32_t controlClockEdge,
                                                  uint32_t controlBitCount, uint8_t* controlBytes,
                                                  uint32_t controlByteCount, uint32_t dataBitOrder,
                                                  uint32_t dataClockEdge, uint32_t dataBitCount,
                                                  uint8_t* destination, uint32_t* bytesReturned,
                                                  UpperPinStates* pinStates);
// Ordinal 32
ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libWrite(
    uint32_t handle, StartCondition* start, uint32_t bitOrder, uint32_t clockEdge, uint32_t controlBitCount,
    uint8_t* controlBytes, uint32_t controlByteCount, uint32_t dataFlag, uint32_t dataBitCount,
    uint8_t* dataBytes, uint32_t dataByteCount, WriteWaitSettings* waitSettings, UpperPinStates* pinStates);
// Ordinal 34
ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libQueueWrite(uint32_t handle, StartCondition* start,
                                                        uint32_t bitOrder, uint32_t clockEdge,
                                                        uint32_t controlBitCount, uint8_t* controlBytes,
                                                        uint32_t controlByteCount, uint32_t dataFlag,
                                                        uint32_t dataBitCount, uint8_t* dataBytes,
                                                        uint32_t dataByteCount, UpperPinStates* pinStates);
// Ordinal 17
ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libExecuteQueue(uint32_t handle, uint8_t* resultArea,
                                                          uint32_t* bytesReturned);
// Ordinal 5
ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libClose(uint32_t handle);
}

static_assert(sizeof(StartCondition) == 4 * 4, "StartCondition layout");
static_assert(sizeof(WriteWaitSettings) == 4 * 4, "WriteWaitSettings layout");
static_assert(sizeof(UpperPinStates) == 16 * 4, "UpperPinStates layout");
static_assert(sizeof(ChipSelectDisableStates) == 5 * 4, "ChipSelectDisableStates layout");
static_assert(sizeof(PinSettings) == 8 * 4, "PinSettings layout");

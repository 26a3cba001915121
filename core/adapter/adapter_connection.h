// The connection to the USB-to-SPI adapter: listing the adapters, finding,
// opening, configuring and closing one, and the transfer records every SPI
// transaction passes. Nothing here prints or ends the process: each front end
// says in its own words what a result means.
#pragma once

#include <stdint.h>

#include "adapter_interface/adapter_library.h"

const char* const ADAPTER_NAME_PREFIX = "Vexil";
const uint32_t ADAPTER_NAME_PREFIX_LENGTH = 5;
const char* const ADAPTER_CHANNEL = "A";
const uint32_t OPEN_CLOCK_DIVISOR = 8;
const uint32_t SETUP6_VALUE = 8;
const uint32_t WRITE_WAIT_TIMEOUT_MS = 5000;

struct AdapterConnection {
    uint32_t handle;
    uint32_t clockDivisor; // the divisor last set: the SPI clock is 30 MHz / (divisor + 1)
    StartCondition writeStart;
    StartCondition readStart;
    WriteWaitSettings waitSettings;
    UpperPinStates pinStates;
    bool deviceGone; // a call since the open reported ADAPTER_STATUS_DEVICE_GONE
};

// One device as the adapter library describes it; the strings always end
// within their buffers.
struct AdapterDevice {
    char name[DEVICE_NAME_SIZE];
    char channel[DEVICE_CHANNEL_SIZE];
    uint32_t locationId;
    uint32_t deviceType;
};

enum AdapterOpening {
    ADAPTER_OPENED,
    ADAPTER_NOT_FOUND,  // no device, or none that matches
    ADAPTER_NOT_LISTED, // the library could not count or describe its devices
    ADAPTER_NOT_OPENED, // the library refused to open it (in use, unplugged)
    ADAPTER_NOT_SET_UP, // opened, but its line levels or query were refused; it is closed again
};

// Process-wide, zero at start.
extern AdapterConnection connection;

// How many devices the library reports; false when it cannot tell.
bool countAdapters(uint32_t* count);

// Describes the device at index; false when the library fails to.
bool describeAdapter(uint32_t index, AdapterDevice* device);

// The program's own cable: a name that begins with "Vexil", on channel "A".
bool isDefaultAdapter(const AdapterDevice* device);

// The first device, by index, that isDefaultAdapter takes. The search stops
// at the first description that fails.
AdapterOpening findDefaultAdapter(AdapterDevice* device);

// The listed device at locationId, whatever its name and channel.
AdapterOpening findAdapterAt(uint32_t locationId, AdapterDevice* device);

// Opens the device and configures it at the default clock divisor.
AdapterOpening openAdapterDevice(const AdapterDevice* device);

// Sets the SPI clock divisor and returns the frequency the library reports,
// in Hz (0 when it reports none).
uint32_t applyClockDivisor(uint32_t divisor);

void closeAdapter();

// Notes whether a library call reported the device gone, and returns its
// status. The statuses are otherwise not acted on: the target's answers
// tell whether a step went through.
AdapterStatus noteAdapterStatus(AdapterStatus status);

// Whether a library call since the open reported the device gone
// (unplugged, or its USB link failed), as opposed to a target that is busy
// or answers wrongly.
bool adapterGone();

// Control interface of the virtual adapter for in-process tests and the
// benchmark: configure the emulated devices and target, read back the trace,
// the flash contents and the modeled bus time. Programs that only use the
// adapter library's operations configure it through VADAPTER_* variables.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "adapter_interface/adapter_library.h"
#include "emulated_target/target.h"
#include "emulated_target/vcd.h"

#if defined(_WIN32) && defined(ADAPTER_LIBRARY_BUILD)
#define VA_CONTROL_EXPORT __declspec(dllexport)
#elif defined(ADAPTER_LIBRARY_BUILD)
#define VA_CONTROL_EXPORT __attribute__((visibility("default")))
#else
#define VA_CONTROL_EXPORT
#endif

const uint32_t VA_FLASH_SIZE = TARGET_FLASH_BYTES;
const uint32_t VA_SECTOR_SIZE = TARGET_SECTOR_BYTES;
const uint32_t VA_NO_INDEX = 0xFFFFFFFFu;
const uint32_t VA_ALWAYS = 0xFFFFFFFFu;
const uint32_t VA_UNERASED_OFFSET = TARGET_UNERASED_OFFSET;

// Statuses of the library's own failures (configured failures return the
// configured status).
const uint32_t VA_STATUS_INVALID_HANDLE = 1;                       // not the open handle, or not open
const uint32_t VA_STATUS_DEVICE_NOT_FOUND = 2;                     // describe index out of range
const uint32_t VA_STATUS_INVALID_PARAMETER = 3;                    // a null pointer
const uint32_t VA_STATUS_DEVICE_GONE = ADAPTER_STATUS_DEVICE_GONE; // vanished, or its cable unplugged
const uint32_t VA_STATUS_DEVICE_BUSY = 5; // open: the flash file is held by another program
const uint32_t VA_STATUS_FLASH_FILE = 6;  // open: the flash file has the wrong size or cannot be opened

struct VirtualDevice {
    std::string name;
    std::string channel;
    uint32_t locationId;
};

enum VirtualFrequencyMode { VA_FREQUENCY_COMPUTED, VA_FREQUENCY_FIXED, VA_FREQUENCY_UNTOUCHED };

// A waveform drawn wrong on purpose, to show that its decoding notices.
enum VirtualVcdFault { VA_VCD_FAULT_NONE, VA_VCD_FAULT_LATE_PHASE, VA_VCD_FAULT_LSB_FIRST };

struct VirtualAdapterConfig {
    // Devices reported by libCountDevices / libDescribeDevice.
    std::vector<VirtualDevice> devices{{"Vexil USB-SPI Cable", "A", 0x1101}};
    uint32_t countStatus = 0;                 // non-zero: libCountDevices fails with it
    uint32_t describeFailIndex = VA_NO_INDEX; // libDescribeDevice fails at this index
    uint32_t describeStatus = 1;              // ... with this status
    uint32_t openStatus = 0;
    uint32_t lineLevelsStatus = 0;
    uint32_t queryStatus = 0;
    VirtualFrequencyMode frequencyMode = VA_FREQUENCY_COMPUTED; // 30 MHz / (divisor + 1)
    uint32_t fixedFrequencyHz = 0;

    // The target (its defaults, and its faults: an unerased sector, a stuck
    // bit, never ready after a command). Its busyTime follows realTime.
    TargetConfig target;
    bool realTime = false;         // sleep for the modeled bus and busy time
    uint32_t callLatencyUs = 1000; // per bus round trip (read, write, execute, setup calls)

    // Faults of the adapter.
    uint32_t shortReadBytes = 0;   // non-zero: an addressed read delivers at most this many bytes
    bool shortReadAlways = false;  // false: only the first addressed read is short
    uint32_t emptyReads = 0;       // addressed reads that deliver nothing (VA_ALWAYS: all)
    bool emptyReadsRepeat = false; // after each read that delivers, emptyReads more deliver nothing
    uint32_t vanishAfterCalls = 0; // non-zero: every call after this many fails, delivers nothing
    // The adapter's faults (open, line levels, query, frequency and reads)
    // and the target's (identity, status bytes, unerased sector, stuck bit,
    // stuck target) apply only to a device opened at this location.
    bool faultLocationSet = false;
    uint32_t faultLocation = 0;

    // Presence, each a path that may contain {location} (empty: always
    // there). The board behind the open device is there only while the
    // presentPath file exists; a cable is plugged in only while its
    // pluggedPath file does: unplugged, it is not listed, its open fails with
    // VA_STATUS_DEVICE_NOT_FOUND, and the handle it had open fails every
    // call with VA_STATUS_DEVICE_GONE for good.
    std::string presentPath;
    std::string pluggedPath;

    // Output.
    std::string flashPath;  // the flash while open, written through and held (created erased if missing)
    std::string tracePath;  // one line per call and per violation
    bool keepTrace = false; // keep the trace lines in memory for vaTraceLines
    std::string vcdPath;    // the SPI lines as a Value Change Dump (none)
    uint32_t vcdLimitBytes = static_cast<uint32_t>(VCD_DEFAULT_LIMIT_BYTES);
    VirtualVcdFault vcdFault = VA_VCD_FAULT_NONE;
};

struct VirtualAdapterStats {
    uint64_t busTimeNs;      // modeled time on the bus
    uint64_t bitsClocked;    // SPI bits clocked, control and data
    uint64_t roundTrips;     // calls that cost a bus round trip
    uint64_t callCounts[13]; // by operation, in the order of VA_CALL_NAMES
    uint64_t violations;
};

extern "C++" {
// Read the VADAPTER_* variables into a configuration (defaults where unset).
VA_CONTROL_EXPORT VirtualAdapterConfig vaConfigFromEnvironment();
// Replace the configuration and reset the devices, the target, the trace and
// the statistics; the flash starts erased (or from flashPath at open).
VA_CONTROL_EXPORT void vaConfigure(const VirtualAdapterConfig& config);
VA_CONTROL_EXPORT const std::vector<std::string>& vaTraceLines();
VA_CONTROL_EXPORT const uint8_t* vaFlash();
VA_CONTROL_EXPORT uint8_t* vaMutableFlash();
VA_CONTROL_EXPORT VirtualAdapterStats vaStats();
VA_CONTROL_EXPORT bool vaIsOpen();
VA_CONTROL_EXPORT const char* vaCallName(uint32_t index);
}

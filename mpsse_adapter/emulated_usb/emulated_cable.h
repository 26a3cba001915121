// The emulated cable behind the libusb stand-in: its devices, faults, trace,
// counters and the emulated target on the MPSSE channel. Configured by
// VUSB_* variables (USB) and the virtual adapter's VADAPTER_* variables for
// the flash file, the trace and the target, read at the first libusb call.
#pragma once

#include <stdint.h>

#include <string>

const uint32_t CABLE_MAX_DEVICES = 8;
const uint32_t CABLE_MAX_PORT_DEPTH = 7;
const uint32_t CABLE_NO_LIMIT = 0xFFFFFFFFu;

struct CableDevice {
    uint16_t productId;
    std::string product; // the USB product string
    uint8_t bus;
    uint8_t ports[CABLE_MAX_PORT_DEPTH];
    uint32_t portDepth;
};

struct CableConfig {
    CableDevice devices[CABLE_MAX_DEVICES];
    uint32_t deviceCount;
    uint32_t unplugAfter;      // transfers (control and bulk) before the cable is gone
    uint32_t bulkTimeoutFrom;  // from this bulk transfer on (1 = first), each times out
    uint32_t silentAfterBytes; // after this many answer bytes the chip sends no more
    uint32_t shortInBytes;     // a bulk IN returns at most this many data bytes
    uint32_t staleBytes;       // bytes the chip still sends after MPSSE mode comes on, once
    uint32_t outPieceBytes;    // each bulk OUT reaches the chip cut into pieces of this size
    std::string tracePath;
    std::string framesPath;
    std::string flashPath;
    // VADAPTER_PRESENT and VADAPTER_PLUGGED, with {location} (empty: always there).
    std::string presentPath;
    std::string pluggedPath;
};

struct CableCounters {
    uint64_t controlTransfers;
    uint64_t bulkOutTransfers;
    uint64_t bulkOutBytes;
    uint64_t bulkInTransfers;
    uint64_t bulkInBytes; // data bytes, without the status bytes
    uint64_t inWaits;     // bulk IN transfers right after a bulk OUT: the host waits for an answer
    uint64_t violations;
    uint64_t modelNs; // the job's time under the USB model below
};

// The USB model of the job time: high-speed bulk moves 35 MB/s; each USB
// write costs one 125 us microframe to start, and its bytes stream into the
// chip while it clocks, so a write takes the longer of its transfer and its
// clocking; each wait for IN data costs two microframes (the answer goes out
// at the next IN poll); IN bytes cost their transfer time on top.
const uint64_t MODEL_BULK_BYTES_PER_S = 35000000;
const uint64_t MODEL_WRITE_START_NS = 125000;
const uint64_t MODEL_WAIT_NS = 250000;

// Reads the configuration once; later calls return the same.
const CableConfig& cableConfig();
CableCounters& cableCounters();
void cableTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Counts a transfer; false when the cable is unplugged (before or now).
bool cableTransferAllowed();
// Whether the device is plugged in: not unplugged by the fault, and its
// VADAPTER_PLUGGED file there.
bool cableDevicePlugged(uint32_t device);
// At a claim: the board behind the device is there only while its
// VADAPTER_PRESENT file exists.
void cableWatchPresence(uint32_t device);
// Before the host's bytes reach the target: whether the board is there now.
void cableFollowPresence();
// At the first claim of the device (an index into the configured devices):
// names the files after its location ({location}), limits the faults to the
// fault location, and makes the flash file the target's flash; false, after a
// line on standard error, when the file cannot serve.
bool cableAttachFlash(uint32_t device);
// The location id of the device as the MPSSE library reports it.
uint32_t cableLocation(uint32_t device);
void cableCloseTrace(uint32_t device);
// VUSB_WRITES: each bulk OUT's bytes as one line of hexadecimal bytes, so
// that a test can read the command stream the library sent.
void cableLogWrite(const uint8_t* bytes, uint32_t count);

// The wire between the MPSSE engine and the target, logged as frames.
void cableSelect();
uint8_t cableExchange(uint8_t mosi);
void cableDeselect();

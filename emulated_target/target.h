// The emulated flash target, as the SPI wire sees it: chip select goes
// active, bytes are clocked (each byte the host sends is answered by the byte
// the target drives at the same time), chip select goes inactive. The target
// splits command, address and data by the command byte itself; a command
// takes effect as its bytes arrive or, where it must (erase, the brackets, a
// programming byte without an address), when chip select goes inactive.
//
// 128 KiB of flash in 8 sectors, erased to 0xff; programming only clears
// bits. Frames (bytes after the command byte):
//   05 status, 90 identity   one byte answered
//   28 / 24                  erase bracket open / close, nothing more
//   20                       three address bytes: erases that sector
//   16 / 14                  read bracket open / close, nothing more
//   03                       three address bytes, then flash bytes answered
//   36 / 34                  programming bracket open / close (busy after 34)
//   af                       three address bytes and a data byte, or within a
//                            programming run the data byte alone at the next
//                            address (auto-increment)
//
// One target per process, driven from one thread. A front that links this
// library defines the two functions under "Supplied by the front".
#pragma once

#include <stdint.h>

const uint32_t TARGET_FLASH_BYTES = 131072;
const uint32_t TARGET_SECTOR_BYTES = 16384;
const uint32_t TARGET_SECTOR_COUNT = 8;
const uint32_t TARGET_NONE = 0xFFFFFFFFu; // no sector or address
// The byte of an unerased sector (TargetConfig::unerasedSector) that keeps 0x00.
const uint32_t TARGET_UNERASED_OFFSET = 100;
// What the host reads while the target drives nothing (the line is pulled up).
const uint8_t TARGET_UNDRIVEN = 0xFF;

struct TargetConfig {
    uint8_t identityByte = 0xAC;
    uint8_t readyByte = 0x01;      // status byte when ready (ready in bit 0)
    uint8_t busyByte = 0x00;       // ... when busy
    uint32_t eraseBusyReads = 3;   // status reads that report busy after an erase
    uint32_t programBusyReads = 2; // ... after the programming bracket closes
    bool busyTime = false;         // also busy for the times below, on targetClockNs
    uint32_t eraseBusyUs = 20000;
    uint32_t programBusyUs = 2000;

    // Faults.
    uint32_t unerasedSector = TARGET_NONE;  // byte TARGET_UNERASED_OFFSET keeps 0x00 after an erase
    uint32_t stuckBitAddress = TARGET_NONE; // the bits of stuckBitMask there always read stuckBitValue
    uint8_t stuckBitMask = 0x01;
    uint8_t stuckBitValue = 0;
    uint8_t stuckAfterCommand = 0;     // with stuckAfterOccurrence: reports busy for ever after
    uint32_t stuckAfterOccurrence = 0; // the n-th frame of this command (0: off)
};

// What the target names. A front that checks frame shapes itself (knowing
// which bytes its caller meant as control and which as data) may drop the
// TARGET_FRAME_LENGTH ones it has named already.
enum TargetViolationKind {
    TARGET_NOT_SELECTED,    // a byte clocked, or chip select raised, outside a frame
    TARGET_UNKNOWN_COMMAND, // "unknown command 42"
    TARGET_BUSY,            // "command 20 while busy": the frame is ignored
    TARGET_BRACKET,         // "command 20 outside its bracket", "command 16 while bracket 28 is open"
    TARGET_FRAME_LENGTH,    // "no command byte", "command 20 with 1 control bytes",
                            // "command 28 with 1 data bytes", "command 05 reading 2 bytes"
    TARGET_ADDRESS,         // "erase address 020000 outside flash", "command af without an address", ...
};

// The expected frame of a command, for fronts that check shapes themselves.
struct TargetCommandShape {
    bool known;
    bool answers;         // the bytes after the header are the target's (status, identity, read)
    uint32_t headerBytes; // the command byte and its address bytes
    bool bareHeader;      // af: also sent as the command byte alone within a programming run
    uint32_t dataBytes;   // bytes after the header, sent or answered (answers: 0 means any number)
};

// ---- Supplied by the front
// Called at each violation, with its text (no line end).
void targetViolation(TargetViolationKind kind, const char* text);
// The front's clock in nanoseconds; read only when TargetConfig::busyTime is set.
int64_t targetClockNs();

// ---- Set-up
// Takes a configuration and starts afresh: flash erased (in the target's own
// memory), no bracket, not busy, not stuck, no frame.
void targetConfigure(const TargetConfig& config);
// The host starts over (a new connection): no bracket open, no programming
// address, no frame. Busy time, the stuck fault and the flash stay.
void targetReset();
// The 131072 bytes of flash, to load, save or inspect.
uint8_t* targetFlash();
// From now on the flash is the 131072 bytes at storage (a mapped file, say),
// taken as they are; nullptr: back to the target's own memory, which takes a
// copy of the flash as it is.
void targetAttachFlash(uint8_t* storage);
TargetCommandShape targetCommandShape(uint8_t command);

// ---- Presence
// Whether the board is on the cable, powered. One that is not there takes
// nothing and drives nothing: every byte clocked reads TARGET_UNDRIVEN, no
// command has any effect. Back again, it starts as at power-up: no frame, no
// bracket, no programming address, neither busy nor stuck; the flash stays.
// There from targetConfigure on.
void targetSetPresent(bool present);
bool targetPresent();

// ---- The wire
// Chip select goes active: a frame begins.
void targetSelect();
// One byte clocked: the byte the host sends; returns the byte the target
// drives back at the same time (TARGET_UNDRIVEN when it drives nothing).
uint8_t targetExchange(uint8_t mosi);
// Chip select goes inactive: the frame ends.
void targetDeselect();

// ---- The same, many bytes at a time
// Clocks count bytes in which the host sends nothing; stores the bytes the
// target drives, in order, from miso on (nullptr: drops them) and returns how
// many it drove. The other bytes of miso are left as they were.
uint32_t targetReadBytes(uint8_t* miso, uint32_t count);
// As count frames "af data[i]" within a programming run, while nothing in them
// would be named and the target is not busy; returns how many it took (0 when
// the target is not in such a run, or is counting af for its stuck fault).
uint32_t targetProgramRun(const uint8_t* data, uint32_t count);

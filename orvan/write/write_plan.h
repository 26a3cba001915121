// Which bytes a write sends: the programming runs over a sector's bytes,
// closed and reopened across a run of 0xff when that costs less bus time
// than clocking the 0xff bytes through. Pure functions of the bytes and the
// clock; nothing here touches the cable.
#pragma once

#include <stdint.h>

#include <vector>

// What the bus costs, as the adapter libraries are modeled: a transaction's
// round trip over USB, and the bits of each transaction at the adapter's
// clock over (divisor + 1).
const uint64_t ROUND_TRIP_NS = 1000000;
// A queued programming command: the command byte and the data byte.
const uint64_t QUEUED_BYTE_BITS = 16;
// Closing a run and opening the next: the queue sent, a status read, the
// close, the status reads while the target finishes (typically three), the
// open and the addressed first byte.
const uint64_t REOPEN_ROUND_TRIPS = 8;
const uint64_t REOPEN_BITS = 16 + 8 + 3 * 16 + 8 + 40;

struct ProgramRun {
    uint32_t address;
    uint32_t length;
};

// The longest run of 0xff bytes that is cheaper to send than to close and
// reopen the programming run around, at the divisor.
uint32_t reopenBreakEvenBytes(uint32_t divisor);

// The runs that program every byte other than 0xff of the sectors in
// sectorMask, from bytes indexed by flash address (the whole flash). A run
// of 0xff of at most the break-even length at the divisor inside a run is
// sent with it; a run never reaches into a sector outside the mask.
std::vector<ProgramRun> planProgramRuns(const uint8_t* bytes, uint8_t sectorMask, uint32_t divisor);

// Every byte of [address, address + length) sent, 0xff included, as one run
// per run of consecutive sectors in sectorMask: the sectors between two
// that an image touches are not erased, so nothing is sent there.
std::vector<ProgramRun> planWholeRuns(uint32_t address, uint32_t length, uint8_t sectorMask);

// The bytes the runs send.
uint32_t plannedBytes(const std::vector<ProgramRun>& runs);

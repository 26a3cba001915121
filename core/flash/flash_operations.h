// Operations on the target's flash contents: sector erase, 16 KB block read
// and image programming with the auto-increment programming command.
#pragma once

#include <stdint.h>

#include "adapter_interface/adapter_clock.h"
#include "core/flash/flash_protocol.h"

// Queued programming commands sent per queue execution.
const uint32_t PROGRAM_BATCH = 10240;
// Consecutive read passes that deliver nothing before a block read gives up.
const uint32_t EMPTY_READ_PASS_LIMIT = 4;
// A block read that trickles in gives up too, once it has not gathered its
// bytes within blockReadTimeoutMs: this margin plus BLOCK_READ_CLOCK_ALLOWANCE
// times the block's own transfer time at the SPI clock set, so that no clock
// divisor, however large, makes a sound read fail.
const uint32_t BLOCK_READ_TIMEOUT_MARGIN_MS = 2000;
const uint32_t BLOCK_READ_CLOCK_ALLOWANCE = 4;
// The SPI clock is SPI_BASE_CLOCK_HZ / (divisor + 1).
const uint32_t SPI_BASE_CLOCK_HZ = ADAPTER_BASE_CLOCK_HZ;

// Process-wide, zero at start, never freed.
extern uint8_t imageBuffer[IMAGE_CAPACITY];
extern uint8_t readBackBuffer[IMAGE_CAPACITY];

// The most one read group asks for: the size of the library's transfer
// buffers, so every adapter library takes it in one call.
const uint32_t READ_GROUP_MAX_BYTES = 65536;
static_assert(READ_GROUP_MAX_BYTES <= READ_BUFFER_SIZE, "a read group fits the read buffer");
static_assert(PROGRAM_BATCH <= WRITE_DATA_BUFFER_SIZE, "a batch's data bytes fit the write buffer");
static_assert(FLASH_BYTES % READ_GROUP_MAX_BYTES == 0, "read groups tile the flash");

// The steps every front end builds its erase and programming from; each
// shows its own progress between them. Each returns false when a readiness
// poll gives up, having sent nothing further.

// Opens the erase bracket and sends the erase command for the sector at address.
bool eraseSectorBegin(uint32_t address);
// Closes the erase bracket once the target is ready.
bool eraseSectorEnd();

// Opens a programming run: its first byte carries the address; each byte
// queued after it programs the next address.
bool programOpen(uint32_t address, uint8_t firstByte);
void programQueue(const uint8_t* bytes, uint32_t count);
// Sends the queued commands; an interruption drops them instead.
bool programFlush();
// Closes the programming run once the target is ready.
bool programClose();

// Told as a long operation goes: done of total (sectors erased, bytes
// programmed); last on the operation's final report. The front ends show
// their own progress from it; nothing here prints.
struct FlashProgress {
    void (*report)(void* context, uint32_t done, uint32_t total, bool last);
    void* context;
};

// Erases count sectors from startSector: for each, the erase command is
// sent, progress told, and the bracket closed once the target is ready.
// On failure, failedSector (when given) names the sector whose erase failed.
bool eraseSectorRange(uint32_t startSector, uint32_t count, const FlashProgress& progress,
                      uint32_t* failedSector = nullptr);

// Programs length bytes from address: the first with the address, the rest
// queued and sent after each full batch of batchBytes (progress told), then
// what remains, told as the last report, and the run closed. Length 0 sends
// nothing and is told as done. An interruption drops the commands queued.
bool programBytes(uint32_t address, const uint8_t* bytes, uint32_t length, uint32_t batchBytes,
                  const FlashProgress& progress);

// Reads SECTOR_SIZE bytes from address into destination.
bool readBlock(uint32_t address, uint8_t* destination);

// Reads length bytes (at most READ_GROUP_MAX_BYTES) from address into
// destination, in as few read groups as the adapter delivers.
bool readRange(uint32_t address, uint32_t length, uint8_t* destination);

// The time limit of one block read at the given clock divisor.
uint64_t blockReadTimeoutMs(uint32_t clockDivisor);

// The time limit of a read of length bytes at the given clock divisor.
uint64_t readTimeoutMs(uint32_t clockDivisor, uint32_t length);

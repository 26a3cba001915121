// The target's command set, flash geometry, transfer buffers and transaction
// shapes, with the readiness poll and the identity check built on them.
#pragma once

#include <stdint.h>

#include "adapter_interface/adapter_library.h"
#include "core/flash/flash_geometry.h"

const uint32_t IMAGE_CAPACITY = FLASH_BYTES;
const uint8_t IDENTITY_BYTE = 0xAC;

const uint32_t COMMAND_BUFFER_SIZE = 256;
const uint32_t READ_BUFFER_SIZE = 65536;
const uint32_t WRITE_DATA_BUFFER_SIZE = 65536;

// A target that stays busy this long is taken as gone; measured on the
// monotonic clock, since a 1 ms sleep can last far longer on some systems.
const uint32_t READY_TIMEOUT_MS = 5000;
const uint32_t READY_POLL_INTERVAL_MS = 1;
const uint8_t STATUS_READY_BIT = 0x01;

const uint8_t CMD_READ_STATUS = 0x05;
const uint8_t CMD_READ_IDENTITY = 0x90;
const uint8_t CMD_ERASE_OPEN = 0x28;
const uint8_t CMD_ERASE_SECTOR = 0x20;
const uint8_t CMD_ERASE_CLOSE = 0x24;
const uint8_t CMD_READ_OPEN = 0x16;
const uint8_t CMD_READ_DATA = 0x03;
const uint8_t CMD_READ_CLOSE = 0x14;
const uint8_t CMD_PROGRAM_OPEN = 0x36;
const uint8_t CMD_PROGRAM_BYTE = 0xAF;
const uint8_t CMD_PROGRAM_CLOSE = 0x34;

// Process-wide transfer buffers, zero at start, never freed.
extern uint8_t commandBuffer[COMMAND_BUFFER_SIZE];
extern uint8_t readBuffer[READ_BUFFER_SIZE];
extern uint8_t writeDataBuffer[WRITE_DATA_BUFFER_SIZE];
extern uint32_t bytesReturned;

// Transaction shapes: each is one library call with the connection's records.
void sendBareCommand(uint8_t command);
void sendAddressedCommand(uint8_t command, uint32_t address);
void sendAddressedDataCommand(uint8_t command, uint32_t address, uint8_t data);
// Queues one command per data byte, each carrying that byte.
void queueDataCommands(uint8_t command, const uint8_t* bytes, uint32_t count);
void readStatusByte(uint8_t command);
void readAddressed(uint8_t command, uint32_t address, uint32_t byteCount, uint8_t* destination);
void executeQueue();

enum TransactionKind {
    TRANSACTION_WRITE,   // a command, its address if any, and data bytes written
    TRANSACTION_READ,    // a command, its address if any, and data bytes read
    TRANSACTION_EXECUTE, // the queued commands sent
};

// One target transaction as its library call left it.
struct TargetTransaction {
    TransactionKind kind;
    uint8_t command; // none for TRANSACTION_EXECUTE
    bool addressed;
    uint32_t address;
    uint32_t byteCount;     // data bytes written or asked for, or commands queued
    const uint8_t* data;    // the bytes written, or those read
    uint32_t bytesReturned; // read: how many arrived
    AdapterStatus status;
};

// Told of every transaction once its library call returns, so that a front
// end can show them; null, as it starts, for a run that shows none.
extern void (*transactionHook)(const TargetTransaction& transaction);

// True once the target reports ready; false when it has not for
// READY_TIMEOUT_MS, at once when the adapter library reports the device
// gone (adapterGone), or when an interruption has come: the caller then
// stops at once, and the run ends between two library calls.
bool waitReady();

// The byte the target answers the identity command with.
uint8_t readIdentity();

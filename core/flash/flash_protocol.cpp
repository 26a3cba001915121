#include "core/flash/flash_protocol.h"

#include "core/adapter/adapter_connection.h"
#include "core/platform/platform.h"

uint8_t commandBuffer[COMMAND_BUFFER_SIZE];
uint8_t readBuffer[READ_BUFFER_SIZE];
uint8_t writeDataBuffer[WRITE_DATA_BUFFER_SIZE];
uint32_t bytesReturned;

static const uint32_t MSB_FIRST = 1;
static const uint32_t CLOCK_EDGE = 0;
static const uint32_t BARE_CONTROL_BYTES = 1;
static const uint32_t ADDRESSED_CONTROL_BYTES = 4;

// An address goes on the wire as its low 24 bits, most significant first.
static void putCommand(uint8_t command, uint32_t address, uint32_t controlBytes) {
    commandBuffer[0] = command;
    if (controlBytes == ADDRESSED_CONTROL_BYTES) {
        commandBuffer[1] = static_cast<uint8_t>(address >> 16);
        commandBuffer[2] = static_cast<uint8_t>(address >> 8);
        commandBuffer[3] = static_cast<uint8_t>(address);
    }
}

void (*transactionHook)(const TargetTransaction& transaction);

// Commands queued since the queue was last executed.
static uint32_t queuedCommands;

// Notes whether the device is gone and tells the hook, when one is set.
static void finishTransaction(TransactionKind kind, uint32_t controlBytes, uint32_t byteCount,
                              const uint8_t* data, AdapterStatus status) {
    noteAdapterStatus(status);
    if (transactionHook == nullptr) {
        return;
    }
    bool addressed = controlBytes == ADDRESSED_CONTROL_BYTES;
    uint32_t address = addressed ? static_cast<uint32_t>(commandBuffer[1]) << 16 |
                                       static_cast<uint32_t>(commandBuffer[2]) << 8 | commandBuffer[3]
                                 : 0;
    transactionHook(TargetTransaction{kind, commandBuffer[0], addressed, address, byteCount, data,
                                      bytesReturned, status});
}

static void write(uint32_t controlBytes, uint32_t dataBytes) {
    AdapterStatus status = libWrite(connection.handle, &connection.writeStart, MSB_FIRST, CLOCK_EDGE,
                                    controlBytes * BITS_PER_BYTE, commandBuffer, controlBytes,
                                    dataBytes > 0 ? 1 : 0, dataBytes * BITS_PER_BYTE, writeDataBuffer,
                                    dataBytes, &connection.waitSettings, &connection.pinStates);
    finishTransaction(TRANSACTION_WRITE, controlBytes, dataBytes, writeDataBuffer, status);
}

void sendBareCommand(uint8_t command) {
    putCommand(command, 0, BARE_CONTROL_BYTES);
    write(BARE_CONTROL_BYTES, 0);
}

void sendAddressedCommand(uint8_t command, uint32_t address) {
    putCommand(command, address, ADDRESSED_CONTROL_BYTES);
    write(ADDRESSED_CONTROL_BYTES, 0);
}

void sendAddressedDataCommand(uint8_t command, uint32_t address, uint8_t data) {
    putCommand(command, address, ADDRESSED_CONTROL_BYTES);
    writeDataBuffer[0] = data;
    write(ADDRESSED_CONTROL_BYTES, 1);
}

void queueDataCommands(uint8_t command, const uint8_t* bytes, uint32_t count) {
    commandBuffer[0] = command;
    queuedCommands += count;
    for (uint32_t i = 0; i < count; i++) {
        writeDataBuffer[0] = bytes[i];
        libQueueWrite(connection.handle, &connection.writeStart, MSB_FIRST, CLOCK_EDGE, BITS_PER_BYTE,
                      commandBuffer, BARE_CONTROL_BYTES, 1, BITS_PER_BYTE, writeDataBuffer, 1,
                      &connection.pinStates);
    }
}

// A read that fails leaves the counter alone; cleared first, it cannot pass
// the previous transfer's count off as this one's.
static void read(uint32_t controlBytes, uint32_t dataBytes, uint8_t* destination) {
    bytesReturned = 0;
    AdapterStatus status =
        libRead(connection.handle, &connection.readStart, MSB_FIRST, CLOCK_EDGE, controlBytes * BITS_PER_BYTE,
                commandBuffer, controlBytes, MSB_FIRST, CLOCK_EDGE, dataBytes * BITS_PER_BYTE, destination,
                &bytesReturned, &connection.pinStates);
    finishTransaction(TRANSACTION_READ, controlBytes, dataBytes, destination, status);
}

void readStatusByte(uint8_t command) {
    putCommand(command, 0, BARE_CONTROL_BYTES);
    read(BARE_CONTROL_BYTES, 1, readBuffer);
}

void readAddressed(uint8_t command, uint32_t address, uint32_t byteCount, uint8_t* destination) {
    putCommand(command, address, ADDRESSED_CONTROL_BYTES);
    read(ADDRESSED_CONTROL_BYTES, byteCount, destination);
}

void executeQueue() {
    uint32_t commands = queuedCommands;
    queuedCommands = 0;
    AdapterStatus status = libExecuteQueue(connection.handle, readBuffer, &bytesReturned);
    finishTransaction(TRANSACTION_EXECUTE, 0, commands, readBuffer, status);
}

// A status read that delivered no byte leaves an old byte in the read buffer,
// which must not pass for a ready target.
static bool statusShowsReady() {
    readStatusByte(CMD_READ_STATUS);
    return bytesReturned >= 1 && (readBuffer[0] & STATUS_READY_BIT) != 0;
}

bool waitReady() {
    uint64_t startMs = platformMonotonicMs();
    // Every poll lies between two library calls: where an interruption stops the run.
    while (!platformInterrupted()) {
        if (statusShowsReady()) {
            return true;
        }
        // A device that is gone answers no poll: waiting on it only delays the message.
        if (adapterGone() || platformMonotonicMs() - startMs >= READY_TIMEOUT_MS) {
            return false;
        }
        platformSleepMs(READY_POLL_INTERVAL_MS);
    }
    return false;
}

uint8_t readIdentity() {
    readStatusByte(CMD_READ_IDENTITY);
    return readBuffer[0];
}

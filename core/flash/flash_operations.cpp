#include "core/flash/flash_operations.h"

#include "core/adapter/adapter_connection.h"
#include "core/platform/platform.h"

uint8_t imageBuffer[IMAGE_CAPACITY];
uint8_t readBackBuffer[IMAGE_CAPACITY];

bool eraseSectorBegin(uint32_t address) {
    if (!waitReady()) {
        return false;
    }
    sendBareCommand(CMD_ERASE_OPEN);
    if (!waitReady()) {
        return false;
    }
    sendAddressedCommand(CMD_ERASE_SECTOR, address);
    return true;
}

bool eraseSectorEnd() {
    if (!waitReady()) {
        return false;
    }
    sendBareCommand(CMD_ERASE_CLOSE);
    return true;
}

bool eraseSectorRange(uint32_t startSector, uint32_t count, const FlashProgress& progress,
                      uint32_t* failedSector) {
    uint32_t address = startSector << SECTOR_SHIFT;
    for (uint32_t k = 1; k <= count; k++) {
        bool begun = eraseSectorBegin(address);
        if (begun) {
            progress.report(progress.context, k, count, k == count);
        }
        if (!begun || !eraseSectorEnd()) {
            if (failedSector != nullptr) {
                *failedSector = startSector + k - 1;
            }
            return false;
        }
        address += SECTOR_SIZE;
    }
    return true;
}

uint64_t readTimeoutMs(uint32_t clockDivisor, uint32_t length) {
    // 64 bits: the divisor has no range check, and 2^19 bits times 2^32 periods still fit.
    uint64_t clockPeriods = length * BITS_PER_BYTE * (static_cast<uint64_t>(clockDivisor) + 1);
    uint64_t transferMs = (clockPeriods * MS_PER_SECOND + SPI_BASE_CLOCK_HZ - 1) / SPI_BASE_CLOCK_HZ;
    return BLOCK_READ_TIMEOUT_MARGIN_MS + BLOCK_READ_CLOCK_ALLOWANCE * transferMs;
}

uint64_t blockReadTimeoutMs(uint32_t clockDivisor) {
    return readTimeoutMs(clockDivisor, SECTOR_SIZE);
}

bool readRange(uint32_t address, uint32_t length, uint8_t* destination) {
    // A target still busy before the read is the readiness poll's to bound;
    // the read's own time starts after it.
    if (!waitReady()) {
        return false;
    }
    uint64_t startMs = platformMonotonicMs();
    uint64_t limitMs = readTimeoutMs(connection.clockDivisor, length);
    uint32_t received = 0;
    uint32_t emptyPasses = 0;
    for (;;) {
        sendBareCommand(CMD_READ_OPEN);
        uint32_t wanted = length - received;
        readAddressed(CMD_READ_DATA, address + received, wanted, destination + received);
        uint32_t delivered = bytesReturned < wanted ? bytesReturned : wanted;
        received += delivered;
        emptyPasses = delivered == 0 ? emptyPasses + 1 : 0;
        if (!waitReady()) {
            return false;
        }
        sendBareCommand(CMD_READ_CLOSE);
        if (received == length) {
            return true;
        }
        if (emptyPasses == EMPTY_READ_PASS_LIMIT || platformMonotonicMs() - startMs >= limitMs) {
            return false;
        }
        if (!waitReady()) {
            return false;
        }
    }
}

bool readBlock(uint32_t address, uint8_t* destination) {
    return readRange(address, SECTOR_SIZE, destination);
}

bool programOpen(uint32_t address, uint8_t firstByte) {
    if (!waitReady()) {
        return false;
    }
    sendBareCommand(CMD_PROGRAM_OPEN);
    sendAddressedDataCommand(CMD_PROGRAM_BYTE, address, firstByte);
    return true;
}

void programQueue(const uint8_t* bytes, uint32_t count) {
    queueDataCommands(CMD_PROGRAM_BYTE, bytes, count);
}

bool programFlush() {
    if (platformInterrupted()) {
        return false;
    }
    executeQueue();
    return true;
}

bool programClose() {
    if (!waitReady()) {
        return false;
    }
    sendBareCommand(CMD_PROGRAM_CLOSE);
    return true;
}

bool programBytes(uint32_t address, const uint8_t* bytes, uint32_t length, uint32_t batchBytes,
                  const FlashProgress& progress) {
    // An empty image programs nothing: no byte of it may reach the flash.
    if (length == 0) {
        progress.report(progress.context, 0, 0, true);
        return true;
    }
    if (!programOpen(address, bytes[0])) {
        return false;
    }
    // Byte 0 went with the address; the queue is sent after every byte whose
    // index is a multiple of batchBytes, and once more at the end.
    for (uint32_t i = 1; i < length;) {
        uint32_t batchLast = (i / batchBytes + 1) * batchBytes;
        if (batchLast >= length) {
            programQueue(bytes + i, length - i);
            break;
        }
        programQueue(bytes + i, batchLast - i + 1);
        if (!programFlush()) {
            return false;
        }
        progress.report(progress.context, batchLast + 1, length, false);
        i = batchLast + 1;
    }
    if (!programFlush()) {
        return false;
    }
    progress.report(progress.context, length, length, true);
    return programClose();
}

#include "orvanwriter/flash/flash_operations.h"

#include <stdio.h>

#include "orvanwriter/adapter/adapter_connection.h"
#include "orvanwriter/platform/platform.h"

uint8_t imageBuffer[IMAGE_CAPACITY];
uint8_t readBackBuffer[IMAGE_CAPACITY];

bool eraseSectors(uint32_t startSector, uint32_t count) {
    uint32_t address = startSector << SECTOR_SHIFT;
    for (uint32_t k = 1; k <= count; k++) {
        if (!waitReady()) {
            return false;
        }
        sendBareCommand(CMD_ERASE_OPEN);
        if (!waitReady()) {
            return false;
        }
        sendAddressedCommand(CMD_ERASE_SECTOR, address);
        printf("\r%d/%d sectors erased", static_cast<int>(k), static_cast<int>(count));
        fflush(stdout);
        if (!waitReady()) {
            return false;
        }
        sendBareCommand(CMD_ERASE_CLOSE);
        address += SECTOR_SIZE;
    }
    printf("\nErase Completed\n");
    fflush(stdout);
    return true;
}

uint64_t blockReadTimeoutMs(uint32_t clockDivisor) {
    const uint64_t BITS_PER_BYTE = 8;
    const uint64_t MS_PER_SECOND = 1000;
    // 64 bits: the divisor has no range check, and 2^17 bits times 2^32 periods still fit.
    uint64_t clockPeriods = SECTOR_SIZE * BITS_PER_BYTE * (static_cast<uint64_t>(clockDivisor) + 1);
    uint64_t transferMs = (clockPeriods * MS_PER_SECOND + SPI_BASE_CLOCK_HZ - 1) / SPI_BASE_CLOCK_HZ;
    return BLOCK_READ_TIMEOUT_MARGIN_MS + BLOCK_READ_CLOCK_ALLOWANCE * transferMs;
}

bool readBlock(uint32_t address, uint8_t* destination) {
    // A target still busy before the read is the readiness poll's to bound;
    // the read's own time starts after it.
    if (!waitReady()) {
        return false;
    }
    uint64_t startMs = platformMonotonicMs();
    uint64_t limitMs = blockReadTimeoutMs(connection.clockDivisor);
    uint32_t received = 0;
    uint32_t emptyPasses = 0;
    for (;;) {
        sendBareCommand(CMD_READ_OPEN);
        uint32_t wanted = SECTOR_SIZE - received;
        readAddressed(CMD_READ_DATA, address + received, wanted, destination + received);
        uint32_t delivered = bytesReturned < wanted ? bytesReturned : wanted;
        received += delivered;
        emptyPasses = delivered == 0 ? emptyPasses + 1 : 0;
        if (!waitReady()) {
            return false;
        }
        sendBareCommand(CMD_READ_CLOSE);
        if (received == SECTOR_SIZE) {
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

// An interruption drops the queued commands with the adapter instead.
static bool executeBatch() {
    if (platformInterrupted()) {
        return false;
    }
    executeQueue();
    return true;
}

static void printProgress(uint32_t done, uint32_t length, const char* end) {
    printf("%d / %d  %d %% %s", static_cast<int>(done), static_cast<int>(length),
           static_cast<int>((100u * done) / length), end);
    fflush(stdout);
}

bool programImage(uint32_t length, uint32_t address) {
    // An empty image programs nothing: no byte of it may reach the flash.
    if (length == 0) {
        printf("0 / 0  100 %% \n");
        fflush(stdout);
        return true;
    }
    if (!waitReady()) {
        return false;
    }
    sendBareCommand(CMD_PROGRAM_OPEN);
    // The first command carries the start address; the target advances it
    // itself for every later one.
    sendAddressedDataCommand(CMD_PROGRAM_BYTE, address, imageBuffer[0]);
    for (uint32_t i = 1; i < length; i++) {
        queueDataCommand(CMD_PROGRAM_BYTE, imageBuffer[i]);
        if (i % PROGRAM_BATCH == 0) {
            if (!executeBatch()) {
                return false;
            }
            printProgress(i + 1, length, "\r");
        }
    }
    if (!executeBatch()) {
        return false;
    }
    printProgress(length, length, "\n");
    if (!waitReady()) {
        return false;
    }
    sendBareCommand(CMD_PROGRAM_CLOSE);
    return true;
}

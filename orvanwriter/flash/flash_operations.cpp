#include "orvanwriter/flash/flash_operations.h"

#include <stdio.h>

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

bool readBlock(uint32_t address, uint8_t* destination) {
    uint32_t received = 0;
    uint32_t emptyPasses = 0;
    while (received < SECTOR_SIZE) {
        if (!waitReady()) {
            return false;
        }
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
        if (emptyPasses == EMPTY_READ_PASS_LIMIT) {
            return false;
        }
    }
    return true;
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

#include "orvanwriter/writer_steps.h"

#include <stdio.h>

#include "core/adapter/adapter_connection.h"
#include "core/flash/flash_operations.h"

// The library reports the frequency in Hz; the writer shows units of 1024 Hz.
static const uint32_t FREQUENCY_UNIT_SHIFT = 10;
static const uint32_t PERCENT = 100;

static void printErased(void*, uint32_t done, uint32_t total, bool) {
    printf("\r%d/%d sectors erased", static_cast<int>(done), static_cast<int>(total));
    fflush(stdout);
}

bool eraseSectors(uint32_t startSector, uint32_t count) {
    if (!eraseSectorRange(startSector, count, FlashProgress{printErased, nullptr})) {
        return false;
    }
    printf("\nErase Completed\n");
    fflush(stdout);
    return true;
}

// "done / total  percent % " and a carriage return, or a line end on the last.
static void printProgrammed(void*, uint32_t done, uint32_t total, bool last) {
    uint32_t percent = total == 0 ? PERCENT : PERCENT * done / total;
    printf("%d / %d  %d %% %s", static_cast<int>(done), static_cast<int>(total), static_cast<int>(percent),
           last ? "\n" : "\r");
    fflush(stdout);
}

bool programImage(uint32_t length, uint32_t address) {
    return programBytes(address, imageBuffer, length, PROGRAM_BATCH, FlashProgress{printProgrammed, nullptr});
}

bool checkIdentity() {
    uint8_t identity = readIdentity();
    if (identity == IDENTITY_BYTE) {
        return true;
    }
    printf("invalid Flash ID(%x)", identity);
    return false;
}

void setClockDivisor(uint32_t divisor) {
    uint32_t frequencyHz = applyClockDivisor(divisor);
    printf("SPI Freq : %dkhz\n", static_cast<int>(frequencyHz >> FREQUENCY_UNIT_SHIFT));
}

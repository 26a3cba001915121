#include "orvan/write_plan.h"

#include "orvanwriter/flash/flash_protocol.h"

ProgramRun programRuns[MAX_PROGRAM_RUNS];
uint32_t programRunCount;

uint32_t reopenBreakEvenBytes(uint32_t divisor) {
    uint64_t bitNsTimesHz = NS_PER_SECOND * (static_cast<uint64_t>(divisor) + 1);
    uint64_t reopenNsTimesHz =
        ROUND_TRIP_NS * REOPEN_ROUND_TRIPS * BASE_CLOCK_HZ + REOPEN_BITS * bitNsTimesHz;
    uint64_t byteNsTimesHz = QUEUED_BYTE_BITS * bitNsTimesHz;
    uint64_t bytes = reopenNsTimesHz / byteNsTimesHz;
    return bytes > PLAN_FLASH_BYTES ? PLAN_FLASH_BYTES : static_cast<uint32_t>(bytes);
}

static void addRun(uint32_t address, uint32_t length) {
    programRuns[programRunCount].address = address;
    programRuns[programRunCount].length = length;
    programRunCount++;
}

void planProgramRuns(const uint8_t* bytes, uint8_t sectorMask, uint32_t breakEvenBytes) {
    programRunCount = 0;
    bool open = false;
    uint32_t runStart = 0;
    uint32_t runEnd = 0; // one past the last byte to program
    for (uint32_t address = 0; address < PLAN_FLASH_BYTES; address++) {
        bool wanted = (sectorMask >> (address / PLAN_SECTOR_BYTES) & 1) != 0 && bytes[address] != ERASED_BYTE;
        if (!wanted) {
            continue;
        }
        // A gap that includes a sector left alone is never sent through.
        bool bridgeable = open && address - runEnd <= breakEvenBytes;
        for (uint32_t sector = runEnd / PLAN_SECTOR_BYTES;
             bridgeable && address > runEnd && sector <= (address - 1) / PLAN_SECTOR_BYTES; sector++) {
            bridgeable = (sectorMask >> sector & 1) != 0;
        }
        if (open && !bridgeable) {
            addRun(runStart, runEnd - runStart);
            open = false;
        }
        if (!open) {
            runStart = address;
            open = true;
        }
        runEnd = address + 1;
    }
    if (open) {
        addRun(runStart, runEnd - runStart);
    }
}

void planWholeRuns(uint32_t address, uint32_t length, uint8_t sectorMask) {
    programRunCount = 0;
    uint32_t end = address + length;
    for (uint32_t sector = 0; sector < PLAN_SECTORS;) {
        uint32_t first = sector;
        while (sector < PLAN_SECTORS && (sectorMask >> sector & 1) != 0) {
            sector++;
        }
        uint32_t runStart = first * PLAN_SECTOR_BYTES > address ? first * PLAN_SECTOR_BYTES : address;
        uint32_t runEnd = sector * PLAN_SECTOR_BYTES < end ? sector * PLAN_SECTOR_BYTES : end;
        if (runStart < runEnd) {
            addRun(runStart, runEnd - runStart);
        }
        sector = sector == first ? sector + 1 : sector;
    }
}

uint32_t plannedBytes() {
    uint32_t total = 0;
    for (uint32_t r = 0; r < programRunCount; r++) {
        total += programRuns[r].length;
    }
    return total;
}

#include "orvan/write/write_plan.h"

#include "adapter_interface/adapter_clock.h"
#include "core/flash/flash_geometry.h"

uint32_t reopenBreakEvenBytes(uint32_t divisor) {
    uint64_t bitNsTimesHz = NS_PER_SECOND * (static_cast<uint64_t>(divisor) + 1);
    uint64_t reopenNsTimesHz =
        ROUND_TRIP_NS * REOPEN_ROUND_TRIPS * ADAPTER_BASE_CLOCK_HZ + REOPEN_BITS * bitNsTimesHz;
    uint64_t byteNsTimesHz = QUEUED_BYTE_BITS * bitNsTimesHz;
    uint64_t bytes = reopenNsTimesHz / byteNsTimesHz;
    return bytes > FLASH_BYTES ? FLASH_BYTES : static_cast<uint32_t>(bytes);
}

static bool inMask(uint8_t sectorMask, uint32_t sector) {
    return (sectorMask >> sector & 1) != 0;
}

// True when the gap [from, to) may be sent through: short enough, and every
// sector it crosses is one the write erased.
static bool bridgeable(uint32_t from, uint32_t to, uint8_t sectorMask, uint32_t breakEvenBytes) {
    if (to - from > breakEvenBytes) {
        return false;
    }
    for (uint32_t sector = from / SECTOR_SIZE; to > from && sector <= (to - 1) / SECTOR_SIZE; sector++) {
        if (!inMask(sectorMask, sector)) {
            return false;
        }
    }
    return true;
}

std::vector<ProgramRun> planProgramRuns(const uint8_t* bytes, uint8_t sectorMask, uint32_t divisor) {
    uint32_t breakEvenBytes = reopenBreakEvenBytes(divisor);
    std::vector<ProgramRun> runs;
    bool open = false;
    uint32_t runStart = 0;
    uint32_t runEnd = 0; // one past the last byte to program
    for (uint32_t address = 0; address < FLASH_BYTES; address++) {
        if (!inMask(sectorMask, address / SECTOR_SIZE) || bytes[address] == ERASED_BYTE) {
            continue;
        }
        if (open && !bridgeable(runEnd, address, sectorMask, breakEvenBytes)) {
            runs.push_back({runStart, runEnd - runStart});
            open = false;
        }
        if (!open) {
            runStart = address;
            open = true;
        }
        runEnd = address + 1;
    }
    if (open) {
        runs.push_back({runStart, runEnd - runStart});
    }
    return runs;
}

std::vector<ProgramRun> planWholeRuns(uint32_t address, uint32_t length, uint8_t sectorMask) {
    std::vector<ProgramRun> runs;
    uint32_t end = address + length;
    for (uint32_t sector = 0; sector < SECTOR_COUNT;) {
        uint32_t first = sector;
        while (sector < SECTOR_COUNT && inMask(sectorMask, sector)) {
            sector++;
        }
        uint32_t runStart = first * SECTOR_SIZE > address ? first * SECTOR_SIZE : address;
        uint32_t runEnd = sector * SECTOR_SIZE < end ? sector * SECTOR_SIZE : end;
        if (runStart < runEnd) {
            runs.push_back({runStart, runEnd - runStart});
        }
        sector = sector == first ? sector + 1 : sector;
    }
    return runs;
}

uint32_t plannedBytes(const std::vector<ProgramRun>& runs) {
    uint32_t total = 0;
    for (const ProgramRun& run : runs) {
        total += run.length;
    }
    return total;
}

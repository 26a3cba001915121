// Writing an image: each of its sectors ends up holding its bytes and 0xff
// elsewhere, as the writer leaves them, with the least bus time: only bytes
// other than 0xff are programmed, sectors already right are left alone
// (changed), and only sectors that got bytes are read back a second time.
#include <string.h>

#include "core/adapter/adapter_connection.h"
#include "core/flash/flash_operations.h"
#include "orvan/operations/flash_steps.h"
#include "orvan/operations/image_steps.h"
#include "orvan/operations/step_progress.h"
#include "orvan/write/write_plan.h"

bool sectorInMask(uint8_t mask, uint32_t sector) {
    return (mask >> sector & 1) != 0;
}

uint8_t sectorCount(uint8_t mask) {
    uint8_t count = 0;
    for (uint32_t sector = 0; sector < SECTOR_COUNT; sector++) {
        count = static_cast<uint8_t>(count + (sectorInMask(mask, sector) ? 1 : 0));
    }
    return count;
}

static bool sectorHoldsPlan(uint32_t sector) {
    uint32_t address = sector * SECTOR_SIZE;
    return memcmp(readBackBuffer + address, planBytes + address, SECTOR_SIZE) == 0;
}

// Calls step for each run of consecutive sectors in mask, in order.
template <typename Step> static void forEachSectorRun(uint8_t mask, Step step) {
    for (uint32_t sector = 0; sector < SECTOR_COUNT;) {
        if (!sectorInMask(mask, sector)) {
            sector++;
            continue;
        }
        uint32_t count = 0;
        while (sector + count < SECTOR_COUNT && sectorInMask(mask, sector + count)) {
            count++;
        }
        step(sector, count);
        sector += count;
    }
}

static void readSectors(const CableSession& cable, const char* phase, uint8_t mask) {
    forEachSectorRun(mask, [&cable, phase](uint32_t sector, uint32_t count) {
        readWithProgress(cable, phase, sector * SECTOR_SIZE, count * SECTOR_SIZE,
                         readBackBuffer + sector * SECTOR_SIZE);
    });
}

// changed: the image's sectors that do not already hold what the write would leave.
static uint8_t sectorsToWrite(WriteMode mode, const CableSession& cable, uint32_t index, ImageWrite* write) {
    uint8_t mask = images[index].sectorMask;
    if (mode != WRITE_CHANGED) {
        return mask;
    }
    readSectors(cable, "compare", mask);
    for (uint32_t sector = 0; sector < SECTOR_COUNT; sector++) {
        if (sectorInMask(mask, sector) && sectorHoldsPlan(sector)) {
            mask = static_cast<uint8_t>(mask & ~(1u << sector));
            write->sectorsSkipped++;
        }
    }
    return mask;
}

static std::vector<ProgramRun> planRuns(WriteMode mode, const CableSession& cable, uint32_t index,
                                        uint8_t mask) {
    if (mode != WRITE_FULL) {
        return planProgramRuns(planBytes, mask, cable.divisor);
    }
    // Every byte of the image's span within its sectors, as the writer sends it.
    uint32_t address = 0;
    uint32_t length = 0;
    boardSpan(index, &address, &length);
    return planWholeRuns(address, length, mask);
}

struct RunProgress {
    uint64_t before; // bytes of the runs before this one
    uint32_t sent;   // of this one
};

// Once the cable is gone the loop still runs its batches to the end; the
// progress stays where the cable was last heard, which the message names.
static void showProgrammed(void* context, uint32_t done, uint32_t, bool) {
    if (adapterGone()) {
        return;
    }
    RunProgress* progress = static_cast<RunProgress*>(context);
    progress->sent = done;
    progressUpdate(progress->before + done);
}

static void programRun(const CableSession& cable, const ProgramRun& run, uint64_t* done) {
    if (operationStopped()) {
        throw interruption(cable.flashChanged);
    }
    RunProgress progress = {*done, 0};
    if (!programBytes(run.address, planBytes + run.address, run.length, programBatchBytes(cable),
                      FlashProgress{showProgrammed, &progress})) {
        throw flashStepFailure(cable, "programming at " + hexAddress(run.address + progress.sent));
    }
    *done += run.length;
}

// Programs the planned runs; returns the sectors that got bytes.
static uint8_t programPlannedRuns(const CableSession& cable, const std::vector<ProgramRun>& runs,
                                  ImageWrite* write) {
    uint64_t total = plannedBytes(runs);
    uint64_t done = 0;
    uint8_t programmed = 0;
    progressBegin("program", total);
    for (const ProgramRun& run : runs) {
        programRun(cable, run, &done);
        for (uint32_t sector = run.address / SECTOR_SIZE;
             sector <= (run.address + run.length - 1) / SECTOR_SIZE; sector++) {
            programmed = static_cast<uint8_t>(programmed | 1u << sector);
        }
    }
    progressEnd();
    write->bytesProgrammed = static_cast<uint32_t>(total);
    write->runs = static_cast<uint32_t>(runs.size());
    return programmed;
}

// The first byte of the programmed sectors that the flash does not hold as
// planned; FLASH_BYTES when every one does.
static uint32_t firstDifferenceIn(uint8_t programmed) {
    for (uint32_t sector = 0; sector < SECTOR_COUNT; sector++) {
        if (!sectorInMask(programmed, sector) || sectorHoldsPlan(sector)) {
            continue;
        }
        uint32_t at = sector * SECTOR_SIZE;
        while (readBackBuffer[at] == planBytes[at]) {
            at++;
        }
        return at;
    }
    return FLASH_BYTES;
}

// A sector that was blank-checked and got nothing holds 0xff throughout,
// as the plan has it there; the others are read back and compared whole.
static void verifySectors(const CableSession& cable, uint32_t index, uint8_t programmed, ImageWrite* write) {
    readSectors(cable, "verify", programmed);
    uint32_t at = firstDifferenceIn(programmed);
    if (at == FLASH_BYTES) {
        return;
    }
    write->mismatch = true;
    write->mismatchAt = at;
    throw OperationFailure{STATUS_TARGET_DISAGREED, differenceText(index, "differs after programming", at)};
}

void writeImage(WriteMode mode, CableSession* cable, uint32_t index, ImageWrite* write) {
    uint8_t mask = sectorsToWrite(mode, *cable, index, write);
    forEachSectorRun(mask, [cable](uint32_t sector, uint32_t count) { eraseAndCheck(cable, sector, count); });
    write->sectorsWritten = sectorCount(mask);
    uint8_t programmed = programPlannedRuns(*cable, planRuns(mode, *cable, index, mask), write);
    write->sectorsProgrammed = sectorCount(programmed);
    verifySectors(*cable, index, programmed, write);
}

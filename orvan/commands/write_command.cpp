// write: each image's sectors end up holding its bytes and 0xff elsewhere,
// as the writer leaves them, with the least bus time: only bytes other than
// 0xff are programmed, sectors already right are left alone (--changed), and
// only sectors that got bytes are read back a second time.
#include <string.h>

#include "core/adapter/adapter_connection.h"
#include "core/flash/flash_operations.h"
#include "core/platform/platform.h"
#include "orvan/commands/cable.h"
#include "orvan/commands/flash_steps.h"
#include "orvan/commands/images.h"
#include "orvan/commands/orvan.h"
#include "orvan/commands/progress.h"
#include "orvan/write/write_plan.h"

// What a write did to one image's sectors.
struct ImageWrite {
    uint8_t sectorsWritten;    // erased and blank-checked
    uint8_t sectorsProgrammed; // got at least one byte
    uint8_t sectorsSkipped;    // --changed: already right, left alone
    uint32_t bytesProgrammed;
    uint32_t runs;
};

static bool inMask(uint8_t mask, uint32_t sector) {
    return (mask >> sector & 1) != 0;
}

static uint8_t sectorsIn(uint8_t mask) {
    uint8_t count = 0;
    for (uint32_t sector = 0; sector < SECTOR_COUNT; sector++) {
        count = static_cast<uint8_t>(count + (inMask(mask, sector) ? 1 : 0));
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
        if (!inMask(mask, sector)) {
            sector++;
            continue;
        }
        uint32_t count = 0;
        while (sector + count < SECTOR_COUNT && inMask(mask, sector + count)) {
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

// --changed: the image's sectors that do not already hold what the write would leave.
static uint8_t sectorsToWrite(const Request& request, const CableSession& cable, uint32_t index,
                              ImageWrite* write) {
    uint8_t mask = images[index].sectorMask;
    if (!request.changed) {
        return mask;
    }
    readSectors(cable, "compare", mask);
    for (uint32_t sector = 0; sector < SECTOR_COUNT; sector++) {
        if (inMask(mask, sector) && sectorHoldsPlan(sector)) {
            mask = static_cast<uint8_t>(mask & ~(1u << sector));
            write->sectorsSkipped++;
        }
    }
    return mask;
}

static std::vector<ProgramRun> planRuns(const Request& request, uint32_t index, uint8_t mask) {
    if (!request.full) {
        return planProgramRuns(planBytes, mask, request.divisor);
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
        if (!inMask(programmed, sector) || sectorHoldsPlan(sector)) {
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
static void verifySectors(const CableSession& cable, uint32_t index, uint8_t programmed,
                          nlohmann::ordered_json* json) {
    readSectors(cable, "verify", programmed);
    uint32_t at = firstDifferenceIn(programmed);
    if (at == FLASH_BYTES) {
        return;
    }
    putFirstDifference(json, at, readBackBuffer[at], planBytes[at]);
    (*json)["result"] = "mismatch";
    throw CommandFailure{STATUS_TARGET_DISAGREED, std::string(images[index].argument) +
                                                      ": differs after programming at " + hexAddress(at) +
                                                      ": flash " + hexByte(readBackBuffer[at]) + ", image " +
                                                      hexByte(planBytes[at])};
}

static void writeImage(const Request& request, CableSession* cable, uint32_t index, ImageWrite* write,
                       nlohmann::ordered_json* json) {
    uint8_t mask = sectorsToWrite(request, *cable, index, write);
    forEachSectorRun(mask, [cable](uint32_t sector, uint32_t count) {
        eraseWithProgress(cable, sector, count);
        checkBlank(*cable, sector, count);
    });
    write->sectorsWritten = sectorsIn(mask);
    uint8_t programmed = programPlannedRuns(*cable, planRuns(request, index, mask), write);
    write->sectorsProgrammed = sectorsIn(programmed);
    verifySectors(*cable, index, programmed, json);
}

// What the sectors of mask hold once written, in address order: every one
// was read back, compared or blank-checked on the way.
static std::string sectorsSha256(uint8_t mask) {
    std::vector<uint8_t> bytes;
    for (uint32_t sector = 0; sector < SECTOR_COUNT; sector++) {
        if (inMask(mask, sector)) {
            const uint8_t* at = readBackBuffer + sector * SECTOR_SIZE;
            bytes.insert(bytes.end(), at, at + SECTOR_SIZE);
        }
    }
    return sha256OfBytes(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

static void recordWrite(uint32_t index, const ImageWrite& write, nlohmann::ordered_json* json) {
    (*json)["bytes_programmed"] = write.bytesProgrammed;
    (*json)["programming_runs"] = write.runs;
    (*json)["sectors_erased"] = write.sectorsWritten;
    (*json)["sectors_read_back"] = write.sectorsProgrammed;
    (*json)["sectors_skipped"] = write.sectorsSkipped;
    (*json)["result"] = write.sectorsWritten == 0 ? "unchanged" : "written";
    (*json)["flash_sha256"] = sectorsSha256(images[index].sectorMask);
}

static void sayImageWritten(uint32_t index, const ImageWrite& write) {
    uint32_t sectors = sectorsIn(images[index].sectorMask);
    std::string count = std::to_string(sectors) + (sectors == 1 ? " sector" : " sectors");
    std::string what = write.sectorsWritten == 0
                           ? paint("unchanged", PAINT_GOOD) + ", " + count + " already up to date"
                           : paint("written and verified", PAINT_GOOD) + ", " + count;
    if (write.sectorsWritten != 0 && write.sectorsSkipped != 0) {
        what += " (" + std::to_string(write.sectorsSkipped) + " already up to date)";
    }
    progressSay(std::string(images[index].argument) + ": " + what + ", SHA-256 " + shortSha256(index));
}

void checkWriteRequest(const Request& request) {
    if (request.changed && request.full) {
        throw CommandFailure{STATUS_USAGE, "write: --changed and --full do not go together"};
    }
}

void runWriteCommand(const Request& request, Outcome* outcome) {
    loadImages(request);
    applyBoardData(request);
    outcome->record["mode"] = request.full ? "full" : request.changed ? "changed" : "default";
    // Every image stands in the record from the start, so that a run that
    // stops names the image it stopped in and those it did not reach.
    outcome->record["images"] = notReachedImages();
    CableSession cable = openCable(request, outcome);
    for (uint32_t index = 0; index < imageCount; index++) {
        // Looked up afresh: adding to the record moves its members.
        nlohmann::ordered_json image = outcome->record["images"][index];
        ImageWrite write = ImageWrite();
        progressSubject(images[index].argument);
        try {
            writeImage(request, &cable, index, &write, &image);
        } catch (const CommandFailure&) {
            image["result"] = image["result"] == "not reached" ? "failed" : image["result"];
            outcome->record["images"][index] = image;
            throw;
        }
        recordWrite(index, write, &image);
        outcome->record["images"][index] = image;
        sayImageWritten(index, write);
    }
    // Everything the write left on the board: what a production record traces.
    uint8_t written = 0;
    for (uint32_t index = 0; index < imageCount; index++) {
        written = static_cast<uint8_t>(written | images[index].sectorMask);
    }
    outcome->record["written_sha256"] = sectorsSha256(written);
}

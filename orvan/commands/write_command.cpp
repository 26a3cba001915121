// write: each image written in the mode asked (orvan/operations/image_write.cpp),
// with its closing line and its record.
#include "core/flash/flash_operations.h"
#include "orvan/commands/cable.h"
#include "orvan/commands/images.h"
#include "orvan/commands/orvan.h"
#include "orvan/commands/progress.h"
#include "orvan/operations/image_steps.h"

// What the sectors of mask hold once written, in address order: every one
// was read back, compared or blank-checked on the way.
static std::string sectorsSha256(uint8_t mask) {
    std::vector<uint8_t> bytes;
    for (uint32_t sector = 0; sector < SECTOR_COUNT; sector++) {
        if (sectorInMask(mask, sector)) {
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

static void recordFailedWrite(const ImageWrite& write, nlohmann::ordered_json* json) {
    if (!write.mismatch) {
        (*json)["result"] = "failed";
        return;
    }
    uint32_t at = write.mismatchAt;
    putFirstDifference(json, at, readBackBuffer[at], planBytes[at]);
    (*json)["result"] = "mismatch";
}

static void sayImageWritten(uint32_t index, const ImageWrite& write) {
    uint32_t sectors = sectorCount(images[index].sectorMask);
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
    WriteMode mode = request.full ? WRITE_FULL : request.changed ? WRITE_CHANGED : WRITE_DEFAULT;
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
            writeImage(mode, &cable, index, &write);
        } catch (const CommandFailure&) {
            recordFailedWrite(write, &image);
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

// verify: compares the flash with images, without writing.
#include "core/flash/flash_operations.h"
#include "orvan/commands/cable.h"
#include "orvan/commands/images.h"
#include "orvan/commands/orvan.h"
#include "orvan/commands/progress.h"
#include "orvan/operations/image_steps.h"

// Compares one image with the flash; true when every byte it defines is there.
static bool verifyImage(const CableSession& cable, uint32_t index, nlohmann::ordered_json* json) {
    const ImageRecord& image = images[index];
    progressSubject(image.argument);
    ImageCheck check = verifyImageOnFlash(cable, index);
    uint32_t difference = check.difference;
    (*json)["flash_sha256"] = sha256OfBytes(readBackBuffer + check.address, check.length);
    if (difference == check.address + check.length) {
        (*json)["result"] = "verified";
        progressSay(std::string(image.argument) + ": " + paint("verified", PAINT_GOOD) + ", SHA-256 " +
                    shortSha256(index));
        return true;
    }
    (*json)["result"] = "mismatch";
    putFirstDifference(json, difference, readBackBuffer[difference], planBytes[difference]);
    progressSay(std::string(image.argument) + ": " + paint("mismatch", PAINT_BAD) + " at " +
                hexAddress(difference));
    return false;
}

void runVerify(const Request& request, Outcome* outcome) {
    loadImages(request);
    outcome->record["images"] = notReachedImages();
    CableSession cable = openCable(request, outcome);
    std::string firstError;
    for (uint32_t index = 0; index < imageCount; index++) {
        nlohmann::ordered_json json = outcome->record["images"][index];
        bool same = false;
        try {
            same = verifyImage(cable, index, &json);
        } catch (const CommandFailure&) {
            outcome->record["images"][index]["result"] = "failed";
            throw;
        }
        outcome->record["images"][index] = json;
        if (!same && firstError.empty()) {
            firstError = differenceText(index, "differs", json["first_difference"]["address"]);
        }
    }
    if (!firstError.empty()) {
        outcome->status = STATUS_TARGET_DISAGREED;
        outcome->error = firstError;
    }
}

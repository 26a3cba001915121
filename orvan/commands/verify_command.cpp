// verify: compares the flash with images, without writing.
#include "core/flash/flash_operations.h"
#include "orvan/commands/cable.h"
#include "orvan/commands/flash_steps.h"
#include "orvan/commands/images.h"
#include "orvan/commands/orvan.h"

// Compares one image with the flash; true when every byte it defines is there.
static bool verifyImage(const CableSession& cable, uint32_t index, nlohmann::ordered_json* json) {
    const ImageRecord& image = images[index];
    uint32_t address = 0;
    uint32_t length = 0;
    imageSpan(&image, &address, &length);
    readWithProgress(cable, "verify", address, length, readBackBuffer + address);
    uint32_t difference = firstDifference(index, readBackBuffer, address, length);
    *json = imageRecordJson(index);
    (*json)["flash_sha256"] = sha256OfBytes(readBackBuffer + address, length);
    if (difference == address + length) {
        (*json)["result"] = "match";
        return true;
    }
    (*json)["result"] = "mismatch";
    (*json)["first_difference"] = {{"address", hexAddress(difference)},
                                   {"flash", hexByte(readBackBuffer[difference])},
                                   {"image", hexByte(planBytes[difference])}};
    return false;
}

void runVerify(const Request& request, Outcome* outcome) {
    loadImages(request);
    CableSession cable = openCable(request, outcome);
    outcome->record["images"] = nlohmann::ordered_json::array();
    std::string firstError;
    for (uint32_t index = 0; index < imageCount; index++) {
        nlohmann::ordered_json json;
        if (!verifyImage(cable, index, &json) && firstError.empty()) {
            const nlohmann::ordered_json& at = json["first_difference"];
            firstError = std::string(images[index].argument) + ": differs at " +
                         at["address"].get<std::string>() + ": flash " + at["flash"].get<std::string>() +
                         ", image " + at["image"].get<std::string>();
        }
        outcome->record["images"].push_back(json);
    }
    if (!firstError.empty()) {
        outcome->status = STATUS_TARGET_DISAGREED;
        outcome->error = firstError;
    }
}

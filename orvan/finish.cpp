// How every orvan command ends: one error line, one JSON record, one status.
#include <stdio.h>

#include "orvan/cable.h"
#include "orvan/orvan.h"
#include "orvan/progress.h"
#include "orvanwriter/platform/platform.h"

OrvanOptions options;
nlohmann::ordered_json record;
bool flashChanged;

static const double MS_PER_SECOND = 1000.0;

static uint64_t startMs = platformMonotonicMs();

static void printRecord(int status, const std::string& error) {
    if (!options.json) {
        return;
    }
    record["ok"] = status == STATUS_DONE;
    record["status"] = status;
    record["error"] = error.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(error);
    record["seconds"] = (platformMonotonicMs() - startMs) / MS_PER_SECOND;
    // Names and files come from the user and the cable: never let a stray
    // byte make the one record unreadable.
    printf("%s\n", record.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
    fflush(stdout);
}

void finish(int status, const std::string& error) {
    progressStop();
    closeCable();
    if (!error.empty()) {
        fprintf(stderr, "orvan: %s\n", error.c_str());
    }
    printRecord(status, error);
    platformExit(status);
}

void finishInterrupted() {
    progressStop();
    closeCable();
    std::string error =
        flashChanged ? "interrupted: the flash may be incomplete" : "interrupted: the flash is unchanged";
    fprintf(stderr, "orvan: %s\n", error.c_str());
    // The status the shell will see once the signal ends the process.
    printRecord(platformInterruptedStatus(), error);
    platformEndInterrupted();
}

std::string hexByte(uint8_t value) {
    char text[8];
    snprintf(text, sizeof(text), "0x%02x", value);
    return text;
}

std::string hexAddress(uint32_t address) {
    char text[16];
    snprintf(text, sizeof(text), "0x%x", address);
    return text;
}

// How every orvan command ends: one error line, one JSON record, one status.
#include <stdio.h>

#include "core/flash/flash_geometry.h"
#include "core/platform/platform.h"
#include "orvan/commands/cable.h"
#include "orvan/commands/orvan.h"
#include "orvan/commands/progress.h"
#include "orvan/production/production_log.h"

OrvanOptions options;
nlohmann::ordered_json record;
bool flashChanged;
UnfinishedOutput unfinishedOutput;

static uint64_t startMs = platformMonotonicMs();

// Writes the whole text to a new file at path; an existing file or link is
// left alone (the parent removed its worker's record file before the start).
static void saveText(const std::string& path, const std::string& text) {
    PlatformFile file;
    if (platformCreateFile(path.c_str(), false, &file)) {
        platformWriteFile(file, reinterpret_cast<const uint8_t*>(text.data()),
                          static_cast<uint32_t>(text.size()));
        platformCloseFile(file);
    }
}

static void fillOutcome(int status, const std::string& error) {
    record["ok"] = status == STATUS_DONE;
    record["status"] = status;
    record["error"] = error.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(error);
    record["seconds"] = (platformMonotonicMs() - startMs) / static_cast<double>(MS_PER_SECOND);
}

// A run that did its work but whose production line the log did not take
// is no success: the board would go out without its record.
static void keepProductionLine(int* status, std::string* error) {
    if (options.log.empty() || options.command == "list") {
        return;
    }
    fillOutcome(*status, *error);
    if (appendProductionLog(options.log, productionLogLine(record))) {
        return;
    }
    fprintf(stderr, "orvan: %s\n", productionLogError(options.log).c_str());
    if (*status == STATUS_DONE) {
        *status = STATUS_RECORD_NOT_KEPT;
        *error = productionLogError(options.log);
    }
}

static void printRecord(int status, const std::string& error) {
    fillOutcome(status, error);
    // Names and files come from the user and the cable: never let a stray
    // byte make the one record unreadable.
    std::string text = record.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    if (!options.recordPath.empty()) {
        saveText(options.recordPath, text);
    }
    if (options.json) {
        printf("%s\n", text.c_str());
        fflush(stdout);
    }
}

// What the command made and did not finish is not left looking finished.
static void removeUnfinishedOutput() {
    if (unfinishedOutput.open) {
        platformCloseFile(unfinishedOutput.file);
        unfinishedOutput.open = false;
    }
    if (!unfinishedOutput.path.empty()) {
        platformRemoveFile(unfinishedOutput.path.c_str());
        unfinishedOutput.path.clear();
    }
}

void finishQuietly(int status, const std::string& givenError) {
    progressStop();
    closeCable();
    removeUnfinishedOutput();
    std::string error = givenError;
    keepProductionLine(&status, &error);
    printRecord(status, error);
    platformExit(status);
}

void finish(int status, const std::string& error) {
    progressStop();
    if (!error.empty()) {
        fprintf(stderr, "orvan: %s\n", error.c_str());
    }
    finishQuietly(status, error);
}

void finishInterruptedWith(const std::string& error) {
    progressStop();
    closeCable();
    removeUnfinishedOutput();
    fprintf(stderr, "orvan: %s\n", error.c_str());
    // The status the shell will see once the signal ends the process.
    int status = platformInterruptedStatus();
    std::string kept = error;
    keepProductionLine(&status, &kept);
    printRecord(status, kept);
    platformEndInterrupted();
}

void finishInterrupted() {
    finishInterruptedWith(flashChanged ? "interrupted: the flash may be incomplete"
                                       : "interrupted: the flash is unchanged");
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

// How every run of orvan ends: one error line, one JSON record, one status.
#include "orvan/commands/finish.h"

#include <stdio.h>

#include "core/flash/flash_geometry.h"
#include "core/platform/platform.h"
#include "orvan/cables/workers.h"
#include "orvan/commands/cable.h"
#include "orvan/commands/command_table.h"
#include "orvan/commands/images.h"
#include "orvan/commands/progress.h"
#include "orvan/production/production_log.h"

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

static double secondsSinceStart() {
    return (platformMonotonicMs() - startMs) / static_cast<double>(MS_PER_SECOND);
}

static void fillOutcome(Outcome* outcome) {
    nlohmann::ordered_json& record = outcome->record;
    record["result"] = resultClass(outcome->status, outcome->interrupted);
    record["ok"] = outcome->status == STATUS_DONE;
    record["status"] = outcome->status;
    record["error"] =
        outcome->error.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(outcome->error);
    record["seconds"] = secondsSinceStart();
}

// The command's closing line: what ran where, and how it ended.
static void sayHowItEnded(const Request& request, const Outcome& outcome) {
    if (request.command.empty() || request.command == "list" || outcome.noLogLine ||
        !request.recordPath.empty()) {
        return; // list shows its table; a run on many cables its summary, for each worker
    }
    const nlohmann::ordered_json& cable = outcome.record.value("cable", nlohmann::ordered_json::object());
    std::string where = cable.contains("location") ? " on cable " + cable["location"].get<std::string>() : "";
    const char* result = resultClass(outcome.status, outcome.interrupted);
    char seconds[32];
    snprintf(seconds, sizeof seconds, " (%.2f s)", secondsSinceStart());
    std::string ending = outcome.status == STATUS_DONE ? paint("ok", PAINT_GOOD)
                         : outcome.interrupted         ? paint(result, PAINT_BAD)
                                                       : paint(std::string("failed, ") + result, PAINT_BAD);
    progressSay(request.command + where + ": " + ending + seconds);
}

// A run that did its work but whose production line the log did not take
// is no success: the board would go out without its record.
static void keepProductionLine(const Request& request, Outcome* outcome) {
    if (!request.logGiven || request.log.empty() || !commandLogsBoards(request.command) ||
        outcome->noLogLine) {
        return;
    }
    fillOutcome(outcome);
    if (appendProductionLog(request.log, productionLogLine(outcome->record, loadedImageFiles()))) {
        return;
    }
    fprintf(stderr, "orvan: %s\n", productionLogError(request.log).c_str());
    if (outcome->status == STATUS_DONE) {
        outcome->status = STATUS_RECORD_NOT_KEPT;
        outcome->error = productionLogError(request.log);
    }
}

static void printRecord(const Request& request, Outcome* outcome) {
    fillOutcome(outcome);
    // Names and files come from the user and the cable: never let a stray
    // byte make the one record unreadable.
    std::string text = outcome->record.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    if (!request.recordPath.empty()) {
        saveText(request.recordPath, text);
    }
    if (request.json) {
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

void finishProcess(const Request& request, Outcome* outcome) {
    progressStop();
    if (!outcome->error.empty() && !outcome->errorShown) {
        fprintf(stderr, "orvan: %s\n", outcome->error.c_str());
    }
    closeCable();
    removeUnfinishedOutput();
    if (request.command.empty() && !request.json) {
        platformExit(outcome->status); // help, version, or a usage error already shown
    }
    keepProductionLine(request, outcome);
    sayHowItEnded(request, *outcome);
    printRecord(request, outcome);
    removeOrphanedWorkFiles(request.recordPath, request.imageSources,
                            static_cast<intptr_t>(request.parentId));
    if (outcome->interrupted) {
        // The status the shell sees once the signal ends the process.
        platformEndInterrupted();
    }
    platformExit(outcome->status);
}

void putAddress(nlohmann::ordered_json* json, const char* name, uint32_t address) {
    (*json)[name] = address;
    (*json)[std::string(name) + "_hex"] = hexAddress(address);
}

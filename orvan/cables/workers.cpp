#include "orvan/cables/workers.h"

#include <stdio.h>

#include "core/flash/flash_geometry.h"
#include "orvan/commands/orvan.h"
#include "orvan/display/progress_line.h"
#include "orvan/production/production_log.h"

static const uint32_t POLL_INTERVAL_MS = 50;
static const uint32_t START_ATTEMPTS = 3;
static const uint32_t START_RETRY_MS = 200;
static const uint32_t PATH_CHARS = WORKER_PATH_CHARS;

void nameWorkerFiles(Worker* worker, const std::string& workFolder) {
    std::string name = workFolder + "/" + worker->location.substr(2);
    snprintf(worker->outputPath, PATH_CHARS, "%s.out", name.c_str());
    snprintf(worker->errorPath, PATH_CHARS, "%s.err", name.c_str());
    snprintf(worker->recordPath, PATH_CHARS, "%s.json", name.c_str());
    platformRemoveFile(worker->recordPath);
}

void startWorker(Worker* worker, const std::vector<std::string>& words) {
    std::vector<const char*> pointers;
    for (const std::string& word : words) {
        pointers.push_back(word.c_str());
    }
    pointers.push_back(nullptr);
    // A start the system refuses once (seen under Wine while another worker
    // starts) is tried again before the cable is counted as failed.
    for (uint32_t attempt = 0; attempt < START_ATTEMPTS && !worker->running; attempt++) {
        if (attempt > 0) {
            platformSleepMs(START_RETRY_MS);
        }
        worker->startMs = platformMonotonicMs();
        worker->running =
            platformStartProcess(pointers.data(), worker->outputPath, worker->errorPath, &worker->process);
    }
    worker->status = STATUS_NO_CABLE;
    worker->lastLine = worker->running ? "started" : "could not be started";
    worker->errorTaken = 0;
}

// Takes the lines the worker has written to standard error since the last
// look. The file is opened for each look, so that a run on many cables
// holds no file open per worker.
static void readErrorLines(Worker* worker, std::vector<std::string>* lines) {
    std::string text = platformReadSharedFile(worker->errorPath);
    if (text.size() <= worker->errorTaken) {
        return;
    }
    worker->pendingError.append(text, worker->errorTaken, std::string::npos);
    worker->errorTaken = text.size();
    for (size_t end = worker->pendingError.find('\n'); end != std::string::npos;
         end = worker->pendingError.find('\n')) {
        worker->lastLine = worker->pendingError.substr(0, end);
        lines->push_back(worker->lastLine);
        worker->pendingError.erase(0, end + 1);
    }
}

bool pollWorker(Worker* worker, std::vector<std::string>* lines) {
    readErrorLines(worker, lines);
    if (worker->running && platformProcessEnded(worker->process, &worker->status)) {
        worker->running = false;
        worker->seconds = (platformMonotonicMs() - worker->startMs) / static_cast<double>(MS_PER_SECOND);
        // What it wrote as it ended.
        readErrorLines(worker, lines);
        return true;
    }
    return false;
}

static const uint32_t LOCATION_COLUMNS = 11;

// A cable's row: its location, then its bar drawn from the worker's plain
// progress line, or its last line; never wider than the terminal, so that
// each cable keeps exactly one row.
static std::string cableRow(const Worker& worker, uint32_t columns) {
    char location[32];
    snprintf(location, sizeof location, "%-*s", static_cast<int>(LOCATION_COLUMNS - 1),
             worker.location.c_str());
    std::string row = std::string(location) + " ";
    uint32_t width = columns == 0 ? 80 : columns;
    ProgressView view;
    if (width > LOCATION_COLUMNS && readProgressPlainLine(worker.lastLine, &view)) {
        return row + progressLine(view, width - LOCATION_COLUMNS);
    }
    return fitToColumns(row + worker.lastLine, width);
}

// One row per cable, redrawn in place at the terminal's width of the moment.
static void drawCables(const Worker* workers, uint32_t workerCount, bool* terminalDrawn) {
    if (*terminalDrawn) {
        fprintf(stderr, "\033[%uA", workerCount);
    }
    uint32_t columns = platformTerminalColumns();
    for (uint32_t i = 0; i < workerCount; i++) {
        fprintf(stderr, "\r\033[K%s\n", cableRow(workers[i], columns).c_str());
    }
    fflush(stderr);
    *terminalDrawn = true;
}

void watchWorkers(Worker* workers, uint32_t workerCount, bool quiet) {
    bool terminalDrawn = false;
    bool terminal = platformStandardErrorIsTerminal() && !quiet;
    bool shownAsLines = !terminal && !quiet;
    uint32_t handedOn = 0;
    for (uint32_t running = workerCount; running > 0;) {
        platformSleepMs(POLL_INTERVAL_MS);
        running = 0;
        for (uint32_t i = 0; i < workerCount; i++) {
            Worker* worker = &workers[i];
            std::vector<std::string> lines;
            pollWorker(worker, &lines);
            // Lines go to standard error as they come when no terminal shows them in place.
            for (size_t line = 0; shownAsLines && line < lines.size(); line++) {
                fprintf(stderr, "%s: %s\n", worker->location.c_str(), lines[line].c_str());
            }
            running += worker->running ? 1 : 0;
        }
        // The first interruption is handed to every worker, which closes
        // its cable; a second one ends the workers at once.
        uint32_t interruptions = platformInterruptionCount();
        if (interruptions > handedOn) {
            for (uint32_t i = 0; i < workerCount; i++) {
                if (workers[i].running && interruptions == 1) {
                    platformInterruptProcess(workers[i].process);
                } else if (workers[i].running) {
                    platformKillProcess(workers[i].process);
                }
            }
            handedOn = interruptions;
        }
        if (terminal) {
            drawCables(workers, workerCount, &terminalDrawn);
        }
    }
}

// The worker's own record; one made here when it left none (it crashed or was killed).
void collectRecord(const std::string& command, const std::string& runId, Worker* worker) {
    worker->record =
        nlohmann::ordered_json::parse(platformReadSharedFile(worker->recordPath), nullptr, false);
    if (worker->record.is_discarded() || !worker->record.is_object()) {
        std::string why =
            worker->lastLine == "could not be started"
                ? "the worker could not be started"
                : "the worker ended with status " + std::to_string(worker->status) + " and left no record";
        std::string error = "cable " + worker->location + ": " + why;
        // An interruption handed on while the worker was still starting ends
        // it before it catches interruptions, and so before it touched the flash.
        if (platformInterruptionCount() > 0 && worker->status == platformInterruptedStatus()) {
            error = "interrupted: cable " + worker->location +
                    ": its worker was stopped as it started; the flash "
                    "is unchanged";
        }
        worker->record = {
            {"schema", RECORD_SCHEMA},
            {"command", command},
            {"run", runId},
            {"cable", {{"location", worker->location}, {"name", worker->name}, {"channel", worker->channel}}},
            {"ok", false},
            {"status", worker->status},
            {"error", error},
            {"seconds", worker->seconds}};
        // A cable that left no record is never a success.
        worker->status = worker->status == STATUS_DONE ? STATUS_RECORD_NOT_KEPT : worker->status;
    }
    // A cable the listing did not show still carries the location asked for.
    nlohmann::ordered_json& cable = worker->record["cable"];
    if (!cable.is_object() || cable.value("location", "").empty()) {
        cable = {{"location", worker->location}, {"name", worker->name}, {"channel", worker->channel}};
    }
    // The status the parent saw is the one that counts, also for a record
    // written before the worker was killed.
    worker->record["status"] = worker->status;
    worker->record["ok"] = worker->status == STATUS_DONE;
    worker->record["result"] = workerResult(*worker);
}

void recordNotKept(Worker* worker, const std::string& error) {
    if (worker->status != STATUS_DONE) {
        return;
    }
    worker->status = STATUS_RECORD_NOT_KEPT;
    worker->record["status"] = worker->status;
    worker->record["ok"] = false;
    worker->record["result"] = workerResult(*worker);
    worker->record["error"] = error;
}

const char* workerResult(const Worker& worker) {
    return resultClass(worker.status, recordInterrupted(worker.record));
}

std::string errorOf(const Worker& worker) {
    nlohmann::ordered_json error = worker.record.value("error", nlohmann::ordered_json());
    return error.is_string() ? error.get<std::string>() : std::string();
}

// The workers' own output, each line under its cable's location.
void printWorkerOutput(const Worker& worker) {
    std::string text = platformReadSharedFile(worker.outputPath);
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end;
        printf("%s: %s\n", worker.location.c_str(), text.substr(start, end - start).c_str());
        start = end + 1;
    }
}

void removeWorkFiles(const Worker& worker) {
    platformRemoveFile(worker.outputPath);
    platformRemoveFile(worker.errorPath);
    platformRemoveFile(worker.recordPath);
}
void removeOrphanedWorkFiles(const std::string& recordPath, const std::vector<std::string>& imageCopies,
                             intptr_t parentId) {
    if (parentId == 0 || recordPath.empty() || !platformParentGone(parentId)) {
        return;
    }
    // The worker's files share its record's name: .json, .out, .err.
    std::string stem = recordPath.substr(0, recordPath.rfind('.'));
    for (const char* ending : {".json", ".out", ".err"}) {
        platformRemoveFile((stem + ending).c_str());
    }
    for (const std::string& copy : imageCopies) {
        platformRemoveFile(copy.c_str());
    }
    size_t slash = recordPath.find_last_of("/\\");
    if (slash != std::string::npos) {
        platformRemoveEmptyFolder(recordPath.substr(0, slash).c_str());
    }
}

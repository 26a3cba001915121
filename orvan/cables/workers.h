// The worker processes of a run on many cables: each started with its
// command line, watched while it runs (its standard error shown one line
// per cable), and its record collected when it ends.
#pragma once

#include <stdint.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "core/platform/platform.h"

const uint32_t WORKER_PATH_CHARS = 4096;

struct Worker {
    uint32_t locationId;
    std::string location; // as list shows it
    std::string name;     // as the listing gave it, for a worker that leaves no record
    std::string channel;
    PlatformProcess process;
    bool running;
    int status;
    uint64_t startMs;
    double seconds;
    char outputPath[WORKER_PATH_CHARS];
    char errorPath[WORKER_PATH_CHARS];
    char recordPath[WORKER_PATH_CHARS];
    size_t errorTaken;        // bytes of the error file already handed on
    std::string pendingError; // bytes of a line not yet ended
    std::string lastLine;
    nlohmann::ordered_json record;
};

// The worker's files in the work folder, by its location; a record left
// there by anything else is removed.
void nameWorkerFiles(Worker* worker, const std::string& workFolder);

// Starts the worker with its command line.
void startWorker(Worker* worker, const std::vector<std::string>& words);

// Takes the lines the worker wrote to standard error since the last look,
// adding them to lines (the last one also kept as lastLine), and notes its
// end: true at the look that finds it ended.
bool pollWorker(Worker* worker, std::vector<std::string>* lines);

// Waits until every worker has ended, showing their lines; hands the first
// interruption to each, and ends them at a second.
void watchWorkers(Worker* workers, uint32_t workerCount, bool quiet);

// The worker's own record; one made here when it left none (it crashed or was killed).
void collectRecord(const std::string& command, const std::string& runId, Worker* worker);

// How the worker's run ended, in the words of the summary, the record and the log.
const char* workerResult(const Worker& worker);

// The error of the worker's record, or "".
std::string errorOf(const Worker& worker);

// The worker's standard output, each line under its cable's location.
void printWorkerOutput(const Worker& worker);

void removeWorkFiles(const Worker& worker);

// A cable whose work was done but whose record (its log line, its board's
// database record) was not kept is no success: status 4, with this error.
void recordNotKept(Worker* worker, const std::string& error);

// Called by a worker as it ends: when its parent is gone (killed), nobody
// collects its files, so it removes them itself, the image copies it was
// given too, and the work folder once it is empty (the last worker out).
void removeOrphanedWorkFiles(const std::string& recordPath, const std::vector<std::string>& imageCopies,
                             intptr_t parentId);

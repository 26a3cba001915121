#include "orvan/cables/many_cables.h"

#include <stdio.h>
#include <string.h>

#include <vector>

#include "core/adapter/adapter_connection.h"
#include "core/flash/flash_geometry.h"
#include "core/platform/platform.h"
#include "orvan/cables/workers.h"
#include "orvan/commands/cable.h"
#include "orvan/commands/images.h"
#include "orvan/commands/orvan.h"
#include "orvan/commands/progress.h"
#include "orvan/production/production_log.h"

static const uint32_t PATH_CHARS = WORKER_PATH_CHARS;

static std::vector<Worker> workers;

bool manyCablesAsked(const std::string& cable) {
    return cable == "all" || cable.find(',') != std::string::npos;
}

// The locations of a list "LOC,LOC,..."; false at the first that does not read.
static bool readLocations(const std::string& cable, std::vector<uint32_t>* locations) {
    for (size_t start = 0;;) {
        size_t comma = cable.find(',', start);
        uint32_t locationId = 0;
        if (!parseLocation(cable.substr(start, comma - start), &locationId)) {
            return false;
        }
        locations->push_back(locationId);
        if (comma == std::string::npos) {
            return true;
        }
        start = comma + 1;
    }
}

bool cableValueIsValid(const std::string& cable) {
    std::vector<uint32_t> locations;
    return cable == "all" || readLocations(cable, &locations);
}

static void addWorker(std::vector<Worker>* chosen, uint32_t locationId, const std::string& name,
                      const std::string& channel) {
    for (const Worker& worker : *chosen) {
        if (worker.locationId == locationId) {
            return;
        }
    }
    if (chosen->size() == MAX_CABLES) {
        throw CommandFailure{STATUS_USAGE, "--cable: more than " + std::to_string(MAX_CABLES) + " cables"};
    }
    Worker worker = {};
    worker.locationId = locationId;
    worker.location = hexAddress(locationId);
    worker.name = name;
    worker.channel = channel;
    chosen->push_back(worker);
}

void chooseCables(const Request& request, std::vector<Worker>* chosen) {
    std::vector<ListedCable> listed = listCables("cable " + request.cable);
    if (request.cable.empty()) {
        for (const ListedCable& cable : listed) {
            if (cable.isDefault) {
                addWorker(chosen, cable.locationId, cable.name, cable.channel);
            }
        }
        if (chosen->empty()) {
            throw CommandFailure{STATUS_NO_CABLE, "no cable named Vexil... on channel A is listed"};
        }
        return;
    }
    if (request.cable == "all") {
        // Every listed cable that the writer would take by its name and channel.
        for (const ListedCable& cable : listed) {
            if (cable.matchesDefault) {
                addWorker(chosen, cable.locationId, cable.name, cable.channel);
            }
        }
        if (chosen->empty()) {
            throw CommandFailure{STATUS_NO_CABLE,
                                 "cable all: no cable named Vexil... on channel A is listed"};
        }
        return;
    }
    std::vector<uint32_t> locations;
    readLocations(request.cable, &locations); // checked with the command line
    for (uint32_t locationId : locations) {
        // A location that is not listed is the worker's to report.
        std::string name, channel;
        for (const ListedCable& cable : listed) {
            if (cable.locationId == locationId && name.empty()) {
                name = cable.name;
                channel = cable.channel;
            }
        }
        addWorker(chosen, locationId, name, channel);
    }
}

// Each cable's read goes to a file of its own: the names, once {location}
// is put in and links and ".." resolved, must differ.
static void checkReadOutputs(const Request& request) {
    if (request.output.find("{location}") == std::string::npos) {
        throw CommandFailure{STATUS_USAGE, "read -o " + request.output +
                                               ": give {location} in the file name, so that each cable "
                                               "gets a file of its own"};
    }
    std::vector<std::string> seen;
    for (uint32_t i = 0; i < workers.size(); i++) {
        std::string output = request.output;
        nameReadOutput(&output, workers[i].location.substr(2));
        char full[PLATFORM_PATH_CHARS];
        if (!platformFullPath(output.c_str(), full, sizeof full)) {
            throw CommandFailure{STATUS_USAGE,
                                 output + ": cannot be created (no such folder, or no permission)"};
        }
        for (const std::string& other : seen) {
            if (other == full) {
                throw CommandFailure{STATUS_USAGE, "read -o " + request.output +
                                                       ": two cables' files are the same file, " + full};
            }
        }
        seen.push_back(full);
    }
}

// What every worker would find wrong is said once, before any cable is touched.
static void checkInputs(const CommandEntry& entry, const Request& request) {
    if (entry.uses & USES_IMAGES) {
        loadImages(request);
    }
    if ((entry.uses & USES_OUTPUT) && workers.size() > 1) {
        checkReadOutputs(request);
    }
}

static char program[PATH_CHARS];
static std::string workFolder;
// The copies of the images, in the work folder: the bytes checked and hashed
// here are the bytes every worker sends, whatever happens to the files meanwhile.
static std::vector<std::string> imageCopies;

static void removeImageCopies() {
    for (const std::string& path : imageCopies) {
        platformRemoveFile(path.c_str());
    }
    imageCopies.clear();
}

static void copyImages() {
    for (uint32_t index = 0; index < imageCount; index++) {
        std::string path = workFolder + "/image-" + std::to_string(index);
        uint32_t length = 0;
        const uint8_t* bytes = imageFileBytes(index, &length);
        PlatformFile file;
        bool saved = platformCreateFile(path.c_str(), false, &file);
        if (saved) {
            imageCopies.push_back(path);
            saved = platformWriteFile(file, bytes, length);
            platformCloseFile(file);
        }
        if (!saved) {
            removeImageCopies();
            platformRemoveWorkFolder();
            throw CommandFailure{STATUS_USAGE,
                                 std::string("cables: the copy of ") + images[index].argument +
                                     " for the workers could not be made in the temporary folder"};
        }
    }
}

void prepareWorkers() {
    if (!platformProgramPath(program, sizeof(program))) {
        throw CommandFailure{STATUS_USAGE,
                             "cables: this program's own file cannot be found to start workers"};
    }
    workFolder = platformWorkFolder();
    if (workFolder.empty()) {
        throw CommandFailure{STATUS_USAGE,
                             "cables: no folder for the workers' files can be made in the temporary folder"};
    }
    copyImages();
}

const std::string& workerFolder() {
    return workFolder;
}

void releaseWorkers() {
    removeImageCopies();
    platformRemoveWorkFolder();
}

std::vector<std::string> workerArguments(const CommandEntry& entry, const Request& request,
                                         const Worker& worker, std::vector<std::string> own) {
    std::vector<std::string> words = {program,
                                      "--cable",
                                      worker.location,
                                      "--record",
                                      worker.recordPath,
                                      "--parent",
                                      std::to_string(platformProcessId()),
                                      "--run",
                                      request.runId,
                                      "-q",
                                      std::to_string(request.divisor)};
    for (const std::string& copy : imageCopies) {
        words.push_back("--image-source");
        words.push_back(copy);
    }
    if (request.quiet) {
        words.push_back("--quiet");
    }
    if (request.verbose) {
        words.push_back("--verbose");
    }
    words.insert(words.end(), own.begin(), own.end());
    std::vector<std::string> command = commandWords(entry, request);
    words.insert(words.end(), command.begin(), command.end());
    return words;
}

static void printSummary(FILE* stream) {
    fprintf(stream, "\n%-10s %-12s %-6s %-8s %s\n", "location", "result", "status", "seconds", "error");
    for (const Worker& worker : workers) {
        fprintf(stream, "%-10s %-12s %-6d %-8.2f %s\n", worker.location.c_str(), workerResult(worker),
                worker.status, worker.seconds, errorOf(worker).c_str());
    }
    fflush(stream);
}

// The run's closing line: how many cables ended how.
static void sayHowTheCablesEnded(const Request& request) {
    uint32_t ok = 0;
    uint32_t workerCount = static_cast<uint32_t>(workers.size());
    for (const Worker& worker : workers) {
        ok += worker.status == STATUS_DONE ? 1 : 0;
    }
    std::string what = request.command;
    for (uint32_t index = 0; index < imageCount; index++) {
        what += (index == 0 ? " of " : " and ") + std::string(images[index].argument);
    }
    std::string line = what + " on " + std::to_string(workerCount) +
                       " cables: " + paint(std::to_string(ok) + " ok", PAINT_GOOD);
    if (ok < workerCount) {
        line += ", " + paint(std::to_string(workerCount - ok) + " failed", PAINT_BAD);
    }
    progressSay(line);
}

// Every status but 0 is worse than 0; among failures, one outside the
// statuses orvan gives (a crash, or a Windows exception code) counts worst.
static bool worseStatus(int status, int than) {
    const int WORST_RANK = 256;
    int rank = status >= 0 && status < WORST_RANK ? status : WORST_RANK;
    int thanRank = than >= 0 && than < WORST_RANK ? than : WORST_RANK;
    return rank > thanRank;
}

// Appends the cable's line to the production log; a line the log does not
// take makes the cable's success a failure to keep its record.
static void logCable(const Request& request, Worker* worker) {
    if (!request.logGiven ||
        appendProductionLog(request.log, productionLogLine(worker->record, loadedImageFiles()))) {
        return;
    }
    fprintf(stderr, "orvan: %s: %s\n", worker->location.c_str(), productionLogError(request.log).c_str());
    recordNotKept(worker, productionLogError(request.log));
}

void runOnManyCables(const CommandEntry& entry, const Request& request, Outcome* outcome,
                     const CableRunHooks* hooks) {
    workers.clear();
    chooseCables(request, &workers);
    checkInputs(entry, request);
    uint32_t workerCount = static_cast<uint32_t>(workers.size());
    if (hooks != nullptr) {
        hooks->beforeStart(workers.data(), workerCount);
    }
    prepareWorkers();
    for (uint32_t i = 0; i < workerCount; i++) {
        nameWorkerFiles(&workers[i], workFolder);
        startWorker(&workers[i],
                    workerArguments(entry, request, workers[i],
                                    hooks != nullptr ? hooks->workerOptions(i) : std::vector<std::string>()));
    }
    watchWorkers(workers.data(), workerCount, request.quiet);
    int status = STATUS_DONE;
    std::string firstError;
    outcome->record["cables"] = nlohmann::ordered_json::array();
    for (uint32_t i = 0; i < workerCount; i++) {
        Worker* worker = &workers[i];
        collectRecord(request.command, request.runId, worker);
        if (hooks != nullptr) {
            hooks->afterEnd(i, worker);
        }
        logCable(request, worker);
        status = worseStatus(worker->status, status) ? worker->status : status;
        firstError = firstError.empty() ? errorOf(*worker) : firstError;
        if (!request.json) {
            printWorkerOutput(*worker);
        }
        outcome->record["cables"].push_back(worker->record);
        removeWorkFiles(*worker);
    }
    releaseWorkers();
    printSummary(request.json ? stderr : stdout);
    sayHowTheCablesEnded(request);
    // Each cable has its line in the log; the run as a whole has none.
    outcome->noLogLine = true;
    if (platformInterrupted()) {
        throw interruptionWith("interrupted: every cable was stopped; the summary says how each ended");
    }
    // The cables' own errors stand in the summary; the record keeps the first.
    outcome->status = status;
    outcome->error = firstError;
    outcome->errorShown = true;
}

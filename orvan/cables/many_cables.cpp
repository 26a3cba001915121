#include "orvan/cables/many_cables.h"

#include <stdio.h>
#include <string.h>

#include <vector>

#include "core/adapter/adapter_connection.h"
#include "core/flash/flash_geometry.h"
#include "core/platform/platform.h"
#include "orvan/commands/cable.h"
#include "orvan/commands/images.h"
#include "orvan/commands/orvan.h"
#include "orvan/production/production_log.h"

static const uint32_t POLL_INTERVAL_MS = 50;
static const uint32_t PATH_CHARS = 4096;
static const uint32_t READ_CHUNK_BYTES = 4096;
static const uint32_t START_ATTEMPTS = 3;
static const uint32_t START_RETRY_MS = 200;

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
    char outputPath[PATH_CHARS];
    char errorPath[PATH_CHARS];
    char recordPath[PATH_CHARS];
    size_t errorTaken;        // bytes of the error file already handed on
    std::string pendingError; // bytes of a line not yet ended
    std::string lastLine;
    nlohmann::ordered_json record;
};

static Worker workers[MAX_CABLES];
static uint32_t workerCount;
static bool terminalDrawn;

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

static void addWorker(uint32_t locationId, const std::string& name, const std::string& channel) {
    for (uint32_t i = 0; i < workerCount; i++) {
        if (workers[i].locationId == locationId) {
            return;
        }
    }
    if (workerCount == MAX_CABLES) {
        throw CommandFailure{STATUS_USAGE, "--cable: more than " + std::to_string(MAX_CABLES) + " cables"};
    }
    workers[workerCount].locationId = locationId;
    workers[workerCount].location = hexAddress(locationId);
    workers[workerCount].name = name;
    workers[workerCount].channel = channel;
    workerCount++;
}

static void chooseCables(const Request& request) {
    std::vector<ListedCable> listed = listCables("cable " + request.cable);
    if (request.cable == "all") {
        // Every listed cable that the writer would take by its name and channel.
        for (const ListedCable& cable : listed) {
            if (cable.matchesDefault) {
                addWorker(cable.locationId, cable.name, cable.channel);
            }
        }
        if (workerCount == 0) {
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
        addWorker(locationId, name, channel);
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
    for (uint32_t i = 0; i < workerCount; i++) {
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
static void checkInputs(const CommandSpec& spec, const Request& request) {
    if (spec.uses & USES_IMAGES) {
        loadImages(request);
    }
    if ((spec.uses & USES_OUTPUT) && workerCount > 1) {
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

// What every worker needs before the first starts: this program's file and
// a folder for the workers' files.
static void prepareWorkers() {
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

// The worker's command line, built from the request: this program, its
// cable, its record file, its parent, the copies of the images, the clock,
// and the command with its own options. --log and --json stay the parent's.
static std::vector<std::string> workerArguments(const CommandSpec& spec, const Request& request,
                                                const Worker& worker) {
    std::vector<std::string> words = {program,
                                      "--cable",
                                      worker.location,
                                      "--record",
                                      worker.recordPath,
                                      "--parent",
                                      std::to_string(platformProcessId()),
                                      "-q",
                                      std::to_string(request.divisor)};
    for (const std::string& copy : imageCopies) {
        words.push_back("--image-source");
        words.push_back(copy);
    }
    if (request.quiet) {
        words.push_back("--quiet");
    }
    std::vector<std::string> command = commandWords(spec, request);
    words.insert(words.end(), command.begin(), command.end());
    return words;
}

static void startWorker(const CommandSpec& spec, const Request& request, Worker* worker) {
    std::string name = workFolder + "/" + worker->location.substr(2);
    snprintf(worker->outputPath, PATH_CHARS, "%s.out", name.c_str());
    snprintf(worker->errorPath, PATH_CHARS, "%s.err", name.c_str());
    snprintf(worker->recordPath, PATH_CHARS, "%s.json", name.c_str());
    platformRemoveFile(worker->recordPath);
    std::vector<std::string> words = workerArguments(spec, request, *worker);
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

// Lines go to standard error as they come when no terminal shows them in place.
static void takeErrorLine(Worker* worker, const std::string& line, bool shownAsLines) {
    worker->lastLine = line;
    if (shownAsLines) {
        fprintf(stderr, "%s: %s\n", worker->location.c_str(), line.c_str());
    }
}

static std::string readTextFile(const char* path) {
    std::string text;
    PlatformFile file;
    if (!platformOpenSharedFile(path, &file)) {
        return text;
    }
    uint8_t chunk[READ_CHUNK_BYTES];
    uint32_t got = 0;
    while (platformReadFile(file, chunk, sizeof(chunk), &got) && got > 0) {
        text.append(reinterpret_cast<const char*>(chunk), got);
    }
    platformCloseFile(file);
    return text;
}

// Hands on the lines the worker has written to standard error since the
// last look. The file is opened for each look, so that a run on many
// cables holds no file open per worker.
static void readErrorLines(Worker* worker, bool shownAsLines) {
    std::string text = readTextFile(worker->errorPath);
    if (text.size() <= worker->errorTaken) {
        return;
    }
    worker->pendingError.append(text, worker->errorTaken, std::string::npos);
    worker->errorTaken = text.size();
    for (size_t end = worker->pendingError.find('\n'); end != std::string::npos;
         end = worker->pendingError.find('\n')) {
        takeErrorLine(worker, worker->pendingError.substr(0, end), shownAsLines);
        worker->pendingError.erase(0, end + 1);
    }
}

// One line per cable, redrawn in place.
static void drawCables() {
    if (terminalDrawn) {
        fprintf(stderr, "\033[%uA", workerCount);
    }
    for (uint32_t i = 0; i < workerCount; i++) {
        fprintf(stderr, "\r\033[K%-10s %s\n", workers[i].location.c_str(), workers[i].lastLine.c_str());
    }
    fflush(stderr);
    terminalDrawn = true;
}

static void watchWorkers(const Request& request) {
    bool terminal = platformStandardErrorIsTerminal() && !request.quiet;
    bool shownAsLines = !terminal && !request.quiet;
    uint32_t handedOn = 0;
    for (uint32_t running = workerCount; running > 0;) {
        platformSleepMs(POLL_INTERVAL_MS);
        running = 0;
        for (uint32_t i = 0; i < workerCount; i++) {
            Worker* worker = &workers[i];
            readErrorLines(worker, shownAsLines);
            if (worker->running && platformProcessEnded(worker->process, &worker->status)) {
                worker->running = false;
                worker->seconds =
                    (platformMonotonicMs() - worker->startMs) / static_cast<double>(MS_PER_SECOND);
                readErrorLines(worker, shownAsLines);
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
            drawCables();
        }
    }
}

// The worker's own record; one made here when it left none (it crashed or was killed).
static void collectRecord(const Request& request, Worker* worker) {
    worker->record = nlohmann::ordered_json::parse(readTextFile(worker->recordPath), nullptr, false);
    if (worker->record.is_discarded() || !worker->record.is_object()) {
        std::string why =
            worker->lastLine == "could not be started"
                ? "the worker could not be started"
                : "the worker ended with status " + std::to_string(worker->status) + " and left no record";
        worker->record = {
            {"command", request.command},
            {"cable", {{"location", worker->location}, {"name", worker->name}, {"channel", worker->channel}}},
            {"ok", false},
            {"status", worker->status},
            {"error", "cable " + worker->location + ": " + why},
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
}

static std::string errorOf(const Worker& worker) {
    nlohmann::ordered_json error = worker.record.value("error", nlohmann::ordered_json());
    return error.is_string() ? error.get<std::string>() : std::string();
}

// The workers' own output, each line under its cable's location.
static void printWorkerOutput(const Worker& worker) {
    std::string text = readTextFile(worker.outputPath);
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end;
        printf("%s: %s\n", worker.location.c_str(), text.substr(start, end - start).c_str());
        start = end + 1;
    }
}

static void printSummary(FILE* stream) {
    fprintf(stream, "\n%-10s %-12s %-6s %-8s %s\n", "location", "result", "status", "seconds", "error");
    for (uint32_t i = 0; i < workerCount; i++) {
        const Worker& worker = workers[i];
        const char* result = worker.status == STATUS_DONE       ? "done"
                             : recordInterrupted(worker.record) ? "interrupted"
                                                                : "failed";
        fprintf(stream, "%-10s %-12s %-6d %-8.2f %s\n", worker.location.c_str(), result, worker.status,
                worker.seconds, errorOf(worker).c_str());
    }
    fflush(stream);
}

static void removeWorkFiles(const Worker& worker) {
    platformRemoveFile(worker.outputPath);
    platformRemoveFile(worker.errorPath);
    platformRemoveFile(worker.recordPath);
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
    if (worker->status == STATUS_DONE) {
        worker->status = STATUS_RECORD_NOT_KEPT;
        worker->record["status"] = worker->status;
        worker->record["ok"] = false;
        worker->record["error"] = productionLogError(request.log);
    }
}

void runOnManyCables(const CommandSpec& spec, const Request& request, Outcome* outcome) {
    chooseCables(request);
    checkInputs(spec, request);
    prepareWorkers();
    for (uint32_t i = 0; i < workerCount; i++) {
        startWorker(spec, request, &workers[i]);
    }
    watchWorkers(request);
    int status = STATUS_DONE;
    std::string firstError;
    outcome->record["cables"] = nlohmann::ordered_json::array();
    for (uint32_t i = 0; i < workerCount; i++) {
        Worker* worker = &workers[i];
        collectRecord(request, worker);
        logCable(request, worker);
        status = worseStatus(worker->status, status) ? worker->status : status;
        firstError = firstError.empty() ? errorOf(*worker) : firstError;
        if (!request.json) {
            printWorkerOutput(*worker);
        }
        outcome->record["cables"].push_back(worker->record);
        removeWorkFiles(*worker);
    }
    removeImageCopies();
    platformRemoveWorkFolder();
    printSummary(request.json ? stderr : stdout);
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

#include "orvan/many_cables.h"

#include <stdio.h>
#include <string.h>

#include <vector>

#include "orvan/cable.h"
#include "orvan/images.h"
#include "orvan/orvan.h"
#include "orvan/production_log.h"
#include "orvanwriter/adapter/adapter_connection.h"
#include "orvanwriter/platform/platform.h"

static const uint32_t POLL_INTERVAL_MS = 50;
static const uint32_t PATH_CHARS = 4096;
static const uint32_t READ_CHUNK_BYTES = 4096;
static const double MS_PER_SECOND = 1000.0;

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
    PlatformFile errorFile;
    bool errorOpen;
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

bool cableValueIsValid(const std::string& cable) {
    if (cable == "all") {
        return true;
    }
    size_t start = 0;
    for (;;) {
        size_t comma = cable.find(',', start);
        uint32_t locationId = 0;
        if (!parseLocation(cable.substr(start, comma - start), &locationId)) {
            return false;
        }
        if (comma == std::string::npos) {
            return true;
        }
        start = comma + 1;
    }
}

static void addWorker(const AdapterDevice* device) {
    uint32_t locationId = device->locationId;
    for (uint32_t i = 0; i < workerCount; i++) {
        if (workers[i].locationId == locationId) {
            return;
        }
    }
    if (workerCount == MAX_CABLES) {
        finish(STATUS_USAGE, "--cable: more than " + std::to_string(MAX_CABLES) + " cables");
    }
    workers[workerCount].locationId = locationId;
    workers[workerCount].location = hexAddress(locationId);
    workers[workerCount].name = device->name;
    workers[workerCount].channel = device->channel;
    workerCount++;
}

// "all": every listed cable that the writer would take by its name and channel.
static void addEveryDefaultCable() {
    uint32_t count = 0;
    if (!countAdapters(&count)) {
        finish(STATUS_NO_CABLE, "cable all: the adapter library could not count its devices");
    }
    for (uint32_t index = 0; index < count; index++) {
        static AdapterDevice device;
        if (!describeAdapter(index, &device)) {
            finish(STATUS_NO_CABLE,
                   "cable all: the adapter library could not describe device " + std::to_string(index));
        }
        if (isDefaultAdapter(&device)) {
            addWorker(&device);
        }
    }
    if (workerCount == 0) {
        finish(STATUS_NO_CABLE, "cable all: no cable named Vexil... on channel A is listed");
    }
}

static void chooseCables() {
    if (options.cable == "all") {
        addEveryDefaultCable();
        return;
    }
    size_t start = 0;
    for (;;) {
        size_t comma = options.cable.find(',', start);
        static AdapterDevice device;
        uint32_t locationId = 0;
        parseLocation(options.cable.substr(start, comma - start), &locationId);
        // A location that is not listed is the worker's to report.
        if (findAdapterAt(locationId, &device) != ADAPTER_OPENED) {
            device = AdapterDevice();
            device.locationId = locationId;
        }
        addWorker(&device);
        if (comma == std::string::npos) {
            return;
        }
        start = comma + 1;
    }
}

// What every worker would find wrong is said once, before any cable is touched.
static void checkInputs() {
    if (options.command == "verify" || options.command == "write") {
        loadImages();
    }
    if (options.command == "read" && workerCount > 1 &&
        options.output.find("{location}") == std::string::npos) {
        finish(STATUS_USAGE, "read -o " + options.output +
                                 ": give {location} in the file name, so that each " +
                                 "cable gets a file of its own");
    }
}

static bool isOption(const char* argument, const char* name) {
    size_t length = strlen(name);
    return strncmp(argument, name, length) == 0 && (argument[length] == '\0' || argument[length] == '=');
}

// The worker's command line: this program, its cable, its record file, and
// the user's words without --cable, --log and --json, which the parent keeps.
static std::vector<std::string> workerArguments(const Worker& worker, int argumentCount, char** arguments) {
    char program[PATH_CHARS];
    if (!platformProgramPath(program, sizeof(program))) {
        finish(STATUS_NO_CABLE, "cables: this program's own file cannot be found to start workers");
    }
    std::vector<std::string> words = {program, "--cable", worker.location, "--record", worker.recordPath};
    for (int i = 1; i < argumentCount; i++) {
        bool valued = isOption(arguments[i], "--cable") || isOption(arguments[i], "--log");
        if (valued || strcmp(arguments[i], "--json") == 0) {
            i += valued && strchr(arguments[i], '=') == nullptr ? 1 : 0;
            continue;
        }
        words.push_back(arguments[i]);
    }
    return words;
}

static void startWorker(Worker* worker, int argumentCount, char** arguments) {
    std::string name = worker->location.substr(2);
    platformWorkFilePath((name + ".out").c_str(), worker->outputPath, PATH_CHARS);
    platformWorkFilePath((name + ".err").c_str(), worker->errorPath, PATH_CHARS);
    platformWorkFilePath((name + ".json").c_str(), worker->recordPath, PATH_CHARS);
    platformRemoveFile(worker->recordPath);
    std::vector<std::string> words = workerArguments(*worker, argumentCount, arguments);
    std::vector<const char*> pointers;
    for (const std::string& word : words) {
        pointers.push_back(word.c_str());
    }
    pointers.push_back(nullptr);
    worker->startMs = platformMonotonicMs();
    worker->running =
        platformStartProcess(pointers.data(), worker->outputPath, worker->errorPath, &worker->process);
    worker->status = STATUS_NO_CABLE;
    worker->lastLine = worker->running ? "started" : "could not be started";
    worker->errorOpen = worker->running && platformOpenSharedFile(worker->errorPath, &worker->errorFile);
}

static void takeErrorLine(Worker* worker, const std::string& line, bool terminal) {
    worker->lastLine = line;
    if (!terminal && !options.quiet) {
        fprintf(stderr, "%s: %s\n", worker->location.c_str(), line.c_str());
    }
}

// Hands on the lines the worker has written to standard error since the last look.
static void readErrorLines(Worker* worker, bool terminal) {
    if (!worker->errorOpen) {
        return;
    }
    uint8_t chunk[READ_CHUNK_BYTES];
    uint32_t got = 0;
    while (platformReadFile(worker->errorFile, chunk, sizeof(chunk), &got) && got > 0) {
        worker->pendingError.append(reinterpret_cast<const char*>(chunk), got);
        for (size_t end = worker->pendingError.find('\n'); end != std::string::npos;
             end = worker->pendingError.find('\n')) {
            takeErrorLine(worker, worker->pendingError.substr(0, end), terminal);
            worker->pendingError.erase(0, end + 1);
        }
        if (got < sizeof(chunk)) {
            break;
        }
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

static void watchWorkers() {
    bool terminal = platformStandardErrorIsTerminal() && !options.quiet;
    bool interruptionHandedOn = false;
    for (uint32_t running = workerCount; running > 0;) {
        platformSleepMs(POLL_INTERVAL_MS);
        running = 0;
        for (uint32_t i = 0; i < workerCount; i++) {
            Worker* worker = &workers[i];
            readErrorLines(worker, terminal);
            if (worker->running && platformProcessEnded(worker->process, &worker->status)) {
                worker->running = false;
                worker->seconds = (platformMonotonicMs() - worker->startMs) / MS_PER_SECOND;
                readErrorLines(worker, terminal);
            }
            running += worker->running ? 1 : 0;
        }
        if (platformInterrupted() && !interruptionHandedOn) {
            interruptionHandedOn = true;
            for (uint32_t i = 0; i < workerCount; i++) {
                if (workers[i].running) {
                    platformInterruptProcess(workers[i].process);
                }
            }
        }
        if (terminal) {
            drawCables();
        }
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

// The worker's own record; one made here when it left none (it crashed or was killed).
static void collectRecord(Worker* worker) {
    worker->record = nlohmann::ordered_json::parse(readTextFile(worker->recordPath), nullptr, false);
    if (worker->record.is_discarded() || !worker->record.is_object()) {
        std::string why =
            worker->lastLine == "could not be started"
                ? "the worker could not be started"
                : "the worker ended with status " + std::to_string(worker->status) + " and left no record";
        worker->record = {
            {"command", options.command},
            {"cable", {{"location", worker->location}, {"name", worker->name}, {"channel", worker->channel}}},
            {"ok", false},
            {"status", worker->status},
            {"error", "cable " + worker->location + ": " + why},
            {"seconds", worker->seconds}};
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
        const char* result = worker.status == STATUS_DONE                   ? "done"
                             : errorOf(worker).rfind("interrupted", 0) == 0 ? "interrupted"
                                                                            : "failed";
        fprintf(stream, "%-10s %-12s %-6d %-8.2f %s\n", worker.location.c_str(), result, worker.status,
                worker.seconds, errorOf(worker).c_str());
    }
    fflush(stream);
}

static void removeWorkFiles(const Worker& worker) {
    if (worker.errorOpen) {
        platformCloseFile(worker.errorFile);
    }
    platformRemoveFile(worker.outputPath);
    platformRemoveFile(worker.errorPath);
    platformRemoveFile(worker.recordPath);
}

void runOnManyCables(int argumentCount, char** arguments) {
    chooseCables();
    checkInputs();
    for (uint32_t i = 0; i < workerCount; i++) {
        startWorker(&workers[i], argumentCount, arguments);
    }
    watchWorkers();
    int status = STATUS_DONE;
    std::string firstError;
    record["cables"] = nlohmann::ordered_json::array();
    for (uint32_t i = 0; i < workerCount; i++) {
        Worker* worker = &workers[i];
        collectRecord(worker);
        status = worker->status > status ? worker->status : status;
        firstError = firstError.empty() ? errorOf(*worker) : firstError;
        if (!options.json) {
            printWorkerOutput(*worker);
        }
        if (!options.log.empty()) {
            appendProductionLog(options.log, productionLogLine(worker->record));
        }
        record["cables"].push_back(worker->record);
        removeWorkFiles(*worker);
    }
    printSummary(options.json ? stderr : stdout);
    // Each cable has its line in the log; the run as a whole has none.
    options.log.clear();
    if (platformInterrupted()) {
        finishInterruptedWith("interrupted: every cable was stopped; the summary says how each ended");
    }
    // The cables' own errors stand in the summary; the record keeps the first.
    finishQuietly(status, firstError);
}

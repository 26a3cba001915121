// The companion command's shared records: its options, its exit statuses
// and the record of the run that --json prints.
#pragma once

#include <stdint.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "core/platform/platform.h"
#include "orvan/operations/cable_session.h"

// The statuses 0 to 3 are the operations' (orvan/operations/failure.h).
const int STATUS_RECORD_NOT_KEPT = 4; // the record (--log, the database) could not be kept: found before
                                      // the cable, nothing was done; after, the work was done

// The version of the --json record and of the production log's lines; it
// grows when a field changes meaning or goes away, not when one is added.
const int RECORD_SCHEMA = 1;

// What the command line asks for, parsed once; every command takes it.
struct Request {
    std::string cable; // empty: the writer's own choice of cable
    uint32_t divisor = DEFAULT_DIVISOR;
    bool json = false;
    bool quiet = false;
    bool verbose = false; // each target transaction on standard error
    std::string command;
    uint32_t sector = 0;
    bool sectorGiven = false;
    uint32_t count = 0; // 0: one sector with --sector, else the whole flash
    std::string output;
    bool force = false;
    std::vector<std::string> images;
    bool changed = false;
    bool full = false;
    bool logGiven = false;
    std::string log;        // the production log to append to
    std::string recordPath; // a worker's: where its --json record goes as well
    // A worker's: the copies of the images, in order, that its parent read
    // and checked, and the parent it ends with.
    std::vector<std::string> imageSources;
    int64_t parentId = 0;
    std::string runId; // shared by the cables of one run; made when not given
    // A worker's: the board's own bytes, "0xADDRESS:HEXBYTES", written with the images.
    std::vector<std::string> boardData;
    std::string recipe;       // run, recipe, report: the recipe file
    std::string recipeAction; // recipe: "check" or "pin"
    // report: the database (or the recipe's), the time window, the boards asked about.
    std::string database;
    std::string since;
    std::string until;
    std::string serial; // a serial as written, a number, or FIRST-LAST
    bool csv = false;
    bool verifyChain = false;
    // station: the events file ("-": standard output), the boards after which
    // it ends (0: none), and the terminal's bell on a failed board.
    std::string events;
    uint32_t boardLimit = 0;
    bool bell = false;
    // A station's worker: "present" or "absent", what it waits for.
    std::string boardWanted;
};

// How a command ended: its status, its error (empty when none) and the
// fields of the record --json prints, which the command fills as it goes.
struct Outcome {
    int status = STATUS_DONE;
    std::string error;
    bool errorShown = false; // the command showed its errors its own way
    bool interrupted = false;
    // The run gives the production log no line of its own: its workers wrote
    // theirs, or the log was refused before the run.
    bool noLogLine = false;
    nlohmann::ordered_json record = {{"schema", RECORD_SCHEMA}};
};

// A failure found deep inside a command, an operation's among them: thrown
// to the one place that runs commands, which turns it into the outcome.
using CommandFailure = OperationFailure;

// A file the command made and has not finished: closed and removed when the
// command ends early.
struct UnfinishedOutput {
    std::string path; // empty: none
    PlatformFile file;
    bool open;
};
extern UnfinishedOutput unfinishedOutput;

// The commands: each fills the outcome it is given, or throws CommandFailure.
void runList(const Request& request, Outcome* outcome);
void runInfo(const Request& request, Outcome* outcome);
void runRead(const Request& request, Outcome* outcome);
void runVerify(const Request& request, Outcome* outcome);
void runErase(const Request& request, Outcome* outcome);
void runWriteCommand(const Request& request, Outcome* outcome);
void runRecipeCommand(const Request& request, Outcome* outcome);
void runRecipe(const Request& request, Outcome* outcome);
void runReport(const Request& request, Outcome* outcome);
void runStation(const Request& request, Outcome* outcome);
void runPresence(const Request& request, Outcome* outcome);

// Checks of a request that need no cable, made once before the command runs
// or fans out to workers; each throws CommandFailure with STATUS_USAGE. The
// range commands' checks then show the range they will work on.
void checkRangeRequest(const Request& request);
void checkWriteRequest(const Request& request);
void checkReadRequest(const Request& request);
void checkReportRequest(const Request& request);

// Puts the cable's location in place of each {location} of a read's file name.
void nameReadOutput(std::string* output, const std::string& location);

// An address in a --json record: the number, and its hex text beside it.
void putAddress(nlohmann::ordered_json* json, const char* name, uint32_t address);

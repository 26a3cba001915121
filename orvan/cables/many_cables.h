// One command on several cables at once: a worker process per cable (this
// program again, with --cable naming one location), their progress one line
// per cable, a summary table, one --json record and the production log.
#pragma once

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "orvan/cables/workers.h"
#include "orvan/commands/command_table.h"

const uint32_t MAX_CABLES = 64;

// True when --cable names more than one cable: "all" or a list.
bool manyCablesAsked(const std::string& cable);

// Checks a --cable value: "all", a location, or locations separated by commas.
bool cableValueIsValid(const std::string& cable);

// The cables --cable names (an empty --cable: the writer's own choice), as
// workers not yet started; throws CommandFailure when none is listed.
void chooseCables(const Request& request, std::vector<Worker>* chosen);

// What every worker needs before the first starts: this program's file, a
// private folder for the workers' files, and copies of the loaded images
// there, so that the bytes checked and hashed here are the bytes every
// worker sends, whatever happens to the files meanwhile.
void prepareWorkers();
const std::string& workerFolder();
// Removes the image copies and the work folder, once every worker ended.
void releaseWorkers();

// The worker's command line, built from the request: this program, its
// cable, its record file, its parent, the copies of the images, the clock,
// --quiet and --verbose, its own options, and the command with its own
// options. --log and --json stay the parent's.
std::vector<std::string> workerArguments(const CommandEntry& entry, const Request& request,
                                         const Worker& worker, std::vector<std::string> own);

// What a run on many cables does for each board beside the command: a
// production run reserves the boards' values, hands each worker its
// board's bytes, and records each board's outcome.
struct CableRunHooks {
    // Once the cables are chosen and the inputs checked, before the first
    // worker starts; a CommandFailure thrown here ends the run untouched.
    std::function<void(const Worker* workers, uint32_t workerCount)> beforeStart;
    // The worker's own options, put before the command.
    std::function<std::vector<std::string>(uint32_t index)> workerOptions;
    // Once the worker ended and its record was collected; may make a
    // success a failure to keep its record.
    std::function<void(uint32_t index, Worker* worker)> afterEnd;
};

// Runs the command on every cable --cable names (an empty --cable: the
// writer's own choice), each in a worker of its own, and gives the run's
// outcome: a record per cable, a summary, a log line per cable.
void runOnManyCables(const CommandEntry& entry, const Request& request, Outcome* outcome,
                     const CableRunHooks* hooks = nullptr);

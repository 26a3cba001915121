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

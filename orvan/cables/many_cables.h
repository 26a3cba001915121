// One command on several cables at once: a worker process per cable (this
// program again, with --cable naming one location), their progress one line
// per cable, a summary table, one --json record and the production log.
#pragma once

#include <stdint.h>

#include <string>

#include "orvan/commands/command_table.h"

const uint32_t MAX_CABLES = 64;

// True when --cable names more than one cable: "all" or a list.
bool manyCablesAsked(const std::string& cable);

// Checks a --cable value: "all", a location, or locations separated by commas.
bool cableValueIsValid(const std::string& cable);

// Runs the command on every cable --cable names, each in a worker of its
// own, and gives the run's outcome: a record per cable, a summary, a log
// line per cable.
void runOnManyCables(const CommandSpec& spec, const Request& request, Outcome* outcome);

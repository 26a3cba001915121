// One command on several cables at once: a worker process per cable (this
// program again, with --cable naming one location), their progress one line
// per cable, a summary table, one --json record and the production log.
#pragma once

#include <stdint.h>

#include <string>

const uint32_t MAX_CABLES = 64;

// True when --cable names more than one cable: "all" or a list.
bool manyCablesAsked(const std::string& cable);

// Checks a --cable value: "all", a location, or locations separated by commas.
bool cableValueIsValid(const std::string& cable);

// Runs the command line on every cable --cable names and ends the process.
[[noreturn]] void runOnManyCables(int argumentCount, char** arguments);

// The write run: opens the adapter, checks the target and writes each image
// job; every path ends the process.
#pragma once

#include "orvanwriter/command_line.h"

// Returns only with the program's own cable open and configured; otherwise
// prints the failure, waits for a key and ends the process with status -1.
void openAdapter();

[[noreturn]] void runWrite(const RunOptions* options);

// The write run: opens the adapter, checks the target and writes each image
// job; every path ends the process.
#pragma once

#include "orvanwriter/frontend/command_line.h"

[[noreturn]] void runWrite(const RunOptions* options);

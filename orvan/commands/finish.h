// How every run of orvan ends, once, in main: the error line, the cable
// closed, what the command left unfinished removed, the production log's
// line, the --json record, and the status.
#pragma once

#include "orvan/commands/orvan.h"

[[noreturn]] void finishProcess(const Request& request, Outcome* outcome);

// The progress of the flash steps: a phase ("read", "erase", "blank",
// "program", "verify", "compare") and its bytes done of total. Each front end
// defines these three: orvan draws its bars (orvan/commands/progress.cpp),
// liborvan calls its caller's callback (library/progress.cpp).
#pragma once

#include <stdint.h>

void progressBegin(const char* phase, uint64_t total);
void progressUpdate(uint64_t done);
void progressEnd();

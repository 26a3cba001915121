// Progress of the long steps on standard error: a bar redrawn in place with
// bytes done, rate and time left on a terminal, plain lines elsewhere;
// nothing under --quiet.
#pragma once

#include <stdint.h>

// Whether progress is shown at all (not under --quiet); set once at the start.
void progressShow(bool shown);

void progressBegin(const char* phase, uint64_t total);
void progressUpdate(uint64_t done);
void progressEnd();
// Leaves a bar that stopped short on its own line, so a message follows cleanly.
void progressStop();
// Clears a bar drawn on a terminal, so that a line of its own can go there;
// the bar comes back at the next update.
void progressMakeRoom();

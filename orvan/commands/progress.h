// Progress and closing lines of the long steps on standard error: a bar
// redrawn in place on a terminal, cut to its width and naming the image and
// the phase; plain lines elsewhere; nothing under --quiet.
#pragma once

#include <stdint.h>

#include <string>

// Whether progress is shown at all (not under --quiet); set once at the start.
void progressShow(bool shown);

// The image or file the next bars work on; "" for none.
void progressSubject(const std::string& subject);

// progressBegin, progressUpdate and progressEnd: the flash steps' (drawn here).
#include "orvan/operations/step_progress.h"

// Leaves a bar that stopped short on its own line, so a message follows cleanly.
void progressStop();

// A closing line (an image's outcome, the command's), unless --quiet.
void progressSay(const std::string& line);

enum Paint { PAINT_GOOD, PAINT_BAD };
// The text in its colour where colour is wanted: standard error a terminal
// and NO_COLOR unset or empty.
std::string paint(const std::string& text, Paint how);

// Colour is for a terminal, and not when NO_COLOR is set.
bool colourWanted();

// Clears a bar drawn on a terminal, so that a line of its own can go there;
// the bar comes back at the next update.
void progressMakeRoom();

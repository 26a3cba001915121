// The text of one progress row, cut to the terminal's width: what a bar
// shows of a phase, built from numbers alone so that a worker's plain
// progress line and a live bar look the same.
#pragma once

#include <stdint.h>

#include <string>

struct ProgressView {
    std::string subject; // the image or file the phase works on; "" for none
    std::string phase;   // "erase", "program", "verify", ...
    uint64_t done;
    uint64_t total;
    uint64_t elapsedMs; // 0: rate and time left unknown
};

// The row for a terminal of columns columns: never longer than columns - 1
// characters, so that the cursor never wraps onto the next row. Parts are
// left out, least needed first (rate, sizes, time left), the bar narrowed
// and the subject cut before the row is. columns 0 means unknown: 80.
std::string progressLine(const ProgressView& view, uint32_t columns);

// The plain line a process that draws no bar writes for the same view:
// "app.hex: program 10240/131072 bytes".
std::string progressPlainLine(const ProgressView& view);

// Reads such a plain line back; false when the line is no progress line.
bool readProgressPlainLine(const std::string& line, ProgressView* view);

// Columns a text takes on a terminal: one per UTF-8 character; colour
// sequences ("\033[...m") none.
size_t visibleColumns(const std::string& text);

// Cuts text to at most columns - 1 characters (0: unknown, 80).
std::string fitToColumns(const std::string& text, uint32_t columns);

// Folds a closing line to rows of at most columns - 1 visible characters,
// at the ", " between its parts, each further row indented by two spaces;
// colour sequences take no room. A part longer than a row is cut.
std::string foldToColumns(const std::string& text, uint32_t columns);

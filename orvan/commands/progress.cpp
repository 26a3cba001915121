#include "orvan/commands/progress.h"

#include <stdio.h>
#include <stdlib.h>

#include "core/platform/platform.h"
#include "orvan/display/progress_line.h"

struct ProgressState {
    ProgressView view;
    uint64_t startMs;
    uint64_t lastShown;
    bool shown;
    bool terminal;
};

static ProgressState state;
static bool progressWanted = true;
// A bar stands on the terminal's current row: every phase redraws that one
// row, and a closing line or an error takes its place.
static bool barOnRow;
static std::string subject;

void progressShow(bool shown) {
    progressWanted = shown;
}

void progressSubject(const std::string& name) {
    subject = name;
}

// The width is asked at every redraw, so that a resized window is followed.
static void drawBar(uint64_t done) {
    state.view.done = done;
    state.view.elapsedMs = platformMonotonicMs() - state.startMs;
    std::string line = progressLine(state.view, platformTerminalColumns());
    fprintf(stderr, "\r%s\033[K", line.c_str());
    fflush(stderr);
    barOnRow = true;
}

void progressBegin(const char* phase, uint64_t total) {
    state.view = ProgressView{subject, phase, 0, total, 0};
    state.startMs = platformMonotonicMs();
    state.lastShown = 0;
    state.shown = progressWanted;
    state.terminal = platformStandardErrorIsTerminal();
    if (state.shown && state.terminal) {
        drawBar(0);
    }
}

void progressUpdate(uint64_t done) {
    if (!state.shown || done == state.lastShown) {
        return;
    }
    state.lastShown = done;
    if (state.terminal) {
        drawBar(done);
        return;
    }
    state.view.done = done;
    fprintf(stderr, "%s\n", progressPlainLine(state.view).c_str());
}

void progressEnd() {
    if (state.shown && state.terminal) {
        drawBar(state.view.total);
    }
    state.shown = false;
}

void progressStop() {
    if (barOnRow) {
        fprintf(stderr, "\r\033[K");
        fflush(stderr);
        barOnRow = false;
    }
    state.shown = false;
}

void progressSay(const std::string& line) {
    progressStop();
    if (progressWanted) {
        // On a terminal a long line is folded, so that no row wraps.
        bool terminal = platformStandardErrorIsTerminal();
        fprintf(stderr, "%s\n",
                terminal ? foldToColumns(line, platformTerminalColumns()).c_str() : line.c_str());
        fflush(stderr);
    }
}

bool colourWanted() {
    const char* noColour = getenv("NO_COLOR");
    return platformStandardErrorIsTerminal() && (noColour == nullptr || noColour[0] == '\0');
}

std::string paint(const std::string& text, Paint how) {
    if (!colourWanted()) {
        return text;
    }
    return std::string(how == PAINT_GOOD ? "\033[32m" : "\033[31m") + text + "\033[0m";
}

void progressMakeRoom() {
    if (barOnRow) {
        fprintf(stderr, "\r\033[K");
        barOnRow = false;
    }
}

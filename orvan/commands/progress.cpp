#include "orvan/commands/progress.h"

#include <stdio.h>

#include "core/flash/flash_geometry.h"
#include "core/platform/platform.h"

static const uint32_t BAR_WIDTH = 30;

struct ProgressState {
    const char* phase;
    uint64_t total;
    uint64_t startMs;
    uint64_t lastShown;
    bool shown;
    bool terminal;
};

static ProgressState state;
static bool progressWanted = true;

void progressShow(bool shown) {
    progressWanted = shown;
}

static void drawBar(uint64_t done) {
    uint64_t elapsedMs = platformMonotonicMs() - state.startMs;
    uint32_t filled = state.total == 0 ? BAR_WIDTH : static_cast<uint32_t>(done * BAR_WIDTH / state.total);
    char bar[BAR_WIDTH + 1];
    for (uint32_t i = 0; i < BAR_WIDTH; i++) {
        bar[i] = i < filled ? '#' : '-';
    }
    bar[BAR_WIDTH] = '\0';
    double kibPerSecond = elapsedMs == 0 ? 0.0 : done * 1.0 * MS_PER_SECOND / elapsedMs / 1024.0;
    uint64_t leftSeconds = done == 0 ? 0 : (state.total - done) * elapsedMs / done / MS_PER_SECOND;
    fprintf(stderr, "\r%-8s [%s] %llu/%llu bytes %7.1f KiB/s %llu s left ", state.phase, bar,
            static_cast<unsigned long long>(done), static_cast<unsigned long long>(state.total), kibPerSecond,
            static_cast<unsigned long long>(leftSeconds));
    fflush(stderr);
}

void progressBegin(const char* phase, uint64_t total) {
    state.phase = phase;
    state.total = total;
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
    } else {
        fprintf(stderr, "%s: %llu/%llu bytes\n", state.phase, static_cast<unsigned long long>(done),
                static_cast<unsigned long long>(state.total));
    }
}

void progressEnd() {
    if (state.shown && state.terminal) {
        drawBar(state.total);
        fprintf(stderr, "\n");
    }
    state.shown = false;
}

void progressStop() {
    if (state.shown && state.terminal) {
        fprintf(stderr, "\n");
    }
    state.shown = false;
}

void progressMakeRoom() {
    if (state.shown && state.terminal) {
        fprintf(stderr, "\r\033[K");
    }
}

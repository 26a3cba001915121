// presence: a station's look at one slot between boards. It holds the cable
// open and reads the target's identity until the board has been as wanted
// (present or absent) for a settling time, so that a board half seated, or
// one that answers once and then stops, is never taken as placed. Each
// change of what the reads find goes to standard error as one line, which
// the station follows.
#include <stdio.h>

#include "core/adapter/adapter_connection.h"
#include "core/flash/flash_protocol.h"
#include "core/platform/platform.h"
#include "orvan/commands/cable.h"
#include "orvan/commands/orvan.h"
#include "orvan/station/station.h"

static const uint32_t PRESENCE_POLL_MS = 10;
// A board must answer this long without a miss before it is written.
static const uint32_t PRESENT_SETTLE_MS = 50;
// A board must stay silent this long before it counts as taken away: a
// contact that bounces as the board comes off is not a new board.
static const uint32_t ABSENT_SETTLE_MS = 100;

static std::string presenceLine(uint8_t identity) {
    if (identity == IDENTITY_BYTE) {
        return PRESENCE_LINE_PRESENT;
    }
    if (identity == ABSENT_TARGET_BYTE) {
        return PRESENCE_LINE_ABSENT;
    }
    return std::string(PRESENCE_LINE_STRANGER) + hexByte(identity);
}

void runPresence(const Request& request, Outcome* outcome) {
    bool wantPresent = request.boardWanted == "present";
    CableSession cable = openCableOnly(request, outcome);
    std::string seen;
    uint64_t sameSinceMs = 0;
    for (;;) {
        if (platformInterrupted()) {
            throw interruption(false);
        }
        std::string line = presenceLine(readIdentity());
        if (adapterGone()) {
            throw cableGone(cable.location, "the wait for a board");
        }
        uint64_t nowMs = platformMonotonicMs();
        if (line != seen) {
            fprintf(stderr, "%s\n", line.c_str());
            fflush(stderr);
            seen = line;
            sameSinceMs = nowMs;
        }
        bool present = line == PRESENCE_LINE_PRESENT;
        if (present == wantPresent &&
            nowMs - sameSinceMs >= (wantPresent ? PRESENT_SETTLE_MS : ABSENT_SETTLE_MS)) {
            outcome->record["board"] = wantPresent ? "present" : "absent";
            return;
        }
        platformSleepMs(PRESENCE_POLL_MS);
    }
}

// The station's slots as the loop drives them: each slot's worker (a wait
// for its board, or the board's write), the board's values and its record
// until kept. One step looks at one slot and moves it on; nothing waits.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "orvan/cables/workers.h"
#include "orvan/commands/command_table.h"
#include "orvan/database/production_db.h"
#include "orvan/recipe/recipe.h"
#include "orvan/station/station.h"

struct StationSlot {
    SlotView view;
    Worker worker;                // the slot's worker of the moment
    bool writing = false;         // the worker writes the board (else it waits for one)
    bool wantPresent = true;      // what the waiting worker waits for
    bool needRemoval = false;     // a board was written and has not been taken off since
    bool boardGone = false;       // taken off while its record was being kept
    std::string faultAfterRecord; // the cable failed while the record was being kept
    bool checkRemoval = false;    // a failed write: the next look tells whether the board was taken off
    bool waitStopped = false;     // the wait was interrupted: the station stops
    bool startFailed = false;     // the system would not start the worker
    bool hasUnit = false;
    ReservedUnit unit;
    Worker finished; // the board's write, once it ended, until its record is kept
    bool logged = false;
    uint64_t retryAtMs = 0;
    uint64_t lastProgressEventMs = 0;
    std::string lastDbError;
};

struct Station {
    const Recipe* recipe = nullptr;
    Request write; // the write every board gets
    const CommandEntry* writeEntry = nullptr;
    const CommandEntry* presenceEntry = nullptr;
    ProductionDb* db = nullptr;
    RunIdentity identity;
    std::vector<StationSlot> slots;
    StationTotals totals;
    uint64_t startMs = 0;
    uint32_t started = 0;    // boards whose write was started
    uint32_t boardLimit = 0; // --count; 0: none
    bool stopping = false;   // no new boards
    bool lastChance = false; // stopped at once: records are tried once more, then given up
    std::string stopReason;
    bool plain = false; // lines on standard error instead of a screen
    bool bell = false;
    bool logGiven = false;
    std::string log;
    int worstStatus = STATUS_DONE;
    std::vector<std::string> notKept; // boards whose records could not be kept
};

// Starts the slot's first wait for a board.
void startSlot(Station* station, StationSlot* slot);

// Looks at the slot once and moves it on.
void stepSlot(Station* station, StationSlot* slot, uint64_t nowMs);

// Whether the slot has nothing left to do: no worker, no board being written or recorded.
bool slotFinished(const StationSlot& slot);

// station: the operator's loop. Each slot (a cable of the fixture) waits for
// a board, writes the recipe with that board's own values and its record,
// shows the result, and waits for the board to be taken away before the
// next; the slots keep their own rhythm. What the screen shows and what the
// events file says are made from the same view of each slot.
#pragma once

#include <stdint.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

// The presence worker's lines, one at each change of what the reads find.
const char* const PRESENCE_LINE_PRESENT = "board present";
const char* const PRESENCE_LINE_ABSENT = "board absent";
const char* const PRESENCE_LINE_STRANGER = "board answers "; // + its identity byte
// With no target driving it, the data line idles high.
const uint8_t ABSENT_TARGET_BYTE = 0xFF;

// The version of the events file's lines; it grows when a field changes
// meaning or goes away, not when one is added.
const int STATION_EVENTS_SCHEMA = 1;

enum SlotState {
    SLOT_WAITING,   // for a board
    SLOT_RESERVING, // a board is there; its values are being reserved
    SLOT_WRITING,
    SLOT_RECORDING, // written; its record is being kept
    SLOT_PASSED,    // shown until the board is taken away
    SLOT_FAILED,
    SLOT_CABLE_FAULT,
    SLOT_STOPPED,
};

// What the screen and the events show of one slot.
struct SlotView {
    std::string name;
    std::string location;
    SlotState state = SLOT_WAITING;
    std::string phase; // while writing: "erase", "program", "verify"
    uint64_t done = 0;
    uint64_t total = 0;
    std::string serial; // the board's first value, "" when none
    std::string reason; // a few words: why it failed, what it waits for
    double seconds = 0; // the last board's write
};

struct StationTotals {
    uint32_t passed = 0;
    uint32_t failed = 0;
    uint64_t elapsedMs = 0; // since the station started
};

// Boards per hour over the time the station has run; 0 before a board.
double boardsPerHour(const StationTotals& totals);

// The screen: a block per slot (two blocks a row from 80 columns on), then
// the totals; no row longer than columns - 1. Colour sequences take no room.
std::vector<std::string> stationScreen(const std::vector<SlotView>& slots, const StationTotals& totals,
                                       uint32_t columns, bool colour);

// The line said when a slot's state changes, where no screen is drawn.
std::string slotPlainLine(const SlotView& slot);
std::string totalsPlainLine(const StationTotals& totals);

// The events file (--events): one JSON line per event, each with its schema,
// time, event and, for a slot's events, the slot and its location.
bool openStationEvents(const std::string& where, std::string* error);
void stationEvent(const char* event, const SlotView* slot, nlohmann::ordered_json fields = {});
void closeStationEvents();

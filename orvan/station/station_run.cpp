// station: the loop over the slots until the station is stopped: by Ctrl-C
// (the boards being written are finished first; a second Ctrl-C stops them
// at once), by --count, or by a pool without values left.
#include <stdio.h>

#include "core/platform/platform.h"
#include "orvan/cables/many_cables.h"
#include "orvan/commands/images.h"
#include "orvan/commands/progress.h"
#include "orvan/production/production_boards.h"
#include "orvan/production/recipe_command.h"
#include "orvan/station/station_loop.h"

static const uint32_t STATION_POLL_MS = 10;
static const uint32_t SCREEN_REFRESH_MS = 100;

static const char* const ENTER_SCREEN = "\033[?1049h\033[?25l";
static const char* const LEAVE_SCREEN = "\033[?25h\033[?1049l";

static void drawScreen(const Station& station) {
    std::vector<SlotView> views;
    for (const StationSlot& slot : station.slots) {
        views.push_back(slot.view);
    }
    std::string text = "\033[H";
    for (const std::string& row :
         stationScreen(views, station.totals, platformTerminalColumns(), colourWanted())) {
        text += row + "\033[K\n";
    }
    text += "\033[J";
    fputs(text.c_str(), stderr);
    fflush(stderr);
}

// The first Ctrl-C: no new boards. The second: the writes are stopped, each
// closing its cable, and records the database does not take at once are
// given up. Any further one ends the workers.
static void obeyInterruptions(Station* station, uint32_t interruptions) {
    if (!station->stopping) {
        station->stopReason = "Ctrl-C";
        station->stopping = true;
    }
    if (interruptions < 2) {
        return;
    }
    station->lastChance = true;
    for (StationSlot& slot : station->slots) {
        if (slot.worker.running && interruptions == 2) {
            platformInterruptProcess(slot.worker.process);
        } else if (slot.worker.running) {
            platformKillProcess(slot.worker.process);
        }
    }
}

static bool allFinished(const Station& station) {
    for (const StationSlot& slot : station.slots) {
        if (!slotFinished(slot)) {
            return false;
        }
    }
    return true;
}

static void runLoop(Station* station, bool screen) {
    uint32_t handled = 0;
    uint64_t drawnMs = 0;
    bool announced = false;
    for (;;) {
        uint64_t nowMs = platformMonotonicMs();
        station->totals.elapsedMs = nowMs - station->startMs;
        for (StationSlot& slot : station->slots) {
            stepSlot(station, &slot, nowMs);
        }
        uint32_t interruptions = platformInterruptionCount();
        if (interruptions > handled) {
            obeyInterruptions(station, interruptions);
            handled = interruptions;
        }
        if (!station->stopping && station->boardLimit != 0 && station->started >= station->boardLimit) {
            station->stopReason = "--count " + std::to_string(station->boardLimit) + " boards";
            station->stopping = true;
        }
        if (station->stopping && !announced) {
            stationEvent("stopping", nullptr, {{"reason", station->stopReason}});
            announced = true;
        }
        if (station->stopping && allFinished(*station)) {
            break;
        }
        if (screen && nowMs - drawnMs >= SCREEN_REFRESH_MS) {
            drawScreen(*station);
            drawnMs = nowMs;
        }
        platformSleepMs(STATION_POLL_MS);
    }
}

static void setUpStation(const Request& request, const Recipe& recipe, Station* station) {
    station->recipe = &recipe;
    station->write = writeRequestOf(recipe, request);
    // The station follows each write's progress lines.
    station->write.quiet = false;
    station->write.verbose = false;
    station->writeEntry = findCommand("write");
    station->presenceEntry = findCommand("presence");
    station->identity = runIdentityOf(recipe, request);
    station->boardLimit = request.boardLimit;
    station->bell = request.bell;
    station->logGiven = request.logGiven;
    station->log = request.log;
    loadImages(station->write);
    checkPins(recipe);
    std::vector<Worker> chosen;
    chooseCables(station->write, &chosen);
    for (const Worker& worker : chosen) {
        StationSlot slot;
        slot.worker = worker;
        slot.view.name = slotNameOf(recipe, worker.locationId, worker.location);
        slot.view.location = worker.location;
        station->slots.push_back(slot);
    }
    if (!recipe.database.empty()) {
        station->db = openRecipeDb(recipe);
    }
    std::string error;
    if (!request.events.empty() && !openStationEvents(request.events, &error)) {
        closeProductionDb(station->db);
        throw CommandFailure{STATUS_USAGE, error};
    }
}

static nlohmann::ordered_json totalsJson(const Station& station) {
    return {{"passed", station.totals.passed},
            {"failed", station.totals.failed},
            {"boards_per_hour", boardsPerHour(station.totals)},
            {"seconds", station.totals.elapsedMs / static_cast<double>(MS_PER_SECOND)},
            {"reason", station.stopReason}};
}

// How the station ended: every board passed; the worst of the boards'
// statuses; records that could not be kept; or stopped at once.
static void finishStation(const Station& station, Outcome* outcome) {
    outcome->record["station"] = totalsJson(station);
    outcome->noLogLine = true;
    progressSay("station " + station.identity.station + " stopped (" + station.stopReason + "), " +
                totalsPlainLine(station.totals));
    if (!station.notKept.empty()) {
        std::string boards;
        for (const std::string& board : station.notKept) {
            boards += (boards.empty() ? "" : ", ") + board;
        }
        throw CommandFailure{STATUS_RECORD_NOT_KEPT,
                             "the records of these boards could not be kept: " + boards};
    }
    if (platformInterruptionCount() >= 2) {
        throw interruptionWith(
            "interrupted: the boards being written were stopped; each board's outcome is recorded");
    }
    if (station.worstStatus != STATUS_DONE) {
        outcome->status = station.worstStatus;
        outcome->error = std::to_string(station.totals.failed) + " of " +
                         std::to_string(station.totals.passed + station.totals.failed) + " boards failed";
    }
}

void runStation(const Request& request, Outcome* outcome) {
    static Recipe recipe;
    readCheckedRecipe(request.recipe, &recipe, outcome);
    outcome->record["recipe"] = {{"name", recipe.name}, {"file", recipe.path}, {"sha256", recipe.sha256}};
    Station station;
    setUpStation(request, recipe, &station);
    bool screen = platformStandardErrorIsTerminal() && !request.quiet;
    station.plain = !screen && !request.quiet;
    prepareWorkers();
    station.startMs = platformMonotonicMs();
    nlohmann::ordered_json slots = nlohmann::ordered_json::array();
    for (const StationSlot& slot : station.slots) {
        slots.push_back({{"slot", slot.view.name}, {"location", slot.view.location}});
    }
    stationEvent("started", nullptr,
                 {{"station", station.identity.station}, {"recipe", recipe.name}, {"slots", slots}});
    if (screen) {
        fputs(ENTER_SCREEN, stderr);
    }
    for (StationSlot& slot : station.slots) {
        startSlot(&station, &slot);
    }
    runLoop(&station, screen);
    if (screen) {
        fputs(LEAVE_SCREEN, stderr);
    }
    releaseWorkers();
    closeProductionDb(station.db);
    stationEvent("stopped", nullptr, totalsJson(station));
    closeStationEvents();
    finishStation(station, outcome);
}

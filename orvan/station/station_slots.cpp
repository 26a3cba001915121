// Each slot's round: wait for a board, reserve its values, write it, keep
// its record, show the result, wait for it to be taken off. A board that
// stays on is never written twice: after a write, and after a cable fault
// that followed one, the slot first waits for the board to go.
#include <stdio.h>
#include <string.h>

#include "core/platform/platform.h"
#include "orvan/cables/many_cables.h"
#include "orvan/commands/images.h"
#include "orvan/display/progress_line.h"
#include "orvan/production/production_boards.h"
#include "orvan/production/production_log.h"
#include "orvan/station/station_loop.h"

// How long a slot waits before it tries again a cable that failed, or a
// database that did not answer.
static const uint32_t CABLE_RETRY_MS = 1000;
static const uint32_t DATABASE_RETRY_MS = 1000;
// Progress events at most this often per slot, and at each phase's end.
static const uint32_t PROGRESS_EVENT_MS = 250;
static const char* const REMOVED_DURING_WRITING = "removed during writing";

static void setState(Station* station, StationSlot* slot, SlotState state, const std::string& reason = "") {
    bool changed = slot->view.state != state || slot->view.reason != reason;
    slot->view.state = state;
    slot->view.reason = reason;
    if (changed && station->plain) {
        fprintf(stderr, "%s\n", slotPlainLine(slot->view).c_str());
        fflush(stderr);
    }
}

static void startWait(Station* station, StationSlot* slot, bool wantPresent) {
    Request request = station->write;
    request.command = station->presenceEntry->name;
    request.boardWanted = wantPresent ? "present" : "absent";
    nameWorkerFiles(&slot->worker, workerFolder());
    slot->worker.pendingError.clear();
    startWorker(&slot->worker, workerArguments(*station->presenceEntry, request, slot->worker, {}));
    slot->startFailed = !slot->worker.running;
    slot->writing = false;
    slot->wantPresent = wantPresent;
    slot->waitStopped = false;
}

// A result or a fault in a few words for its block: the error without the cable's name.
static std::string shortReason(const std::string& error) {
    size_t colon = error.rfind("cable 0x", 0) == 0 ? error.find(": ") : std::string::npos;
    return colon == std::string::npos ? error : error.substr(colon + 2);
}

static void cableFault(Station* station, StationSlot* slot, uint64_t nowMs) {
    collectRecord(station->presenceEntry->name, station->write.runId, &slot->worker);
    std::string error = errorOf(slot->worker);
    removeWorkFiles(slot->worker);
    slot->retryAtMs = nowMs + CABLE_RETRY_MS;
    if (slot->view.state == SLOT_RECORDING) {
        slot->faultAfterRecord = error;
        return;
    }
    setState(station, slot, SLOT_CABLE_FAULT, shortReason(error));
    stationEvent("fault", &slot->view, {{"error", error}});
}

void startSlot(Station* station, StationSlot* slot) {
    slot->view.state = SLOT_STOPPED;
    setState(station, slot, SLOT_WAITING);
    stationEvent("waiting", &slot->view);
    startWait(station, slot, true);
}

static void waitForNextBoard(Station* station, StationSlot* slot) {
    if (station->stopping) {
        setState(station, slot, SLOT_STOPPED);
        return;
    }
    slot->view.serial.clear();
    setState(station, slot, SLOT_WAITING);
    stationEvent("waiting", &slot->view);
    startWait(station, slot, true);
}

// The station's connection to its database, made anew after one that failed.
static ProductionDb* stationDb(Station* station, std::string* error) {
    if (station->db == nullptr) {
        station->db = openProductionDb(station->recipe->database, error);
    }
    return station->db;
}

// The database did not answer: its connection is dropped, to be made anew
// at the next try a second later; the slot shows why, and the events say
// so once for each new error.
static void waitForDatabase(Station* station, StationSlot* slot, SlotState state, const std::string& error,
                            const std::string& shown, uint64_t nowMs) {
    closeProductionDb(station->db);
    station->db = nullptr;
    slot->retryAtMs = nowMs + DATABASE_RETRY_MS;
    setState(station, slot, state, shown);
    if (error != slot->lastDbError) {
        stationEvent("database", &slot->view, {{"error", error}});
        slot->lastDbError = error;
    }
}

// The values the board gets, reserved before its write starts; a database
// that does not answer keeps the board waiting, with the reason shown.
static bool reserveValues(Station* station, StationSlot* slot, uint64_t nowMs) {
    slot->hasUnit = false;
    if (station->recipe->database.empty()) {
        return true;
    }
    std::string error;
    std::vector<ReservedUnit> units;
    bool exhausted = false;
    if (stationDb(station, &error) != nullptr &&
        reserveBoards(station->db, *station->recipe, station->identity,
                      {{slot->view.name, slot->view.location}}, &units, &error, &exhausted)) {
        slot->unit = units[0];
        slot->hasUnit = true;
        slot->lastDbError.clear();
        return true;
    }
    if (exhausted) {
        station->stopping = true;
        station->stopReason = "production database: " + error;
        setState(station, slot, SLOT_STOPPED, "no values left");
        return false;
    }
    waitForDatabase(station, slot, SLOT_RESERVING, error, "database: " + error, nowMs);
    return false;
}

static void startWrite(Station* station, StationSlot* slot, uint64_t nowMs) {
    if (station->stopping || (station->boardLimit != 0 && station->started >= station->boardLimit)) {
        setState(station, slot, SLOT_STOPPED, "board not written: the station stopped");
        return;
    }
    if (nowMs < slot->retryAtMs || !reserveValues(station, slot, nowMs)) {
        return;
    }
    std::vector<std::string> own;
    slot->view.serial.clear();
    if (slot->hasUnit) {
        own = boardDataWords(*station->recipe, slot->unit);
        slot->view.serial = slot->unit.values.empty() ? "" : slot->unit.values[0].text;
    }
    nameWorkerFiles(&slot->worker, workerFolder());
    slot->worker.pendingError.clear();
    startWorker(&slot->worker, workerArguments(*station->writeEntry, station->write, slot->worker, own));
    slot->startFailed = !slot->worker.running;
    slot->writing = true;
    slot->needRemoval = true;
    slot->logged = false;
    station->started++;
    slot->view.phase.clear();
    slot->view.done = slot->view.total = 0;
    setState(station, slot, SLOT_WRITING);
    nlohmann::ordered_json fields = {{"serial", slot->view.serial}};
    if (slot->hasUnit) {
        fields["unit"] = slot->unit.id;
    }
    stationEvent("writing", &slot->view, fields);
}

static void followWrite(StationSlot* slot, const std::vector<std::string>& lines, uint64_t nowMs) {
    for (const std::string& line : lines) {
        ProgressView progress;
        if (!readProgressPlainLine(line, &progress)) {
            continue;
        }
        if (progress.phase != slot->view.phase) {
            slot->view.phase = progress.phase;
            stationEvent("phase", &slot->view, {{"phase", progress.phase}});
        }
        slot->view.done = progress.done;
        slot->view.total = progress.total;
        if (nowMs - slot->lastProgressEventMs >= PROGRESS_EVENT_MS || progress.done == progress.total) {
            slot->lastProgressEventMs = nowMs;
            stationEvent("progress", &slot->view,
                         {{"phase", progress.phase}, {"done", progress.done}, {"total", progress.total}});
        }
    }
}

// The write ended: its record is kept next, while a wait for the board's
// removal starts. After a failed write that wait's first look tells whether
// the board was taken off during it.
static void writeEnded(Station* station, StationSlot* slot) {
    collectRecord(station->write.command, station->write.runId, &slot->worker);
    slot->finished = slot->worker;
    removeWorkFiles(slot->worker);
    slot->finished.record["board"] = boardJson(slot->view.name, slot->hasUnit ? &slot->unit : nullptr);
    slot->view.seconds = slot->finished.seconds;
    slot->checkRemoval = slot->finished.status != STATUS_DONE && !recordInterrupted(slot->finished.record);
    slot->boardGone = false;
    slot->faultAfterRecord.clear();
    setState(station, slot, SLOT_RECORDING);
    startWait(station, slot, false);
}

static void markRemoved(Worker* finished) {
    finished->status = STATUS_TARGET_DISAGREED;
    finished->record["status"] = finished->status;
    finished->record["ok"] = false;
    finished->record["result"] = workerResult(*finished);
    finished->record["error"] = REMOVED_DURING_WRITING;
}

static void boardDone(Station* station, StationSlot* slot) {
    const Worker& finished = slot->finished;
    bool passed = finished.status == STATUS_DONE;
    (passed ? station->totals.passed : station->totals.failed)++;
    station->worstStatus = finished.status > station->worstStatus ? finished.status : station->worstStatus;
    setState(station, slot, passed ? SLOT_PASSED : SLOT_FAILED, passed ? "" : shortReason(errorOf(finished)));
    nlohmann::ordered_json fields = {
        {"result", workerResult(finished)}, {"status", finished.status},
        {"serial", slot->view.serial},      {"sha256", finished.record.value("written_sha256", "")},
        {"seconds", finished.seconds},      {"error", errorOf(finished)}};
    if (slot->hasUnit) {
        fields["unit"] = slot->unit.id;
        fields["values"] = finished.record["board"]["values"];
    }
    stationEvent("done", &slot->view, fields);
    if (!passed && station->bell && !station->plain) {
        fputc('\a', stderr);
    }
    if (station->plain) {
        fprintf(stderr, "station: %s\n", totalsPlainLine(station->totals).c_str());
    }
}

// Keeps the board's record: its log line once, then its database record,
// tried again until the database answers. No board is shown as done
// before its record is kept.
static bool keepRecord(Station* station, StationSlot* slot, uint64_t nowMs) {
    Worker* finished = &slot->finished;
    if (station->logGiven && !slot->logged) {
        slot->logged = true;
        if (!appendProductionLog(station->log, productionLogLine(finished->record, loadedImageFiles()))) {
            recordNotKept(finished, productionLogError(station->log));
        }
    }
    if (!slot->hasUnit || station->recipe->database.empty()) {
        return true;
    }
    std::string error;
    UnitPlace place = {slot->view.name, slot->view.location};
    if (stationDb(station, &error) != nullptr &&
        recordUnit(station->db, station->identity, place, unitOutcomeOf(slot->unit.id, *finished), &error)) {
        return true;
    }
    if (station->lastChance) {
        closeProductionDb(station->db);
        station->db = nullptr;
        recordNotKept(finished, "production database: " + error);
        station->notKept.push_back(slot->view.name + " " + slot->view.serial);
        return true;
    }
    waitForDatabase(station, slot, SLOT_RECORDING, error, "database: " + error + "; the record waits", nowMs);
    return false;
}

static void afterRecord(Station* station, StationSlot* slot, uint64_t nowMs) {
    if (!slot->faultAfterRecord.empty()) {
        setState(station, slot, SLOT_CABLE_FAULT, shortReason(slot->faultAfterRecord));
        stationEvent("fault", &slot->view, {{"error", slot->faultAfterRecord}});
        slot->retryAtMs = nowMs + CABLE_RETRY_MS;
    } else if (slot->boardGone) {
        stationEvent("removed", &slot->view);
        waitForNextBoard(station, slot);
    }
}

static void recordStep(Station* station, StationSlot* slot, const std::vector<std::string>& lines,
                       uint64_t nowMs) {
    if (slot->checkRemoval && !lines.empty()) {
        slot->checkRemoval = false;
        if (lines[0] == PRESENCE_LINE_ABSENT) {
            markRemoved(&slot->finished);
        }
    }
    // A wait that ended before its first look cannot tell: the write's own error stands.
    slot->checkRemoval = slot->checkRemoval && slot->worker.running;
    if (slot->checkRemoval || (nowMs < slot->retryAtMs && !station->lastChance) ||
        !keepRecord(station, slot, nowMs)) {
        return;
    }
    boardDone(station, slot);
    afterRecord(station, slot, nowMs);
}

// The wait for a board, or for its removal, ended.
static void waitEnded(Station* station, StationSlot* slot, uint64_t nowMs) {
    if (slot->worker.status != STATUS_DONE) {
        if (station->stopping && slot->worker.status == platformInterruptedStatus()) {
            removeWorkFiles(slot->worker);
            if (slot->view.state != SLOT_RECORDING) {
                setState(station, slot, SLOT_STOPPED);
            }
            return;
        }
        cableFault(station, slot, nowMs);
        return;
    }
    removeWorkFiles(slot->worker);
    if (slot->wantPresent) {
        stationEvent("detected", &slot->view);
        setState(station, slot, SLOT_RESERVING);
        startWrite(station, slot, nowMs);
        return;
    }
    slot->needRemoval = false;
    // A board is said to be gone after its result, never before.
    if (slot->view.state == SLOT_RECORDING) {
        slot->boardGone = true;
        return;
    }
    stationEvent("removed", &slot->view);
    waitForNextBoard(station, slot);
}

static void followWait(StationSlot* slot, const std::vector<std::string>& lines) {
    if (slot->view.state != SLOT_WAITING || lines.empty()) {
        return;
    }
    const std::string& line = lines.back();
    slot->view.reason =
        line.rfind(PRESENCE_LINE_STRANGER, 0) == 0
            ? "a board answers " + line.substr(strlen(PRESENCE_LINE_STRANGER)) + ": not an Orvan target"
            : "";
    if (slot->needRemoval) {
        slot->view.reason = "take the board off";
    }
}

static void retryCable(Station* station, StationSlot* slot, uint64_t nowMs) {
    if (station->stopping) {
        setState(station, slot, SLOT_STOPPED);
    } else if (nowMs >= slot->retryAtMs) {
        // A board written before the fault is not written again: its removal comes first.
        setState(station, slot, SLOT_WAITING, slot->needRemoval ? "take the board off" : "");
        stationEvent("waiting", &slot->view);
        startWait(station, slot, !slot->needRemoval);
    }
}

void stepSlot(Station* station, StationSlot* slot, uint64_t nowMs) {
    // A stopping station waits for no board; a failed write's first look is still taken.
    if (station->stopping && !slot->writing && slot->worker.running && !slot->checkRemoval &&
        !slot->waitStopped) {
        platformInterruptProcess(slot->worker.process);
        slot->waitStopped = true;
    }
    std::vector<std::string> lines;
    // A worker the system would not start has ended as far as its slot goes.
    bool ended = pollWorker(&slot->worker, &lines) || slot->startFailed;
    slot->startFailed = false;
    if (slot->writing) {
        followWrite(slot, lines, nowMs);
        if (ended) {
            writeEnded(station, slot);
        }
        return;
    }
    followWait(slot, lines);
    SlotState state = slot->view.state;
    if (state == SLOT_RECORDING) {
        recordStep(station, slot, lines, nowMs);
    }
    if (ended) {
        waitEnded(station, slot, nowMs);
    } else if (state == SLOT_RESERVING) {
        startWrite(station, slot, nowMs);
    } else if (state == SLOT_CABLE_FAULT) {
        retryCable(station, slot, nowMs);
    }
}

bool slotFinished(const StationSlot& slot) {
    return !slot.worker.running && slot.view.state != SLOT_WRITING && slot.view.state != SLOT_RECORDING &&
           slot.view.state != SLOT_RESERVING && slot.view.state != SLOT_WAITING;
}

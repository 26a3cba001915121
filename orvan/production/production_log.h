// The production record: one JSON line per cable per run, appended to the
// file --log names, whatever the outcome.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

// True when the cable's run ended by an interruption.
bool recordInterrupted(const nlohmann::ordered_json& cableRecord);

// How a run on one cable ended, in one word that the summary table, the
// --json record and the production log all use: "ok"; the board ("target"),
// the cable ("cable"), the operator's input ("input"), its record not kept
// ("record"), "interrupted", or a worker that "crashed".
const char* resultClass(int status, bool interrupted);

// The time now, UTC, to the millisecond: "2026-12-09T13:11:16.123Z".
std::string utcNowText();

// A new run id: 16 hex digits, different for every run.
std::string newRunId();

// An image the run was given, as it was read: its file and SHA-256.
struct LoggedFile {
    std::string file;
    std::string sha256;
};

// The line for one cable's run, from its --json record and the images the
// run was given (also for a cable that failed or was stopped before its
// record named them: a returned board is traced by them).
nlohmann::ordered_json productionLogLine(const nlohmann::ordered_json& cableRecord,
                                         const std::vector<LoggedFile>& images);

// Appends the line in one write; false when the log took less than all of it.
bool appendProductionLog(const std::string& path, const nlohmann::ordered_json& line);

// The error of a run whose line the log did not take.
std::string productionLogError(const std::string& path);

// The production record: one JSON line per cable per run, appended to the
// file --log names, whatever the outcome.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

// True when the cable's run ended by an interruption.
bool recordInterrupted(const nlohmann::ordered_json& cableRecord);

// The line for one cable's run, from its --json record.
nlohmann::ordered_json productionLogLine(const nlohmann::ordered_json& cableRecord);

// Appends the line in one write; false when the log took less than all of it.
bool appendProductionLog(const std::string& path, const nlohmann::ordered_json& line);

// The error of a run whose line the log did not take.
std::string productionLogError(const std::string& path);

// The production record: one JSON line per cable per run, appended to the
// file --log names, whatever the outcome.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

// True when the cable's run ended by an interruption.
bool recordInterrupted(const nlohmann::ordered_json& cableRecord);

// The line for one cable's run, from its --json record.
nlohmann::ordered_json productionLogLine(const nlohmann::ordered_json& cableRecord);

// Appends the line; a log that cannot be written is said on standard error.
void appendProductionLog(const std::string& path, const nlohmann::ordered_json& line);

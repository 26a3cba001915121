// What a line manager asks of the production database, worked out from its
// records and units: yield by day, station, slot and recipe; failures by
// class with their most common errors; the boards asked about; the values
// reserved and never finished.
#pragma once

#include <stdint.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "orvan/database/production_db.h"

struct YieldRow {
    std::string key;
    uint32_t passed = 0;
    uint32_t failed = 0;
};

struct ErrorCount {
    std::string error;
    uint32_t count = 0;
};

struct FailureClass {
    std::string result; // "target", "cable", ...
    uint32_t count = 0;
    std::vector<ErrorCount> errors; // most common first, at most MOST_COMMON_ERRORS
};

const uint32_t MOST_COMMON_ERRORS = 3;

struct ReportTables {
    std::vector<YieldRow> byDay, byStation, bySlot, byRecipe;
    std::vector<FailureClass> failures; // most frequent class first
};

ReportTables reportTables(const std::vector<RecordRow>& records);

// The yield of a row in percent; 0 without boards.
double yieldPercent(const YieldRow& row);

// A board's values as records show them: pool, number and text of each.
nlohmann::ordered_json valuesJson(const std::vector<UnitValue>& values);

// The unit's serial as written: its first value's text, "" without values.
std::string unitSerial(const UnitRow& unit);

// Whether the unit is one --serial asks about: its serial as written, one
// number of its first pool, or a range of them, "FIRST-LAST".
bool unitAsked(const UnitRow& unit, const std::string& serial);

// A time bound as records compare with it: "2026-12-01" or
// "2026-12-01T08:00[:00[.000]]", a final Z dropped; false when it is neither.
bool readTimeBound(const std::string& text, std::string* bound);

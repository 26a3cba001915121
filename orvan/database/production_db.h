// The production database: the pools of values handed out to boards (each
// value once, across every station that shares the database), the units
// (boards) they went to, and one record per board's outcome, hash-chained
// per station. A SQLite file for one station, a PostgreSQL server for a
// line; the same schema and the same guarantees on both.
#pragma once

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

// The version of the schema; a database made by a newer orvan is refused.
const int PRODUCTION_SCHEMA = 1;

struct ProductionDb; // one open database

// False in a build without the database (the Windows program).
bool productionDbBuilt();

// Opens the database, creating its schema on first use: a SQLite file's
// path, or a "postgresql://" (or "postgres://") URL. nullptr with a
// one-line error when it cannot be opened, or its schema is not ours.
ProductionDb* openProductionDb(const std::string& where, std::string* error);
void closeProductionDb(ProductionDb* db);

// Whether where names a PostgreSQL server ("postgresql://", "postgres://")
// rather than a SQLite file.
bool isPostgresUrl(const std::string& where);

// "sqlite" or "postgresql".
const char* productionDbKind(const ProductionDb* db);

// What a board's records name besides its own outcome.
struct RunIdentity {
    std::string station;
    std::string recipe;       // the recipe's name
    std::string recipeSha256; // the recipe file's SHA-256
    std::string version;      // orvan's version, "v1.1"
    std::string runId;
};

// A range that each board draws one number from, in order.
struct PoolDraw {
    std::string pool;
    uint64_t first;
    uint64_t last;
};

// Where a board sits.
struct UnitPlace {
    std::string slot;
    std::string location; // "0x1101"
};

struct UnitValue {
    std::string pool;
    uint64_t number;
    std::string text; // as written to the board, "OR-001000"
};

struct ReservedUnit {
    int64_t id;
    std::vector<UnitValue> values; // one per draw, in the draws' order
};

enum DbResult {
    DB_OK,
    DB_EXHAUSTED, // a pool has fewer numbers left than units asked; nothing was reserved
    DB_FAILED,    // the database could not be read or written; nothing was reserved
};

// Reserves one unit per place in one transaction: each draws the next
// number of every pool (never one issued before, whatever happened to its
// board), stored with its text, which texts gives for the unit's numbers.
// The units are left "reserved" until their outcome is recorded. All or
// nothing: on DB_EXHAUSTED and DB_FAILED no unit is reserved, and error says
// why in one line.
DbResult reserveUnits(ProductionDb* db, const RunIdentity& run, const std::vector<PoolDraw>& draws,
                      const std::vector<UnitPlace>& places,
                      const std::function<std::vector<std::string>(const std::vector<uint64_t>&)>& texts,
                      std::vector<ReservedUnit>* units, std::string* error);

// How a board's run ended.
struct UnitOutcome {
    int64_t unitId;
    std::string
        result; // the result class: "ok", "target", "input", "cable", "record", "interrupted", "crashed"
    int status;
    std::string error; // empty when none
    double seconds;
    std::string writtenSha256; // of everything written to the board; empty when nothing was
    std::string time;          // UTC, "2026-12-09T13:11:16.123Z"
};

// Records the outcome and marks the unit "used" (result "ok") or "failed"
// (its values are never issued again), in one transaction; the record holds
// the SHA-256 of the station's record before it.
bool recordUnit(ProductionDb* db, const RunIdentity& run, const UnitPlace& place, const UnitOutcome& outcome,
                std::string* error);

// A unit as the database holds it.
struct UnitRow {
    int64_t id;
    std::string state; // "reserved", "used", "failed"
    std::vector<UnitValue> values;
    std::string station, slot, location, recipe, runId;
    std::string reservedAt, finishedAt; // finishedAt empty while reserved
};

// One outcome record.
struct RecordRow {
    int64_t id;
    int64_t stationSeq; // 1, 2, ... per station
    int64_t unitId;
    std::string station, slot, location, recipe, recipeSha256, version, runId, time;
    std::string result;
    int status;
    std::string error;
    double seconds;
    std::string writtenSha256;
    std::vector<UnitValue> values;
    std::string previousSha256; // of the station's record before; 64 zeros for its first
    std::string sha256;         // of this record's fields and previousSha256
};

bool readUnits(ProductionDb* db, std::vector<UnitRow>* units, std::string* error);

// Records whose time is within [since, until) (UTC texts, either empty for no bound), in order.
bool readRecords(ProductionDb* db, const std::string& since, const std::string& until,
                 std::vector<RecordRow>* records, std::string* error);

// Walks every station's chain: finding is empty when every record is as it
// was recorded and none is missing; otherwise it names the first record
// changed or removed, in one line. False when the database cannot be read.
bool verifyRecords(ProductionDb* db, std::string* finding, std::string* error);

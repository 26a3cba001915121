// Recording each board's outcome, chained to its station's records, and
// reading units and records back.
#include <stdlib.h>

#include <map>

#include "orvan/database/production_store.h"

static const char* const RECORD_COLUMNS =
    "SELECT id, station, station_seq, unit_id, slot, location, recipe, recipe_sha256, version, run_id, time,"
    " result, status, error, seconds, written_sha256, previous_sha256, sha256 FROM records ";

static bool parseRecord(const DbRow& row, RecordRow* r) {
    int64_t status = 0;
    char* end = nullptr;
    *r = RecordRow{};
    bool numbers = row.size() == 18 && parseInt64(row[0], &r->id) && parseInt64(row[2], &r->stationSeq) &&
                   parseInt64(row[3], &r->unitId) && parseInt64(row[12], &status);
    r->seconds = numbers ? strtod(row[14].c_str(), &end) : 0;
    if (!numbers || *end != '\0') {
        return false;
    }
    r->station = row[1], r->slot = row[4], r->location = row[5], r->recipe = row[6];
    r->recipeSha256 = row[7], r->version = row[8], r->runId = row[9], r->time = row[10];
    r->result = row[11], r->status = static_cast<int>(status), r->error = row[13];
    r->writtenSha256 = row[15], r->previousSha256 = row[16], r->sha256 = row[17];
    return true;
}

bool fetchRecords(DbConnection* connection, const std::string& filter, const std::string& order,
                  const std::vector<std::string>& params, std::vector<RecordRow>* records,
                  std::string* error) {
    std::vector<DbRow> rows;
    std::vector<std::pair<int64_t, UnitValue>> values;
    if (!connection->exec(RECORD_COLUMNS + filter + " " + order, params, &rows, error) ||
        !fetchValues(connection,
                     "SELECT v.unit_id, v.pool, v.number, v.text FROM unit_values v"
                     " JOIN records ON records.unit_id = v.unit_id " +
                         filter + " ORDER BY v.unit_id, v.position",
                     params, &values, error)) {
        return false;
    }
    std::map<int64_t, std::vector<UnitValue>> valuesOf;
    for (const auto& value : values) {
        valuesOf[value.first].push_back(value.second);
    }
    for (const DbRow& row : rows) {
        RecordRow record;
        if (!parseRecord(row, &record)) {
            *error = "record " + row.at(0) + " holds a number field that is not a number";
            return false;
        }
        record.values = valuesOf[record.unitId];
        records->push_back(record);
    }
    return true;
}

bool readRecords(ProductionDb* db, const std::string& since, const std::string& until,
                 std::vector<RecordRow>* records, std::string* error) {
    records->clear();
    return inTransaction(
        db->connection, false,
        [&] {
            return fetchRecords(db->connection, "WHERE ($1 = '' OR time >= $1) AND ($2 = '' OR time < $2)",
                                "ORDER BY time, id", {since, until}, records, error);
        },
        error);
}

// Marks the unit finished; false when it is not reserved.
static bool finishUnit(DbConnection* connection, const UnitOutcome& outcome, const std::string& time,
                       std::string* error) {
    std::string id = std::to_string(outcome.unitId);
    std::vector<DbRow> rows;
    if (!connection->exec("UPDATE units SET state = $2, finished_at = $3 WHERE id = $1 AND state = 'reserved'"
                          " RETURNING id",
                          {id, outcome.result == "ok" ? "used" : "failed", time}, &rows, error)) {
        return false;
    }
    if (!rows.empty()) {
        return true;
    }
    if (!connection->exec("SELECT state FROM units WHERE id = $1", {id}, &rows, error)) {
        return false;
    }
    *error = rows.empty()
                 ? "there is no unit " + id
                 : "unit " + id + " is " + rows[0].at(0) + ", not reserved: its outcome was recorded before";
    return false;
}

// Takes the next place in the station's chain, locking its head until the
// transaction ends, so that records of one station made at once queue.
static bool takeChainPlace(DbConnection* connection, RecordRow* r, std::string* error) {
    std::vector<DbRow> rows;
    if (!connection->exec("INSERT INTO station_heads (station, records, last_sha256) VALUES ($1, 0, $2)"
                          " ON CONFLICT (station) DO NOTHING",
                          {r->station, NO_PREVIOUS_SHA256}, nullptr, error) ||
        !connection->exec("UPDATE station_heads SET records = records + 1 WHERE station = $1"
                          " RETURNING records, last_sha256",
                          {r->station}, &rows, error)) {
        return false;
    }
    if (rows.size() != 1 || !parseInt64(rows[0].at(0), &r->stationSeq)) {
        *error = "station " + r->station + "'s head cannot be read";
        return false;
    }
    r->previousSha256 = rows[0].at(1);
    return true;
}

static bool insertRecord(DbConnection* connection, RecordRow* r, std::string* error) {
    std::vector<DbRow> rows;
    if (!connection->exec(
            "INSERT INTO records (station, station_seq, unit_id, slot, location, recipe, recipe_sha256, "
            "version,"
            " run_id, time, result, status, error, seconds, written_sha256, previous_sha256, sha256)"
            " VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, $15, $16, '') RETURNING "
            "id",
            {r->station, std::to_string(r->stationSeq), std::to_string(r->unitId), r->slot, r->location,
             r->recipe, r->recipeSha256, r->version, r->runId, r->time, r->result, std::to_string(r->status),
             r->error, secondsText(r->seconds), r->writtenSha256, r->previousSha256},
            &rows, error)) {
        return false;
    }
    if (rows.size() != 1 || !parseInt64(rows[0].at(0), &r->id)) {
        *error = "the database gave the new record no id";
        return false;
    }
    // Its own id is among the fields hashed, so the hash comes after the insert.
    r->sha256 = recordSha256(*r);
    return connection->exec("UPDATE records SET sha256 = $2 WHERE id = $1",
                            {std::to_string(r->id), r->sha256}, nullptr, error) &&
           connection->exec("UPDATE station_heads SET last_sha256 = $2 WHERE station = $1",
                            {r->station, r->sha256}, nullptr, error);
}

static RecordRow recordOf(const RunIdentity& run, const UnitPlace& place, const UnitOutcome& outcome) {
    RecordRow r{};
    r.unitId = outcome.unitId;
    r.station = run.station, r.slot = place.slot, r.location = place.location, r.recipe = run.recipe;
    r.recipeSha256 = run.recipeSha256, r.version = run.version, r.runId = run.runId;
    r.time = outcome.time.empty() ? utcNow() : outcome.time;
    r.result = outcome.result, r.status = outcome.status, r.error = outcome.error;
    // Hashed as stored: to the microsecond.
    r.seconds = strtod(secondsText(outcome.seconds).c_str(), nullptr);
    r.writtenSha256 = outcome.writtenSha256;
    return r;
}

bool recordUnit(ProductionDb* db, const RunIdentity& run, const UnitPlace& place, const UnitOutcome& outcome,
                std::string* error) {
    DbConnection* connection = db->connection;
    RecordRow r = recordOf(run, place, outcome);
    std::vector<std::pair<int64_t, UnitValue>> values;
    return inTransaction(
        connection, true,
        [&] {
            values.clear();
            r.values.clear();
            if (!finishUnit(connection, outcome, r.time, error) ||
                !fetchValues(connection,
                             "SELECT unit_id, pool, number, text FROM unit_values WHERE unit_id = $1"
                             " ORDER BY position",
                             {std::to_string(r.unitId)}, &values, error)) {
                return false;
            }
            for (const auto& value : values) {
                r.values.push_back(value.second);
            }
            return takeChainPlace(connection, &r, error) && insertRecord(connection, &r, error);
        },
        error);
}

static bool parseUnit(const DbRow& row, UnitRow* unit) {
    *unit = UnitRow{};
    if (row.size() != 9 || !parseInt64(row[0], &unit->id)) {
        return false;
    }
    unit->state = row[1], unit->station = row[2], unit->slot = row[3], unit->location = row[4];
    unit->recipe = row[5], unit->runId = row[6], unit->reservedAt = row[7], unit->finishedAt = row[8];
    return true;
}

bool readUnits(ProductionDb* db, std::vector<UnitRow>* units, std::string* error) {
    units->clear();
    std::vector<DbRow> rows;
    std::vector<std::pair<int64_t, UnitValue>> values;
    DbConnection* connection = db->connection;
    bool read = inTransaction(
        connection, false,
        [&] {
            return connection->exec("SELECT id, state, station, slot, location, recipe, run_id, reserved_at,"
                                    " finished_at FROM units ORDER BY id",
                                    {}, &rows, error) &&
                   fetchValues(
                       connection,
                       "SELECT unit_id, pool, number, text FROM unit_values ORDER BY unit_id, position", {},
                       &values, error);
        },
        error);
    if (!read) {
        return false;
    }
    std::map<int64_t, std::vector<UnitValue>> valuesOf;
    for (const auto& value : values) {
        valuesOf[value.first].push_back(value.second);
    }
    for (const DbRow& row : rows) {
        UnitRow unit;
        if (!parseUnit(row, &unit)) {
            *error = "unit " + row.at(0) + " has an id that is not a number";
            return false;
        }
        unit.values = valuesOf[unit.id];
        units->push_back(unit);
    }
    return true;
}

// What the production database's files share: the open database, its
// transactions and the texts its fields are stored as.
#pragma once

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "orvan/database/db_connection.h"
#include "orvan/database/production_db.h"

struct ProductionDb {
    DbConnection* connection;
};

// Runs body between BEGIN and COMMIT, a writing transaction or a reading
// one; rolls back and returns false when body or the commit fails.
bool inTransaction(DbConnection* connection, bool write, const std::function<bool()>& body,
                   std::string* error);

// Now, UTC with milliseconds: "2026-12-09T13:11:16.123Z".
std::string utcNow();

// A stored number back from its text; false when it is not one.
bool parseInt64(const std::string& text, int64_t* number);

// Every value of the given units, in their draws' order: rows of (unit_id,
// pool, number, text) as fetched by sql.
bool fetchValues(DbConnection* connection, const std::string& sql, const std::vector<std::string>& params,
                 std::vector<std::pair<int64_t, UnitValue>>* values, std::string* error);

// The records that filter selects ("WHERE ...", or ""), in order's order
// ("ORDER BY ..."), with their values.
bool fetchRecords(DbConnection* connection, const std::string& filter, const std::string& order,
                  const std::vector<std::string>& params, std::vector<RecordRow>* records,
                  std::string* error);

// The SHA-256 that chains a record: of its canonical text, which holds every
// stored field but sha256 itself, previousSha256 included.
std::string recordSha256(const RecordRow& record);

// How seconds are stored and hashed: to the microsecond, so that the text
// read back from either database is the text that was hashed.
std::string secondsText(double seconds);

// The previous SHA-256 of a station's first record.
const char* const NO_PREVIOUS_SHA256 = "0000000000000000000000000000000000000000000000000000000000000000";

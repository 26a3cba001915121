// Opening the production database, its schema and what its other files share.
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <chrono>

#include "orvan/database/production_store.h"

bool productionDbBuilt() {
    return true;
}

DbConnection* connectDatabase(const std::string& where, std::string* error) {
    return isPostgresUrl(where) ? connectPostgres(where, error) : connectSqlite(where, error);
}

bool inTransaction(DbConnection* connection, bool write, const std::function<bool()>& body,
                   std::string* error) {
    const DbDialect& dialect = connection->dialect();
    if (!connection->exec(write ? dialect.beginWrite : dialect.beginRead, {}, nullptr, error)) {
        return false;
    }
    if (body() && connection->exec("COMMIT", {}, nullptr, error)) {
        return true;
    }
    std::string ignored;
    connection->exec("ROLLBACK", {}, nullptr, &ignored);
    return false;
}

std::string utcNow() {
    using namespace std::chrono;
    int64_t nowMs = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    time_t seconds = static_cast<time_t>(nowMs / 1000);
    struct tm parts;
    gmtime_r(&seconds, &parts);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
    char fraction[8];
    snprintf(fraction, sizeof fraction, ".%03dZ", static_cast<int>(nowMs % 1000));
    return std::string(text) + fraction;
}

bool parseInt64(const std::string& text, int64_t* number) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    *number = strtoll(text.c_str(), &end, 10);
    return *end == '\0';
}

bool fetchValues(DbConnection* connection, const std::string& sql, const std::vector<std::string>& params,
                 std::vector<std::pair<int64_t, UnitValue>>* values, std::string* error) {
    std::vector<DbRow> rows;
    if (!connection->exec(sql, params, &rows, error)) {
        return false;
    }
    for (const DbRow& row : rows) {
        int64_t unitId = 0;
        int64_t number = 0;
        if (row.size() != 4 || !parseInt64(row[0], &unitId) || !parseInt64(row[2], &number)) {
            *error = "the production database holds a value that is not a number";
            return false;
        }
        values->push_back({unitId, {row[1], static_cast<uint64_t>(number), row[3]}});
    }
    return true;
}

// The schema, PRODUCTION_SCHEMA's; "ID" stands for the back end's id column.
// doc/database.md describes every table and column.
static const char* const SCHEMA_TABLES[] = {
    "CREATE TABLE schema_version (id INTEGER PRIMARY KEY, version INTEGER NOT NULL)",
    "CREATE TABLE pools (name TEXT PRIMARY KEY, next_number BIGINT NOT NULL)",
    "CREATE TABLE units (id ID, state TEXT NOT NULL, station TEXT NOT NULL, slot TEXT NOT NULL,"
    " location TEXT NOT NULL, recipe TEXT NOT NULL, run_id TEXT NOT NULL, reserved_at TEXT NOT NULL,"
    " finished_at TEXT)",
    "CREATE TABLE unit_values (unit_id BIGINT NOT NULL REFERENCES units (id), position INTEGER NOT NULL,"
    " pool TEXT NOT NULL, number BIGINT NOT NULL, text TEXT NOT NULL, PRIMARY KEY (unit_id, position),"
    " UNIQUE (pool, number))",
    "CREATE TABLE records (id ID, station TEXT NOT NULL, station_seq BIGINT NOT NULL,"
    " unit_id BIGINT NOT NULL UNIQUE REFERENCES units (id), slot TEXT NOT NULL, location TEXT NOT NULL,"
    " recipe TEXT NOT NULL, recipe_sha256 TEXT NOT NULL, version TEXT NOT NULL, run_id TEXT NOT NULL,"
    " time TEXT NOT NULL, result TEXT NOT NULL, status INTEGER NOT NULL, error TEXT NOT NULL,"
    " seconds DOUBLE PRECISION NOT NULL, written_sha256 TEXT NOT NULL, previous_sha256 TEXT NOT NULL,"
    " sha256 TEXT NOT NULL, UNIQUE (station, station_seq))",
    "CREATE INDEX records_by_time ON records (time)",
    "CREATE TABLE station_heads (station TEXT PRIMARY KEY, records BIGINT NOT NULL, last_sha256 TEXT NOT "
    "NULL)",
};

static bool createSchema(DbConnection* connection, std::string* error) {
    for (const char* table : SCHEMA_TABLES) {
        std::string sql = table;
        for (size_t at; (at = sql.find(" ID,")) != std::string::npos;) {
            sql.replace(at + 1, 2, connection->dialect().idColumnType);
        }
        if (!connection->exec(sql, {}, nullptr, error)) {
            return false;
        }
    }
    return connection->exec("INSERT INTO schema_version (id, version) VALUES (1, $1)",
                            {std::to_string(PRODUCTION_SCHEMA)}, nullptr, error);
}

// Creates the schema in an empty database; refuses one made by another
// program or by a newer orvan.
static bool checkSchema(DbConnection* connection, std::string* error) {
    const DbDialect& dialect = connection->dialect();
    if (*dialect.lockSchema && !connection->exec(dialect.lockSchema, {}, nullptr, error)) {
        return false;
    }
    std::vector<DbRow> tables;
    if (!connection->exec(dialect.listTables, {}, &tables, error)) {
        return false;
    }
    if (tables.empty()) {
        return createSchema(connection, error);
    }
    bool versioned = std::any_of(tables.begin(), tables.end(),
                                 [](const DbRow& row) { return row.at(0) == "schema_version"; });
    std::vector<DbRow> rows;
    if (!versioned ||
        !connection->exec("SELECT version FROM schema_version WHERE id = 1", {}, &rows, error) ||
        rows.size() != 1) {
        *error = "this is not a production database: it holds other tables (" + tables[0].at(0) + ")";
        return false;
    }
    int64_t version = 0;
    parseInt64(rows[0].at(0), &version);
    if (version != PRODUCTION_SCHEMA) {
        bool newer = version > PRODUCTION_SCHEMA;
        *error = "the production database has schema version " + rows[0].at(0) + ", " +
                 (newer ? "newer" : "older") + " than this orvan's " + std::to_string(PRODUCTION_SCHEMA) +
                 (newer ? ": use a newer orvan" : ", which it cannot upgrade");
        return false;
    }
    return true;
}

ProductionDb* openProductionDb(const std::string& where, std::string* error) {
    DbConnection* connection = connectDatabase(where, error);
    if (!connection) {
        return nullptr;
    }
    if (!inTransaction(
            connection, true, [&] { return checkSchema(connection, error); }, error)) {
        delete connection;
        return nullptr;
    }
    return new ProductionDb{connection};
}

void closeProductionDb(ProductionDb* db) {
    if (db) {
        delete db->connection;
        delete db;
    }
}

const char* productionDbKind(const ProductionDb* db) {
    return db->connection->dialect().kind;
}

// The SQLite back end: one file, written in WAL mode so readers never wait
// for the writer, and BEGIN IMMEDIATE so that writers queue at the start of
// their transaction instead of failing part-way.
#include <sqlite3.h>

#include "orvan/database/db_connection.h"

// Writers on other processes are waited for this long before a statement fails.
const int SQLITE_BUSY_TIMEOUT_MS = 10000;

static const DbDialect SQLITE_DIALECT = {
    "sqlite",
    "BEGIN IMMEDIATE",
    "BEGIN",
    "",
    "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%'",
    "INTEGER PRIMARY KEY AUTOINCREMENT",
};

struct SqliteConnection : DbConnection {
    sqlite3* handle = nullptr;

    ~SqliteConnection() override {
        sqlite3_close_v2(handle);
    }
    const DbDialect& dialect() const override {
        return SQLITE_DIALECT;
    }
    bool exec(const std::string& sql, const std::vector<std::string>& params, std::vector<DbRow>* rows,
              std::string* error) override;
};

static bool failWith(sqlite3* handle, std::string* error) {
    *error = std::string("SQLite: ") + sqlite3_errmsg(handle);
    return false;
}

// SQLite numbers "$1" and "$2" in the order they first appear, so each is
// looked up by its name.
static bool bindParams(sqlite3* handle, sqlite3_stmt* statement, const std::vector<std::string>& params,
                       std::string* error) {
    for (size_t i = 0; i < params.size(); i++) {
        int index = sqlite3_bind_parameter_index(statement, ("$" + std::to_string(i + 1)).c_str());
        if (index == 0) {
            continue;
        }
        if (sqlite3_bind_text(statement, index, params[i].data(), static_cast<int>(params[i].size()),
                              SQLITE_TRANSIENT) != SQLITE_OK) {
            return failWith(handle, error);
        }
    }
    return true;
}

static DbRow rowOf(sqlite3_stmt* statement) {
    DbRow row;
    int columns = sqlite3_column_count(statement);
    for (int column = 0; column < columns; column++) {
        const unsigned char* text = sqlite3_column_text(statement, column);
        row.emplace_back(text ? reinterpret_cast<const char*>(text) : "",
                         static_cast<size_t>(sqlite3_column_bytes(statement, column)));
    }
    return row;
}

bool SqliteConnection::exec(const std::string& sql, const std::vector<std::string>& params,
                            std::vector<DbRow>* rows, std::string* error) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(handle, sql.c_str(), static_cast<int>(sql.size()), &statement, nullptr) !=
        SQLITE_OK) {
        return failWith(handle, error);
    }
    bool ok = bindParams(handle, statement, params, error);
    int step = SQLITE_ROW;
    while (ok && (step = sqlite3_step(statement)) == SQLITE_ROW) {
        if (rows) {
            rows->push_back(rowOf(statement));
        }
    }
    if (ok && step != SQLITE_DONE) {
        ok = failWith(handle, error);
    }
    sqlite3_finalize(statement);
    return ok;
}

// WAL lets readers on other processes go on while one writes; FULL
// synchronous makes a reservation durable before its board is touched. A
// station keeps its connection for a whole shift: its page cache is held to
// 512 KiB (a board's statements touch a few indexed pages), where SQLite's
// default would take 2 MiB as the file grows.
static const char* const SQLITE_SETTINGS[] = {
    "PRAGMA journal_mode = WAL",
    "PRAGMA synchronous = FULL",
    "PRAGMA foreign_keys = ON",
    "PRAGMA cache_size = -512",
};

DbConnection* connectSqlite(const std::string& path, std::string* error) {
    SqliteConnection* connection = new SqliteConnection;
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(path.c_str(), &connection->handle, flags, nullptr) != SQLITE_OK) {
        *error = "cannot open the production database " + path + ": " +
                 (connection->handle ? sqlite3_errmsg(connection->handle) : "out of memory");
        delete connection;
        return nullptr;
    }
    sqlite3_busy_timeout(connection->handle, SQLITE_BUSY_TIMEOUT_MS);
    for (const char* setting : SQLITE_SETTINGS) {
        std::string why;
        if (!connection->exec(setting, {}, nullptr, &why)) {
            *error = "cannot open the production database " + path + ": " + why;
            delete connection;
            return nullptr;
        }
    }
    return connection;
}

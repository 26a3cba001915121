// The seam between the production database's logic and its two back ends:
// run one SQL statement with text parameters and get its rows as text. The
// statements are written once, in SQL both back ends accept, with $1, $2,
// ... for the parameters; what differs between them is in DbDialect.
#pragma once

#include <string>
#include <vector>

// A row's fields as text; SQL NULL reads as "".
typedef std::vector<std::string> DbRow;

struct DbDialect {
    const char* kind;         // "sqlite" or "postgresql"
    const char* beginWrite;   // a transaction that may write
    const char* beginRead;    // a transaction that reads one snapshot
    const char* lockSchema;   // inside beginWrite: serializes the schema's creation; "" when beginWrite does
    const char* listTables;   // the names of the tables the connection sees
    const char* idColumnType; // an id column the database numbers itself, never reusing a number
};

struct DbConnection {
    virtual ~DbConnection() = default;
    virtual const DbDialect& dialect() const = 0;
    // Runs one statement; rows, when given, receives what it returns.
    virtual bool exec(const std::string& sql, const std::vector<std::string>& params,
                      std::vector<DbRow>* rows, std::string* error) = 0;
};

// A SQLite file, made when missing; nullptr with a one-line error.
DbConnection* connectSqlite(const std::string& path, std::string* error);
// A PostgreSQL conninfo or URL; nullptr with a one-line error.
DbConnection* connectPostgres(const std::string& conninfo, std::string* error);

// True when where names a PostgreSQL server rather than a SQLite file.
// The back end that where names.
DbConnection* connectDatabase(const std::string& where, std::string* error);

// doc/database.md describes every table and column of the schema, and no
// other: each table a "### `name`" heading, each column a row of the table
// under it whose first cell is "`column`".
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "orvan/database/db_connection.h"
#include "orvan/database/production_db.h"

static std::set<std::string> documentedColumns() {
    std::ifstream doc(DATABASE_DOC);
    EXPECT_TRUE(doc.good()) << DATABASE_DOC;
    std::set<std::string> columns;
    std::string table;
    for (std::string line; std::getline(doc, line);) {
        if (line.rfind("### `", 0) == 0) {
            table = line.substr(5, line.find('`', 5) - 5);
            columns.insert(table);
        } else if (line.rfind("#", 0) == 0) {
            table.clear();
        } else if (!table.empty() && line.rfind("| `", 0) == 0) {
            columns.insert(table + "." + line.substr(3, line.find('`', 3) - 3));
        }
    }
    return columns;
}

static std::set<std::string> schemaColumns(DbConnection* connection) {
    std::vector<DbRow> tables;
    std::string error;
    EXPECT_TRUE(connection->exec(connection->dialect().listTables, {}, &tables, &error)) << error;
    std::set<std::string> columns;
    for (const DbRow& table : tables) {
        std::vector<DbRow> rows;
        EXPECT_TRUE(connection->exec("SELECT name FROM pragma_table_info($1)", {table[0]}, &rows, &error))
            << error;
        columns.insert(table[0]);
        for (const DbRow& row : rows) {
            columns.insert(table[0] + "." + row[0]);
        }
    }
    return columns;
}

TEST(DatabaseDoc, NamesEveryTableAndColumnOfTheSchema) {
    char folder[] = "/tmp/orvan-doc-test.XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    std::string where = std::string(folder) + "/production.db", error;
    closeProductionDb(openProductionDb(where, &error));
    DbConnection* connection = connectDatabase(where, &error);
    ASSERT_NE(connection, nullptr) << error;
    EXPECT_EQ(documentedColumns(), schemaColumns(connection));
    delete connection;
    std::filesystem::remove_all(folder);
}

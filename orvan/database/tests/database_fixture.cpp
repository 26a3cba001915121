#include "database_fixture.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

#include "orvan/database/db_connection.h"

static const char* const POSTGRES = "PostgreSQL";

void ProductionDbTest::SetUp() {
    if (GetParam() == POSTGRES && !getenv("PGHOST")) {
        GTEST_SKIP() << "no PostgreSQL server: PGHOST is not set (run under pg_virtualenv)";
    }
    char folder[] = "/tmp/orvan-db-test.XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    folder_ = folder;
}

void ProductionDbTest::TearDown() {
    for (const std::string& schema : schemas_) {
        runSql("postgresql://", "DROP SCHEMA " + schema + " CASCADE");
    }
    if (!folder_.empty()) {
        std::filesystem::remove_all(folder_);
    }
}

std::string ProductionDbTest::freshDatabase() {
    static int made = 0;
    std::string name = "case" + std::to_string(getpid()) + "_" + std::to_string(++made);
    if (GetParam() != POSTGRES) {
        return folder_ + "/" + name + ".db";
    }
    runSql("postgresql://", "CREATE SCHEMA " + name);
    schemas_.push_back(name);
    return "postgresql://?options=-csearch_path%3D" + name;
}

ProductionDb* ProductionDbTest::open(const std::string& where) {
    std::string error;
    ProductionDb* db = openProductionDb(where, &error);
    EXPECT_NE(db, nullptr) << error;
    return db;
}

void ProductionDbTest::runSql(const std::string& where, const std::string& sql) {
    std::string error;
    DbConnection* connection = connectDatabase(where, &error);
    ASSERT_NE(connection, nullptr) << error;
    EXPECT_TRUE(connection->exec(sql, {}, nullptr, &error)) << sql << ": " << error;
    delete connection;
}

RunIdentity runOf(const std::string& station) {
    return {station, "board-a", std::string(64, 'a'), "v1.1", "run-" + station};
}

std::vector<std::string> plainTexts(const std::vector<uint64_t>& numbers) {
    std::vector<std::string> texts;
    for (uint64_t number : numbers) {
        texts.push_back("N-" + std::to_string(number));
    }
    return texts;
}

UnitOutcome outcomeOf(int64_t unitId, const std::string& result) {
    return {unitId, result, result == "ok" ? 0 : 3, result == "ok" ? "" : "it failed", 1.0, "", ""};
}

INSTANTIATE_TEST_SUITE_P(BackEnds, ProductionDbTest, ::testing::Values("SQLite", POSTGRES),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

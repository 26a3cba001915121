// Reservation, outcomes, the pools' bounds, the chain's verification and the
// schema's version, each on both back ends.
#include <memory>

#include "database_fixture.h"

using DbPtr = std::unique_ptr<ProductionDb, void (*)(ProductionDb*)>;

static DbPtr held(ProductionDb* db) {
    return DbPtr(db, closeProductionDb);
}

static std::vector<ReservedUnit> reserve(ProductionDb* db, const std::string& station,
                                         const std::vector<PoolDraw>& draws, size_t count) {
    std::vector<ReservedUnit> units;
    std::string error;
    EXPECT_EQ(reserveUnits(db, runOf(station), draws, std::vector<UnitPlace>(count, {"1", "0x1101"}),
                           plainTexts, &units, &error),
              DB_OK)
        << error;
    return units;
}

static void record(ProductionDb* db, const std::string& station, int64_t unitId, const std::string& result) {
    std::string error;
    EXPECT_TRUE(recordUnit(db, runOf(station), {"1", "0x1101"}, outcomeOf(unitId, result), &error)) << error;
}

static const std::vector<PoolDraw> SERIAL_AND_MAC = {{"serial", 1000, 1999}, {"mac", 0x10, 0xff}};

TEST_P(ProductionDbTest, OutcomesMarkTheirUnitsAndChainTheirRecords) {
    struct Case {
        const char* result;
        const char* state;
    };
    const Case cases[] = {
        {"ok", "used"}, {"target", "failed"}, {"interrupted", "failed"}, {"crashed", "failed"}};
    DbPtr db = held(open(freshDatabase()));
    std::vector<ReservedUnit> units = reserve(db.get(), "st1", SERIAL_AND_MAC, 4);
    ASSERT_EQ(units.size(), 4u);
    EXPECT_EQ(units[3].values[0].number, 1003u);
    EXPECT_EQ(units[3].values[1].text, "N-19");
    for (size_t i = 0; i < units.size(); i++) {
        record(db.get(), "st1", units[i].id, cases[i].result);
    }
    std::string error;
    EXPECT_FALSE(recordUnit(db.get(), runOf("st1"), {}, outcomeOf(units[0].id, "ok"), &error));
    EXPECT_EQ(error, "unit " + std::to_string(units[0].id) +
                         " is used, not reserved: its outcome was recorded before");
    std::vector<UnitRow> rows;
    std::vector<RecordRow> records;
    ASSERT_TRUE(readUnits(db.get(), &rows, &error) && readRecords(db.get(), "", "", &records, &error))
        << error;
    ASSERT_EQ(rows.size(), 4u);
    ASSERT_EQ(records.size(), 4u);
    std::string previous(64, '0');
    for (size_t i = 0; i < rows.size(); i++) {
        EXPECT_EQ(rows[i].state, cases[i].state) << cases[i].result;
        EXPECT_EQ(records[i].stationSeq, static_cast<int64_t>(i + 1));
        EXPECT_EQ(records[i].values[0].number, 1000 + i);
        EXPECT_EQ(records[i].previousSha256, previous);
        previous = records[i].sha256;
    }
    // A failed unit's numbers are not issued again.
    EXPECT_EQ(reserve(db.get(), "st1", SERIAL_AND_MAC, 1).at(0).values[0].number, 1004u);
}

TEST_P(ProductionDbTest, PoolsIssueEachNumberOnceWithinEachDrawsBounds) {
    struct Step {
        std::vector<PoolDraw> draws;
        size_t places;
        DbResult result;
        std::vector<uint64_t> firsts; // of the first unit, or the error
        std::string error;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
    };
    const uint64_t TOO_BIG = 1ull << 63;
    const Case cases[] = {
        {"a counter shared by recipes, bounded by each draw's first",
         {{{{"serial", 1, 100}}, 2, DB_OK, {1}, ""},
          {{{"serial", 50, 60}}, 1, DB_OK, {50}, ""},
          {{{"serial", 1, 100}}, 1, DB_OK, {51}, ""},
          {{{"serial", 1, 10}}, 1, DB_EXHAUSTED, {}, "pool serial has 0 numbers left in [1, 10], 1 asked"}}},
        {"all or nothing across pools",
         {{{{"serial", 1, 10}, {"mac", 1, 2}},
           3,
           DB_EXHAUSTED,
           {},
           "pool mac has 2 numbers left in [1, 2], 3 asked"},
          {{{"serial", 1, 10}, {"mac", 1, 2}}, 2, DB_OK, {1, 1}, ""}}},
        {"the last numbers of a range",
         {{{{"serial", 1, 3}}, 3, DB_OK, {1}, ""},
          {{{"serial", 1, 3}}, 1, DB_EXHAUSTED, {}, "pool serial has 0 numbers left in [1, 3], 1 asked"}}},
        {"one pool drawn twice per unit", {{{{"serial", 1, 9}, {"serial", 1, 9}}, 2, DB_OK, {1, 3}, ""}}},
        {"a range beyond the stored numbers",
         {{{{"serial", 1, TOO_BIG}}, 1, DB_FAILED, {}, "above the largest number 9223372036854775806"}}},
    };
    for (const Case& c : cases) {
        DbPtr db = held(open(freshDatabase()));
        for (const Step& step : c.steps) {
            std::vector<ReservedUnit> units;
            std::string error;
            DbResult result = reserveUnits(db.get(), runOf("st1"), step.draws,
                                           std::vector<UnitPlace>(step.places), plainTexts, &units, &error);
            EXPECT_EQ(result, step.result) << c.name << ": " << error;
            EXPECT_NE(error.find(step.error), std::string::npos) << c.name << ": " << error;
            std::vector<uint64_t> firsts;
            for (const UnitValue& value : units.empty() ? std::vector<UnitValue>{} : units[0].values) {
                firsts.push_back(value.number);
            }
            EXPECT_EQ(firsts, step.firsts) << c.name;
            EXPECT_EQ(units.size(), result == DB_OK ? step.places : 0) << c.name;
        }
    }
}

TEST_P(ProductionDbTest, VerifyNamesTheFirstRecordChangedOrRemoved) {
    struct Case {
        const char* sql;
        const char* finding;
    };
    // Two stations' records interleaved: ids 1, 3, 5 are st1's #1 to #3.
    const Case cases[] = {
        {"SELECT 1", ""},
        {"UPDATE records SET result = 'ok' WHERE id = 3",
         "record 3 (station st1, #2) was changed: its SHA-256 is not what it was recorded with"},
        {"UPDATE records SET seconds = 1.5 WHERE id = 4", "record 4 (station st2, #2) was changed"},
        {"UPDATE unit_values SET text = 'N-0' WHERE unit_id = 2", "record 2 (station st2, #1) was changed"},
        {"DELETE FROM records WHERE id = 3", "record #2 of station st1 is missing"},
        {"DELETE FROM records WHERE id = 6", "record #3 of station st2 is missing"},
        {"UPDATE records SET previous_sha256 = sha256 WHERE id = 5",
         "record 5 (station st1, #3) does not follow the record before it"},
    };
    for (const Case& c : cases) {
        std::string where = freshDatabase();
        DbPtr db = held(open(where));
        for (int i = 0; i < 6; i++) {
            std::string station = i % 2 ? "st2" : "st1";
            record(db.get(), station, reserve(db.get(), station, SERIAL_AND_MAC, 1).at(0).id,
                   i % 3 ? "cable" : "ok");
        }
        runSql(where, c.sql);
        std::string finding, error;
        EXPECT_TRUE(verifyRecords(db.get(), &finding, &error)) << error;
        EXPECT_EQ(finding.substr(0, std::string(c.finding).size()), c.finding) << c.sql << ": " << finding;
        EXPECT_EQ(finding.empty(), *c.finding == '\0') << c.sql;
    }
}

TEST_P(ProductionDbTest, RefusesADatabaseNotOfItsSchema) {
    struct Case {
        const char* sql;
        const char* error;
    };
    const Case cases[] = {
        {"UPDATE schema_version SET version = 2",
         "the production database has schema version 2, newer than this orvan's 1: use a newer orvan"},
        {"CREATE TABLE other_program (x INTEGER)",
         "this is not a production database: it holds other tables"},
    };
    for (const Case& c : cases) {
        std::string where = freshDatabase();
        if (std::string(c.sql).rfind("UPDATE", 0) == 0) {
            closeProductionDb(open(where));
        }
        runSql(where, c.sql);
        std::string error;
        EXPECT_EQ(openProductionDb(where, &error), nullptr) << c.sql;
        EXPECT_EQ(error.substr(0, std::string(c.error).size()), c.error);
    }
}

TEST_P(ProductionDbTest, ReadsTheRecordsOfAHalfOpenTimeWindow) {
    const char* const TIMES[] = {"2026-12-09T10:00:00.000Z", "2026-12-09T10:00:00.001Z",
                                 "2026-12-09T11:00:00.000Z"};
    struct Case {
        const char* since;
        const char* until;
        size_t records;
    };
    const Case cases[] = {
        {"", "", 3}, {TIMES[1], "", 2}, {"", TIMES[1], 1}, {TIMES[0], TIMES[2], 2}, {TIMES[2], TIMES[0], 0}};
    DbPtr db = held(open(freshDatabase()));
    std::vector<ReservedUnit> units = reserve(db.get(), "st1", SERIAL_AND_MAC, 3);
    std::string error;
    for (size_t i = 0; i < units.size(); i++) {
        UnitOutcome outcome = outcomeOf(units[i].id, "ok");
        outcome.time = TIMES[i];
        ASSERT_TRUE(recordUnit(db.get(), runOf("st1"), {}, outcome, &error)) << error;
    }
    for (const Case& c : cases) {
        std::vector<RecordRow> records;
        EXPECT_TRUE(readRecords(db.get(), c.since, c.until, &records, &error)) << error;
        EXPECT_EQ(records.size(), c.records) << "[" << c.since << ", " << c.until << ")";
        for (const RecordRow& record : records) {
            EXPECT_EQ(record.values.size(), 2u);
        }
    }
}

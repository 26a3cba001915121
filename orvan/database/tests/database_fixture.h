// The production database's tests run each case on a SQLite file in a
// folder of its own and, under pg_virtualenv, on a PostgreSQL schema of its
// own in the private cluster.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "orvan/database/production_db.h"

class ProductionDbTest : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override;
    void TearDown() override;
    // A new, empty database of the case's back end: where it is.
    std::string freshDatabase();
    // Opens where, failing the case when it cannot.
    ProductionDb* open(const std::string& where);
    // Runs statements on where as anyone with access to it could.
    void runSql(const std::string& where, const std::string& sql);

    std::vector<std::string> schemas_;
    std::string folder_;
};

// A run identity of a station.
RunIdentity runOf(const std::string& station);
// The texts of a unit's numbers: "N-<number>".
std::vector<std::string> plainTexts(const std::vector<uint64_t>& numbers);
// The outcome of a unit: result, one second, now.
UnitOutcome outcomeOf(int64_t unitId, const std::string& result);

// orvan run and orvan report over a real production database: a SQLite file,
// or the PostgreSQL server ORVAN_TEST_DATABASE names. The oracles are the
// flash files (each board's own serial at its address), the status, and the
// report's --json record read against what the runs did.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "program_fixture.h"

namespace {

using Json = nlohmann::ordered_json;

const std::string ORVAN = orvanCommandPath();
const size_t SERIAL_ADDRESS = 0x3f00;
const size_t SERIAL_CHARS = 9; // "OR-001000"

class OrvanProductionTest : public ProgramTest {
  protected:
    void SetUp() override {
        ProgramTest::SetUp();
        // A database of the test's own: a SQLite file in its folder, or a
        // schema of its own on the server.
        std::string server = environmentValue("ORVAN_TEST_DATABASE");
        database = server.empty() ? "production.sqlite" : server + "?options=-csearch_path%3D" + schemaName();
        if (!server.empty()) {
            EXPECT_EQ(system(("psql -q -c 'create schema " + schemaName() + "' >/dev/null").c_str()), 0);
        }
        // Up to the serial's address: the rest of sector 0 is 0xff in the image.
        writeFile(path("app.bin"), imageBytes(SERIAL_ADDRESS, 5));
    }
    std::string schemaName() const {
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        return "t_" + std::to_string(getpid()) + "_" + name.substr(0, 40);
    }
    // A recipe for app.bin at sector 0 and the serial at SERIAL_ADDRESS;
    // pinned to app.bin as it is now unless pin says otherwise.
    void writeRecipe(unsigned first, unsigned last, const std::string& slots = "",
                     const std::string& pin = "") {
        writeFile(path("line.toml"),
                  "name = \"sensor board rev C\"\n[[image]]\nfile = \"app.bin\"\nsector = 0\nsha256 = \"" +
                      (pin.empty() ? sha256sum(path("app.bin")) : pin) +
                      "\"\n[serial]\naddress = 0x3f00\nformat = \"text\"\npattern = \"OR-%06u\"\nfirst = " +
                      std::to_string(first) + "\nlast = " + std::to_string(last) +
                      "\n[production]\ndatabase = \"" + database + "\"\nstation = \"st1\"\n" + slots);
    }
    ProgramResult orvan(const std::vector<std::string>& arguments,
                        std::vector<std::string> environment = {}) {
        setenv("ORVAN_PROGRAM", "/bin/sh", 1);
        ProgramRun run;
        run.arguments = {"-c", "exec \"$0\" \"$@\" 2>errors.txt", ORVAN};
        run.arguments.insert(run.arguments.end(), arguments.begin(), arguments.end());
        environment.push_back("VADAPTER_DEVICES=Vexil USB-SPI Cable|A|0x1101;Vexil USB-SPI Cable|A|0x1102;"
                              "Vexil USB-SPI Cable|A|0x1103");
        environment.push_back("VADAPTER_FLASH=fl-{location}.bin");
        run.environment = environment;
        run.directory = directory;
        ProgramResult result = runProgram(run);
        EXPECT_FALSE(result.timedOut);
        return result;
    }
    Json report(const std::vector<std::string>& more = {}) {
        std::vector<std::string> arguments = {"--json", "report", "line.toml"};
        arguments.insert(arguments.end(), more.begin(), more.end());
        return Json::parse(orvan(arguments).output, nullptr, false);
    }
    std::string serialOnBoard(const std::string& location) const {
        return readWholeFile(path("fl-" + location + ".bin")).substr(SERIAL_ADDRESS, SERIAL_CHARS);
    }
    std::string errors() const {
        return readWholeFile(path("errors.txt"));
    }

    std::string database;
};

const std::string THREE_SLOTS = "[[slot]]\nlocation = 0x1101\nname = \"A1\"\n[[slot]]\nlocation = 0x1102\n"
                                "name = \"A2\"\n[[slot]]\nlocation = 0x1103\nname = \"A3\"\n";

// Two runs on three slots: six boards, six numbers, each on its board and in the report.
TEST_F(OrvanProductionTest, EachBoardGetsItsOwnNumberWrittenAndRecorded) {
    writeRecipe(1000, 999999, THREE_SLOTS);
    std::set<std::string> onBoards;
    for (int run = 0; run < 2; run++) {
        ASSERT_EQ(orvan({"run", "line.toml"}).status, 0) << errors();
        for (const char* location : {"1101", "1102", "1103"}) {
            onBoards.insert(serialOnBoard(location));
        }
    }
    Json units = report()["units"];
    ASSERT_EQ(units.size(), 6u);
    std::set<std::string> recorded;
    for (const Json& unit : units) {
        EXPECT_EQ(unit["state"], "used");
        EXPECT_EQ(unit["station"], "st1");
        recorded.insert(unit["serial"].get<std::string>());
    }
    EXPECT_EQ(recorded, (std::set<std::string>{"OR-001000", "OR-001001", "OR-001002", "OR-001003",
                                               "OR-001004", "OR-001005"}));
    EXPECT_EQ(onBoards, recorded);
    std::string flash = readWholeFile(path("fl-1101.bin"));
    std::string image = imageBytes(SERIAL_ADDRESS, 5);
    EXPECT_EQ(flash.substr(0, SERIAL_ADDRESS), image.substr(0, SERIAL_ADDRESS));
}

// What must stop a run before any cable is opened, and with which status;
// no value is reserved by a run that stops.
TEST_F(OrvanProductionTest, RunsRefusedBeforeAnyCable) {
    struct Case {
        const char* what;
        unsigned first, last;
        const char* pin;          // "" pins app.bin as it is
        const char* databaseSwap; // replaces the database when not empty
        int status;
        const char* errorHas;
    } cases[] = {
        {"changed image", 1000, 2000, "0000000000000000000000000000000000000000000000000000000000000000", "",
         2, "has changed since the recipe was pinned"},
        {"a problem in the recipe", 7, 6, "", "", 2, "1 problem"},
        {"database unreachable", 1000, 2000, "", "no-such-folder/production.sqlite", 4,
         "production database"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string kept = database;
        database = *c.databaseSwap != '\0' ? c.databaseSwap : database;
        writeRecipe(c.first, c.last, THREE_SLOTS, c.pin);
        database = kept;
        EXPECT_EQ(orvan({"run", "line.toml"}).status, c.status);
        EXPECT_NE(errors().find(c.errorHas), std::string::npos) << errors();
        EXPECT_EQ(access(path("fl-1101.bin").c_str(), F_OK), -1) << "a cable was opened";
    }
}

// A board that fails keeps its number: the next board gets the next one,
// and the last number of the range leaves nothing for a run after it.
TEST_F(OrvanProductionTest, AFailedBoardsNumberIsNeverIssuedAgain) {
    writeRecipe(1000, 1001);
    EXPECT_EQ(orvan({"--cable", "0x1101", "run", "line.toml"}, {"VADAPTER_UNERASED_SECTOR=0"}).status, 1);
    EXPECT_EQ(orvan({"--cable", "0x1101", "run", "line.toml"}).status, 0) << errors();
    EXPECT_EQ(serialOnBoard("1101"), "OR-001001");
    EXPECT_EQ(orvan({"--cable", "0x1101", "run", "line.toml"}).status, 2);
    EXPECT_NE(errors().find("serial"), std::string::npos) << errors();
    Json json = report();
    ASSERT_EQ(json["units"].size(), 2u);
    EXPECT_EQ(json["units"][0]["state"], "failed");
    EXPECT_EQ(json["units"][1]["state"], "used");
    ASSERT_EQ(json["failures"].size(), 1u);
    EXPECT_EQ(json["failures"][0]["result"], "target");
}

// The chain of records is whole until a record is edited by hand.
TEST_F(OrvanProductionTest, VerifyFindsARecordEditedByHand) {
    if (!environmentValue("ORVAN_TEST_DATABASE").empty()) {
        GTEST_SKIP() << "edited with sqlite3 on the SQLite file";
    }
    writeRecipe(1000, 2000, THREE_SLOTS);
    ASSERT_EQ(orvan({"run", "line.toml"}, {"VADAPTER_UNERASED_SECTOR=0"}).status, 1);
    EXPECT_EQ(orvan({"report", "--verify", "line.toml"}).status, 0) << errors();
    ASSERT_EQ(system(("sqlite3 '" + path("production.sqlite") +
                      "' \"UPDATE records SET result = 'ok' WHERE id = 2\"")
                         .c_str()),
              0);
    EXPECT_EQ(orvan({"report", "--verify", "line.toml"}).status, 1);
    EXPECT_NE(errors().find("record"), std::string::npos) << errors();
}

// --serial picks one board's history; --csv gives one line per record.
TEST_F(OrvanProductionTest, ReportAnswersForOneBoardAndAsCsv) {
    writeRecipe(1000, 2000, THREE_SLOTS);
    ASSERT_EQ(orvan({"run", "line.toml"}).status, 0) << errors();
    Json history = report({"--serial", "OR-001001"})["history"];
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0]["result"], "ok");
    EXPECT_EQ(report({"--serial", "1000-1001"})["history"].size(), 2u);
    std::string csv = orvan({"report", "--csv", "line.toml"}).output;
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 4) << csv;
    EXPECT_EQ(report({"--since", "2999-01-01"})["yield"]["day"].size(), 0u);
}

} // namespace

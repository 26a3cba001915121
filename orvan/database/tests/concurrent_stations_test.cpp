// Stations reserving from one database at once, as processes, while some are
// killed: no number is issued twice, every finished board is recorded, and a
// board killed between its reservation and its record stays reserved.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <random>
#include <set>
#include <sstream>

#include "database_fixture.h"

const int STATIONS = 4;
const int UNITS_PER_STATION = 20;
// Station 0 kills itself after this reservation; station 1 is killed from
// outside, within KILL_WITHIN_US.
const int SELF_KILL_AFTER = 10;
const int KILL_WITHIN_US = 300000;

static const std::vector<PoolDraw> DRAWS = {{"serial", 1, 1000000}, {"mac", 0x10, 0xfff}};

// Reports "unit serial mac" on the pipe after each reservation; exits 0 when
// every call succeeded.
static void runStation(const std::string& where, int station, int reportFd) {
    std::string error;
    ProductionDb* db = openProductionDb(where, &error);
    if (!db) {
        _exit(2);
    }
    RunIdentity run = runOf("st" + std::to_string(station));
    for (int i = 0; i < UNITS_PER_STATION; i++) {
        std::vector<ReservedUnit> units;
        if (reserveUnits(db, run, DRAWS, {{"1", "0x1101"}}, plainTexts, &units, &error) != DB_OK) {
            fprintf(stderr, "station %d unit %d: %s\n", station, i, error.c_str());
            _exit(3);
        }
        std::string line = std::to_string(units[0].id) + " " + std::to_string(units[0].values[0].number) +
                           " " + std::to_string(units[0].values[1].number) + "\n";
        if (write(reportFd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
            _exit(4);
        }
        if (station == 0 && i == SELF_KILL_AFTER) {
            raise(SIGKILL);
        }
        if (!recordUnit(db, run, {"1", "0x1101"}, outcomeOf(units[0].id, i % 4 ? "ok" : "target"), &error)) {
            _exit(5);
        }
    }
    closeProductionDb(db);
    _exit(0);
}

static std::string readAll(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<size_t>(got));
    }
    return text;
}

TEST_P(ProductionDbTest, StationsKilledAtRandomMomentsNeverShareANumber) {
    std::string where = freshDatabase();
    unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    pid_t pids[STATIONS];
    int pipes[STATIONS][2];
    for (int station = 0; station < STATIONS; station++) {
        ASSERT_EQ(pipe(pipes[station]), 0);
        pids[station] = fork();
        ASSERT_GE(pids[station], 0);
        if (pids[station] == 0) {
            close(pipes[station][0]);
            runStation(where, station, pipes[station][1]);
        }
        close(pipes[station][1]);
    }
    usleep(std::uniform_int_distribution<int>(0, KILL_WITHIN_US)(random));
    kill(pids[1], SIGKILL);
    std::set<int> killed;
    std::set<std::string> serials, macs;
    std::set<int64_t> reported;
    for (int station = 0; station < STATIONS; station++) {
        std::istringstream lines(readAll(pipes[station][0]));
        close(pipes[station][0]);
        int status = 0;
        waitpid(pids[station], &status, 0);
        if (WIFSIGNALED(status)) {
            killed.insert(station);
        } else {
            EXPECT_EQ(WEXITSTATUS(status), 0) << "station " << station;
        }
        std::string serial, mac;
        for (int64_t unit; lines >> unit >> serial >> mac;) {
            EXPECT_TRUE(serials.insert(serial).second && macs.insert(mac).second)
                << "issued twice: " << serial;
            reported.insert(unit);
        }
    }
    EXPECT_EQ(killed.count(0), 1u);
    ProductionDb* db = open(where);
    ASSERT_NE(db, nullptr);
    std::vector<UnitRow> units;
    std::vector<RecordRow> records;
    std::string error, finding;
    EXPECT_TRUE(readUnits(db, &units, &error) && readRecords(db, "", "", &records, &error) &&
                verifyRecords(db, &finding, &error))
        << error;
    closeProductionDb(db);
    EXPECT_EQ(finding, "");
    std::map<std::string, size_t> finished, reserved;
    for (const UnitRow& unit : units) {
        (unit.state == "reserved" ? reserved : finished)[unit.station]++;
        reported.erase(unit.id);
    }
    EXPECT_TRUE(reported.empty()) << "a reservation that was returned is not in the database";
    size_t recorded = 0;
    for (const auto& station : finished) {
        recorded += station.second;
    }
    EXPECT_EQ(records.size(), recorded);
    for (int station = 0; station < STATIONS; station++) {
        std::string name = "st" + std::to_string(station);
        if (killed.count(station)) {
            EXPECT_LE(reserved[name], 1u) << name;
        } else {
            EXPECT_EQ(finished[name], static_cast<size_t>(UNITS_PER_STATION)) << name;
            EXPECT_EQ(reserved[name], 0u) << name;
        }
    }
    EXPECT_EQ(reserved["st0"], 1u) << "the board killed after its reservation";
}

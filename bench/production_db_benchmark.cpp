// The production database's cost per board (one reservation and one record)
// on SQLite and PostgreSQL, and its guarantees under load: stations at once,
// as processes, with runs killed at random moments. PostgreSQL is the server
// that libpq's environment names (run under pg_virtualenv), or the URL in
// ORVAN_BENCH_POSTGRES; without either only SQLite is measured.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "orvan/database/db_connection.h"
#include "orvan/database/production_db.h"

namespace {

const int COST_BOARDS = 200;
const int STATIONS = 4;
const int BOARDS_PER_STATION = 250;
const double KILLED_SHARE = 0.10;
// A killed run's timer fires within this many board times, so that it lands
// anywhere in the board's reservation, record or between them.
const double KILL_WITHIN_BOARDS = 2.0;

const std::vector<PoolDraw> DRAWS = {{"serial", 1000, 999999}, {"mac", 0x10, 0xffffff}};

std::vector<std::string> texts(const std::vector<uint64_t>& numbers) {
    return {"OR-" + std::to_string(numbers[0]), "mac-" + std::to_string(numbers[1])};
}

double nowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

void fail(const std::string& what) {
    fprintf(stderr, "production_db_benchmark: %s\n", what.c_str());
    exit(1);
}

ProductionDb* openOrFail(const std::string& where) {
    std::string error;
    ProductionDb* db = openProductionDb(where, &error);
    if (!db) {
        fail(error);
    }
    return db;
}

// A fresh database: a SQLite file in folder, or a new schema on the server.
std::string freshDatabase(const std::string& postgres, const std::string& folder, const std::string& name) {
    if (postgres.empty()) {
        return folder + "/" + name + ".db";
    }
    std::string error;
    DbConnection* connection = connectDatabase(postgres, &error);
    if (!connection || !connection->exec("DROP SCHEMA IF EXISTS " + name + " CASCADE", {}, nullptr, &error) ||
        !connection->exec("CREATE SCHEMA " + name, {}, nullptr, &error)) {
        fail(error);
    }
    delete connection;
    return postgres + (postgres.find('?') == std::string::npos ? "?" : "&") + "options=-csearch_path%3D" +
           name;
}

// One board: its reservation and its record. False when either fails.
bool runBoard(ProductionDb* db, const std::string& station, int board, std::string* error) {
    RunIdentity run{station, "board-a", std::string(64, 'a'), "v1.1", station + "-" + std::to_string(board)};
    UnitPlace place{"1", "0x1101"};
    std::vector<ReservedUnit> units;
    if (reserveUnits(db, run, DRAWS, {place}, texts, &units, error) != DB_OK) {
        return false;
    }
    UnitOutcome outcome{units[0].id, board % 7 ? "ok" : "target", 0, "", 4.25, std::string(64, 'b'), ""};
    return recordUnit(db, run, place, outcome, error);
}

struct Cost {
    double medianMs, p95Ms;
};

Cost costPerBoard(const std::string& where) {
    ProductionDb* db = openOrFail(where);
    std::vector<double> times;
    std::string error;
    for (int board = 0; board < COST_BOARDS; board++) {
        double start = nowMs();
        if (!runBoard(db, "cost", board, &error)) {
            fail(error);
        }
        times.push_back(nowMs() - start);
    }
    closeProductionDb(db);
    std::sort(times.begin(), times.end());
    return {times[times.size() / 2], times[times.size() * 95 / 100]};
}

// A station's process from board first on; it writes the board it starts on
// the pipe, so that its supervisor knows which one a kill cut.
[[noreturn]] void stationWorker(const std::string& where, const std::string& station, int first,
                                double boardMs, int reportFd, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> chance(0, 1), moment(0, KILL_WITHIN_BOARDS * boardMs);
    ProductionDb* db = openOrFail(where);
    std::string error;
    for (int board = first; board < BOARDS_PER_STATION; board++) {
        if (write(reportFd, &board, sizeof board) != sizeof board) {
            _exit(3);
        }
        if (chance(random) < KILLED_SHARE) {
            // SIGALRM's default action ends the process at once, as a kill would.
            itimerval timer{{0, 0}, {0, static_cast<suseconds_t>(moment(random) * 1000) + 1}};
            setitimer(ITIMER_REAL, &timer, nullptr);
        }
        if (!runBoard(db, station, board, &error)) {
            fprintf(stderr, "%s board %d: %s\n", station.c_str(), board, error.c_str());
            _exit(2);
        }
    }
    closeProductionDb(db);
    _exit(0);
}

// Runs the station's boards, starting a new process after each kill; its
// exit status is the number of boards killed, its pipe their numbers.
[[noreturn]] void stationSupervisor(const std::string& where, int station, double boardMs, int killedFd) {
    std::string name = "st" + std::to_string(station);
    for (int first = 0, restart = 0; first < BOARDS_PER_STATION; restart++) {
        int report[2];
        if (pipe(report) != 0) {
            _exit(100);
        }
        pid_t worker = fork();
        if (worker == 0) {
            close(report[0]);
            stationWorker(where, name, first, boardMs, report[1], 1000u * station + restart);
        }
        close(report[1]);
        int board = first - 1;
        for (int started; read(report[0], &started, sizeof started) == sizeof started;) {
            board = started;
        }
        close(report[0]);
        int status = 0;
        waitpid(worker, &status, 0);
        if (!WIFSIGNALED(status)) {
            _exit(WEXITSTATUS(status) == 0 ? 0 : 100);
        }
        if (write(killedFd, &board, sizeof board) != sizeof board) {
            _exit(100);
        }
        first = board + 1;
    }
    _exit(0);
}

struct LoadFigures {
    int boards = STATIONS * BOARDS_PER_STATION, killed = 0, issuedTwice = 0, notKilledUnrecorded = 0;
    int killedBeforeReserving = 0, killedBetween = 0, killedBetweenLeftReserved = 0, killedAfterRecording = 0;
    double wallSeconds = 0;
};

// The killed boards' run ids, "st2-17"; ends the benchmark when a station failed.
std::set<std::string> runStations(const std::string& where, double boardMs) {
    int killedPipes[STATIONS][2];
    pid_t supervisors[STATIONS];
    for (int station = 0; station < STATIONS; station++) {
        if (pipe(killedPipes[station]) != 0 || (supervisors[station] = fork()) < 0) {
            fail("cannot start the stations");
        }
        if (supervisors[station] == 0) {
            close(killedPipes[station][0]);
            stationSupervisor(where, station, boardMs, killedPipes[station][1]);
        }
        close(killedPipes[station][1]);
    }
    std::set<std::string> killed;
    for (int station = 0; station < STATIONS; station++) {
        for (int board; read(killedPipes[station][0], &board, sizeof board) == sizeof board;) {
            killed.insert("st" + std::to_string(station) + "-" + std::to_string(board));
        }
        int status = 0;
        waitpid(supervisors[station], &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            fail("station " + std::to_string(station) + " failed");
        }
    }
    return killed;
}

// Counts each board by the database's units and records: whether it was
// killed, reserved, recorded.
void countBoards(const std::vector<UnitRow>& units, const std::vector<RecordRow>& records,
                 const std::set<std::string>& killed, LoadFigures* figures) {
    std::map<std::string, int> issued;
    std::map<std::string, std::string> stateOf;
    for (const UnitRow& unit : units) {
        for (const UnitValue& value : unit.values) {
            figures->issuedTwice += issued[value.pool + " " + std::to_string(value.number)]++ == 1;
        }
        stateOf[unit.runId] = unit.state;
    }
    std::set<std::string> recorded;
    for (const RecordRow& record : records) {
        recorded.insert(record.runId);
    }
    for (int station = 0; station < STATIONS; station++) {
        for (int board = 0; board < BOARDS_PER_STATION; board++) {
            std::string run = "st" + std::to_string(station) + "-" + std::to_string(board);
            bool reserved = stateOf.count(run) > 0, wasRecorded = recorded.count(run) > 0;
            if (!killed.count(run)) {
                figures->notKilledUnrecorded += !wasRecorded;
            } else if (!reserved) {
                figures->killedBeforeReserving++;
            } else if (wasRecorded) {
                figures->killedAfterRecording++;
            } else {
                figures->killedBetween++;
                figures->killedBetweenLeftReserved += stateOf[run] == "reserved";
            }
        }
    }
}

LoadFigures underLoad(const std::string& where, double boardMs) {
    closeProductionDb(openOrFail(where));
    LoadFigures figures;
    double start = nowMs();
    std::set<std::string> killed = runStations(where, boardMs);
    figures.wallSeconds = (nowMs() - start) / 1000;
    figures.killed = static_cast<int>(killed.size());
    ProductionDb* db = openOrFail(where);
    std::vector<UnitRow> units;
    std::vector<RecordRow> records;
    std::string error;
    if (!readUnits(db, &units, &error) || !readRecords(db, "", "", &records, &error)) {
        fail(error);
    }
    closeProductionDb(db);
    countBoards(units, records, killed, &figures);
    return figures;
}

void printLoadRow(const char* kind, const LoadFigures& f) {
    printf("| %s | %d | %d (%d before reserving, %d between reserving and recording, %d after recording) | "
           "%d | %d | "
           "%d of %d | %.1f s |\n",
           kind, f.boards, f.killed, f.killedBeforeReserving, f.killedBetween, f.killedAfterRecording,
           f.issuedTwice, f.notKilledUnrecorded, f.killedBetweenLeftReserved, f.killedBetween, f.wallSeconds);
}

std::string postgresUrl() {
    const char* url = getenv("ORVAN_BENCH_POSTGRES");
    if (url && *url) {
        return url;
    }
    return getenv("PGHOST") || getenv("PGDATABASE") ? "postgresql://" : "";
}

} // namespace

int main() {
    char folder[] = "/tmp/orvan-db-bench.XXXXXX";
    if (!mkdtemp(folder)) {
        fail("cannot make a folder in /tmp");
    }
    std::string postgres = postgresUrl();
    if (postgres.empty()) {
        printf("No PostgreSQL server (neither ORVAN_BENCH_POSTGRES nor libpq's PGHOST is set: run under "
               "pg_virtualenv): SQLite only.\n\n");
    }
    std::vector<std::pair<const char*, std::string>> servers = {{"SQLite", ""}};
    if (!postgres.empty()) {
        servers.push_back({"PostgreSQL", postgres});
    }
    std::map<std::string, Cost> costs;
    printf("## Cost per board: one reservation (two values) and its record\n\n");
    printf("| database | boards | median | p95 |\n|---|---|---|---|\n");
    for (const auto& server : servers) {
        Cost cost = costPerBoard(freshDatabase(server.second, folder, "bench_cost"));
        costs[server.first] = cost;
        printf("| %s | %d | %.2f ms | %.2f ms |\n", server.first, COST_BOARDS, cost.medianMs, cost.p95Ms);
    }
    printf("\n## %d stations x %d boards at once, %.0f %% of the runs killed at a random moment\n\n",
           STATIONS, BOARDS_PER_STATION, KILLED_SHARE * 100);
    printf(
        "| database | boards | killed | values issued twice (goal 0) | boards not killed without a record "
        "(goal 0) | killed between reserving and recording: values left reserved (goal all) | wall time |\n");
    printf("|---|---|---|---|---|---|---|\n");
    for (const auto& server : servers) {
        std::string where = freshDatabase(server.second, folder, "bench_load");
        printLoadRow(server.first, underLoad(where, costs[server.first].medianMs));
    }
    std::filesystem::remove_all(folder);
    return 0;
}

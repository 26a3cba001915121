// orvan station as a fixture's operator meets it: boards placed and taken
// off at random moments on four slots, some taken off mid-write, a board
// that answers once and is gone again, and a cable unplugged and plugged in
// again. The oracles are the boards' flash files (the image and each board's
// own serial), the production database's report and the events file.
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "program_fixture.h"

namespace {

using Json = nlohmann::ordered_json;

const std::string ORVAN = orvanCommandPath();
const size_t SERIAL_ADDRESS = 0x3f00;
const size_t SERIAL_CHARS = 9; // "OR-001000"
const unsigned BOARDS = 40;
const std::vector<std::string> LOCATIONS = {"1101", "1102", "1103", "1104"};
const std::string UNPLUGGED_LOCATION = "1103";
// A slot of its own for a board that answers once and is gone again: no
// operator waits on it.
const std::string FLICKER_LOCATION = "1105";
// Shorter than the 50 ms a board must answer before it is written, with room for a late wake-up.
const uint64_t FLICKER_MAX_MS = 35;

std::vector<std::string> fixtureLocations() {
    std::vector<std::string> locations = LOCATIONS;
    locations.push_back(FLICKER_LOCATION);
    return locations;
}

uint64_t nowMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

// The first cells, `name` or `a`, `b`, of each table row in doc/station.md.
std::set<std::string> documentedNames() {
    std::ifstream document(ORVAN_SOURCE_DIR "/doc/station.md");
    std::set<std::string> names;
    for (std::string line; std::getline(document, line);) {
        std::string cell = line.rfind("| `", 0) == 0 ? line.substr(2, line.find(" |", 2) - 2) : "";
        for (size_t start = cell.find('`'); start != std::string::npos; start = cell.find('`', start)) {
            size_t end = cell.find('`', start + 1);
            names.insert(cell.substr(start + 1, end - start - 1));
            start = end + 1;
        }
    }
    return names;
}

// One board as the operator handled it, and what the station said of it.
struct Board {
    std::string location;
    std::string file; // its flash file once taken off
    bool takenOffMidWrite = false;
    Json done;
};

// The operator of one slot: places a board, waits for its write to start
// (to take it off mid-write) or for its result, takes it off, waits until
// the station saw it go, and puts the next one on.
struct Operator {
    enum Step { PLACE, WRITTEN, TAKE_OFF, GONE } step = PLACE;
    std::string location;
    uint64_t atMs = 0;
    int board = -1;
};

class OrvanStationTest : public ProgramTest {
  protected:
    void SetUp() override {
        ProgramTest::SetUp();
        writeFile(path("app.bin"), imageBytes(SERIAL_ADDRESS, 5));
        std::string slots;
        for (const std::string& location : fixtureLocations()) {
            slots += "[[slot]]\nlocation = 0x" + location + "\nname = \"S" + location.substr(2) + "\"\n";
            writeFile(path("plugged-" + location), "");
        }
        writeFile(
            path("line.toml"),
            "name = \"sensor\"\n[[image]]\nfile = \"app.bin\"\nsector = 0\nsha256 = \"" +
                sha256sum(path("app.bin")) +
                "\"\n[serial]\naddress = 0x3f00\nformat = \"text\"\npattern = \"OR-%06u\"\nfirst = 1000\n"
                "last = 999999\n[production]\ndatabase = \"production.sqlite\"\nstation = \"st1\"\n" +
                slots);
    }
    std::vector<std::string> environment() const {
        std::vector<std::string> variables = fixtureEnvironment();
        variables.insert(variables.end(), extraEnvironment.begin(), extraEnvironment.end());
        return variables;
    }
    std::vector<std::string> fixtureEnvironment() const {
        std::string devices;
        for (const std::string& location : fixtureLocations()) {
            devices += (devices.empty() ? "" : ";") + std::string("Vexil USB-SPI Cable|A|0x") + location;
        }
        return {"VADAPTER_DEVICES=" + devices, "VADAPTER_FLASH=fl-{location}.bin",
                "VADAPTER_PRESENT=present-{location}", "VADAPTER_PLUGGED=plugged-{location}",
                "VADAPTER_REALTIME=1"};
    }
    // orvan with those arguments, its standard error in errors.txt; or the
    // shell, given its own.
    ProgramResult orvan(const std::vector<std::string>& arguments, const std::string& shell = "") {
        setenv("ORVAN_PROGRAM", "/bin/sh", 1);
        ProgramRun run;
        run.arguments = {"-c", "exec \"$0\" \"$@\" 2>errors.txt", ORVAN};
        if (!shell.empty()) {
            run.arguments.clear();
        }
        run.arguments.insert(run.arguments.end(), arguments.begin(), arguments.end());
        run.environment = environment();
        run.directory = directory;
        run.timeoutSeconds = 120;
        return runProgram(run);
    }
    // The events file's lines not read yet.
    std::vector<Json> newEvents() {
        std::string text = readWholeFile(path("events.jsonl"));
        std::vector<Json> events;
        for (size_t end = text.find('\n', eventsRead); end != std::string::npos;
             end = text.find('\n', eventsRead)) {
            events.push_back(Json::parse(text.substr(eventsRead, end - eventsRead)));
            eventsRead = end + 1;
        }
        return events;
    }
    void place(Operator* slot, std::vector<Board>* boards, std::mt19937* random) {
        slot->board = static_cast<int>(boards->size());
        boards->push_back({slot->location, "", (*random)() % 4 == 0, Json()});
        writeFile(path("present-" + slot->location), "");
        slot->step = Operator::WRITTEN;
    }
    // What the station said moves the operator of that slot on.
    void hear(const Json& event, std::map<std::string, Operator>* operators, std::vector<Board>* boards,
              std::mt19937* random) {
        std::string location = event.value("location", "");
        location = location.empty() ? "" : location.substr(2);
        if (operators->count(location) == 0) {
            return;
        }
        Operator* slot = &(*operators)[location];
        std::string what = event["event"];
        if (slot->step == Operator::WRITTEN && what == "writing" && (*boards)[slot->board].takenOffMidWrite) {
            slot->step = Operator::TAKE_OFF;
            slot->atMs = nowMs() + 20 + (*random)() % 150;
        } else if (what == "done" && slot->board >= 0) {
            (*boards)[slot->board].done = event;
            if (slot->step == Operator::WRITTEN) {
                slot->step = Operator::TAKE_OFF;
                slot->atMs = nowMs() + (*random)() % 100;
            }
        } else if (what == "removed" && slot->step == Operator::GONE) {
            Board* board = &(*boards)[slot->board];
            board->file = "board-" + std::to_string(slot->board) + ".bin";
            rename(path("fl-" + location + ".bin").c_str(), path(board->file).c_str());
            slot->step = Operator::PLACE;
            slot->atMs = nowMs() + (*random)() % 150;
        }
    }
    void act(Operator* slot, std::vector<Board>* boards, std::mt19937* random) {
        if (nowMs() < slot->atMs) {
            return;
        }
        if (slot->step == Operator::PLACE) {
            place(slot, boards, random);
        } else if (slot->step == Operator::TAKE_OFF) {
            unlink(path("present-" + slot->location).c_str());
            slot->step = Operator::GONE;
        }
    }

    size_t eventsRead = 0;
    std::vector<std::string> extraEnvironment;
};

TEST_F(OrvanStationTest, FortyBoardsPlacedAndTakenOffAtRandomOnFourSlots) {
    ProgramResult result;
    bool ended = false;
    std::thread station([&]() {
        result =
            orvan({"station", "line.toml", "--count", std::to_string(BOARDS), "--events", "events.jsonl"});
        ended = true;
    });
    std::mt19937 random(20261209);
    std::map<std::string, Operator> operators;
    for (const std::string& location : LOCATIONS) {
        operators[location].location = location;
    }
    // A board half seated: it answers once, then never again, and is not written.
    uint64_t flickerMs = nowMs();
    writeFile(path("present-" + FLICKER_LOCATION), "");
    usleep(10000);
    unlink(path("present-" + FLICKER_LOCATION).c_str());
    flickerMs = nowMs() - flickerMs;
    std::vector<Board> boards;
    std::vector<Json> events;
    uint64_t unplugAtMs = nowMs() + 3000, plugAtMs = unplugAtMs + 1500;
    while (!ended) {
        for (const Json& event : newEvents()) {
            events.push_back(event);
            hear(event, &operators, &boards, &random);
        }
        for (auto& entry : operators) {
            act(&entry.second, &boards, &random);
        }
        if (unplugAtMs != 0 && nowMs() >= unplugAtMs) {
            unlink(path("plugged-" + UNPLUGGED_LOCATION).c_str());
            unplugAtMs = 0;
        }
        if (plugAtMs != 0 && unplugAtMs == 0 && nowMs() >= plugAtMs) {
            writeFile(path("plugged-" + UNPLUGGED_LOCATION), "");
            plugAtMs = 0;
        }
        usleep(5000);
    }
    station.join();
    for (const Json& event : newEvents()) {
        events.push_back(event);
    }
    ASSERT_FALSE(result.timedOut);
    std::string errors = readWholeFile(path("errors.txt"));

    std::map<std::string, unsigned> count;
    std::set<std::string> serials;
    std::set<int64_t> units;
    std::set<std::string> faulted;
    for (const Json& event : events) {
        count[event["event"]]++;
        count[event["event"].get<std::string>() + "@" + event.value("location", "")]++;
        if (event["event"] == "done") {
            serials.insert(event["serial"].get<std::string>());
            units.insert(event["unit"].get<int64_t>());
        }
        if (event["event"] == "fault") {
            faulted.insert(event["location"].get<std::string>());
        }
    }
    EXPECT_EQ(count["writing"], BOARDS) << errors;
    EXPECT_EQ(count["done"], BOARDS);
    EXPECT_EQ(serials.size(), BOARDS);
    EXPECT_EQ(units.size(), BOARDS);
    EXPECT_EQ(faulted, (std::set<std::string>{"0x" + UNPLUGGED_LOCATION}));
    if (flickerMs <= FLICKER_MAX_MS) {
        EXPECT_EQ(count["detected@0x" + FLICKER_LOCATION], 0u);
    }
    EXPECT_EQ(count["stopped"], 1u);
    // Every event and every field it carries is documented.
    std::set<std::string> documented = documentedNames();
    for (const Json& event : events) {
        EXPECT_TRUE(documented.count(event["event"])) << event["event"];
        for (const auto& field : event.items()) {
            EXPECT_TRUE(documented.count(field.key())) << event["event"] << ": " << field.key();
        }
    }

    // Every board that stayed on holds the image and its own serial; every
    // other was taken off mid-write or was on the unplugged cable.
    std::string image = imageBytes(SERIAL_ADDRESS, 5);
    unsigned passed = 0;
    for (const Board& board : boards) {
        if (board.done.is_null()) {
            continue; // placed as the station stopped: never written
        }
        std::string flash =
            readWholeFile(path(board.file.empty() ? "fl-" + board.location + ".bin" : board.file));
        if (board.done["result"] == "ok") {
            passed++;
            EXPECT_EQ(flash.substr(0, SERIAL_ADDRESS), image) << board.file;
            EXPECT_EQ(flash.substr(SERIAL_ADDRESS, SERIAL_CHARS), board.done["serial"]) << board.file;
        } else if (board.takenOffMidWrite && board.done["result"] == "target") {
            EXPECT_EQ(board.done["error"], "removed during writing");
        } else {
            EXPECT_EQ(board.location, UNPLUGGED_LOCATION) << board.done.dump();
            EXPECT_EQ(board.done["result"], "cable") << board.done.dump();
        }
    }
    EXPECT_GT(passed, BOARDS / 2);
    // The station's status is its worst board's.
    int worst = 0;
    for (const Board& board : boards) {
        worst = std::max(worst, board.done.is_null() ? 0 : board.done["status"].get<int>());
    }
    EXPECT_EQ(result.status, worst) << errors;

    // One record per board, and every value handed out once.
    std::string csv = orvan({"report", "--csv", "line.toml"}).output;
    std::set<std::string> lines;
    for (size_t start = csv.find('\n') + 1; start < csv.size(); start = csv.find('\n', start) + 1) {
        lines.insert(csv.substr(start, csv.find('\n', start) - start));
    }
    EXPECT_EQ(lines.size(), BOARDS);
    Json report = Json::parse(orvan({"--json", "report", "line.toml"}).output, nullptr, false);
    std::set<std::string> recorded;
    for (const Json& unit : report["units"]) {
        EXPECT_NE(unit["state"], "reserved");
        recorded.insert(unit["serial"].get<std::string>());
    }
    EXPECT_EQ(recorded, serials);
}

// Ctrl-C once: the boards being written are finished and recorded. Twice:
// they are stopped at once, each recorded as interrupted.
TEST_F(OrvanStationTest, CtrlCFinishesTheBoardsBeingWrittenAndASecondStopsThem) {
    struct {
        int interruptions;
        int status; // -1: ended by the signal, as an interrupted orvan does
        unsigned leastInterrupted, mostInterrupted;
    } cases[] = {{1, 0, 0, 0}, {2, -1, 1, 4}};
    // Each board takes about a second, so that boards are still being written at the second Ctrl-C.
    extraEnvironment = {"VADAPTER_LATENCY_US=20000"};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.interruptions);
        for (const std::string& location : LOCATIONS) {
            writeFile(path("present-" + location), "");
        }
        unlink(path("events.jsonl").c_str());
        eventsRead = 0;
        // The second once the station has taken the first: two at once would be one.
        std::string again =
            c.interruptions == 2
                ? "until grep -qs '\"stopping\"' events.jsonl; do sleep 0.01; done; kill -INT $$; "
                : "";
        // The shell becomes the station; a job of it sends the Ctrl-Cs once a board is being programmed.
        ProgramResult result = orvan(
            {"-c",
             "(until grep -qs '\"phase\":\"program\"' events.jsonl; do sleep 0.01; done; kill -INT $$; " +
                 again + ") & exec \"$0\" station line.toml --events events.jsonl 2>errors.txt",
             ORVAN},
            "/bin/sh");
        EXPECT_EQ(result.status, c.status) << readWholeFile(path("errors.txt"));
        EXPECT_EQ(result.signal, c.status == -1 ? SIGINT : 0);
        // Each board being written is finished, or (after the second) stopped; each is recorded.
        std::map<std::string, unsigned> results;
        for (const Json& event : newEvents()) {
            results[event["event"] == "done" ? event["result"].get<std::string>() : "not done"]++;
            EXPECT_TRUE(event["event"] != "stopped" || event["reason"] == "Ctrl-C") << event.dump();
            EXPECT_TRUE(event["event"] != "stopping" || event["reason"] == "Ctrl-C") << event.dump();
        }
        EXPECT_EQ(results["ok"] + results["interrupted"], LOCATIONS.size());
        EXPECT_GE(results["interrupted"], c.leastInterrupted);
        EXPECT_LE(results["interrupted"], c.mostInterrupted);
        Json report = Json::parse(orvan({"--json", "report", "line.toml"}).output, nullptr, false);
        for (const Json& unit : report["units"]) {
            EXPECT_NE(unit["state"], "reserved");
        }
    }
}

} // namespace

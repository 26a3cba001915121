// orvan on many cables at once: a worker process per cable, each with its
// own flash file ({location} in VADAPTER_FLASH), one summary, one --json
// record and one production-log line per cable per run. The oracles are the
// flash files, the summary table, the record, the log and sha256sum.
#include <dirent.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "program_fixture.h"

namespace {

using Json = nlohmann::ordered_json;

const std::string CABLE_NAME = "Vexil USB-SPI Cable";
const int KILLED = 128 + SIGKILL;
const int INTERRUPTED = 128 + SIGINT;

// Taken before any run sets ORVAN_PROGRAM for itself.
const std::string WRITER = environmentValue("ORVAN_PROGRAM");
const std::string ORVAN = orvanCommandPath();

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        result.push_back(line);
    }
    return result;
}

// The adapter's trace closes the cable after its last open, or never opened
// it (a worker stopped while it was still starting).
bool leftClosed(const std::vector<std::string>& trace) {
    bool open = false;
    for (const std::string& line : trace) {
        open = line.rfind("open ", 0) == 0 ? true : line.rfind("close ", 0) == 0 ? false : open;
    }
    return !open;
}

// Each cable's result and status ("failed 3"), by location.
using Outcomes = std::map<std::string, std::string>;

// The summary table: location, result and status of each row below its head.
Outcomes summaryOf(const std::string& text) {
    Outcomes outcomes;
    bool inTable = false;
    for (const std::string& line : lines(text)) {
        std::istringstream words(line);
        std::string location, result;
        int status = -1;
        words >> location >> result >> status;
        if (inTable && !words.fail()) {
            outcomes[location] = result + " " + std::to_string(status);
        }
        inTable = inTable || location == "location";
    }
    return outcomes;
}

// The log's lines, each parsed; a line that is not whole JSON fails the test.
std::vector<Json> logLines(const std::string& path) {
    std::vector<Json> result;
    for (const std::string& line : lines(readWholeFile(path))) {
        Json json = Json::parse(line, nullptr, false);
        EXPECT_TRUE(json.is_object()) << "not a whole JSON line: " << line;
        result.push_back(json);
    }
    return result;
}

// The log says each outcome in the summary's words.
Outcomes logOutcomes(const std::vector<Json>& log) {
    Outcomes outcomes;
    for (const Json& line : log) {
        outcomes[line.value("location", "")] =
            line.value("result", "") + " " + std::to_string(line.value("status", -1));
    }
    return outcomes;
}

// The worker of that cable, started from the folder: found by its command
// line and working folder, so that no other test's process is taken.
pid_t findWorker(const std::string& location, const std::string& folder) {
    const std::string words = std::string("--cable") + '\0' + location + '\0';
    DIR* proc = opendir("/proc");
    pid_t found = 0;
    for (dirent* entry = readdir(proc); entry != nullptr && found == 0; entry = readdir(proc)) {
        pid_t pid = static_cast<pid_t>(atoi(entry->d_name));
        std::string base = std::string("/proc/") + entry->d_name;
        char cwd[4096] = {};
        if (pid > 0 && readWholeFile(base + "/cmdline").find(words) != std::string::npos &&
            readlink((base + "/cwd").c_str(), cwd, sizeof(cwd) - 1) > 0 && folder == cwd) {
            found = pid;
        }
    }
    closedir(proc);
    return found;
}

class OrvanCablesTest : public ProgramTest {
  protected:
    // Cables on ports 2, 3, ... of bus 1 over USB; at 0x1101, 0x1102, ...
    // on the virtual adapter. Their locations as the summary names them.
    // A trace costs each worker CPU time that 2 cores cannot give 8 at once:
    // the timed runs go without.
    std::vector<std::string> cables(int count, bool traced = true) {
        std::string list;
        locations.clear();
        for (int i = 0; i < count; i++) {
            list += i == 0 ? "" : ";";
            if (programIsOverUsb()) {
                list += "0x6010|" + std::string(CABLE_NAME) + "|1|" + std::to_string(i + 2);
                locations.push_back("0x1" + std::to_string(i + 2) + "00000");
                continue;
            }
            list += std::string(CABLE_NAME) + "|A|0x" + std::to_string(1101 + i);
            locations.push_back("0x" + std::to_string(1101 + i));
        }
        return {(programIsOverUsb() ? "VUSB_DEVICES=" : "VADAPTER_DEVICES=") + list,
                "VADAPTER_FLASH=fl-{location}.bin",
                traced ? "VADAPTER_TRACE=tr-{location}.txt" : "VADAPTER_TRACE="};
    }
    std::string flashAt(const std::string& location) const {
        return readWholeFile(path("fl-" + location.substr(2) + ".bin"));
    }
    void removeFlashes() const {
        for (const std::string& location : locations) {
            unlink(path("fl-" + location.substr(2) + ".bin").c_str());
        }
    }
    std::string traceAt(const std::string& location) const {
        return readWholeFile(path("tr-" + location.substr(2) + ".txt"));
    }
    // orvan with standard error in errors.txt, so that standard output is
    // the summary or, with --json, the one record.
    ProgramRun orvanRun(const std::vector<std::string>& arguments,
                        const std::vector<std::string>& environment) {
        setenv("ORVAN_PROGRAM", "/bin/sh", 1);
        ProgramRun run;
        run.arguments = {"-c", "exec \"$0\" \"$@\" 2>errors.txt", ORVAN};
        run.arguments.insert(run.arguments.end(), arguments.begin(), arguments.end());
        run.environment = environment;
        run.directory = directory;
        return run;
    }
    ProgramResult orvan(const std::vector<std::string>& arguments,
                        const std::vector<std::string>& environment) {
        ProgramResult result = runProgram(orvanRun(arguments, environment));
        EXPECT_FALSE(result.timedOut);
        for (const std::string& location : locations) {
            EXPECT_EQ(traceAt(location).find("violation:"), std::string::npos) << location;
        }
        return result;
    }
    std::string errors() const {
        return readWholeFile(path("errors.txt"));
    }

    std::vector<std::string> locations;
};

// Each row's cable list, and which of three cables it writes.
TEST_F(OrvanCablesTest, EveryNamedCableGetsItsOwnExactFlash) {
    const std::string image = imageBytes(FLASH_SIZE, 21);
    writeFile(path("img.bin"), image);
    std::vector<std::string> environment = cables(3);
    const std::string& a = locations[0];
    const std::string& c = locations[2];
    const struct {
        std::string cable;
        std::vector<bool> written;
    } rows[] = {
        {"all", {true, true, true}},
        {a + "," + c, {true, false, true}},
        {a + "," + a, {true, false, false}}, // one worker, however often it is named
    };
    for (const auto& row : rows) {
        removeFlashes();
        ProgramResult result = orvan({"--cable", row.cable, "write", "img.bin@0"}, environment);
        EXPECT_EQ(result.status, 0) << row.cable << "\n" << result.output << errors();
        Outcomes expected;
        for (size_t i = 0; i < locations.size(); i++) {
            std::string flash = flashAt(locations[i]);
            if (row.written[i]) {
                expected[locations[i]] = "ok 0";
                EXPECT_TRUE(flash == image) << row.cable << ": " << locations[i] << " not exact";
            } else {
                EXPECT_TRUE(flash.empty()) << row.cable << ": " << locations[i] << " was opened";
            }
        }
        EXPECT_EQ(summaryOf(result.output), expected) << row.cable << "\n" << result.output;
    }
}

// The workers take the range and the places the parent read: each flash
// changes just where the parent said it would, and it said so once.
TEST_F(OrvanCablesTest, WorkersKeepToTheRangeAndPlacesShown) {
    const std::string before = imageBytes(FLASH_SIZE, 23);
    const std::string image = imageBytes(40, 24);
    writeFile(path("img.bin"), image);
    std::vector<std::string> environment = cables(2);
    std::string sector3 = before, atAddress = before;
    sector3.replace(3 * SECTOR, SECTOR, SECTOR, '\xFF');
    atAddress.replace(0, 2 * SECTOR, 2 * SECTOR, '\xFF');
    atAddress.replace(0x3ff0, image.size(), image);
    const std::string erased(FLASH_SIZE, '\xFF');
    const struct {
        std::vector<std::string> words;
        std::string shown;
        const std::string& flash;
    } rows[] = {
        {{"erase"}, "erase: sectors 0-7 (0x000000-0x01ffff, 128 KiB)\n", erased},
        {{"erase", "--sector", "3"}, "erase: sector 3 (0x00c000-0x00ffff, 16 KiB)\n", sector3},
        {{"write", "img.bin@0x3ff0"}, "img.bin@0x3ff0: 0x003ff0-0x004017, sectors 0-1\n", atAddress},
    };
    for (const auto& row : rows) {
        for (const std::string& location : locations) {
            writeFile(path("fl-" + location.substr(2) + ".bin"), before);
        }
        std::vector<std::string> arguments = {"--cable", "all"};
        arguments.insert(arguments.end(), row.words.begin(), row.words.end());
        ProgramResult result = orvan(arguments, environment);
        EXPECT_EQ(result.status, 0) << row.shown << result.output << errors();
        for (const std::string& location : locations) {
            EXPECT_TRUE(flashAt(location) == row.flash) << row.shown << location;
        }
        std::string shown = errors();
        EXPECT_EQ(shown.find(row.shown), 0u) << shown;
        EXPECT_EQ(shown.find(row.shown, 1), std::string::npos) << "shown more than once:\n" << shown;
    }
}

// Real time: each cable sleeps for its bus and busy time, so the workers
// overlap only if they run at once; one after the other, eight would take
// eight times as long. Sanitized programs start slower and each takes more
// of the two cores.
#ifdef ORVAN_SANITIZED_PROGRAMS
const double EIGHT_CABLES_MOST_TIMES = 2.0;
#else
const double EIGHT_CABLES_MOST_TIMES = 1.3;
#endif

TEST_F(OrvanCablesTest, EightCablesTakeAboutTheTimeOfOne) {
    if (programIsOverUsb()) {
        GTEST_SKIP() << "the virtual adapter's real-time mode";
    }
    const std::string image = imageBytes(FLASH_SIZE, 22);
    writeFile(path("img.bin"), image);
    std::vector<std::string> environment = cables(8, false);
    environment.push_back("VADAPTER_REALTIME=1");
    // The better of two runs each: the machine may be busy with other work.
    ProgramResult one, eight;
    for (int attempt = 0; attempt < 2; attempt++) {
        ProgramResult single = orvan({"--cable", locations[0], "write", "img.bin@0"}, environment);
        ASSERT_EQ(single.status, 0) << errors();
        removeFlashes();
        ProgramResult all = orvan({"--cable", "all", "write", "img.bin@0"}, environment);
        ASSERT_EQ(all.status, 0) << all.output << errors();
        one = attempt == 0 || single.wallSeconds < one.wallSeconds ? single : one;
        eight = attempt == 0 || all.wallSeconds < eight.wallSeconds ? all : eight;
    }
    printf("one cable %.2f s, eight cables %.2f s (%.2f times)\n", one.wallSeconds, eight.wallSeconds,
           eight.wallSeconds / one.wallSeconds);
    EXPECT_LE(eight.wallSeconds, EIGHT_CABLES_MOST_TIMES * one.wallSeconds);
    EXPECT_EQ(summaryOf(eight.output).size(), 8u) << eight.output;
    for (const std::string& location : locations) {
        EXPECT_TRUE(flashAt(location) == image) << location << " not exact";
    }
}

// One run: a refused flash file, a target fault and a killed worker each
// fail alone; the summary, the record and the log agree on which.
TEST_F(OrvanCablesTest, FailuresStayWithTheirCables) {
    if (programIsOverUsb()) {
        GTEST_SKIP() << "the virtual adapter's real-time mode";
    }
    const std::string image = imageBytes(FLASH_SIZE, 23);
    writeFile(path("img.bin"), image);
    std::vector<std::string> environment = cables(5);
    const std::string refused(100, '\x5a');
    writeFile(path("fl-1101.bin"), refused);
    environment.insert(environment.end(), {"VADAPTER_REALTIME=1", "VADAPTER_FAULT_LOCATION=0x1102",
                                           "VADAPTER_UNERASED_SECTOR=3"});
    const Outcomes expected = {{"0x1101", "cable 3"},
                               {"0x1102", "target 1"},
                               {"0x1103", "crashed " + std::to_string(KILLED)},
                               {"0x1104", "ok 0"},
                               {"0x1105", "ok 0"}};
    ProgramRun run =
        orvanRun({"--cable", "all", "--json", "--log", "log.jsonl", "write", "img.bin@0"}, environment);
    ProgramResult result;
    std::thread parent([&] { result = runProgram(run); });
    pid_t worker = 0;
    for (int tries = 0; tries < 500 && worker == 0; tries++) {
        usleep(10000);
        worker = findWorker("0x1103", directory);
    }
    usleep(400000); // into its erase and programming, 1.5 s in all
    bool killed = worker != 0 && kill(worker, SIGKILL) == 0;
    parent.join();
    ASSERT_TRUE(killed) << "the worker of 0x1103 was not found running";

    EXPECT_EQ(result.status, KILLED) << "the highest of the cables' statuses";
    EXPECT_EQ(summaryOf(errors()), expected) << errors();
    Json record = Json::parse(result.output, nullptr, false);
    ASSERT_TRUE(record.is_object()) << result.output;
    EXPECT_EQ(record["status"], KILLED);
    Outcomes recorded;
    for (const Json& cable : record["cables"]) {
        recorded[cable["cable"]["location"]] =
            cable["result"].get<std::string>() + " " + std::to_string(cable["status"].get<int>());
    }
    EXPECT_EQ(recorded, expected) << result.output;
    std::vector<Json> log = logLines(path("log.jsonl"));
    EXPECT_EQ(log.size(), 5u);
    EXPECT_EQ(logOutcomes(log), expected);
    // Every cable's line names the cable and the image it was given, the
    // killed one's too: a returned board is traced by them.
    for (const Json& line : log) {
        EXPECT_EQ(line["name"], CABLE_NAME) << line.dump();
        EXPECT_EQ(line["images"],
                  Json::parse(R"([{"file":"img.bin","sha256":")" + sha256sum(path("img.bin")) + "\"}]"))
            << line.dump();
    }
    EXPECT_TRUE(flashAt("0x1101") == refused) << "a refused flash file is left as it is";
    EXPECT_TRUE(flashAt("0x1104") == image && flashAt("0x1105") == image) << "the others are not exact";
}

// Several runs, each with a line per cable; eight single-cable runs at once
// on one log with lines of a few KiB each (long image names) leave whole lines.
TEST_F(OrvanCablesTest, TheLogKeepsAWholeLinePerCablePerRun) {
    std::vector<std::string> images;
    for (size_t sector = 0; sector < 8; sector++) {
        std::string name = std::string(200, static_cast<char>('a' + sector)) + ".bin";
        writeFile(path(name), imageBytes(SECTOR, static_cast<unsigned>(30 + sector)));
        images.push_back(name + "@" + std::to_string(sector));
    }
    std::vector<std::string> environment = cables(8);
    std::vector<std::string> write = {"--cable", "all", "--log", "log.jsonl", "write"};
    write.insert(write.end(), images.begin(), images.end());
    ASSERT_EQ(orvan(write, environment).status, 0) << errors();
    ASSERT_EQ(orvan({"--cable", "all", "--log", "log.jsonl", "read", "-o", "rd-{location}.bin"}, environment)
                  .status,
              0)
        << errors();
    std::vector<ProgramRun> runs;
    for (const std::string& location : locations) {
        std::vector<std::string> single = write;
        single[1] = location;
        runs.push_back(orvanRun(single, environment));
    }
    std::vector<std::thread> threads;
    for (ProgramRun& run : runs) {
        threads.emplace_back([&run] { EXPECT_EQ(runProgram(run).status, 0); });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }

    std::vector<Json> log = logLines(path("log.jsonl"));
    ASSERT_EQ(log.size(), 24u) << "8 cables, 3 runs";
    char host[256] = {};
    gethostname(host, sizeof(host) - 1);
    std::string version = lines(runProgram(orvanRun({"--version"}, {})).output).at(0);
    char today[16];
    time_t now = time(nullptr);
    strftime(today, sizeof(today), "%Y-%m-%dT", gmtime(&now));
    const std::regex utc(today + std::string("\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\dZ"));
    std::map<std::string, int> linesPerCable;
    for (size_t i = 0; i < log.size(); i++) {
        const Json& line = log[i];
        std::string keys;
        for (const auto& item : line.items()) {
            keys += item.key() + " ";
        }
        // A write that finished says what it left on the board.
        bool written = line.value("command", "") == "write" && line.value("status", -1) == 0;
        std::string expected =
            "schema run time host orvan location name command images result status error seconds ";
        EXPECT_EQ(keys, expected + (written ? "written_sha256 " : ""));
        EXPECT_TRUE(std::regex_match(line.value("time", ""), utc)) << line["time"];
        EXPECT_EQ(line["host"], host);
        EXPECT_EQ("orvan " + line.value("orvan", ""), version);
        EXPECT_EQ(line["name"], CABLE_NAME);
        EXPECT_EQ(line["result"], "ok");
        EXPECT_TRUE(line["error"].is_null());
        EXPECT_TRUE(line["seconds"].is_number());
        std::string location = line.value("location", "");
        linesPerCable[location]++;
        // The read's own file, else the eight images in their order.
        bool read = i >= 8 && i < 16;
        EXPECT_EQ(line["command"], read ? "read" : "write");
        const Json& files = line["images"];
        ASSERT_EQ(files.size(), read ? 1u : 8u) << line.dump();
        for (size_t f = 0; f < files.size(); f++) {
            std::string file =
                read ? "rd-" + location.substr(2) + ".bin" : images[f].substr(0, images[f].find('@'));
            EXPECT_EQ(files[f]["file"], file);
            EXPECT_EQ(files[f]["sha256"], sha256sum(path(file))) << file;
        }
    }
    for (const std::string& location : locations) {
        EXPECT_EQ(linesPerCable[location], 3) << location;
    }
    // The cables of one run share its id; each run has its own, the
    // single-cable runs after the two on every cable too.
    std::map<std::string, size_t> linesPerRun;
    for (size_t i = 0; i < log.size(); i++) {
        linesPerRun[log[i].value("run", "")] += i < 2 * locations.size() ? 1 : locations.size();
    }
    EXPECT_EQ(linesPerRun.size(), 2 + log.size() - 2 * locations.size());
    for (const auto& run : linesPerRun) {
        EXPECT_EQ(run.second, locations.size()) << run.first;
    }
}

// What the parent checked is what every cable gets and every record names:
// the workers take the parent's copy of the images, even of a file that
// reads differently in every process; the log is checked before any cable
// is touched; each cable's read goes to a file of its own; a cable that is
// not listed keeps its location; a run of many cables holds no file open per
// cable.
TEST_F(OrvanCablesTest, TheRunKeepsToWhatTheParentChecked) {
    if (programIsOverUsb()) {
        GTEST_SKIP() << "the virtual adapter's listing";
    }
    std::vector<std::string> two = cables(2);
    ASSERT_EQ(mkdir(path("1101").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(path("1102").c_str(), 0755), 0);
    struct RunCase {
        std::string name;
        std::string shellPrefix; // run before orvan in its shell
        std::vector<std::string> arguments;
        int status;
        std::string errorsHave;
    };
    const std::vector<RunCase> cases = {
        {"a file that differs in each process",
         "",
         {"--json", "--log", "log.jsonl", "write", "/proc/self/cmdline@0"},
         0,
         ""},
        {"a log that takes no lines",
         "",
         {"--log", "/dev/full", "write", "/proc/self/cmdline@0"},
         4,
         "orvan: --log /dev/full: cannot be appended to"},
        {"two reads to one file",
         "",
         {"read", "--force", "-o", "{location}/../backup.bin"},
         2,
         "two cables' files are the same file"},
        {"a location not listed", "", {"--cable", "0x1101,0x9999", "--log", "unlisted.jsonl", "info"}, 3, ""},
        {"few file descriptors", "ulimit -n 20; ", {"--log", "many.jsonl", "info"}, 0, ""},
    };
    for (const RunCase& runCase : cases) {
        std::vector<std::string> environment = runCase.name == "few file descriptors" ? cables(40) : two;
        for (const std::string& location : locations) {
            unlink(path("tr-" + location.substr(2) + ".txt").c_str());
        }
        std::vector<std::string> arguments = {"--cable", "all"};
        arguments.insert(arguments.end(), runCase.arguments.begin(), runCase.arguments.end());
        if (runCase.arguments[0] == "--cable") {
            arguments = runCase.arguments;
        }
        ProgramRun run = orvanRun(arguments, environment);
        run.arguments[1] = runCase.shellPrefix + run.arguments[1];
        ProgramResult result = runProgram(run);
        EXPECT_EQ(result.status, runCase.status) << runCase.name << "\n" << errors();
        EXPECT_NE(errors().find(runCase.errorsHave), std::string::npos) << runCase.name << "\n" << errors();
        if (runCase.status == 2) {
            EXPECT_EQ(traceAt(locations[0]), "") << runCase.name << ": a cable was touched";
        }
        if (runCase.name == "a file that differs in each process") {
            // The parent's own command line, as its /proc/self/cmdline read.
            std::string bytes;
            for (const std::string& word : std::vector<std::string>{ORVAN, "--cable", "all"}) {
                bytes += word + '\0';
            }
            for (const std::string& word : runCase.arguments) {
                bytes += word + '\0';
            }
            Json record = Json::parse(result.output, nullptr, false);
            for (const std::string& location : locations) {
                EXPECT_EQ(flashAt(location).substr(0, bytes.size()), bytes) << location;
            }
            std::vector<Json> log = logLines(path("log.jsonl"));
            ASSERT_EQ(log.size(), 2u);
            for (size_t i = 0; i < 2; i++) {
                EXPECT_EQ(log[i]["images"][0]["sha256"], record["cables"][i]["images"][0]["sha256"]);
            }
        }
        if (runCase.name == "a location not listed") {
            std::vector<Json> log = logLines(path("unlisted.jsonl"));
            ASSERT_EQ(log.size(), 2u);
            EXPECT_EQ(log[0]["location"], "0x1101");
            EXPECT_EQ(log[1]["location"], "0x9999");
        }
        if (runCase.name == "few file descriptors") {
            EXPECT_EQ(logOutcomes(logLines(path("many.jsonl"))).size(), 40u);
            EXPECT_EQ(summaryOf(result.output).size(), 40u) << result.output;
        }
    }
}

// A killed parent takes its workers with it: each is interrupted and closes its cable.
TEST_F(OrvanCablesTest, WorkersEndWithTheirParent) {
    if (programIsOverUsb()) {
        GTEST_SKIP() << "the virtual adapter's real-time mode";
    }
    writeFile(path("img.bin"), imageBytes(FLASH_SIZE, 25));
    std::vector<std::string> environment = cables(2);
    environment.push_back("VADAPTER_REALTIME=1");
    // The work files go here, and the workers take them away: nobody else will.
    ASSERT_EQ(mkdir(path("tmp").c_str(), 0700), 0);
    environment.push_back("TMPDIR=" + path("tmp"));
    ProgramRun run = orvanRun({"--cable", "all", "write", "img.bin@0"}, environment);
    // About half way through the write (1.5 s in real time), when a slow
    // start of a sanitized or busy worker has long opened its cable.
    run.signalNumber = SIGKILL;
    run.signalAfterMs = 800;
    EXPECT_EQ(runProgram(run).signal, SIGKILL);
    const int WAIT_STEPS = 40;
    for (int step = 0; step < WAIT_STEPS &&
                       (findWorker(locations[0], directory) != 0 || findWorker(locations[1], directory) != 0);
         step++) {
        usleep(50000);
    }
    for (const std::string& location : locations) {
        EXPECT_EQ(findWorker(location, directory), 0) << location << ": still running without its parent";
        std::string trace = traceAt(location);
        EXPECT_TRUE(leftClosed(lines(trace))) << location << ": not closed:\n"
                                              << trace.substr(trace.size() > 400 ? trace.size() - 400 : 0);
    }
    EXPECT_EQ(rmdir(path("tmp").c_str()), 0) << "work files left behind";
}

// When Ctrl-C comes: well into the write, once even a slow start has its
// cables open. A sanitized parent may take most of a second to reach main
// on a loaded machine, so there it comes later, into a slower write.
#ifdef ORVAN_SANITIZED_PROGRAMS
const int CTRL_C_AFTER_MS = 2500;
const char* const CTRL_C_DIVISOR = "40";
#else
const int CTRL_C_AFTER_MS = 900;
const char* const CTRL_C_DIVISOR = "8";
#endif

// Ctrl-C at the parent: each worker closes its cable, shows as interrupted,
// and logs its line; the run ends by the signal.
TEST_F(OrvanCablesTest, CtrlCStopsEveryCable) {
    if (programIsOverUsb()) {
        GTEST_SKIP() << "the virtual adapter's real-time mode";
    }
    writeFile(path("img.bin"), imageBytes(FLASH_SIZE, 24));
    std::vector<std::string> environment = cables(4);
    environment.push_back("VADAPTER_REALTIME=1");
    ProgramRun run = orvanRun(
        {"--cable", "all", "-q", CTRL_C_DIVISOR, "--log", "log.jsonl", "write", "img.bin@0"}, environment);
    run.signalNumber = SIGINT;
    run.signalAfterMs = CTRL_C_AFTER_MS;
    ProgramResult result = runProgram(run);
    EXPECT_EQ(result.signal, SIGINT) << "status " << INTERRUPTED << " to the shell\n" << errors();
    Outcomes expected;
    for (const std::string& location : locations) {
        expected[location] = "interrupted " + std::to_string(INTERRUPTED);
        std::string trace = traceAt(location);
        EXPECT_TRUE(leftClosed(lines(trace))) << location << ": not closed:\n"
                                              << trace.substr(trace.size() > 400 ? trace.size() - 400 : 0);
    }
    EXPECT_EQ(summaryOf(result.output), expected) << result.output;
    EXPECT_EQ(logOutcomes(logLines(path("log.jsonl"))), expected);
    EXPECT_EQ(lines(readWholeFile(path("log.jsonl"))).size(), 4u) << "a line per cable, none for the run";
}

} // namespace

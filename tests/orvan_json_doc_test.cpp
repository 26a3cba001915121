// The records orvan prints, held against doc/json.md: every field a run
// prints is named there, and every field named there is printed by one of
// the runs below. Paths are read from the document's tables, not from
// orvan's code.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "program_fixture.h"

namespace {

using Json = nlohmann::ordered_json;
using Paths = std::set<std::string>;

// The first cell's `path` of each table row under the heading.
Paths documentedPaths(const std::string& heading) {
    std::ifstream document(ORVAN_SOURCE_DIR "/doc/json.md");
    Paths paths;
    bool inSection = false;
    for (std::string line; std::getline(document, line);) {
        if (line.rfind("## ", 0) == 0) {
            inSection = line == heading;
        } else if (inSection && line.rfind("| `", 0) == 0) {
            paths.insert(line.substr(3, line.find('`', 3) - 3));
        }
    }
    return paths;
}

// Every field of the record, as a path; each cable of a run on many cables
// is a record of its own.
void collectPaths(const Json& json, const std::string& prefix, Paths* paths) {
    for (const auto& item : json.items()) {
        std::string path = prefix + item.key();
        paths->insert(path);
        const Json& value = item.value();
        if (value.is_object()) {
            collectPaths(value, path + ".", paths);
        }
        for (const Json& element : value.is_array() ? value : Json::array()) {
            if (element.is_object()) {
                collectPaths(element, path == "cables" ? "" : path + "[].", paths);
            }
        }
    }
}

// The fields only the production database gives: the Windows program has
// none, so they are not looked for there.
bool databaseOnly(const std::string& path) {
    static const char* const FIELDS[] = {"board", "database", "chain", "finding",
                                         "yield", "failures", "units", "history"};
    for (const char* field : FIELDS) {
        std::string name = field;
        if (path.compare(0, name.size(), name) == 0 &&
            (path.size() == name.size() || path[name.size()] == '.' || path[name.size()] == '[')) {
            return programIsWrapped();
        }
    }
    return false;
}

Paths withoutDatabaseOnly(const Paths& paths) {
    Paths kept;
    for (const std::string& path : paths) {
        if (!databaseOnly(path)) {
            kept.insert(path);
        }
    }
    return kept;
}

class OrvanJsonDocumentation : public ProgramTest {};

TEST_F(OrvanJsonDocumentation, EveryFieldPrintedIsDocumentedAndEveryDocumentedFieldPrinted) {
    makeImage("app.bin", 300, 3);
    // Linked at 0x08000000: an extended address record, four bytes at its base.
    writeFile(path("app.hex"), ":020000040800F2\n:0400000001020304F2\n:00000001FF\n");
    // A recipe for app.bin at sector 0 and a serial in it; pinned by the first run.
    writeFile(path("line.toml"), "name = \"line\"\n[[image]]\nfile = \"app.bin\"\nsector = 0\n[serial]\n"
                                 "address = 0x3f00\nformat = \"text\"\npattern = \"N%u\"\nfirst = 1\n"
                                 "last = 9\n[production]\ndatabase = \"line.sqlite\"\n");
    const std::string TWO = "VADAPTER_DEVICES=Vexil USB-SPI Cable|A|0x1101;Vexil USB-SPI Cable|A|0x1102";
    const struct {
        std::vector<std::string> words;
        std::string variable;
    } runs[] = {
        {{"list"}, ""},
        {{"--help"}, ""},
        {{"--version"}, ""},
        {{"info"}, ""},
        {{"read", "-o", "out.bin"}, ""},
        {{"erase", "--sector", "7"}, ""},
        {{"write", "app.bin@1", "app.hex@base=0x08000000"}, ""},
        {{"write", "--changed", "app.bin@1"}, ""},
        {{"verify", "app.bin@1", "app.hex@base=0x08000000"}, ""},
        {{"write", "app.bin@2"}, "VADAPTER_STUCK_BIT=0x8011:0x01:0"},
        {{"--cable", "all", "--log", "log.jsonl", "write", "app.bin@1"}, TWO},
        {{"--cable", "0x1101", "--log", "log.jsonl", "verify", "app.bin@3"}, ""},
        {{"recipe", "pin", "line.toml"}, ""},
        {{"recipe", "check", "line.toml"}, ""},
        {{"--log", "log.jsonl", "run", "line.toml"}, ""},
        {{"--cable", "0x1101", "run", "line.toml"}, "VADAPTER_UNERASED_SECTOR=0"},
        {{"report", "--serial", "1-2", "line.toml"}, ""},
        {{"report", "--verify", "line.toml"}, ""},
    };
    Paths printed;
    for (const auto& run : runs) {
        std::vector<std::string> arguments = {"--json", "--quiet"};
        arguments.insert(arguments.end(), run.words.begin(), run.words.end());
        std::vector<std::string> environment = {"VADAPTER_FLASH=flash-{location}.bin"};
        if (!run.variable.empty()) {
            environment.push_back(run.variable);
        }
        ProgramResult result = ProgramTest::run(arguments, environment);
        Json record = Json::parse(result.output, nullptr, false);
        ASSERT_TRUE(record.is_object()) << result.output;
        collectPaths(record, "", &printed);
    }
    Paths documented = documentedPaths("## The `--json` record");
    for (const std::string& path : printed) {
        EXPECT_TRUE(documented.count(path)) << path << ": printed, but not in doc/json.md";
    }
    for (const std::string& path : withoutDatabaseOnly(documented)) {
        EXPECT_TRUE(printed.count(path)) << path << ": in doc/json.md, but no run printed it";
    }

    Paths logged;
    std::ifstream log(path("log.jsonl"));
    for (std::string line; std::getline(log, line);) {
        collectPaths(Json::parse(line), "", &logged);
    }
    EXPECT_EQ(logged, withoutDatabaseOnly(documentedPaths("## The production log's line")));
}

} // namespace

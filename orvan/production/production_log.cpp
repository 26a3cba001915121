#include "orvan/production/production_log.h"

#include <stdio.h>
#include <time.h>

#include <chrono>
#include <random>

#include "core/platform/platform.h"
#include "orvan/commands/orvan.h"

static const uint32_t HOST_NAME_CHARS = 256;

static const int64_t MS_PER_SECOND_OF_CLOCK = 1000;
// The largest status a run of orvan gives itself; beyond it, a crash.
static const int LAST_OWN_STATUS = STATUS_RECORD_NOT_KEPT;

std::string utcNowText() {
    int64_t nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    time_t seconds = static_cast<time_t>(nowMs / MS_PER_SECOND_OF_CLOCK);
    struct tm utc = *gmtime(&seconds);
    char text[40];
    size_t length = strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &utc);
    snprintf(text + length, sizeof(text) - length, ".%03dZ",
             static_cast<int>(nowMs % MS_PER_SECOND_OF_CLOCK));
    return text;
}

std::string newRunId() {
    std::random_device device;
    // The clock is mixed in for systems whose random device repeats itself.
    std::mt19937_64 mixer(
        (static_cast<uint64_t>(device()) << 32 | device()) ^
        static_cast<uint64_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count()) ^
        static_cast<uint64_t>(platformProcessId()));
    char text[24];
    snprintf(text, sizeof(text), "%016llx", static_cast<unsigned long long>(mixer()));
    return text;
}

const char* resultClass(int status, bool interrupted) {
    if (interrupted) {
        return "interrupted";
    }
    switch (status) {
    case STATUS_DONE:
        return "ok";
    case STATUS_TARGET_DISAGREED:
        return "target";
    case STATUS_USAGE:
        return "input";
    case STATUS_NO_CABLE:
        return "cable";
    case STATUS_RECORD_NOT_KEPT:
        return "record";
    default:
        break;
    }
    return status > LAST_OWN_STATUS ? "crashed" : "input";
}

bool recordInterrupted(const nlohmann::ordered_json& cableRecord) {
    nlohmann::ordered_json error = cableRecord.value("error", nlohmann::ordered_json());
    return error.is_string() && error.get<std::string>().rfind("interrupted", 0) == 0;
}

// The images the command was given and the file a read made, each with its SHA-256.
static nlohmann::ordered_json filesOf(const nlohmann::ordered_json& cableRecord,
                                      const std::vector<LoggedFile>& images) {
    nlohmann::ordered_json files = nlohmann::ordered_json::array();
    for (const LoggedFile& image : images) {
        files.push_back({{"file", image.file}, {"sha256", image.sha256}});
    }
    for (const nlohmann::ordered_json& item : cableRecord.value("ranges", nlohmann::ordered_json::array())) {
        if (item.contains("file") && item.contains("sha256")) {
            files.push_back({{"file", item["file"]}, {"sha256", item["sha256"]}});
        }
    }
    return files;
}

nlohmann::ordered_json productionLogLine(const nlohmann::ordered_json& cableRecord,
                                         const std::vector<LoggedFile>& images) {
    char host[HOST_NAME_CHARS];
    platformHostName(host, sizeof(host));
    nlohmann::ordered_json cable = cableRecord.value("cable", nlohmann::ordered_json::object());
    int status = cableRecord.value("status", STATUS_NO_CABLE);
    nlohmann::ordered_json line = {{"schema", RECORD_SCHEMA},
                                   {"run", cableRecord.value("run", "")},
                                   {"time", utcNowText()},
                                   {"host", host},
                                   {"orvan", ORVAN_VERSION_TEXT},
                                   {"location", cable.value("location", "")},
                                   {"name", cable.value("name", "")},
                                   {"command", cableRecord.value("command", "")},
                                   {"images", filesOf(cableRecord, images)},
                                   {"result", resultClass(status, recordInterrupted(cableRecord))},
                                   {"status", status},
                                   {"error", cableRecord.value("error", nlohmann::ordered_json())},
                                   {"seconds", cableRecord.value("seconds", 0.0)}};
    // What a write left on the board, and a production run's board values.
    for (const char* field : {"written_sha256", "board"}) {
        if (cableRecord.contains(field)) {
            line[field] = cableRecord[field];
        }
    }
    return line;
}

bool appendProductionLog(const std::string& path, const nlohmann::ordered_json& line) {
    std::string text = line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
    return platformAppendToFile(path.c_str(), reinterpret_cast<const uint8_t*>(text.data()),
                                static_cast<uint32_t>(text.size()));
}

std::string productionLogError(const std::string& path) {
    return "--log " + path + ": the production log could not be appended to";
}

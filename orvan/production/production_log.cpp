#include "orvan/production/production_log.h"

#include <stdio.h>
#include <time.h>

#include "core/platform/platform.h"
#include "orvan/commands/orvan.h"

static const uint32_t HOST_NAME_CHARS = 256;

static std::string utcNow() {
    time_t now = time(nullptr);
    struct tm utc = *gmtime(&now);
    char text[32];
    strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

bool recordInterrupted(const nlohmann::ordered_json& cableRecord) {
    nlohmann::ordered_json error = cableRecord.value("error", nlohmann::ordered_json());
    return error.is_string() && error.get<std::string>().rfind("interrupted", 0) == 0;
}

static const char* resultOf(const nlohmann::ordered_json& cableRecord) {
    if (cableRecord.value("status", STATUS_NO_CABLE) == STATUS_DONE) {
        return "ok";
    }
    return recordInterrupted(cableRecord) ? "interrupted" : "failed";
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
    return {{"time", utcNow()},
            {"host", host},
            {"orvan", ORVAN_VERSION_TEXT},
            {"location", cable.value("location", "")},
            {"name", cable.value("name", "")},
            {"command", cableRecord.value("command", "")},
            {"images", filesOf(cableRecord, images)},
            {"result", resultOf(cableRecord)},
            {"status", status},
            {"error", cableRecord.value("error", nlohmann::ordered_json())},
            {"seconds", cableRecord.value("seconds", 0.0)}};
}

bool appendProductionLog(const std::string& path, const nlohmann::ordered_json& line) {
    std::string text = line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
    return platformAppendToFile(path.c_str(), reinterpret_cast<const uint8_t*>(text.data()),
                                static_cast<uint32_t>(text.size()));
}

std::string productionLogError(const std::string& path) {
    return "--log " + path + ": the production log could not be appended to";
}

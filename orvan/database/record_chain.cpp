// The chain of each station's records: what a record's SHA-256 covers, and
// the walk that finds a record changed or removed since it was recorded.
#include <stdio.h>

#include <map>

#include "orvan/database/production_store.h"
#include "orvan/images/sha256.h"

std::string secondsText(double seconds) {
    char text[64];
    snprintf(text, sizeof text, "%.6f", seconds);
    return text;
}

// One "name=value" line; a backslash or a line end in the value is escaped,
// so that no value can pass for another field's line.
static void addField(std::string* text, const char* name, const std::string& value) {
    *text += name;
    *text += '=';
    for (char c : value) {
        if (c == '\\') {
            *text += "\\\\";
        } else if (c == '\n') {
            *text += "\\n";
        } else {
            *text += c;
        }
    }
    *text += '\n';
}

static std::string canonicalText(const RecordRow& r) {
    std::string text;
    addField(&text, "id", std::to_string(r.id));
    addField(&text, "station", r.station);
    addField(&text, "station_seq", std::to_string(r.stationSeq));
    addField(&text, "unit_id", std::to_string(r.unitId));
    addField(&text, "slot", r.slot);
    addField(&text, "location", r.location);
    addField(&text, "recipe", r.recipe);
    addField(&text, "recipe_sha256", r.recipeSha256);
    addField(&text, "version", r.version);
    addField(&text, "run_id", r.runId);
    addField(&text, "time", r.time);
    addField(&text, "result", r.result);
    addField(&text, "status", std::to_string(r.status));
    addField(&text, "error", r.error);
    addField(&text, "seconds", secondsText(r.seconds));
    addField(&text, "written_sha256", r.writtenSha256);
    for (const UnitValue& value : r.values) {
        addField(&text, "value.pool", value.pool);
        addField(&text, "value.number", std::to_string(value.number));
        addField(&text, "value.text", value.text);
    }
    addField(&text, "previous_sha256", r.previousSha256);
    return text;
}

std::string recordSha256(const RecordRow& record) {
    std::string text = canonicalText(record);
    uint8_t digest[SHA256_DIGEST_BYTES];
    char hex[SHA256_HEX_CHARS];
    sha256Of(reinterpret_cast<const uint8_t*>(text.data()), text.size(), digest);
    sha256Hex(digest, hex);
    return hex;
}

struct StationHead {
    int64_t records;
    std::string lastSha256;
};

static std::string named(const RecordRow& r) {
    return "record " + std::to_string(r.id) + " (station " + r.station + ", #" +
           std::to_string(r.stationSeq) + ")";
}

static std::string missing(int64_t seq, const std::string& station) {
    return "record #" + std::to_string(seq) + " of station " + station + " is missing";
}

// The first fault of one station's chain, its records in their order; "" when none.
static std::string walkStation(const std::string& station, const std::vector<const RecordRow*>& chain,
                               const StationHead* head) {
    int64_t seq = 1;
    std::string previous = NO_PREVIOUS_SHA256;
    for (const RecordRow* r : chain) {
        if (r->stationSeq != seq) {
            return missing(seq, station);
        }
        if (r->previousSha256 != previous) {
            return named(*r) +
                   " does not follow the record before it: the SHA-256 it chains to is not that record's";
        }
        if (recordSha256(*r) != r->sha256) {
            return named(*r) + " was changed: its SHA-256 is not what it was recorded with";
        }
        previous = r->sha256;
        seq++;
    }
    if (!head) {
        return "station " + station +
               " has records but no head (its count and last SHA-256) in station_heads";
    }
    if (head->records >= seq) {
        return missing(seq, station);
    }
    if (head->records != seq - 1 || head->lastSha256 != previous) {
        return "station " + station + "'s head in station_heads does not match its last record";
    }
    return "";
}

static bool readHeads(DbConnection* connection, std::map<std::string, StationHead>* heads,
                      std::string* error) {
    std::vector<DbRow> rows;
    if (!connection->exec("SELECT station, records, last_sha256 FROM station_heads", {}, &rows, error)) {
        return false;
    }
    for (const DbRow& row : rows) {
        StationHead head{0, row.at(2)};
        parseInt64(row.at(1), &head.records);
        (*heads)[row.at(0)] = head;
    }
    return true;
}

bool verifyRecords(ProductionDb* db, std::string* finding, std::string* error) {
    finding->clear();
    std::vector<RecordRow> records;
    std::map<std::string, StationHead> heads;
    if (!inTransaction(
            db->connection, false,
            [&] {
                return fetchRecords(db->connection, "", "ORDER BY station, station_seq", {}, &records,
                                    error) &&
                       readHeads(db->connection, &heads, error);
            },
            error)) {
        return false;
    }
    std::map<std::string, std::vector<const RecordRow*>> chains;
    for (const auto& head : heads) {
        chains[head.first];
    }
    for (const RecordRow& r : records) {
        chains[r.station].push_back(&r);
    }
    for (const auto& chain : chains) {
        auto head = heads.find(chain.first);
        *finding = walkStation(chain.first, chain.second, head == heads.end() ? nullptr : &head->second);
        if (!finding->empty()) {
            break;
        }
    }
    return true;
}

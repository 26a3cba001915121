// The events file: one JSON line per event, written whole and flushed at
// once, so that a dashboard or a test following the file never reads half
// an event. "-" is standard output.
#include <stdio.h>

#include "orvan/production/production_log.h"
#include "orvan/station/station.h"

static FILE* events;

bool openStationEvents(const std::string& where, std::string* error) {
    events = where == "-" ? stdout : fopen(where.c_str(), "a");
    if (events == nullptr) {
        *error = "--events " + where + ": cannot be opened for appending";
    }
    return events != nullptr;
}

void stationEvent(const char* event, const SlotView* slot, nlohmann::ordered_json fields) {
    if (events == nullptr) {
        return;
    }
    nlohmann::ordered_json line = {
        {"schema", STATION_EVENTS_SCHEMA}, {"time", utcNowText()}, {"event", event}};
    if (slot != nullptr) {
        line["slot"] = slot->name;
        line["location"] = slot->location;
    }
    for (auto& field : fields.items()) {
        line[field.key()] = field.value();
    }
    std::string text = line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
    fwrite(text.data(), 1, text.size(), events);
    fflush(events);
}

void closeStationEvents() {
    if (events != nullptr && events != stdout) {
        fclose(events);
    }
    events = nullptr;
}

#include "orvan/production/report_tables.h"

#include <stdlib.h>

#include <algorithm>
#include <map>

// "2026-12-09" of "2026-12-09T13:11:16.123Z".
static const size_t DAY_CHARS = 10;
static const double PERCENT = 100.0;

static void count(std::map<std::string, YieldRow>* rows, const std::string& key, bool passed) {
    YieldRow& row = (*rows)[key];
    row.key = key;
    (passed ? row.passed : row.failed)++;
}

static std::vector<YieldRow> inOrder(const std::map<std::string, YieldRow>& rows) {
    std::vector<YieldRow> list;
    for (const auto& pair : rows) {
        list.push_back(pair.second);
    }
    return list;
}

static std::vector<FailureClass> failuresOf(const std::vector<RecordRow>& records) {
    std::map<std::string, std::map<std::string, uint32_t>> errorsByClass;
    for (const RecordRow& record : records) {
        if (record.result != "ok") {
            errorsByClass[record.result][record.error]++;
        }
    }
    std::vector<FailureClass> failures;
    for (const auto& [result, errors] : errorsByClass) {
        FailureClass failure;
        failure.result = result;
        for (const auto& [error, times] : errors) {
            failure.count += times;
            failure.errors.push_back({error, times});
        }
        std::stable_sort(failure.errors.begin(), failure.errors.end(),
                         [](const ErrorCount& a, const ErrorCount& b) { return a.count > b.count; });
        failure.errors.resize(std::min<size_t>(failure.errors.size(), MOST_COMMON_ERRORS));
        failures.push_back(failure);
    }
    std::stable_sort(failures.begin(), failures.end(),
                     [](const FailureClass& a, const FailureClass& b) { return a.count > b.count; });
    return failures;
}

ReportTables reportTables(const std::vector<RecordRow>& records) {
    std::map<std::string, YieldRow> days, stations, slots, recipes;
    for (const RecordRow& record : records) {
        bool passed = record.result == "ok";
        count(&days, record.time.substr(0, DAY_CHARS), passed);
        count(&stations, record.station, passed);
        count(&slots, record.station + " " + record.slot, passed);
        count(&recipes, record.recipe, passed);
    }
    return {inOrder(days), inOrder(stations), inOrder(slots), inOrder(recipes), failuresOf(records)};
}

double yieldPercent(const YieldRow& row) {
    uint32_t boards = row.passed + row.failed;
    return boards == 0 ? 0 : PERCENT * row.passed / boards;
}

nlohmann::ordered_json valuesJson(const std::vector<UnitValue>& values) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const UnitValue& value : values) {
        list.push_back({{"pool", value.pool}, {"number", value.number}, {"text", value.text}});
    }
    return list;
}

std::string unitSerial(const UnitRow& unit) {
    return unit.values.empty() ? "" : unit.values[0].text;
}

// A whole decimal number, all of text; false otherwise.
static bool readDecimal(const std::string& text, uint64_t* value) {
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    *value = strtoull(text.c_str(), nullptr, 10);
    return true;
}

bool unitAsked(const UnitRow& unit, const std::string& serial) {
    if (unit.values.empty()) {
        return false;
    }
    uint64_t number = unit.values[0].number;
    uint64_t first = 0;
    uint64_t last = 0;
    size_t dash = serial.find('-');
    if (dash != std::string::npos && readDecimal(serial.substr(0, dash), &first) &&
        readDecimal(serial.substr(dash + 1), &last)) {
        return number >= first && number <= last;
    }
    return unit.values[0].text == serial || (readDecimal(serial, &first) && number == first);
}

bool readTimeBound(const std::string& text, std::string* bound) {
    // Digits where the pattern has 9, its own character elsewhere.
    static const std::string PATTERN = "9999-99-99T99:99:99.999";
    std::string time = !text.empty() && text.back() == 'Z' ? text.substr(0, text.size() - 1) : text;
    static const size_t LENGTHS[] = {DAY_CHARS, 16, 19, 23};
    if (std::find(std::begin(LENGTHS), std::end(LENGTHS), time.size()) == std::end(LENGTHS)) {
        return false;
    }
    for (size_t i = 0; i < time.size(); i++) {
        bool digit = time[i] >= '0' && time[i] <= '9';
        if (PATTERN[i] == '9' ? !digit : time[i] != PATTERN[i]) {
            return false;
        }
    }
    *bound = time;
    return true;
}

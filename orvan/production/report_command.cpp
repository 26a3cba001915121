// report: the production database's answers as tables on standard output,
// in the --json record, or as CSV lines, one per board's record.
#include <stdio.h>

#include <map>

#include "orvan/commands/orvan.h"
#include "orvan/commands/progress.h"
#include "orvan/database/production_db.h"
#include "orvan/production/recipe_command.h"
#include "orvan/production/report_tables.h"

void checkReportRequest(const Request& request) {
    if (request.database.empty() == request.recipe.empty()) {
        throw CommandFailure{STATUS_USAGE, "report: give --db DATABASE or a RECIPE, one of them"};
    }
    if (request.csv && request.json) {
        throw CommandFailure{STATUS_USAGE, "report: --csv and --json do not go together"};
    }
    std::string bound;
    for (const std::string& time : {request.since, request.until}) {
        if (!time.empty() && !readTimeBound(time, &bound)) {
            throw CommandFailure{STATUS_USAGE, "report: " + time +
                                                   " is not a day or a time (2026-12-01 or "
                                                   "2026-12-01T08:00, UTC)"};
        }
    }
}

// The database the request names, or its recipe's.
static std::string databaseOf(const Request& request, Outcome* outcome) {
    if (!request.database.empty()) {
        return request.database;
    }
    Recipe recipe;
    std::vector<std::string> problems;
    readRecipeUnpinned(request.recipe, &recipe, &problems);
    if (recipe.database.empty()) {
        outcome->record["problems"] = problems;
        throw CommandFailure{STATUS_USAGE, "report: recipe " + request.recipe + " names no database"};
    }
    return recipe.database;
}

static CommandFailure databaseFailure(const std::string& error) {
    return CommandFailure{STATUS_RECORD_NOT_KEPT, "production database: " + error};
}

static void verifyChain(ProductionDb* db, Outcome* outcome) {
    std::string finding;
    std::string error;
    if (!verifyRecords(db, &finding, &error)) {
        throw databaseFailure(error);
    }
    outcome->record["chain"] = finding.empty() ? "whole" : "broken";
    outcome->record["finding"] = finding.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(finding);
    if (!finding.empty()) {
        throw CommandFailure{STATUS_TARGET_DISAGREED, "records: " + finding};
    }
    progressSay("records: " + paint("the chain is whole", PAINT_GOOD) + ": no record was changed or removed");
}

static nlohmann::ordered_json yieldJson(const std::vector<YieldRow>& rows) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const YieldRow& row : rows) {
        list.push_back({{"key", row.key},
                        {"passed", row.passed},
                        {"failed", row.failed},
                        {"yield_percent", yieldPercent(row)}});
    }
    return list;
}

static nlohmann::ordered_json unitJson(const UnitRow& unit) {
    return {{"serial", unitSerial(unit)},
            {"state", unit.state},
            {"station", unit.station},
            {"slot", unit.slot},
            {"location", unit.location},
            {"recipe", unit.recipe},
            {"run", unit.runId},
            {"time", unit.finishedAt.empty() ? unit.reservedAt : unit.finishedAt},
            {"reserved_at", unit.reservedAt},
            {"values", valuesJson(unit.values)}};
}

static nlohmann::ordered_json recordJson(const RecordRow& record) {
    return {{"unit", record.unitId},
            {"time", record.time},
            {"station", record.station},
            {"slot", record.slot},
            {"location", record.location},
            {"recipe", record.recipe},
            {"result", record.result},
            {"status", record.status},
            {"error", record.error},
            {"seconds", record.seconds},
            {"written_sha256", record.writtenSha256},
            {"run", record.runId}};
}

static void putJson(const ReportTables& tables, const std::vector<UnitRow>& units,
                    const std::vector<RecordRow>& history, const Request& request, Outcome* outcome) {
    nlohmann::ordered_json& record = outcome->record;
    record["yield"] = {{"day", yieldJson(tables.byDay)},
                       {"station", yieldJson(tables.byStation)},
                       {"slot", yieldJson(tables.bySlot)},
                       {"recipe", yieldJson(tables.byRecipe)}};
    nlohmann::ordered_json failures = nlohmann::ordered_json::array();
    for (const FailureClass& failure : tables.failures) {
        nlohmann::ordered_json errors = nlohmann::ordered_json::array();
        for (const ErrorCount& error : failure.errors) {
            errors.push_back({{"error", error.error}, {"count", error.count}});
        }
        failures.push_back({{"result", failure.result}, {"count", failure.count}, {"errors", errors}});
    }
    record["failures"] = failures;
    record["units"] = nlohmann::ordered_json::array();
    for (const UnitRow& unit : units) {
        record["units"].push_back(unitJson(unit));
    }
    if (!request.serial.empty()) {
        record["history"] = nlohmann::ordered_json::array();
        for (const RecordRow& row : history) {
            record["history"].push_back(recordJson(row));
        }
    }
}

static void printYield(const char* title, const std::vector<YieldRow>& rows) {
    printf("\n%-28s %8s %8s %8s\n", title, "passed", "failed", "yield");
    for (const YieldRow& row : rows) {
        printf("%-28s %8u %8u %7.1f%%\n", row.key.c_str(), row.passed, row.failed, yieldPercent(row));
    }
}

static void printFailures(const std::vector<FailureClass>& failures) {
    printf("\n%-12s %8s  %s\n", "failures", "boards", "most common errors");
    for (const FailureClass& failure : failures) {
        printf("%-12s %8u", failure.result.c_str(), failure.count);
        const char* indent = "  ";
        for (const ErrorCount& error : failure.errors) {
            printf("%s%u× %s\n", indent, error.count, error.error.c_str());
            indent = "                       ";
        }
    }
}

static void printUnits(const char* title, const std::vector<UnitRow>& units, const char* state) {
    bool any = false;
    for (const UnitRow& unit : units) {
        if (state != nullptr && unit.state != state) {
            continue;
        }
        if (!any) {
            printf("\n%-20s %-9s %-14s %-8s %-8s %s\n", title, "state", "station", "slot", "location",
                   "time");
            any = true;
        }
        printf("%-20s %-9s %-14s %-8s %-8s %s\n", unitSerial(unit).c_str(), unit.state.c_str(),
               unit.station.c_str(), unit.slot.c_str(), unit.location.c_str(),
               (unit.finishedAt.empty() ? unit.reservedAt : unit.finishedAt).c_str());
    }
}

static void printHistory(const std::vector<RecordRow>& history) {
    printf("\n%-24s %-14s %-8s %-12s %s\n", "history", "station", "slot", "result", "error");
    for (const RecordRow& record : history) {
        printf("%-24s %-14s %-8s %-12s %s\n", record.time.c_str(), record.station.c_str(),
               record.slot.c_str(), record.result.c_str(), record.error.c_str());
    }
}

static void printTables(const ReportTables& tables, const std::vector<UnitRow>& units,
                        const std::vector<UnitRow>& asked, const std::vector<RecordRow>& history,
                        const Request& request) {
    printYield("day", tables.byDay);
    printYield("station", tables.byStation);
    printYield("station and slot", tables.bySlot);
    printYield("recipe", tables.byRecipe);
    printFailures(tables.failures);
    printUnits("reserved, unfinished", units, "reserved");
    if (!request.serial.empty()) {
        printUnits("boards asked", asked, nullptr);
        printHistory(history);
    }
    fflush(stdout);
}

// A CSV field: quoted when it holds a comma, a quote or a line end.
static std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (char c : text) {
        quoted += c == '"' ? "\"\"" : std::string(1, c);
    }
    return quoted + "\"";
}

static void printCsv(const std::vector<RecordRow>& records, const std::vector<UnitRow>& units) {
    std::map<int64_t, std::string> serials;
    for (const UnitRow& unit : units) {
        serials[unit.id] = unitSerial(unit);
    }
    printf("time,station,slot,location,recipe,serial,result,status,error,seconds,written_sha256,run\n");
    for (const RecordRow& record : records) {
        const std::string& serial = serials[record.unitId];
        std::vector<std::string> fields = {record.time,          record.station,
                                           record.slot,          record.location,
                                           record.recipe,        serial,
                                           record.result,        std::to_string(record.status),
                                           record.error,         std::to_string(record.seconds),
                                           record.writtenSha256, record.runId};
        std::string line;
        for (const std::string& field : fields) {
            line += (line.empty() ? "" : ",") + csvField(field);
        }
        printf("%s\n", line.c_str());
    }
    fflush(stdout);
}

// The units --serial asks about, and their records.
static void selectAsked(const Request& request, const std::vector<UnitRow>& units,
                        const std::vector<RecordRow>& records, std::vector<UnitRow>* asked,
                        std::vector<RecordRow>* history) {
    for (const UnitRow& unit : units) {
        if (!request.serial.empty() && unitAsked(unit, request.serial)) {
            asked->push_back(unit);
        }
    }
    for (const RecordRow& record : records) {
        for (const UnitRow& unit : *asked) {
            if (unit.id == record.unitId) {
                history->push_back(record);
            }
        }
    }
}

static void report(ProductionDb* db, const Request& request, Outcome* outcome) {
    std::string since, until, error;
    readTimeBound(request.since, &since);
    readTimeBound(request.until, &until);
    std::vector<RecordRow> records;
    std::vector<UnitRow> units;
    if (!readRecords(db, since, until, &records, &error) || !readUnits(db, &units, &error)) {
        throw databaseFailure(error);
    }
    std::vector<UnitRow> asked;
    std::vector<RecordRow> history;
    selectAsked(request, units, records, &asked, &history);
    ReportTables tables = reportTables(records);
    if (request.json) {
        putJson(tables, units, history, request, outcome);
    } else if (request.csv) {
        printCsv(request.serial.empty() ? records : history, units);
    } else {
        printTables(tables, units, asked, history, request);
    }
}

// A report never makes a database: a SQLite file that is not there is named.
static void checkDatabaseThere(const std::string& where) {
    if (isPostgresUrl(where)) {
        return;
    }
    FILE* file = fopen(where.c_str(), "rb");
    if (file == nullptr) {
        throw databaseFailure(where + ": no such file");
    }
    fclose(file);
}

void runReport(const Request& request, Outcome* outcome) {
    std::string where = databaseOf(request, outcome);
    checkDatabaseThere(where);
    std::string error;
    ProductionDb* db = openProductionDb(where, &error);
    if (db == nullptr) {
        throw databaseFailure(error);
    }
    outcome->record["database"] = productionDbKind(db);
    try {
        if (request.verifyChain) {
            verifyChain(db, outcome);
        } else {
            report(db, request, outcome);
        }
    } catch (const CommandFailure&) {
        closeProductionDb(db);
        throw;
    }
    closeProductionDb(db);
}

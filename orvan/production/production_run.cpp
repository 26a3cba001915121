// run: a recipe written to the board on each slot, each board with values
// of its own. The values are reserved in the production database before any
// cable is opened, reach each worker as bytes of its write, and each board's
// outcome is recorded as its worker ends.
#include <stdio.h>

#include "orvan/cables/many_cables.h"
#include "orvan/commands/command_table.h"
#include "orvan/commands/images.h"
#include "orvan/commands/orvan.h"
#include "orvan/commands/progress.h"
#include "orvan/database/production_db.h"
#include "orvan/production/production_log.h"
#include "orvan/production/recipe_command.h"
#include "orvan/production/report_tables.h"
#include "orvan/recipe/recipe.h"

// One run's reservations and its database, between the hooks of the cables' run.
struct ProductionRun {
    const Recipe* recipe;
    ProductionDb* db = nullptr;
    RunIdentity identity;
    std::vector<UnitPlace> places;
    std::vector<ReservedUnit> units;
};

static std::string hexBytes(const std::vector<uint8_t>& bytes) {
    std::string text;
    for (uint8_t byte : bytes) {
        text += hexByte(byte).substr(2);
    }
    return text;
}

// The write each worker does: the recipe's images, mode and clock on the
// recipe's slots, or on the cables --cable names.
static Request writeRequestOf(const Recipe& recipe, const Request& request) {
    Request write = request;
    write.command = "write";
    write.images.clear();
    for (const RecipeImage& image : recipe.images) {
        write.images.push_back(image.argument);
    }
    write.divisor = recipe.divisor;
    write.changed = recipe.mode == RECIPE_MODE_CHANGED;
    write.full = recipe.mode == RECIPE_MODE_FULL;
    if (write.cable.empty()) {
        for (const RecipeSlot& slot : recipe.slots) {
            write.cable += (write.cable.empty() ? "" : ",") + hexAddress(slot.location);
        }
    }
    return write;
}

static std::string slotName(const Recipe& recipe, const Worker& worker) {
    for (const RecipeSlot& slot : recipe.slots) {
        if (slot.location == worker.locationId) {
            return slot.name;
        }
    }
    return worker.location;
}

// The files the workers get are the files the recipe pinned: checked again
// on the bytes the run read last, which are the bytes every worker sends.
static void checkPins(const Recipe& recipe) {
    for (uint32_t index = 0; index < imageCount; index++) {
        std::string mismatch = pinMismatch(recipe.images[index], sha256Text(images[index].sha256));
        if (!mismatch.empty()) {
            throw CommandFailure{STATUS_USAGE, "recipe " + recipe.path + ": " + mismatch};
        }
    }
}

static void reserveBoards(ProductionRun* run, const Worker* workers, uint32_t workerCount) {
    const Recipe& recipe = *run->recipe;
    checkPins(recipe);
    if (recipe.database.empty()) {
        return;
    }
    std::string error;
    run->db = openProductionDb(recipe.database, &error);
    if (run->db == nullptr) {
        throw CommandFailure{STATUS_RECORD_NOT_KEPT, "production database: " + error};
    }
    for (uint32_t i = 0; i < workerCount; i++) {
        run->places.push_back({slotName(recipe, workers[i]), workers[i].location});
    }
    std::vector<PoolDraw> draws;
    for (const ValueRange& range : recipeRanges(recipe)) {
        draws.push_back({range.pool, range.first, range.last});
    }
    DbResult result = reserveUnits(
        run->db, run->identity, draws, run->places,
        [&recipe](const std::vector<uint64_t>& numbers) { return valueTexts(recipe, numbers); }, &run->units,
        &error);
    if (result != DB_OK) {
        throw CommandFailure{result == DB_EXHAUSTED ? STATUS_USAGE : STATUS_RECORD_NOT_KEPT,
                             "production database: " + error};
    }
}

static std::vector<std::string> boardOptions(const ProductionRun& run, uint32_t index) {
    std::vector<std::string> words;
    if (run.units.empty()) {
        return words;
    }
    std::vector<uint64_t> numbers;
    for (const UnitValue& value : run.units[index].values) {
        numbers.push_back(value.number);
    }
    for (const BoardPatch& patch : boardPatches(*run.recipe, boardValuesFrom(*run.recipe, numbers))) {
        words.push_back("--board-data");
        words.push_back(hexAddress(patch.address) + ":" + hexBytes(patch.bytes));
    }
    return words;
}

// The board's values in its cable's record, and so in the log's line.
static nlohmann::ordered_json boardJson(const ProductionRun& run, uint32_t index) {
    nlohmann::ordered_json board = {{"slot", run.places.empty() ? "" : run.places[index].slot}};
    if (run.units.empty()) {
        return board;
    }
    board["unit"] = run.units[index].id;
    board["values"] = valuesJson(run.units[index].values);
    return board;
}

static void recordBoard(ProductionRun* run, uint32_t index, Worker* worker) {
    worker->record["board"] = boardJson(*run, index);
    if (run->db == nullptr || run->units.empty()) {
        return;
    }
    UnitOutcome outcome = {
        run->units[index].id, worker->record.value("result", ""),         worker->status, errorOf(*worker),
        worker->seconds,      worker->record.value("written_sha256", ""), utcNowText()};
    std::string error;
    if (recordUnit(run->db, run->identity, run->places[index], outcome, &error)) {
        return;
    }
    fprintf(stderr, "orvan: %s: production database: %s\n", worker->location.c_str(), error.c_str());
    recordNotKept(worker, "production database: " + error);
}

void runRecipe(const Request& request, Outcome* outcome) {
    static Recipe recipe;
    readCheckedRecipe(request.recipe, &recipe, outcome);
    outcome->record["recipe"] = {{"name", recipe.name}, {"file", recipe.path}, {"sha256", recipe.sha256}};
    ProductionRun run;
    run.recipe = &recipe;
    run.identity = {recipe.station, recipe.name, recipe.sha256, ORVAN_VERSION_TEXT, request.runId};
    CableRunHooks hooks;
    hooks.beforeStart = [&run](const Worker* workers, uint32_t count) {
        reserveBoards(&run, workers, count);
    };
    hooks.workerOptions = [&run](uint32_t index) { return boardOptions(run, index); };
    hooks.afterEnd = [&run](uint32_t index, Worker* worker) { recordBoard(&run, index, worker); };
    try {
        runOnManyCables(*findCommand("write"), writeRequestOf(recipe, request), outcome, &hooks);
    } catch (const CommandFailure&) {
        closeProductionDb(run.db);
        throw;
    }
    closeProductionDb(run.db);
}

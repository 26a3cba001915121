// run: a recipe written to the board on each slot, each board with values
// of its own. The values are reserved in the production database before any
// cable is opened, reach each worker as bytes of its write, and each board's
// outcome is recorded as its worker ends.
#include <stdio.h>

#include "orvan/cables/many_cables.h"
#include "orvan/commands/command_table.h"
#include "orvan/commands/orvan.h"
#include "orvan/database/production_db.h"
#include "orvan/production/production_boards.h"
#include "orvan/production/recipe_command.h"
#include "orvan/recipe/recipe.h"

// One run's reservations and its database, between the hooks of the cables' run.
struct ProductionRun {
    const Recipe* recipe;
    ProductionDb* db = nullptr;
    RunIdentity identity;
    std::vector<UnitPlace> places;
    std::vector<ReservedUnit> units;
};

static void reserveRunBoards(ProductionRun* run, const Worker* workers, uint32_t workerCount) {
    const Recipe& recipe = *run->recipe;
    checkPins(recipe);
    if (recipe.database.empty()) {
        return;
    }
    run->db = openRecipeDb(recipe);
    for (uint32_t i = 0; i < workerCount; i++) {
        run->places.push_back(
            {slotNameOf(recipe, workers[i].locationId, workers[i].location), workers[i].location});
    }
    std::string error;
    bool exhausted = false;
    if (!reserveBoards(run->db, recipe, run->identity, run->places, &run->units, &error, &exhausted)) {
        throw CommandFailure{exhausted ? STATUS_USAGE : STATUS_RECORD_NOT_KEPT,
                             "production database: " + error};
    }
}

static void recordBoard(ProductionRun* run, uint32_t index, Worker* worker) {
    bool reserved = !run->units.empty();
    worker->record["board"] = boardJson(run->places.empty() ? "" : run->places[index].slot,
                                        reserved ? &run->units[index] : nullptr);
    if (run->db == nullptr || !reserved) {
        return;
    }
    std::string error;
    if (recordUnit(run->db, run->identity, run->places[index], unitOutcomeOf(run->units[index].id, *worker),
                   &error)) {
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
    run.identity = runIdentityOf(recipe, request);
    CableRunHooks hooks;
    hooks.beforeStart = [&run](const Worker* workers, uint32_t count) {
        reserveRunBoards(&run, workers, count);
    };
    hooks.workerOptions = [&run](uint32_t index) {
        return run.units.empty() ? std::vector<std::string>() : boardDataWords(*run.recipe, run.units[index]);
    };
    hooks.afterEnd = [&run](uint32_t index, Worker* worker) { recordBoard(&run, index, worker); };
    try {
        runOnManyCables(*findCommand("write"), writeRequestOf(recipe, request), outcome, &hooks);
    } catch (const CommandFailure&) {
        closeProductionDb(run.db);
        throw;
    }
    closeProductionDb(run.db);
}

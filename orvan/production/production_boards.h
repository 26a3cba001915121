// What a production run and a station share about each board: the write a
// recipe asks for, the values a board draws, the bytes and record fields
// they become, and the outcome recorded for it.
#pragma once

#include <stdint.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "orvan/cables/workers.h"
#include "orvan/commands/orvan.h"
#include "orvan/database/production_db.h"
#include "orvan/recipe/recipe.h"

// The write each board gets: the recipe's images, mode and clock, on the
// recipe's slots or on the cables --cable names.
Request writeRequestOf(const Recipe& recipe, const Request& request);

// The slot's name in the recipe, or the location when the recipe names none.
std::string slotNameOf(const Recipe& recipe, uint32_t locationId, const std::string& location);

// The files the workers get are the files the recipe pinned: checked again on
// the bytes read last, which are the bytes every worker sends; throws
// CommandFailure with STATUS_USAGE otherwise.
void checkPins(const Recipe& recipe);

// What the board's record names besides its outcome.
RunIdentity runIdentityOf(const Recipe& recipe, const Request& request);

// Opens the recipe's database; throws CommandFailure with STATUS_RECORD_NOT_KEPT.
ProductionDb* openRecipeDb(const Recipe& recipe);

// One draw from each of the recipe's pools.
std::vector<PoolDraw> recipeDraws(const Recipe& recipe);

// Reserves one unit per place; false with error on a database that failed,
// and on a pool without numbers left (exhausted set).
bool reserveBoards(ProductionDb* db, const Recipe& recipe, const RunIdentity& identity,
                   const std::vector<UnitPlace>& places, std::vector<ReservedUnit>* units, std::string* error,
                   bool* exhausted);

// The worker's options that put the unit's values on its board.
std::vector<std::string> boardDataWords(const Recipe& recipe, const ReservedUnit& unit);

// The board's slot and values, as its cable's record and log line carry them.
nlohmann::ordered_json boardJson(const std::string& slot, const ReservedUnit* unit);

// The unit's outcome as the worker's record tells it.
UnitOutcome unitOutcomeOf(int64_t unitId, const Worker& worker);

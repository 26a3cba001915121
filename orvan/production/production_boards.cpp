#include "orvan/production/production_boards.h"

#include "orvan/commands/images.h"
#include "orvan/production/production_log.h"
#include "orvan/production/report_tables.h"

static std::string hexBytes(const std::vector<uint8_t>& bytes) {
    std::string text;
    for (uint8_t byte : bytes) {
        text += hexByte(byte).substr(2);
    }
    return text;
}

Request writeRequestOf(const Recipe& recipe, const Request& request) {
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

std::string slotNameOf(const Recipe& recipe, uint32_t locationId, const std::string& location) {
    for (const RecipeSlot& slot : recipe.slots) {
        if (slot.location == locationId) {
            return slot.name;
        }
    }
    return location;
}

void checkPins(const Recipe& recipe) {
    for (uint32_t index = 0; index < imageCount; index++) {
        std::string mismatch = pinMismatch(recipe.images[index], sha256Text(images[index].sha256));
        if (!mismatch.empty()) {
            throw CommandFailure{STATUS_USAGE, "recipe " + recipe.path + ": " + mismatch};
        }
    }
}

RunIdentity runIdentityOf(const Recipe& recipe, const Request& request) {
    return {recipe.station, recipe.name, recipe.sha256, ORVAN_VERSION_TEXT, request.runId};
}

ProductionDb* openRecipeDb(const Recipe& recipe) {
    std::string error;
    ProductionDb* db = openProductionDb(recipe.database, &error);
    if (db == nullptr) {
        throw CommandFailure{STATUS_RECORD_NOT_KEPT, "production database: " + error};
    }
    return db;
}

std::vector<PoolDraw> recipeDraws(const Recipe& recipe) {
    std::vector<PoolDraw> draws;
    for (const ValueRange& range : recipeRanges(recipe)) {
        draws.push_back({range.pool, range.first, range.last});
    }
    return draws;
}

bool reserveBoards(ProductionDb* db, const Recipe& recipe, const RunIdentity& identity,
                   const std::vector<UnitPlace>& places, std::vector<ReservedUnit>* units, std::string* error,
                   bool* exhausted) {
    DbResult result = reserveUnits(
        db, identity, recipeDraws(recipe), places,
        [&recipe](const std::vector<uint64_t>& numbers) { return valueTexts(recipe, numbers); }, units,
        error);
    *exhausted = result == DB_EXHAUSTED;
    return result == DB_OK;
}

std::vector<std::string> boardDataWords(const Recipe& recipe, const ReservedUnit& unit) {
    std::vector<uint64_t> numbers;
    for (const UnitValue& value : unit.values) {
        numbers.push_back(value.number);
    }
    std::vector<std::string> words;
    for (const BoardPatch& patch : boardPatches(recipe, boardValuesFrom(recipe, numbers))) {
        words.push_back("--board-data");
        words.push_back(hexAddress(patch.address) + ":" + hexBytes(patch.bytes));
    }
    return words;
}

nlohmann::ordered_json boardJson(const std::string& slot, const ReservedUnit* unit) {
    nlohmann::ordered_json board = {{"slot", slot}};
    if (unit == nullptr) {
        return board;
    }
    board["unit"] = unit->id;
    board["values"] = valuesJson(unit->values);
    return board;
}

UnitOutcome unitOutcomeOf(int64_t unitId, const Worker& worker) {
    return {unitId,         worker.record.value("result", ""),         worker.status, errorOf(worker),
            worker.seconds, worker.record.value("written_sha256", ""), utcNowText()};
}

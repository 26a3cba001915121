// recipe check and recipe pin.
#include "orvan/production/recipe_command.h"

#include <stdio.h>

#include "orvan/commands/progress.h"

static CommandFailure problemsFound(const std::string& path, const std::vector<std::string>& problems,
                                    Outcome* outcome) {
    outcome->record["problems"] = problems;
    for (const std::string& problem : problems) {
        fprintf(stderr, "orvan: %s\n", problem.c_str());
    }
    return CommandFailure{STATUS_USAGE, "recipe " + path + ": " + std::to_string(problems.size()) +
                                            (problems.size() == 1 ? " problem" : " problems")};
}

void readCheckedRecipe(const std::string& path, Recipe* recipe, Outcome* outcome) {
    std::vector<std::string> problems;
    if (!readRecipe(path, recipe, &problems)) {
        throw problemsFound(path, problems, outcome);
    }
}

// What the recipe gives each board, in a few words.
static std::string boardValuesText(const Recipe& recipe) {
    std::string text;
    for (const ValueRange& range : recipeRanges(recipe)) {
        text += (text.empty() ? "" : ", ") + range.pool + " " + std::to_string(range.first) + " to " +
                std::to_string(range.last);
    }
    return text.empty() ? "no values of its own" : text;
}

static void sayRecipe(const std::string& what, const Recipe& recipe, Outcome* outcome) {
    nlohmann::ordered_json files = nlohmann::ordered_json::array();
    for (const RecipeImage& image : recipe.images) {
        files.push_back({{"file", image.file}, {"sha256", image.sha256}});
    }
    outcome->record["recipe"] = {
        {"name", recipe.name}, {"file", recipe.path}, {"sha256", recipe.sha256}, {"images", files}};
    outcome->record["problems"] = nlohmann::ordered_json::array();
    std::string images =
        std::to_string(recipe.images.size()) + (recipe.images.size() == 1 ? " image" : " images");
    progressSay("recipe " + recipe.path + ": " + paint(what, PAINT_GOOD) + ": \"" + recipe.name + "\", " +
                images + ", each board " + boardValuesText(recipe));
}

void runRecipeCommand(const Request& request, Outcome* outcome) {
    static Recipe recipe;
    if (request.recipeAction == "pin") {
        std::vector<std::string> problems;
        if (!pinRecipe(request.recipe, &problems)) {
            throw problemsFound(request.recipe, problems, outcome);
        }
        readCheckedRecipe(request.recipe, &recipe, outcome);
        sayRecipe("pinned", recipe, outcome);
        return;
    }
    readCheckedRecipe(request.recipe, &recipe, outcome);
    sayRecipe("no problems", recipe, outcome);
}

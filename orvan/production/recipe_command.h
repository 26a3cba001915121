// The recipe as orvan's commands read it: every problem said, one line each.
#pragma once

#include <string>

#include "orvan/commands/orvan.h"
#include "orvan/recipe/recipe.h"

// Reads and checks the recipe, pins included; on any problem, shows each on
// standard error, lists them in the record and throws CommandFailure with
// STATUS_USAGE.
void readCheckedRecipe(const std::string& path, Recipe* recipe, Outcome* outcome);

// The bash completion script, written from the command table, so that it
// offers exactly the commands and options the command line takes.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

std::string bashCompletionScript(const CLI::App& app);

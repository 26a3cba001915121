// The command line's errors in orvan's own words, a "did you mean" for a
// mistyped command, and "orvan help COMMAND".
#pragma once

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

// The parse error as one clause in orvan's voice ("unexpected argument x",
// "--sector: 8 is not a sector (0 to 7)").
std::string usageWords(const CLI::ParseError& error);

// The command nearest to a mistyped word (at most two edits away), or "".
std::string nearestCommand(const std::string& word);

// The words of the command line with "help [COMMAND]", where the command
// stands, turned into "[COMMAND] --help".
std::vector<std::string> helpAsOption(const CLI::App& app, const std::vector<std::string>& words);

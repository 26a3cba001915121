// orvan's commands in one table: each command's name, help, the options it
// takes, its checks and its run. The command line, the dispatch, the checks
// made before fanning out to workers, the workers' command lines and the
// help all come from it.
#pragma once

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "orvan/commands/orvan.h"

// The options a command takes, beyond the global ones.
enum CommandUses : unsigned {
    USES_RANGE = 1u << 0,         // --sector, --count
    USES_OUTPUT = 1u << 1,        // -o, --force
    USES_IMAGES = 1u << 2,        // IMAGE...
    USES_WRITE_MODES = 1u << 3,   // --changed, --full
    USES_RECIPE = 1u << 4,        // RECIPE
    USES_RECIPE_ACTION = 1u << 5, // ACTION RECIPE
    USES_REPORT = 1u << 6,        // --db, --since, --until, --serial, --csv, --verify, [RECIPE]
    USES_STATION = 1u << 7,       // --events, --count, --bell
    USES_PRESENCE = 1u << 8,      // present|absent
};

struct CommandEntry {
    const char* name;
    const char* help;
    unsigned uses;
    const char* rangeVerb; // USES_RANGE: "erase", "read"
    // Runs on every cable --cable names at once; list shows every cable already.
    bool fansOut;
    // Checks that need no cable; nullptr: none.
    void (*check)(const Request& request);
    void (*run)(const Request& request, Outcome* outcome);
    // A worker's own command: left out of the help, the completion and the suggestions.
    bool hidden = false;
};

extern const std::vector<CommandEntry> COMMANDS;

// The command of that name, or nullptr.
const CommandEntry* findCommand(const std::string& name);

// Whether the command works on boards, and so gives the production log a
// line per cable: every command that opens cables, and run.
bool commandLogsBoards(const std::string& name);

// "list, info, read, verify, erase, write".
std::string commandNames();

// Adds each command of the table to the app, with its options bound to request.
void addCommands(CLI::App& app, Request* request);

// The command and its own options as they would be typed for this request:
// the tail of a worker's command line.
std::vector<std::string> commandWords(const CommandEntry& entry, const Request& request);

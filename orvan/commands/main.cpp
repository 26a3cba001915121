// orvan: the companion command for list, info, read, verify, erase and
// write, on the writer's own subsystems. The command line is read once into
// a request; the command runs and gives its outcome; the process ends here.
#include <stdio.h>
#include <string.h>

#include <CLI/CLI.hpp>

#include "core/platform/platform.h"
#include "core/text/number_text.h"
#include "orvan/cables/many_cables.h"
#include "orvan/commands/command_table.h"
#include "orvan/commands/completion.h"
#include "orvan/commands/finish.h"
#include "orvan/commands/orvan.h"
#include "orvan/commands/progress.h"
#include "orvan/commands/usage_words.h"
#include "orvan/commands/verbose.h"
#include "orvan/production/production_log.h"

static const char* const DESCRIPTION =
    "Reads, verifies, erases and writes the flash of an Orvan target through a USB-to-SPI cable.\n"
    "Exit status: 0 done; 1 the target disagreed (verify mismatch, not blank after erase, target\n"
    "stays busy); 2 usage or input error, found before the target was touched; 3 no cable, cable not\n"
    "opened or set up, wrong identity byte, or it stopped answering; 4 the record could not be kept\n"
    "(--log, the production database): nothing was done when that was found before the cable, the\n"
    "work was done when after; 128+N interrupted by signal N.";

static void addGlobalOptions(CLI::App& app, Request* request) {
    app.add_option(
           "--cable", request->cable,
           "the cable at this location (hex, as list shows it); all, or locations separated by commas: "
           "the command runs on each of those cables at once")
        ->type_name("LOCATION")
        ->check([](const std::string& text) {
            return cableValueIsValid(text)
                       ? std::string()
                       : "not all, a location in hex or locations separated by commas: " + text;
        });
    app.add_option("--log", request->log, "append one JSON line per cable to this production log")
        ->type_name("FILE");
    // A worker's record, parent and image copies, from the parent of a run on many cables.
    app.add_option("--record", request->recordPath)->group("");
    app.add_option("--parent", request->parentId)->group("");
    app.add_option("--run", request->runId)->group("");
    app.add_option("--image-source", request->imageSources)->group("")->allow_extra_args(false);
    app.add_option("--board-data", request->boardData)->group("")->allow_extra_args(false);
    // Numbers read as the writer reads its own -q, then held to the range.
    app.add_option_function<std::string>(
           "-q,--divisor",
           [request](const std::string& text) {
               uint32_t value = 0;
               if (!readNumber(text.c_str(), &value) || value > MAX_DIVISOR) {
                   throw CLI::ValidationError("-q " + text, "not a divisor from 0 to 65535");
               }
               request->divisor = value;
           },
           "SPI clock divisor: 30 MHz / (N + 1); default 8; read as orvanwriter reads -q")
        ->type_name("N");
    app.add_flag("--json", request->json, "print one JSON object with the outcome on standard output");
    app.add_flag("--quiet", request->quiet, "no progress on standard error");
    app.add_flag("-v,--verbose", request->verbose,
                 "each target transaction on standard error, with the adapter's status when not OK");
    // The build writes the bash completion with it.
    const CLI::App* self = &app;
    app.add_flag_callback("--bash-completion",
                          [self]() {
                              printf("%s", bashCompletionScript(*self).c_str());
                              throw CLI::Success();
                          })
        ->group("");
}

// What a command line that does not parse still tells: whether --json was
// asked for, and the word where a command should stand when it is none of
// orvan's. The options' own table (the app) says which take a value.
struct UnparsedWords {
    bool json = false;
    std::string unknownCommand;
};

static UnparsedWords readUnparsedWords(const CLI::App& app, int argumentCount, char** arguments) {
    UnparsedWords words;
    bool commandSeen = false;
    for (int i = 1; i < argumentCount; i++) {
        std::string word = arguments[i];
        std::string name = word.substr(0, word.find('='));
        const CLI::Option* option = app.get_option_no_throw(name);
        words.json = words.json || name == "--json";
        if (option != nullptr && option->get_expected_max() != 0 && word.find('=') == std::string::npos) {
            i++;
        } else if (!commandSeen && word[0] != '-') {
            commandSeen = true;
            words.unknownCommand = findCommand(word) == nullptr ? word : "";
        }
    }
    return words;
}

// Parses the command line into the request; false when the outcome is
// already known (help, version, a usage error).
static bool parse(CLI::App& app, int argumentCount, char** arguments, Request* request, Outcome* outcome) {
    try {
        app.parse(argumentCount, arguments);
        request->command = app.get_subcommands()[0]->get_name();
        request->logGiven = app.count("--log") > 0;
        outcome->record["command"] = request->command;
        if (request->runId.empty()) {
            request->runId = newRunId();
        }
        outcome->record["run"] = request->runId;
        outcome->record["time"] = utcNowText();
        return true;
    } catch (const CLI::Success& success) {
        UnparsedWords words = readUnparsedWords(app, argumentCount, arguments);
        if (!words.json) {
            outcome->status = app.exit(success);
            outcome->errorShown = true;
            return false;
        }
        bool version = success.get_name() == "CallForVersion";
        request->json = true;
        outcome->record["command"] =
            app.get_subcommands().empty() ? "" : app.get_subcommands()[0]->get_name();
        outcome->record[version ? "version" : "help"] = version ? std::string(success.what()) : app.help();
    } catch (const CLI::ParseError& error) {
        UnparsedWords words = readUnparsedWords(app, argumentCount, arguments);
        request->json = words.json;
        outcome->record["command"] =
            app.get_subcommands().empty() ? "" : app.get_subcommands()[0]->get_name();
        std::string why = usageWords(error);
        if (!words.unknownCommand.empty()) {
            std::string nearest = nearestCommand(words.unknownCommand);
            why =
                "unknown command " + words.unknownCommand +
                (nearest.empty() ? " (commands: " + commandNames() + ")" : "; did you mean " + nearest + "?");
        }
        outcome->status = STATUS_USAGE;
        outcome->error = "usage: " + why + " (see orvan --help)";
    }
    // A record that ends here still says which run it was.
    outcome->record["run"] = newRunId();
    outcome->record["time"] = utcNowText();
    return false;
}

// The log is checked before any cable is opened: a run whose record could
// not be kept touches no board.
static void checkProductionLog(const Request& request) {
    if (!request.logGiven || !commandLogsBoards(request.command)) {
        return;
    }
    if (request.log.empty()) {
        throw CommandFailure{STATUS_USAGE, "--log: the file name is empty"};
    }
    if (!platformCheckAppendable(request.log.c_str())) {
        throw CommandFailure{STATUS_RECORD_NOT_KEPT, "--log " + request.log +
                                                         ": cannot be appended to (no such folder, no "
                                                         "permission, or not a regular file)"};
    }
}

// Runs the command of the request, on one cable or on each it names.
static void runRequest(const CommandEntry& entry, const Request& request, Outcome* outcome) {
    try {
        try {
            checkProductionLog(request);
        } catch (const CommandFailure&) {
            outcome->noLogLine = true;
            throw;
        }
        if (entry.check != nullptr) {
            entry.check(request);
        }
        if (entry.fansOut && manyCablesAsked(request.cable)) {
            runOnManyCables(entry, request, outcome);
        } else {
            entry.run(request, outcome);
        }
    } catch (const CommandFailure& failure) {
        outcome->status = failure.status;
        outcome->error = failure.error;
        outcome->errorShown = failure.shown;
        outcome->interrupted = failure.interrupted;
    }
}

int main(int argumentCount, char** arguments) {
    platformGuardStandardStreams();
    platformCatchInterruptions();
    CLI::App app(DESCRIPTION, "orvan");
    app.set_version_flag("--version", std::string("orvan ") + ORVAN_VERSION_TEXT);
    app.require_subcommand(1, 1);
    app.fallthrough();
    Request request;
    Outcome outcome;
    addGlobalOptions(app, &request);
    addCommands(app, &request);
    // "orvan help write" is "orvan write --help".
    std::vector<std::string> words =
        helpAsOption(app, std::vector<std::string>(arguments, arguments + argumentCount));
    std::vector<char*> wordPointers;
    for (std::string& word : words) {
        wordPointers.push_back(&word[0]);
    }
    if (parse(app, static_cast<int>(wordPointers.size()), wordPointers.data(), &request, &outcome)) {
        if (request.parentId != 0) {
            platformFollowParent(static_cast<intptr_t>(request.parentId));
        }
        // A second interruption is counted, not obeyed at once: the command
        // still removes what it made and gives its record.
        platformCountInterruptions();
        progressShow(!request.quiet);
        showTransactions(request.verbose);
        runRequest(*findCommand(request.command), request, &outcome);
    }
    finishProcess(request, &outcome);
}

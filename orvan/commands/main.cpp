// orvan: the companion command for list, info, read, verify, erase and
// write, on the writer's own subsystems.
#include <stdio.h>
#include <string.h>

#include <CLI/CLI.hpp>

#include "core/platform/platform.h"
#include "core/text/number_text.h"
#include "orvan/cables/many_cables.h"
#include "orvan/commands/cable.h"
#include "orvan/commands/orvan.h"

static const char* const DESCRIPTION =
    "Reads, verifies, erases and writes the flash of an Orvan target through a USB-to-SPI cable.\n"
    "Exit status: 0 done; 1 the target disagreed (verify mismatch, not blank after erase, target\n"
    "stays busy); 2 usage or input error, found before the target was touched; 3 no cable, cable not\n"
    "opened or set up, or wrong identity byte; 4 done, but its record could not be kept (--log);\n"
    "128+N interrupted by signal N.";

static void addRangeOptions(CLI::App* command, const char* verb) {
    command->add_option("--sector", options.sector, std::string("first sector to ") + verb + " (0-7)")
        ->type_name("S")
        ->check(CLI::Range(0u, 7u));
    command->add_option("--count", options.count, "sectors from --sector (default: to the end of the flash)")
        ->type_name("C")
        ->check(CLI::Range(1u, 8u));
}

static void addCommands(CLI::App& app) {
    app.add_subcommand("list", "list the cables the adapter library reports; the default one is marked");
    app.add_subcommand("info", "open the cable and show its location, SPI clock and the target's identity");
    CLI::App* read =
        app.add_subcommand("read", "read the flash (whole, or --count sectors from --sector) to a file");
    addRangeOptions(read, "read");
    read->add_option("-o,--output", options.output,
                     "file to write; an existing one is kept unless --force; {location} in its name "
                     "becomes the cable's location")
        ->type_name("FILE")
        ->required();
    read->add_flag("--force", options.force, "replace an existing output file");
    CLI::App* verify = app.add_subcommand(
        "verify", "compare the flash with images, without writing: the bytes each image defines");
    verify
        ->add_option("images", options.images,
                     "FILE@SECTOR for a raw image, or an Intel HEX or S-record file")
        ->required();
    CLI::App* erase =
        app.add_subcommand("erase", "erase sectors (the whole flash by default) and check them blank");
    addRangeOptions(erase, "erase");
    CLI::App* write = app.add_subcommand(
        "write", "write images: erase, program what is not 0xff, read back and compare.\n"
                 "--changed first reads the sectors and leaves those that already hold the result;\n"
                 "--full sends every byte, 0xff included, as orvanwriter does");
    write
        ->add_option("images", options.images,
                     "FILE@SECTOR for a raw image, or an Intel HEX or S-record file")
        ->required();
    write->add_flag("--changed", options.changed,
                    "skip sectors that already hold what the write would leave");
    write->add_flag("--full", options.full, "send every byte, as orvanwriter does");
}

static void addGlobalOptions(CLI::App& app) {
    app.add_option(
           "--cable", options.cable,
           "the cable at this location (hex, as list shows it); all, or locations separated by commas: "
           "the command runs on each of those cables at once")
        ->type_name("LOCATION")
        ->check([](const std::string& text) {
            return cableValueIsValid(text)
                       ? std::string()
                       : "not all, a location in hex or locations separated by commas: " + text;
        });
    app.add_option("--log", options.log, "append one JSON line per cable to this production log")
        ->type_name("FILE");
    // A worker's record, parent and image copies, from the parent of a run on many cables.
    app.add_option("--record", options.recordPath)->group("");
    app.add_option("--parent", options.parentId)->group("");
    app.add_option("--image-source", options.imageSources)->group("")->allow_extra_args(false);
    // Numbers read as the writer reads its own -q, then held to the range.
    app.add_option_function<std::string>(
           "-q,--divisor",
           [](const std::string& text) {
               uint32_t value = 0;
               if (!readNumber(text.c_str(), &value) || value > MAX_DIVISOR) {
                   throw CLI::ValidationError("-q " + text, "not a divisor from 0 to 65535");
               }
               options.divisor = value;
           },
           "SPI clock divisor: 30 MHz / (N + 1); default 8; read as orvanwriter reads -q")
        ->type_name("N");
    app.add_flag("--json", options.json, "print one JSON object with the outcome on standard output");
    app.add_flag("--quiet", options.quiet, "no progress on standard error");
}

// A command line that does not parse still owes --json its one record.
static bool jsonAsked(int argumentCount, char** arguments) {
    for (int i = 1; i < argumentCount; i++) {
        if (strcmp(arguments[i], "--json") == 0 || strncmp(arguments[i], "--json=", strlen("--json=")) == 0) {
            return true;
        }
    }
    return false;
}

static const char* const COMMANDS[] = {"list", "info", "read", "verify", "erase", "write"};
// The global options that take a value as the next word.
static const char* const VALUED_OPTIONS[] = {"--cable", "-q", "--divisor", "--log", "--record"};

static bool isOneOf(const char* word, const char* const* words, size_t count) {
    for (size_t i = 0; i < count; i++) {
        if (strcmp(word, words[i]) == 0) {
            return true;
        }
    }
    return false;
}

// The word where a command should stand, when it is none of orvan's.
static std::string unknownCommand(int argumentCount, char** arguments) {
    for (int i = 1; i < argumentCount; i++) {
        if (isOneOf(arguments[i], VALUED_OPTIONS, sizeof VALUED_OPTIONS / sizeof *VALUED_OPTIONS)) {
            i++;
        } else if (arguments[i][0] != '-') {
            return isOneOf(arguments[i], COMMANDS, sizeof COMMANDS / sizeof *COMMANDS) ? "" : arguments[i];
        }
    }
    return "";
}

// --help and --version: as text, or under --json as the one record.
[[noreturn]] static void answerSuccess(CLI::App& app, const CLI::Success& success, bool json) {
    if (!json) {
        platformExit(app.exit(success));
    }
    bool version = success.get_name() == "CallForVersion";
    options.json = true;
    record["command"] = app.get_subcommands().empty() ? "" : app.get_subcommands()[0]->get_name();
    record[version ? "version" : "help"] = version ? std::string(success.what()) : app.help();
    finish(STATUS_DONE, "");
}

static void parse(CLI::App& app, int argumentCount, char** arguments) {
    try {
        app.parse(argumentCount, arguments);
    } catch (const CLI::Success& success) {
        answerSuccess(app, success, jsonAsked(argumentCount, arguments));
    } catch (const CLI::ParseError& error) {
        options.json = jsonAsked(argumentCount, arguments);
        record["command"] = app.get_subcommands().empty() ? "" : app.get_subcommands()[0]->get_name();
        std::string unknown = unknownCommand(argumentCount, arguments);
        std::string why = unknown.empty() ? error.what()
                                          : "unknown command " + unknown +
                                                " (commands: list, info, read, verify, erase, write)";
        finish(STATUS_USAGE, "usage: " + why + " (see orvan --help)");
    }
}

// The log is checked before any cable is opened: a run whose record could
// not be kept touches no board.
static void checkProductionLog(const CLI::App& app) {
    if (app.count("--log") == 0 || options.command == "list") {
        return;
    }
    if (options.log.empty()) {
        finish(STATUS_USAGE, "--log: the file name is empty");
    }
    if (!platformCheckAppendable(options.log.c_str())) {
        std::string log = options.log;
        options.log.clear();
        finish(STATUS_USAGE,
               "--log " + log +
                   ": cannot be appended to (no such folder, no permission, or not a regular file)");
    }
}

int main(int argumentCount, char** arguments) {
    platformGuardStandardStreams();
    platformCatchInterruptions();
    CLI::App app(DESCRIPTION, "orvan");
    app.set_version_flag("--version", std::string("orvan ") + ORVAN_VERSION_TEXT);
    app.require_subcommand(1, 1);
    app.fallthrough();
    addGlobalOptions(app);
    addCommands(app);
    parse(app, argumentCount, arguments);
    options.command = app.get_subcommands()[0]->get_name();
    record["command"] = options.command;
    if (options.parentId != 0) {
        platformFollowParent(static_cast<intptr_t>(options.parentId));
    }
    // A second interruption is counted, not obeyed at once: the command
    // still removes what it made and gives its record.
    platformCountInterruptions();
    checkProductionLog(app);
    // list shows every cable already: it runs once, whatever --cable says.
    if (manyCablesAsked(options.cable) && options.command != "list") {
        runOnManyCables(argumentCount, arguments);
    }
    if (options.command == "list") {
        runList();
    } else if (options.command == "info") {
        runInfo();
    } else if (options.command == "read") {
        runRead();
    } else if (options.command == "verify") {
        runVerify();
    } else if (options.command == "erase") {
        runErase();
    }
    runWriteCommand();
}

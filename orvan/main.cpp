// orvan: the companion command for list, info, read, verify, erase and
// write, on the writer's own subsystems.
#include <stdio.h>
#include <string.h>

#include <CLI/CLI.hpp>

#include "orvan/cable.h"
#include "orvan/many_cables.h"
#include "orvan/orvan.h"
#include "orvanwriter/platform/platform.h"

static const char* const DESCRIPTION =
    "Reads, verifies, erases and writes the flash of an Orvan target through a USB-to-SPI cable.\n"
    "Exit status: 0 done; 1 the target disagreed (verify mismatch, not blank after erase, target\n"
    "stays busy); 2 usage or input error, found before the target was touched; 3 no cable, cable not\n"
    "opened or set up, or wrong identity byte; 128+N interrupted by signal N.";

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
    // A worker's record, for the parent of a run on many cables.
    app.add_option("--record", options.recordPath)->group("");
    app.add_option("-q,--divisor", options.divisor, "SPI clock divisor: 30 MHz / (N + 1); default 8")
        ->type_name("N")
        ->check(CLI::Range(0u, MAX_DIVISOR));
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

static void parse(CLI::App& app, int argumentCount, char** arguments) {
    try {
        app.parse(argumentCount, arguments);
    } catch (const CLI::Success& success) {
        platformExit(app.exit(success));
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

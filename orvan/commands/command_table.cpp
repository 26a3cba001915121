#include "orvan/commands/command_table.h"

#include "core/flash/flash_geometry.h"
#include "core/text/number_text.h"

const std::vector<CommandEntry> COMMANDS = {
    {"list", "list the cables the adapter library reports; the default one is marked", 0, "", false, nullptr,
     runList},
    {"info", "open the cable and show its location, SPI clock and the target's identity", 0, "", true,
     nullptr, runInfo},
    {"read", "read the flash (whole, or --sector and --count) to a file", USES_RANGE | USES_OUTPUT, "read",
     true, checkReadRequest, runRead},
    {"verify", "compare the flash with images, without writing: the bytes each image defines", USES_IMAGES,
     "", true, nullptr, runVerify},
    {"erase", "erase sectors (the whole flash by default, one with --sector) and check them blank",
     USES_RANGE, "erase", true, checkRangeRequest, runErase},
    {"write",
     "write images: erase, program what is not 0xff, read back and compare.\n"
     "--changed first reads the sectors and leaves those that already hold the result;\n"
     "--full sends every byte, 0xff included, as orvanwriter does",
     USES_IMAGES | USES_WRITE_MODES, "", true, checkWriteRequest, runWriteCommand},
    {"recipe",
     "check a recipe and its images and report every problem (check), or fill in its images'\n"
     "SHA-256s (pin)",
     USES_RECIPE_ACTION, "", false, nullptr, runRecipeCommand},
    {"run",
     "write a recipe to the board on each of its slots (or --cable), each board with its own\n"
     "values, reserved in the production database before any cable is opened",
     USES_RECIPE, "", false, nullptr, runRecipe},
    {"report",
     "the production database's yield, failures, boards and reserved values; --verify checks\n"
     "its records' chain",
     USES_REPORT, "", false, checkReportRequest, runReport},
    {"station",
     "the operator's loop: on each slot, wait for a board, write the recipe with the board's own\n"
     "values, show PASS or FAIL, and wait for the board to be taken off; until Ctrl-C or --count",
     USES_RECIPE | USES_STATION, "", false, nullptr, runStation},
    {"presence", "a station's wait for a board to be placed or taken off", USES_PRESENCE, "", false, nullptr,
     runPresence, true},
};

const CommandEntry* findCommand(const std::string& name) {
    for (const CommandEntry& entry : COMMANDS) {
        if (name == entry.name) {
            return &entry;
        }
    }
    return nullptr;
}

bool commandLogsBoards(const std::string& name) {
    const CommandEntry* entry = findCommand(name);
    return entry != nullptr && (entry->fansOut || (entry->uses & USES_RECIPE) != 0);
}

std::string commandNames() {
    std::string names;
    for (const CommandEntry& entry : COMMANDS) {
        names += entry.hidden ? "" : (names.empty() ? "" : ", ") + std::string(entry.name);
    }
    return names;
}

// A whole number read as orvanwriter reads its numbers, held to its range,
// with the error in orvan's words: "8 is not a sector (0 to 7)".
static std::function<void(const std::string&)> numberInRange(const char* option, const std::string& what,
                                                             uint32_t lowest, uint32_t highest,
                                                             std::function<void(uint32_t)> take) {
    return [option, what, lowest, highest, take](const std::string& text) {
        uint32_t value = 0;
        if (!readNumber(text.c_str(), &value) || value < lowest || value > highest) {
            throw CLI::ValidationError(option, text + " is not " + what + " (" + std::to_string(lowest) +
                                                   " to " + std::to_string(highest) + ")");
        }
        take(value);
    };
}

static void addOptions(CLI::App* command, const CommandEntry& entry, Request* request) {
    if (entry.uses & USES_RANGE) {
        command
            ->add_option_function<std::string>("--sector",
                                               numberInRange("--sector", "a sector", 0, SECTOR_COUNT - 1,
                                                             [request](uint32_t sector) {
                                                                 request->sector = sector;
                                                                 request->sectorGiven = true;
                                                             }),
                                               std::string("first sector to ") + entry.rangeVerb + " (0-" +
                                                   std::to_string(SECTOR_COUNT - 1) + ")")
            ->type_name("S");
        command
            ->add_option_function<std::string>(
                "--count",
                numberInRange("--count", "a count of sectors", 1, SECTOR_COUNT,
                              [request](uint32_t count) { request->count = count; }),
                "sectors from --sector, or from sector 0 (default: 1 with --sector, else the whole flash)")
            ->type_name("C");
    }
    if (entry.uses & USES_OUTPUT) {
        command
            ->add_option("-o,--output", request->output,
                         "file to write; an existing one is kept unless --force; {location} in its name "
                         "becomes the cable's location")
            ->type_name("FILE")
            ->required();
        command->add_flag("--force", request->force, "replace an existing output file");
    }
    if (entry.uses & USES_IMAGES) {
        command
            ->add_option("images", request->images,
                         "FILE@SECTOR or FILE@0xADDRESS for a raw image; an Intel HEX or S-record "
                         "file, with @base=0xADDRESS when linked at another address")
            ->required();
    }
    if (entry.uses & USES_WRITE_MODES) {
        command->add_flag("--changed", request->changed,
                          "skip sectors that already hold what the write would leave");
        command->add_flag("--full", request->full, "send every byte, as orvanwriter does");
    }
}

static void addRecipeOptions(CLI::App* command, const CommandEntry& entry, Request* request) {
    if (entry.uses & USES_RECIPE_ACTION) {
        command->add_option("action", request->recipeAction, "check or pin")
            ->required()
            ->check(CLI::IsMember({"check", "pin"}))
            ->type_name("ACTION");
    }
    if (entry.uses & (USES_RECIPE | USES_RECIPE_ACTION)) {
        command->add_option("recipe", request->recipe, "the recipe file (TOML, see orvan-recipe(5))")
            ->required()
            ->type_name("RECIPE");
    }
    if (entry.uses & USES_REPORT) {
        command->add_option("recipe", request->recipe, "the recipe whose database to report on")
            ->type_name("RECIPE");
        command->add_option("--db", request->database, "the database: a SQLite file or a postgresql:// URL")
            ->type_name("DATABASE");
        command->add_option("--since", request->since, "records from this day or time on (UTC, 2026-12-01)")
            ->type_name("TIME");
        command->add_option("--until", request->until, "records before this day or time (UTC)")
            ->type_name("TIME");
        command
            ->add_option("--serial", request->serial,
                         "the history of one board (its serial as written, or its number) or of a range "
                         "of numbers, FIRST-LAST")
            ->type_name("SERIAL");
        command->add_flag("--csv", request->csv, "one CSV line per record instead of the tables");
        command->add_flag("--verify", request->verifyChain,
                          "check that no record was changed or removed since it was recorded");
    }
    if (entry.uses & USES_STATION) {
        command
            ->add_option("--events", request->events,
                         "append one JSON line per event to FILE (-: standard output)")
            ->type_name("FILE");
        command
            ->add_option_function<std::string>(
                "--count",
                numberInRange("--count", "a count of boards", 1, UINT32_MAX,
                              [request](uint32_t count) { request->boardLimit = count; }),
                "end the station after this many boards")
            ->type_name("N");
        command->add_flag("--bell", request->bell, "ring the terminal's bell at each failed board");
    }
    if (entry.uses & USES_PRESENCE) {
        command->add_option("board", request->boardWanted, "present or absent")
            ->required()
            ->check(CLI::IsMember({"present", "absent"}));
    }
}

void addCommands(CLI::App& app, Request* request) {
    for (const CommandEntry& entry : COMMANDS) {
        CLI::App* command = app.add_subcommand(entry.name, entry.help);
        if (entry.hidden) {
            command->group("");
        }
        addOptions(command, entry, request);
        addRecipeOptions(command, entry, request);
    }
}

std::vector<std::string> commandWords(const CommandEntry& entry, const Request& request) {
    std::vector<std::string> words = {entry.name};
    if (entry.uses & USES_RANGE) {
        if (request.sectorGiven) {
            words.insert(words.end(), {"--sector", std::to_string(request.sector)});
        }
        if (request.count != 0) {
            words.insert(words.end(), {"--count", std::to_string(request.count)});
        }
    }
    if (entry.uses & USES_OUTPUT) {
        words.push_back("--output=" + request.output);
        if (request.force) {
            words.push_back("--force");
        }
    }
    if ((entry.uses & USES_WRITE_MODES) && request.changed) {
        words.push_back("--changed");
    }
    if ((entry.uses & USES_WRITE_MODES) && request.full) {
        words.push_back("--full");
    }
    if (entry.uses & USES_PRESENCE) {
        words.push_back(request.boardWanted);
    }
    if (entry.uses & USES_IMAGES) {
        // Past "--", an image named like an option is still an image.
        words.push_back("--");
        words.insert(words.end(), request.images.begin(), request.images.end());
    }
    return words;
}

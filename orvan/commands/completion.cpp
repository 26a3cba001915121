#include "orvan/commands/completion.h"

#include "orvan/commands/command_table.h"

// The names of the app's options that are offered (the hidden are not).
static std::string optionNames(const CLI::App& app, bool valuedOnly) {
    std::string names;
    for (const CLI::Option* option : app.get_options()) {
        if (option->get_group().empty() || (valuedOnly && option->get_expected_max() == 0)) {
            continue;
        }
        for (const std::string& name : option->get_snames()) {
            names += " -" + name;
        }
        for (const std::string& name : option->get_lnames()) {
            names += " --" + name;
        }
    }
    return names.empty() ? names : names.substr(1);
}

static std::string bar(const std::string& words) {
    std::string text = words;
    for (char& c : text) {
        c = c == ' ' ? '|' : c;
    }
    return text;
}

std::string bashCompletionScript(const CLI::App& app) {
    std::string commands, cases, fileCommands;
    std::string valued = optionNames(app, true);
    for (const CommandEntry& entry : COMMANDS) {
        if (entry.hidden) {
            continue;
        }
        const CLI::App* command = app.get_subcommand(entry.name);
        commands += (commands.empty() ? "" : " ") + std::string(entry.name);
        cases +=
            "        " + std::string(entry.name) + ") options=\"" + optionNames(*command, false) + "\" ;;\n";
        std::string commandValued = optionNames(*command, true);
        // Each option once: several commands share --sector and --count.
        if (!commandValued.empty() && valued.find(commandValued) == std::string::npos) {
            valued += " " + commandValued;
        }
        if (entry.uses & (USES_IMAGES | USES_RECIPE | USES_RECIPE_ACTION | USES_REPORT)) {
            fileCommands += (fileCommands.empty() ? "" : "|") + std::string(entry.name);
        }
    }
    return "# bash completion for orvan, written by orvan from its command table: its\n"
           "# commands, each command's options, files after -o and --log, the listed\n"
           "# cables after --cable, image and recipe files, and recipe's actions.\n"
           "_orvan() {\n"
           "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
           "    local global=\"" +
           optionNames(app, false) +
           "\"\n"
           "    local commands=\"" +
           commands +
           "\"\n"
           "    local command=\"\" i\n"
           "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
           "        case ${COMP_WORDS[i]} in\n"
           "            " +
           bar(optionNames(app, true)) +
           ") ((i++)) ;;\n"
           "            " +
           bar(commands) +
           ")\n"
           "                command=${COMP_WORDS[i]}\n"
           "                break\n"
           "                ;;\n"
           "        esac\n"
           "    done\n"
           "    if [[ $command == recipe && $prev == recipe ]]; then\n"
           "        COMPREPLY=($(compgen -W \"check pin\" -- \"$cur\"))\n"
           "        return\n"
           "    fi\n"
           "    case $prev in\n"
           "        -o | --output | --log | --db)\n"
           "            COMPREPLY=($(compgen -f -- \"$cur\"))\n"
           "            return\n"
           "            ;;\n"
           "        --cable)\n"
           "            # all, or the locations the orvan being typed lists now.\n"
           "            local listed\n"
           "            listed=$(\"${COMP_WORDS[0]}\" list 2>/dev/null | awk 'NR > 1 { print $2 }') || "
           "listed=\"\"\n"
           "            COMPREPLY=($(compgen -W \"all $listed\" -- \"$cur\"))\n"
           "            return\n"
           "            ;;\n"
           "        " +
           bar(valued) +
           ") return ;;\n"
           "    esac\n"
           "    local options=\"\"\n"
           "    case $command in\n"
           "        \"\")\n"
           "            if [[ $cur == -* ]]; then\n"
           "                COMPREPLY=($(compgen -W \"$global\" -- \"$cur\"))\n"
           "            else\n"
           "                COMPREPLY=($(compgen -W \"$commands\" -- \"$cur\"))\n"
           "            fi\n"
           "            return\n"
           "            ;;\n" +
           cases +
           "    esac\n"
           "    # Files: images (FILE@SECTOR is typed after the name) and recipes.\n"
           "    case $command in\n"
           "        " +
           fileCommands +
           ")\n"
           "            if [[ $cur != -* ]]; then\n"
           "                COMPREPLY=($(compgen -f -- \"$cur\"))\n"
           "                return\n"
           "            fi\n"
           "            ;;\n"
           "    esac\n"
           "    COMPREPLY=($(compgen -W \"$options\" -- \"$cur\"))\n"
           "}\n"
           "complete -o filenames -F _orvan orvan\n";
}

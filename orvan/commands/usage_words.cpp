#include "orvan/commands/usage_words.h"

#include <algorithm>

#include "orvan/commands/command_table.h"

static const size_t NEAREST_MAX_EDITS = 2;

// Replaces the library's phrase at the start of text, when it is there.
static bool rephrase(std::string* text, const std::string& phrase, const std::string& ours) {
    size_t at = text->find(phrase);
    if (at == std::string::npos) {
        return false;
    }
    text->replace(at, phrase.size(), ours);
    return true;
}

std::string usageWords(const CLI::ParseError& error) {
    std::string text = error.what();
    rephrase(&text, "The following arguments were not expected: ", "unexpected arguments ") ||
        rephrase(&text, "The following argument was not expected: ", "unexpected argument ") ||
        rephrase(&text, "A subcommand is required",
                 "a command is missing (commands: " + commandNames() + ")") ||
        rephrase(&text, "images is required", "IMAGE is missing: name at least one image") ||
        rephrase(&text, " is required", " is missing");
    size_t repeated = text.find("At Most 1 required but received ");
    if (repeated != std::string::npos) {
        text = text.substr(0, repeated) + "given more than once";
    }
    return text;
}

// The edits that turn one word into the other (insert, delete, replace).
static size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); j++) {
        row[j] = j;
    }
    for (size_t i = 1; i <= a.size(); i++) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); j++) {
            size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

std::string nearestCommand(const std::string& word) {
    std::string nearest;
    size_t best = NEAREST_MAX_EDITS + 1;
    for (const CommandEntry& entry : COMMANDS) {
        size_t edits = editDistance(word, entry.name);
        if (edits < best && !entry.hidden) {
            best = edits;
            nearest = entry.name;
        }
    }
    return nearest;
}

std::vector<std::string> helpAsOption(const CLI::App& app, const std::vector<std::string>& words) {
    for (size_t i = 1; i < words.size(); i++) {
        const std::string& word = words[i];
        std::string name = word.substr(0, word.find('='));
        const CLI::Option* option = app.get_option_no_throw(name);
        if (option != nullptr && option->get_expected_max() != 0 && word.find('=') == std::string::npos) {
            i++; // the option's value
        } else if (word.empty() || word[0] != '-') {
            if (word != "help") {
                return words; // the command stands here, and it is not help
            }
            std::vector<std::string> rewritten(words.begin(), words.begin() + static_cast<long>(i));
            rewritten.insert(rewritten.end(), words.begin() + static_cast<long>(i) + 1, words.end());
            rewritten.push_back("--help");
            return rewritten;
        }
    }
    return words;
}

// Pinning: each image's SHA-256 written into the recipe by editing its
// text, so that comments, order and spacing stay the author's; the file is
// replaced whole by a rename.
#include <filesystem>
#include <string.h>

#include "core/platform/platform.h"
#include "orvan/images/image_map.h"
#include "orvan/recipe/recipe_internal.h"

// A line of the text and the line end that follows it ("" for a last line without one).
struct TextLineEnd {
    std::string text;
    std::string end;
};

static std::vector<TextLineEnd> splitLines(const std::string& text) {
    std::vector<TextLineEnd> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t newline = text.find('\n', start);
        size_t stop = newline == std::string::npos ? text.size() : newline;
        size_t contentEnd =
            stop > start && text[stop - 1] == '\r' && newline != std::string::npos ? stop - 1 : stop;
        lines.push_back(
            {text.substr(start, contentEnd - start), text.substr(contentEnd, stop + 1 - contentEnd)});
        start = stop + 1;
    }
    return lines;
}

static size_t skipBlanks(const std::string& text, size_t at) {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) {
        at++;
    }
    return at;
}

// Where the one-line string after "sha256 =" ends, or 0 when the line is not so written.
static size_t stringEnd(const std::string& line, size_t at) {
    char quote = at < line.size() ? line[at] : '\0';
    if ((quote != '"' && quote != '\'') || line.compare(at, 3, std::string(3, quote)) == 0) {
        return 0;
    }
    for (size_t i = at + 1; i < line.size(); i++) {
        if (quote == '"' && line[i] == '\\') {
            i++;
        } else if (line[i] == quote) {
            return i + 1;
        }
    }
    return 0;
}

// Replaces the value of a line "sha256 = '...'", keeping everything around it.
static bool replaceHash(std::string* line, const std::string& hash) {
    size_t at = skipBlanks(*line, 0);
    for (const char* key : {"sha256", "\"sha256\"", "'sha256'"}) {
        if (line->compare(at, strlen(key), key) == 0) {
            at = skipBlanks(*line, at + strlen(key));
            break;
        }
    }
    if (at >= line->size() || (*line)[at] != '=') {
        return false;
    }
    at = skipBlanks(*line, at + 1);
    size_t end = stringEnd(*line, at);
    if (end == 0) {
        return false;
    }
    line->replace(at, end - at, "\"" + hash + "\"");
    return true;
}

// The sha256 line after the line where the image's file value ends, indented as its key.
static void insertHash(std::vector<TextLineEnd>* lines, const toml::table& table, const std::string& hash) {
    TextLineEnd& keyLine = (*lines)[lineOfKey(table, "file") - 1];
    std::string indent = keyLine.text.substr(0, skipBlanks(keyLine.text, 0));
    TextLineEnd& valueLine = (*lines)[table.get("file")->source().end.line - 1];
    std::string end = valueLine.end.empty() ? "\n" : valueLine.end;
    valueLine.end += (valueLine.end.empty() ? end : "") + indent + "sha256 = \"" + hash + "\"" + end;
}

static bool editHashes(ProblemList* list, const std::string& text, std::string* edited) {
    toml::table top = toml::parse(text, list->file);
    std::vector<TextLineEnd> lines = splitLines(text);
    const toml::array& tables = *top.get("image")->as_array();
    bool fine = true;
    for (size_t i = 0; i < tables.size(); i++) {
        const toml::table& table = *tables[i].as_table();
        char hash[SHA256_HEX_CHARS];
        sha256Hex(images[i].sha256, hash);
        if (table.is_inline()) {
            addProblem(list, lineOf(table), "an inline image table cannot be pinned; write it as [[image]]");
            fine = false;
        } else if (!table.contains("sha256")) {
            insertHash(&lines, table, hash);
        } else if (!replaceHash(&lines[lineOfKey(table, "sha256") - 1].text, hash)) {
            addProblem(list, lineOfKey(table, "sha256"),
                       "sha256 is pinned only when written as sha256 = \"...\"");
            fine = false;
        }
    }
    edited->clear();
    for (const TextLineEnd& line : lines) {
        *edited += line.text + line.end;
    }
    return fine;
}

static std::string folderPrefix(const std::string& path) {
    size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? "." + path : path.substr(0, slash + 1) + "." + path.substr(slash + 1);
}

// A file of a new name beside the recipe, renamed over it once whole.
static bool replaceFile(ProblemList* list, const std::string& path, const std::string& text) {
    char full[PLATFORM_PATH_CHARS];
    std::string target = platformFullPath(path.c_str(), full, sizeof full) ? full : path;
    char temporary[PLATFORM_PATH_CHARS];
    PlatformFile file;
    if (!platformCreateUniqueFile((folderPrefix(target) + ".").c_str(), ".tmp", temporary, sizeof temporary,
                                  &file)) {
        list->problems->push_back(path + ": cannot make a file beside it: " + platformLastErrorText());
        return false;
    }
    bool written = platformWriteFile(file, reinterpret_cast<const uint8_t*>(text.data()),
                                     static_cast<uint32_t>(text.size()));
    platformCloseFile(file);
    std::error_code ignored;
    std::filesystem::permissions(temporary, std::filesystem::status(target, ignored).permissions(), ignored);
    if (!written || !platformRenameFile(temporary, target.c_str())) {
        list->problems->push_back(path + ": cannot replace: " + platformLastErrorText());
        platformRemoveFile(temporary);
        return false;
    }
    return true;
}

bool pinRecipe(const std::string& path, std::vector<std::string>* problems) {
    Recipe recipe;
    if (!readRecipeUnpinned(path, &recipe, problems)) {
        return false;
    }
    ProblemList list = {path, problems};
    std::string text;
    std::string why;
    uint8_t digest[SHA256_DIGEST_BYTES];
    char hash[SHA256_HEX_CHARS] = "";
    if (readFileText(path, MAX_RECIPE_BYTES, &text, &why)) {
        sha256Of(reinterpret_cast<const uint8_t*>(text.data()), text.size(), digest);
        sha256Hex(digest, hash);
    }
    if (recipe.sha256 != hash) {
        problems->push_back(path + ": changed while it was being pinned; pin it again");
        return false;
    }
    std::string edited;
    if (!editHashes(&list, text, &edited)) {
        return false;
    }
    return edited == text || replaceFile(&list, path, edited);
}

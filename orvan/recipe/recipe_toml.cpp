// Typed access to the recipe's TOML tables: every value is checked as it is
// taken, and each refusal names the key and its line.
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "core/flash/flash_geometry.h"
#include "orvan/recipe/recipe_internal.h"

void addProblem(ProblemList* list, uint32_t line, const std::string& what) {
    list->problems->push_back(list->file + ":" + std::to_string(line) + ": " + what);
}

uint32_t lineOf(const toml::node& node) {
    return node.source().begin.line;
}

// The line of the key itself, or of its table when the key is missing.
uint32_t lineOfKey(const toml::table& table, const char* key) {
    auto found = table.find(key);
    if (found == table.end()) {
        uint32_t line = lineOf(table);
        return line > 0 ? line : 1;
    }
    return found->first.source().begin.line;
}

static std::string keyName(const char* where, const char* key) {
    return where[0] == '\0' ? std::string(key) : std::string(where) + " " + key;
}

static const char* typeName(const toml::node& node) {
    switch (node.type()) {
    case toml::node_type::string:
        return "a string";
    case toml::node_type::integer:
        return "an integer";
    case toml::node_type::floating_point:
        return "a floating-point number";
    case toml::node_type::boolean:
        return "a boolean";
    case toml::node_type::table:
        return "a table";
    case toml::node_type::array:
        return "an array";
    default:
        return "a date or time";
    }
}

static bool refuseType(ProblemList* list, const toml::node& node, const char* where, const char* key,
                       const char* expected) {
    addProblem(list, lineOf(node),
               keyName(where, key) + ": " + expected + " is expected, not " + typeName(node));
    return false;
}

void refuseUnknownKeys(ProblemList* list, const toml::table& table, const char* where,
                       std::initializer_list<const char*> known) {
    for (auto&& [key, node] : table) {
        bool isKnown = false;
        for (const char* name : known) {
            isKnown = isKnown || key.str() == name;
        }
        if (!isKnown) {
            std::string in = where[0] == '\0' ? "" : std::string(" in ") + where;
            addProblem(list, key.source().begin.line, "unknown key '" + std::string(key.str()) + "'" + in);
        }
    }
}

static const toml::node* takeNode(ProblemList* list, const toml::table& table, const char* where,
                                  const char* key, bool required) {
    const toml::node* node = table.get(key);
    if (node == nullptr && required) {
        std::string in = where[0] == '\0' ? "" : std::string(where) + ": ";
        addProblem(list, lineOfKey(table, key), in + "missing key '" + key + "'");
    }
    return node;
}

bool readText(ProblemList* list, const toml::table& table, const char* where, const char* key, bool required,
              std::string* value) {
    const toml::node* node = takeNode(list, table, where, key, required);
    if (node == nullptr) {
        return false;
    }
    if (!node->is_string()) {
        return refuseType(list, *node, where, key, "a string");
    }
    *value = node->as_string()->get();
    return true;
}

bool readInteger(ProblemList* list, const toml::table& table, const char* where, const char* key,
                 bool required, int64_t least, int64_t most, int64_t* value) {
    const toml::node* node = takeNode(list, table, where, key, required);
    if (node == nullptr) {
        return false;
    }
    if (!node->is_integer()) {
        return refuseType(list, *node, where, key, "an integer");
    }
    int64_t number = node->as_integer()->get();
    if (number < least || number > most) {
        std::string range = most == INT64_MAX ? "is less than " + std::to_string(least)
                                              : "is out of range (" + std::to_string(least) + " to " +
                                                    std::to_string(most) + ")";
        addProblem(list, lineOf(*node), keyName(where, key) + ": " + std::to_string(number) + " " + range);
        return false;
    }
    *value = number;
    return true;
}

bool readAddress(ProblemList* list, const toml::table& table, const char* where, bool required,
                 uint32_t* address) {
    int64_t value = 0;
    if (!readInteger(list, table, where, "address", required, 0, INT64_MAX, &value)) {
        return false;
    }
    if (value >= FLASH_BYTES) {
        char why[96];
        snprintf(why, sizeof why, ": 0x%llx is past the end of the 128 KiB flash (0x0 to 0x%x)",
                 static_cast<unsigned long long>(value), FLASH_BYTES - 1);
        addProblem(list, lineOf(*table.get("address")), keyName(where, "address") + why);
        return false;
    }
    *address = static_cast<uint32_t>(value);
    return true;
}

bool readValueFormat(ProblemList* list, const toml::table& table, const char* where, ValueFormat* format) {
    static const struct {
        const char* name;
        ValueFormat format;
    } FORMATS[] = {{"text", VALUE_TEXT}, {"u32le", VALUE_U32LE}, {"u32be", VALUE_U32BE}};
    std::string name;
    if (!readText(list, table, where, "format", true, &name)) {
        return false;
    }
    for (const auto& known : FORMATS) {
        if (name == known.name) {
            *format = known.format;
            return true;
        }
    }
    addProblem(list, lineOf(*table.get("format")),
               keyName(where, "format") + ": '" + name + "' is none of \"text\", \"u32le\", \"u32be\"");
    return false;
}

const toml::table* optionalTable(ProblemList* list, const toml::table& top, const char* name) {
    const toml::node* node = top.get(name);
    if (node == nullptr) {
        return nullptr;
    }
    if (!node->is_table()) {
        refuseType(list, *node, "", name, "a table");
        return nullptr;
    }
    return node->as_table();
}

std::string pathInFolder(const std::string& folder, const std::string& file) {
    bool absolute =
        !file.empty() && (file[0] == '/' || file[0] == '\\' || (file.size() > 1 && file[1] == ':'));
    return absolute || folder == "." ? file : folder + "/" + file;
}

bool readFileText(const std::string& path, uint32_t limitBytes, std::string* text, std::string* why) {
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        *why = std::string("cannot open: ") + strerror(errno);
        return false;
    }
    text->assign(static_cast<size_t>(limitBytes) + 1, '\0');
    size_t length = fread(&(*text)[0], 1, text->size(), file);
    bool failed = ferror(file) != 0;
    int error = errno;
    fclose(file);
    text->resize(length);
    if (failed) {
        *why = std::string("cannot read: ") + strerror(error);
    } else if (length > limitBytes) {
        *why = "larger than " + std::to_string(limitBytes) + " bytes";
    }
    return !failed && length <= limitBytes;
}

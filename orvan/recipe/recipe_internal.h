// What the recipe's source files share: the problem list with its file and
// line, typed access to the TOML tables, the serial's pattern, the CSV
// reader and the per-board fields whose places are checked.
#pragma once

#include <stdint.h>

#include <initializer_list>
#include <string>
#include <toml++/toml.h>
#include <vector>

#include "orvan/recipe/recipe.h"

// A recipe is a page of text; anything far larger is not one.
const uint32_t MAX_RECIPE_BYTES = 1024 * 1024;
const uint32_t U32_VALUE_BYTES = 4;
const uint64_t MAX_U32_VALUE = 0xFFFFFFFF;
const uint32_t MAC_BYTES = 6;

// The problems of one file, each "FILE:LINE: WHAT".
struct ProblemList {
    std::string file;
    std::vector<std::string>* problems;
};
void addProblem(ProblemList* list, uint32_t line, const std::string& what);

uint32_t lineOf(const toml::node& node);
uint32_t lineOfKey(const toml::table& table, const char* key);

// Refuses every key of the table that is not known; where names the table
// ("[serial]"), or is empty for the top level.
void refuseUnknownKeys(ProblemList* list, const toml::table& table, const char* where,
                       std::initializer_list<const char*> known);

// Each reads key of table into value: false when the key is missing (a
// problem only when required) or holds what the key cannot take (always a
// problem).
bool readText(ProblemList* list, const toml::table& table, const char* where, const char* key, bool required,
              std::string* value);
bool readInteger(ProblemList* list, const toml::table& table, const char* where, const char* key,
                 bool required, int64_t least, int64_t most, int64_t* value);
// An address of one of the flash's bytes.
bool readAddress(ProblemList* list, const toml::table& table, const char* where, bool required,
                 uint32_t* address);
// "text", "u32le" or "u32be".
bool readValueFormat(ProblemList* list, const toml::table& table, const char* where, ValueFormat* format);
// The range's pool: the key pool, else fallback.
void readPool(ProblemList* list, const toml::table& table, const char* where, const std::string& fallback,
              ValueRange* range);
// A [name] table; nullptr when missing, and a problem when it is some other value.
const toml::table* optionalTable(ProblemList* list, const toml::table& top, const char* name);

// A serial number's printf-style pattern, taken apart.
struct SerialPattern {
    std::string before;
    std::string after;
    bool zeroPadded;
    uint32_t width;
    char conversion; // 'u', 'd', 'x' or 'X'
};
// False with the reason when the text is not one conversion among the
// characters around it.
bool parseSerialPattern(const std::string& text, SerialPattern* pattern, std::string* why);
std::string renderSerialPattern(const SerialPattern& pattern, uint64_t number);

// "02:00:00:00:10:00" read as a 48-bit number.
bool parseMac(const std::string& text, uint64_t* mac);

// A CSV file's records (RFC 4180: commas, double quotes doubled inside
// quoted fields, LF or CRLF line ends); lines[i] is where record i starts.
struct CsvText {
    std::vector<std::vector<std::string>> records;
    std::vector<uint32_t> lines;
};
bool parseCsv(const std::string& text, CsvText* csv, uint32_t* badLine, std::string* why);

// The index of the header's column of that name, or -1.
int tableColumnIndex(const RecipeTable& table, const std::string& name);

// A cell of a number column: decimal, or 0x and hex digits, up to 0xffffffff.
bool parseTableNumber(const std::string& cell, uint32_t* value);

// Bytes each board gets at a place of its own, for the layout checks.
struct BoardField {
    std::string name; // "serial", "mac", "column gain"
    uint32_t address;
    uint32_t length;
    uint32_t line;
};

// The recipe's sections of per-board values; each adds its field(s).
void readSerialSection(ProblemList* list, const toml::table& top, RecipeSerial* serial,
                       std::vector<BoardField>* fields);
void readMacSection(ProblemList* list, const toml::table& top, RecipeMac* mac,
                    std::vector<BoardField>* fields);
void readTableSection(ProblemList* list, const toml::table& top, const std::string& folder,
                      RecipeTable* table, std::vector<BoardField>* fields);

// Each field inside the flash, in sectors the images write, over image bytes
// that are 0xff, and apart from the other fields. Needs the image map loaded.
void checkBoardFields(ProblemList* list, const Recipe& recipe, const std::vector<BoardField>& fields);

// A file named in the recipe, found from the recipe's folder.
std::string pathInFolder(const std::string& folder, const std::string& file);

// The whole file, of at most limitBytes; false with the reason.
bool readFileText(const std::string& path, uint32_t limitBytes, std::string* text, std::string* why);

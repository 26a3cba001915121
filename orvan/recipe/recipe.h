// A recipe: everything a station needs to write boards, read from one TOML
// file: the images, each pinned by its SHA-256; the values each board gets
// of its own (serial number, MAC address, a row of a table) and where they
// go; the production database; the slots of the fixture.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

enum RecipeMode { RECIPE_MODE_DEFAULT, RECIPE_MODE_CHANGED, RECIPE_MODE_FULL };

struct RecipeImage {
    std::string file;     // as the recipe gives it
    std::string path;     // the file, relative to the recipe's folder resolved
    std::string argument; // orvan write's IMAGE argument for it: "PATH", "PATH@0x4000", "PATH@base=0x8000000"
    std::string sha256;   // pinned, lower-case hex; empty when the recipe has none yet
    uint32_t line;        // where its [[image]] table starts, for messages
};

// How a value is laid out in the flash.
enum ValueFormat {
    VALUE_TEXT,  // the characters of its text, no terminating zero
    VALUE_U32LE, // 4 bytes, least significant first
    VALUE_U32BE, // 4 bytes, most significant first
    VALUE_BYTES, // a MAC address: 6 bytes, most significant first
};

// A range of numbers handed out once each, across every station that shares
// the database: the pool's name keeps recipes that share it from issuing a
// number twice.
struct ValueRange {
    std::string pool;
    uint64_t first;
    uint64_t last;
};

struct RecipeSerial {
    bool given;
    uint32_t address;
    ValueFormat format;  // VALUE_TEXT, VALUE_U32LE or VALUE_U32BE
    std::string pattern; // VALUE_TEXT: printf style, one %u (with flags and width), e.g. "OR-%06u"
    ValueRange range;    // pool default "serial"
};

struct RecipeMac {
    bool given;
    uint32_t address; // 6 bytes, most significant first
    ValueRange range; // 48-bit numbers, from "02:00:00:00:00:00" style texts; pool default "mac"
};

// A column of the table, placed in the flash.
struct TableColumn {
    std::string column; // its name in the CSV file's first line
    uint32_t address;
    ValueFormat format; // VALUE_TEXT (the cell's characters), VALUE_U32LE or VALUE_U32BE (a number)
    uint32_t length;    // VALUE_TEXT: the bytes it takes; a shorter cell is padded with 0xff
};

// A CSV file with one row per board, each row used once: rows are handed out
// in order, by the number of the row (0 is the first after the header), and
// each row's key is recorded, so that a key is never used twice.
struct RecipeTable {
    bool given;
    std::string file; // as the recipe gives it
    std::string path;
    std::string key; // the column whose value identifies the row
    std::vector<TableColumn> columns;
    std::vector<std::string> header;
    std::vector<std::vector<std::string>> rows;
    ValueRange range; // rows 0 to rows.size() - 1; pool default "table:" + file
};

struct RecipeSlot {
    uint32_t location;
    std::string name; // default: the location, "0x1101"
};

struct Recipe {
    std::string path;
    std::string folder;
    std::string sha256; // of the recipe file's bytes
    std::string name;
    uint32_t divisor; // default 8
    RecipeMode mode;
    std::vector<RecipeImage> images;
    RecipeSerial serial;
    RecipeMac mac;
    RecipeTable table;
    std::string database; // a SQLite file (resolved against the recipe's folder) or a postgresql:// URL
    std::string station;  // default: the host name
    std::vector<RecipeSlot> slots;
};

// Reads the recipe and checks everything that needs no cable and no
// database: its keys and values, the images (each read, placed and compared
// with its pinned SHA-256), the table, and that each board's bytes lie in
// sectors the recipe writes, over image bytes that are 0xff only. Every
// problem found is added to problems, one line each, "FILE:LINE: WHAT";
// true when there are none. The image map holds the recipe's images after
// a call without problems.
bool readRecipe(const std::string& path, Recipe* recipe, std::vector<std::string>* problems);

// "" when an image read with this SHA-256 is the one the recipe pinned;
// otherwise the problem, "app.hex has changed since the recipe was pinned: ...".
std::string pinMismatch(const RecipeImage& image, const std::string& sha256);

// The same, without comparing the SHA-256s: what pinning needs.
bool readRecipeUnpinned(const std::string& path, Recipe* recipe, std::vector<std::string>* problems);

// Writes each image's SHA-256 into the recipe file, changing only those
// values (or adding a sha256 line to an image that has none): comments,
// order and spacing stay as they were. The file is replaced whole, never
// left half written.
bool pinRecipe(const std::string& path, std::vector<std::string>* problems);

// The numbers one board was given, one per range the recipe draws from.
struct BoardValues {
    uint64_t serial;   // when serial.given
    uint64_t mac;      // when mac.given
    uint64_t tableRow; // when table.given
};

// The ranges a board draws from, in a fixed order: serial, mac, table (those given).
std::vector<ValueRange> recipeRanges(const Recipe& recipe);

// The board's values from the numbers drawn, in the order of recipeRanges.
BoardValues boardValuesFrom(const Recipe& recipe, const std::vector<uint64_t>& numbers);

// The texts recorded for the numbers drawn, in the order of recipeRanges.
std::vector<std::string> valueTexts(const Recipe& recipe, const std::vector<uint64_t>& numbers);

// Bytes one board gets beside the images.
struct BoardPatch {
    uint32_t address;
    std::vector<uint8_t> bytes;
};

std::vector<BoardPatch> boardPatches(const Recipe& recipe, const BoardValues& values);

// Texts of a board's values as they are recorded and shown: the serial as
// written ("OR-001000", or the number for u32 formats), the MAC address
// ("02:00:00:00:10:00"), the table row's key.
std::string serialText(const RecipeSerial& serial, uint64_t number);
std::string macText(uint64_t mac);
std::string tableKey(const RecipeTable& table, uint64_t row);

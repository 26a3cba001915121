// The recipe's [table]: a CSV file with one row per board, its key column
// and the columns placed in the flash, every cell checked before a board is
// written.
#include <ctype.h>
#include <stdint.h>

#include <map>

#include "core/flash/flash_geometry.h"
#include "core/text/number_text.h"
#include "orvan/recipe/recipe_internal.h"

// A table of a row per board stays far below this; anything larger is not one.
const uint32_t MAX_TABLE_BYTES = 16 * 1024 * 1024;
const uint32_t MAX_DECIMAL_U32_DIGITS = 10;
const uint32_t MAX_HEX_U32_DIGITS = 8;
static const char UTF8_BYTE_ORDER_MARK[] = "\xEF\xBB\xBF";

bool parseTableNumber(const std::string& cell, uint32_t* value) {
    if (cell.size() > 2 && cell[0] == '0' && (cell[1] == 'x' || cell[1] == 'X')) {
        return readHexDigits(cell.data() + 2, cell.size() - 2, MAX_HEX_U32_DIGITS, value);
    }
    if (cell.empty() || cell.size() > MAX_DECIMAL_U32_DIGITS) {
        return false;
    }
    uint64_t number = 0;
    for (char c : cell) {
        if (!isdigit(static_cast<unsigned char>(c))) {
            return false;
        }
        number = number * 10 + static_cast<uint64_t>(c - '0');
    }
    *value = static_cast<uint32_t>(number);
    return number <= MAX_U32_VALUE;
}

static bool atLineEnd(const std::string& text, size_t at) {
    return text[at] == '\n' || (text[at] == '\r' && at + 1 < text.size() && text[at + 1] == '\n');
}

// A quoted field from its opening quote; at ends past the closing one.
static bool readQuotedField(const std::string& text, size_t* at, uint32_t* line, std::string* field,
                            std::string* why) {
    for (size_t i = *at + 1; i < text.size(); i++) {
        if (text[i] == '"' && i + 1 < text.size() && text[i + 1] == '"') {
            *field += '"';
            i++;
        } else if (text[i] == '"') {
            *at = i + 1;
            bool ended = *at == text.size() || text[*at] == ',' || atLineEnd(text, *at);
            *why = ended ? "" : "a quoted field goes on after its closing quote";
            return ended;
        } else {
            *line += text[i] == '\n' ? 1 : 0;
            *field += text[i];
        }
    }
    *why = "a quoted field is never closed";
    return false;
}

static bool readPlainField(const std::string& text, size_t* at, std::string* field, std::string* why) {
    for (; *at < text.size() && text[*at] != ',' && !atLineEnd(text, *at); (*at)++) {
        if (text[*at] == '"') {
            *why = "a double quote inside a field that does not start with one";
            return false;
        }
        *field += text[*at];
    }
    return true;
}

bool parseCsv(const std::string& text, CsvText* csv, uint32_t* badLine, std::string* why) {
    size_t at = text.compare(0, 3, UTF8_BYTE_ORDER_MARK) == 0 ? 3 : 0;
    uint32_t line = 1;
    while (at < text.size()) {
        uint32_t recordLine = line;
        std::vector<std::string> fields;
        bool quoted = false;
        for (;;) {
            std::string field;
            *badLine = line;
            quoted = at < text.size() && text[at] == '"';
            bool read = quoted ? readQuotedField(text, &at, &line, &field, why)
                               : readPlainField(text, &at, &field, why);
            if (!read) {
                return false;
            }
            fields.push_back(field);
            if (at == text.size() || text[at] != ',') {
                break;
            }
            at++;
        }
        at += at < text.size() ? (text[at] == '\r' ? 2 : 1) : 0;
        line++;
        // Blank lines (a trailing one above all) hold no record.
        if (fields.size() > 1 || !fields[0].empty() || quoted) {
            csv->records.push_back(fields);
            csv->lines.push_back(recordLine);
        }
    }
    return true;
}

int tableColumnIndex(const RecipeTable& table, const std::string& name) {
    for (size_t i = 0; i < table.header.size(); i++) {
        if (table.header[i] == name) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

static bool readColumn(ProblemList* list, const toml::table& entry, TableColumn* column) {
    const char* where = "[table] columns";
    refuseUnknownKeys(list, entry, where, {"column", "address", "format", "length"});
    bool fine = readText(list, entry, where, "column", true, &column->column);
    fine = readAddress(list, entry, where, true, &column->address) && fine;
    if (!readValueFormat(list, entry, where, &column->format)) {
        return false;
    }
    bool text = column->format == VALUE_TEXT;
    int64_t length = U32_VALUE_BYTES;
    if (text) {
        fine = readInteger(list, entry, where, "length", true, 1, FLASH_BYTES, &length) && fine;
    } else if (entry.contains("length")) {
        addProblem(list, lineOfKey(entry, "length"), "[table] columns length: only for format = \"text\"");
        fine = false;
    }
    column->length = static_cast<uint32_t>(length);
    return fine;
}

static void readColumns(ProblemList* list, const toml::table& table, RecipeTable* recipeTable,
                        std::vector<uint32_t>* lines) {
    const toml::node* node = table.get("columns");
    if (node == nullptr) {
        addProblem(list, lineOf(table), "[table]: missing key 'columns'");
        return;
    }
    if (!node->is_array()) {
        addProblem(list, lineOf(*node), "[table] columns: an array of tables is expected");
        return;
    }
    for (const toml::node& entry : *node->as_array()) {
        TableColumn column = TableColumn();
        if (!entry.is_table()) {
            addProblem(list, lineOf(entry),
                       "[table] columns: each entry is a table { column = ..., address = ... }");
        } else if (readColumn(list, *entry.as_table(), &column)) {
            recipeTable->columns.push_back(column);
            lines->push_back(lineOf(entry));
        }
    }
}

static void checkKeys(ProblemList* csvList, const RecipeTable& table, const std::vector<uint32_t>& rowLines,
                      size_t keyIndex) {
    std::map<std::string, uint32_t> seen;
    for (size_t row = 0; row < table.rows.size(); row++) {
        const std::string& key = table.rows[row][keyIndex];
        if (key.empty()) {
            addProblem(csvList, rowLines[row], "the key " + table.key + " is empty");
        } else if (!seen.emplace(key, rowLines[row]).second) {
            addProblem(csvList, rowLines[row],
                       "the key " + table.key + " '" + key + "' is also the key of line " +
                           std::to_string(seen[key]));
        }
    }
}

static void checkCells(ProblemList* csvList, const RecipeTable& table, const std::vector<uint32_t>& rowLines,
                       const TableColumn& column, size_t index) {
    for (size_t row = 0; row < table.rows.size(); row++) {
        const std::string& cell = table.rows[row][index];
        uint32_t number = 0;
        if (column.format != VALUE_TEXT && !parseTableNumber(cell, &number)) {
            addProblem(csvList, rowLines[row],
                       column.column + " '" + cell +
                           "' is not a number from 0 to 4294967295 (or 0x and hex digits)");
        } else if (column.format == VALUE_TEXT && cell.size() > column.length) {
            addProblem(csvList, rowLines[row],
                       column.column + " '" + cell + "' is " + std::to_string(cell.size()) +
                           " bytes, more than its " + std::to_string(column.length));
        }
    }
}

// The file's rows into the table; false when it cannot be read or parsed.
static bool readRows(ProblemList* list, ProblemList* csvList, uint32_t fileLine, RecipeTable* table,
                     std::vector<uint32_t>* rowLines) {
    std::string text;
    std::string why;
    CsvText csv;
    uint32_t badLine = 0;
    if (!readFileText(table->path, MAX_TABLE_BYTES, &text, &why)) {
        addProblem(list, fileLine, "[table] file: " + table->file + ": " + why);
        return false;
    }
    if (!parseCsv(text, &csv, &badLine, &why)) {
        addProblem(csvList, badLine, why);
        return false;
    }
    if (csv.records.size() < 2) {
        addProblem(csvList, 1, csv.records.empty() ? "no header line" : "no rows after the header line");
        return false;
    }
    table->header = csv.records[0];
    bool fine = true;
    for (size_t i = 1; i < csv.records.size(); i++) {
        if (csv.records[i].size() != table->header.size()) {
            addProblem(csvList, csv.lines[i],
                       std::to_string(csv.records[i].size()) + " fields, where the header line has " +
                           std::to_string(table->header.size()));
            fine = false;
        }
        table->rows.push_back(csv.records[i]);
        rowLines->push_back(csv.lines[i]);
    }
    for (size_t i = 0; i < table->header.size(); i++) {
        if (tableColumnIndex(*table, table->header[i]) != static_cast<int>(i)) {
            addProblem(csvList, 1, "the column " + table->header[i] + " is named twice");
        }
    }
    return fine;
}

static void checkTableFile(ProblemList* list, const toml::table& section,
                           const std::vector<uint32_t>& columnLines, RecipeTable* table,
                           std::vector<BoardField>* fields) {
    ProblemList csvList = {table->path, list->problems};
    std::vector<uint32_t> rowLines;
    if (!readRows(list, &csvList, lineOfKey(section, "file"), table, &rowLines)) {
        return;
    }
    table->range.first = 0;
    table->range.last = table->rows.size() - 1;
    int keyIndex = tableColumnIndex(*table, table->key);
    if (keyIndex < 0 && !table->key.empty()) {
        addProblem(list, lineOfKey(section, "key"),
                   "[table] key: no column " + table->key + " in " + table->file);
    } else if (keyIndex >= 0) {
        checkKeys(&csvList, *table, rowLines, static_cast<size_t>(keyIndex));
    }
    for (size_t i = 0; i < table->columns.size(); i++) {
        const TableColumn& column = table->columns[i];
        int index = tableColumnIndex(*table, column.column);
        if (index < 0) {
            addProblem(list, columnLines[i],
                       "[table] columns: no column " + column.column + " in " + table->file);
            continue;
        }
        checkCells(&csvList, *table, rowLines, column, static_cast<size_t>(index));
        fields->push_back({"column " + column.column, column.address, column.length, columnLines[i]});
    }
}

void readTableSection(ProblemList* list, const toml::table& top, const std::string& folder,
                      RecipeTable* table, std::vector<BoardField>* fields) {
    const toml::table* section = optionalTable(list, top, "table");
    table->given = section != nullptr;
    if (section == nullptr) {
        return;
    }
    const char* where = "[table]";
    refuseUnknownKeys(list, *section, where, {"file", "key", "columns", "pool"});
    bool filed = readText(list, *section, where, "file", true, &table->file);
    if (readText(list, *section, where, "key", true, &table->key) && table->key.empty()) {
        addProblem(list, lineOfKey(*section, "key"), "[table] key: empty");
    }
    readPool(list, *section, where, "table:" + table->file, &table->range);
    std::vector<uint32_t> columnLines;
    readColumns(list, *section, table, &columnLines);
    if (filed && table->file.empty()) {
        addProblem(list, lineOfKey(*section, "file"), "[table] file: empty");
    } else if (filed) {
        table->path = pathInFolder(folder, table->file);
        checkTableFile(list, *section, columnLines, table, fields);
    }
}

// The operator's screen, as text: a block per slot and the station's totals.
// PASS and FAIL are drawn three rows high, on green or red, so that they are
// read from a step away; every row fits the terminal.
#include <stdio.h>

#include "orvan/display/progress_line.h"
#include "orvan/station/station.h"

static const uint32_t BLOCK_ROWS = 5;
static const uint32_t TWO_BLOCKS_FROM_COLUMNS = 80;
static const uint32_t BLOCK_GAP = 3;
static const uint32_t UNKNOWN_COLUMNS = 80;
static const double MS_PER_HOUR = 3600000.0;

static const char* const BOLD = "\033[1m";
static const char* const ON_GREEN = "\033[1;97;42m";
static const char* const ON_RED = "\033[1;97;41m";
static const char* const YELLOW = "\033[1;33m";
static const char* const PLAIN = "\033[0m";

// Letters 4 pixels wide and 5 high, drawn two pixel rows to a text row.
struct BigLetter {
    char letter;
    const char* rows[5];
};
static const BigLetter BIG_LETTERS[] = {
    {'P', {"####", "#..#", "####", "#...", "#..."}}, {'A', {".##.", "#..#", "####", "#..#", "#..#"}},
    {'S', {".###", "#...", ".##.", "...#", "###."}}, {'F', {"####", "#...", "###.", "#...", "#..."}},
    {'I', {"###.", ".#..", ".#..", ".#..", "###."}}, {'L', {"#...", "#...", "#...", "#...", "####"}},
};
static const uint32_t BIG_PIXEL_ROWS = 5;
static const uint32_t BIG_LETTER_PIXELS = 4;
static const uint32_t BIG_TEXT_ROWS = 3;

static bool pixelAt(char letter, uint32_t row, uint32_t column) {
    for (const BigLetter& big : BIG_LETTERS) {
        if (big.letter == letter) {
            return row < BIG_PIXEL_ROWS && big.rows[row][column] == '#';
        }
    }
    return false;
}

// The width a word takes drawn big, each pixel scale columns wide.
static uint32_t bigWidth(const std::string& word, uint32_t scale) {
    return static_cast<uint32_t>(word.size()) * (BIG_LETTER_PIXELS + 1) * scale - scale;
}

// Row row (0 to 2) of the word drawn big: half blocks, two pixel rows a row.
static std::string bigRow(const std::string& word, uint32_t row, uint32_t scale) {
    std::string text;
    for (size_t index = 0; index < word.size(); index++) {
        for (uint32_t column = 0; column < BIG_LETTER_PIXELS + (index + 1 < word.size() ? 1 : 0); column++) {
            bool top = column < BIG_LETTER_PIXELS && pixelAt(word[index], 2 * row, column);
            bool bottom = column < BIG_LETTER_PIXELS && pixelAt(word[index], 2 * row + 1, column);
            const char* cell = top && bottom ? "\u2588" : top ? "\u2580" : bottom ? "\u2584" : " ";
            for (uint32_t repeat = 0; repeat < scale; repeat++) {
                text += cell;
            }
        }
    }
    return text;
}

static uint32_t columnsOf(const std::string& text) {
    return static_cast<uint32_t>(visibleColumns(text));
}

// The text cut or padded with spaces to exactly width columns (plain text only).
static std::string toWidth(const std::string& text, uint32_t width) {
    std::string out;
    uint32_t columns = 0;
    for (size_t index = 0; index < text.size(); index++) {
        bool starts = (static_cast<unsigned char>(text[index]) & 0xC0) != 0x80;
        if (starts && columns == width) {
            break;
        }
        columns += starts ? 1 : 0;
        out += text[index];
    }
    return out + std::string(width - columns, ' ');
}

static std::string painted(const std::string& text, const char* how, bool colour) {
    return colour ? how + text + PLAIN : text;
}

static std::string secondsText(double seconds) {
    char text[32];
    snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

// The three rows of a result drawn big and centred, on its colour.
static std::vector<std::string> bigResult(const std::string& word, const char* how, uint32_t width,
                                          bool colour) {
    uint32_t scale = bigWidth(word, 2) <= width ? 2 : 1;
    std::vector<std::string> rows;
    for (uint32_t row = 0; row < BIG_TEXT_ROWS; row++) {
        if (bigWidth(word, scale) > width) {
            rows.push_back(painted(toWidth(row == 1 ? word : "", width), how, colour));
            continue;
        }
        uint32_t left = (width - bigWidth(word, scale)) / 2;
        std::string text = std::string(left, ' ') + bigRow(word, row, scale);
        rows.push_back(painted(text + std::string(width - columnsOf(text), ' '), how, colour));
    }
    return rows;
}

static std::vector<std::string> writingRows(const SlotView& slot, uint32_t width) {
    ProgressView view = {"", slot.phase.empty() ? "starting" : slot.phase, slot.done, slot.total, 0};
    return {toWidth("writing", width), toWidth(progressLine(view, width + 1), width), toWidth("", width)};
}

// The three middle rows of a slot's block.
static std::vector<std::string> bodyRows(const SlotView& slot, uint32_t width, bool colour) {
    auto rows = [width](const std::string& first, const std::string& second) {
        return std::vector<std::string>{toWidth(first, width), toWidth(second, width), toWidth("", width)};
    };
    switch (slot.state) {
    case SLOT_PASSED:
        return bigResult("PASS", ON_GREEN, width, colour);
    case SLOT_FAILED:
        return bigResult("FAIL", ON_RED, width, colour);
    case SLOT_WRITING:
        return writingRows(slot, width);
    case SLOT_RESERVING:
        return rows("board detected", "reserving its values");
    case SLOT_RECORDING:
        return rows("written", "keeping its record");
    case SLOT_CABLE_FAULT: {
        std::vector<std::string> fault = rows("", "");
        fault[0] = painted(toWidth("CABLE FAULT", width), YELLOW, colour);
        return fault;
    }
    case SLOT_STOPPED:
        return rows("stopped", "");
    case SLOT_WAITING:
        break;
    }
    return rows("waiting for a board", "");
}

// The last row: why it failed, what it waits for, or how long it took.
static std::string footRow(const SlotView& slot, uint32_t width) {
    if (!slot.reason.empty()) {
        return toWidth(slot.reason, width);
    }
    if (slot.state == SLOT_PASSED) {
        return toWidth("written in " + secondsText(slot.seconds) + "; take the board off", width);
    }
    return toWidth("", width);
}

static std::vector<std::string> slotBlock(const SlotView& slot, uint32_t width, bool colour) {
    std::string name = slot.name == slot.location ? slot.name : slot.name + "  " + slot.location;
    std::string head = toWidth(name, width);
    if (!slot.serial.empty() && columnsOf(name) + 2 + columnsOf(slot.serial) <= width) {
        head = toWidth(name, width - columnsOf(slot.serial)) + slot.serial;
    }
    std::vector<std::string> block = {painted(head, BOLD, colour)};
    for (const std::string& row : bodyRows(slot, width, colour)) {
        block.push_back(row);
    }
    block.push_back(footRow(slot, width));
    return block;
}

double boardsPerHour(const StationTotals& totals) {
    uint32_t boards = totals.passed + totals.failed;
    return boards == 0 || totals.elapsedMs == 0 ? 0 : boards * MS_PER_HOUR / totals.elapsedMs;
}

std::string totalsPlainLine(const StationTotals& totals) {
    uint32_t boards = totals.passed + totals.failed;
    char text[160];
    snprintf(text, sizeof text, "passed %u  failed %u  yield %.1f%%  %.0f boards/h", totals.passed,
             totals.failed, boards == 0 ? 0.0 : 100.0 * totals.passed / boards, boardsPerHour(totals));
    return text;
}

std::vector<std::string> stationScreen(const std::vector<SlotView>& slots, const StationTotals& totals,
                                       uint32_t columns, bool colour) {
    columns = columns == 0 ? UNKNOWN_COLUMNS : columns;
    uint32_t usable = columns > 1 ? columns - 1 : 1;
    uint32_t perRow = columns >= TWO_BLOCKS_FROM_COLUMNS ? 2 : 1;
    uint32_t width = perRow == 2 ? (usable - BLOCK_GAP) / 2 : usable;
    std::vector<std::string> screen;
    for (size_t first = 0; first < slots.size(); first += perRow) {
        std::vector<std::string> rows(BLOCK_ROWS);
        for (size_t index = first; index < first + perRow && index < slots.size(); index++) {
            std::vector<std::string> block = slotBlock(slots[index], width, colour);
            for (uint32_t row = 0; row < BLOCK_ROWS; row++) {
                rows[row] += (index == first ? "" : std::string(BLOCK_GAP, ' ')) + block[row];
            }
        }
        screen.insert(screen.end(), rows.begin(), rows.end());
        screen.push_back("");
    }
    std::string running = "station: " + totalsPlainLine(totals);
    screen.push_back(painted(columnsOf(running) > usable ? toWidth(running, usable) : running, BOLD, colour));
    return screen;
}

static const char* stateWords(SlotState state) {
    switch (state) {
    case SLOT_WAITING:
        return "waiting for a board";
    case SLOT_RESERVING:
        return "board detected";
    case SLOT_WRITING:
        return "writing";
    case SLOT_RECORDING:
        return "keeping its record";
    case SLOT_PASSED:
        return "PASS";
    case SLOT_FAILED:
        return "FAIL";
    case SLOT_CABLE_FAULT:
        return "CABLE FAULT";
    case SLOT_STOPPED:
        break;
    }
    return "stopped";
}

std::string slotPlainLine(const SlotView& slot) {
    std::string line = (slot.name == slot.location ? slot.name : slot.name + " " + slot.location) + ": " +
                       stateWords(slot.state);
    if (!slot.serial.empty() && slot.state != SLOT_WAITING) {
        line += " " + slot.serial;
    }
    if (slot.state == SLOT_PASSED) {
        line += " in " + secondsText(slot.seconds);
    }
    return slot.reason.empty() ? line : line + ": " + slot.reason;
}

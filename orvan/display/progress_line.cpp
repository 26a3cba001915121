#include "orvan/display/progress_line.h"

#include <stdio.h>

#include <vector>

static const uint32_t DEFAULT_COLUMNS = 80;
static const uint32_t BAR_MAX_CELLS = 30;
static const uint32_t BAR_MIN_CELLS = 8;
static const uint64_t BYTES_PER_KIB = 1024;
static const uint64_t MS_PER_SECOND_VALUE = 1000;
// Before this much time and one percent of the work the rate says too
// little to promise a time left.
static const uint64_t ESTIMATE_MIN_MS = 500;
static const uint64_t ESTIMATE_MIN_PERCENT = 1;

static uint32_t usableColumns(uint32_t columns) {
    return (columns == 0 ? DEFAULT_COLUMNS : columns) - 1;
}

std::string fitToColumns(const std::string& text, uint32_t columns) {
    uint32_t usable = usableColumns(columns);
    return text.size() <= usable ? text : text.substr(0, usable);
}

static std::string format(const char* pattern, double a, double b = 0) {
    char text[64];
    snprintf(text, sizeof text, pattern, a, b);
    return text;
}

static std::string bar(uint64_t done, uint64_t total, uint32_t cells) {
    uint64_t filled = total == 0 ? cells : done * cells / total;
    return "[" + std::string(filled, '#') + std::string(cells - filled, '-') + "]";
}

static bool canEstimate(const ProgressView& view) {
    return view.elapsedMs >= ESTIMATE_MIN_MS && view.total > 0 && view.done < view.total &&
           view.done * 100 >= view.total * ESTIMATE_MIN_PERCENT;
}

std::string progressLine(const ProgressView& view, uint32_t columns) {
    uint32_t usable = usableColumns(columns);
    uint64_t percent = view.total == 0 ? 100 : view.done * 100 / view.total;
    std::string head = view.phase;
    std::string subject = view.subject.empty() ? "" : view.subject + " ";
    std::string share = format(" %3.0f%%", static_cast<double>(percent));
    // The optional parts, most needed first.
    std::vector<std::string> parts;
    if (canEstimate(view)) {
        uint64_t leftMs = (view.total - view.done) * view.elapsedMs / view.done;
        parts.push_back(format(" %.0f s left", static_cast<double>((leftMs + 999) / MS_PER_SECOND_VALUE)));
    }
    parts.push_back(format(" %.1f/%.1f KiB", view.done / static_cast<double>(BYTES_PER_KIB),
                           view.total / static_cast<double>(BYTES_PER_KIB)));
    if (view.elapsedMs > 0) {
        parts.push_back(
            format(" %.1f KiB/s", view.done * 1.0 * MS_PER_SECOND_VALUE / view.elapsedMs / BYTES_PER_KIB));
    }
    // Drop the least needed parts until a bar of the least width fits.
    auto fixedLength = [&]() {
        size_t length = subject.size() + head.size() + 1 + share.size();
        for (const std::string& part : parts) {
            length += part.size();
        }
        return length;
    };
    while (!parts.empty() && fixedLength() + BAR_MIN_CELLS + 2 > usable) {
        parts.pop_back();
    }
    auto barRoom = [&]() { return fixedLength() + 2 < usable ? usable - fixedLength() - 2 : 0; };
    if (barRoom() < BAR_MIN_CELLS && !subject.empty()) {
        // The subject gives way to the bar: its start is kept, marked as cut.
        size_t over = fixedLength() + 2 + BAR_MIN_CELLS - usable;
        subject = subject.size() > over + 2 ? subject.substr(0, subject.size() - over - 2) + "~ " : "";
    }
    size_t room = barRoom();
    uint32_t cells = static_cast<uint32_t>(room < BAR_MAX_CELLS ? room : BAR_MAX_CELLS);
    std::string line =
        subject + head + " " + (cells >= BAR_MIN_CELLS ? bar(view.done, view.total, cells) : "");
    line += share;
    for (const std::string& part : parts) {
        line += part;
    }
    return fitToColumns(line, columns);
}

std::string progressPlainLine(const ProgressView& view) {
    char numbers[64];
    snprintf(numbers, sizeof numbers, " %llu/%llu bytes", static_cast<unsigned long long>(view.done),
             static_cast<unsigned long long>(view.total));
    return (view.subject.empty() ? "" : view.subject + ": ") + view.phase + numbers;
}

bool readProgressPlainLine(const std::string& line, ProgressView* view) {
    const std::string UNIT = " bytes";
    if (line.size() <= UNIT.size() || line.compare(line.size() - UNIT.size(), UNIT.size(), UNIT) != 0) {
        return false;
    }
    size_t numbersAt = line.rfind(' ', line.size() - UNIT.size() - 1);
    if (numbersAt == std::string::npos) {
        return false;
    }
    unsigned long long done = 0;
    unsigned long long total = 0;
    char end = 0;
    std::string numbers = line.substr(numbersAt + 1, line.size() - UNIT.size() - numbersAt - 1);
    if (sscanf(numbers.c_str(), "%llu/%llu%c", &done, &total, &end) != 2 || done > total) {
        return false;
    }
    std::string words = line.substr(0, numbersAt);
    size_t colon = words.rfind(": ");
    view->subject = colon == std::string::npos ? "" : words.substr(0, colon);
    view->phase = colon == std::string::npos ? words : words.substr(colon + 2);
    view->done = done;
    view->total = total;
    view->elapsedMs = 0;
    return !view->phase.empty() && view->phase.find(' ') == std::string::npos;
}

size_t visibleColumns(const std::string& text) {
    size_t columns = 0;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\033') {
            i = text.find('m', i);
            if (i == std::string::npos) {
                break;
            }
            continue;
        }
        // A UTF-8 character takes one column, whatever its bytes.
        columns += (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80 ? 0 : 1;
    }
    return columns;
}

// The text cut to usable visible characters, its colour sequences kept.
static std::string cutToVisible(const std::string& text, size_t usable) {
    if (visibleColumns(text) <= usable) {
        return text;
    }
    std::string cut;
    size_t shown = 0;
    bool coloured = false;
    for (size_t i = 0; i < text.size() && shown < usable; i++) {
        if (text[i] == '\033') {
            size_t end = text.find('m', i);
            end = end == std::string::npos ? text.size() - 1 : end;
            cut += text.substr(i, end - i + 1);
            coloured = true;
            i = end;
            continue;
        }
        cut += text[i];
        shown++;
    }
    return coloured ? cut + "\033[0m" : cut;
}

std::string foldToColumns(const std::string& text, uint32_t columns) {
    const std::string SEPARATOR = ", ";
    const std::string INDENT = "  ";
    size_t usable = usableColumns(columns);
    // The parts, each with its comma: "a,", "b,", "c".
    std::vector<std::string> parts;
    for (size_t start = 0;;) {
        size_t comma = text.find(SEPARATOR, start);
        if (comma == std::string::npos) {
            parts.push_back(text.substr(start));
            break;
        }
        parts.push_back(text.substr(start, comma + 1 - start));
        start = comma + SEPARATOR.size();
    }
    std::string folded;
    std::string row;
    for (const std::string& part : parts) {
        std::string joined = row.empty() ? part : row + " " + part;
        if (!row.empty() && visibleColumns(joined) > usable) {
            folded += cutToVisible(row, usable) + "\n";
            row = INDENT + part;
        } else {
            row = joined;
        }
    }
    return folded + cutToVisible(row, usable);
}

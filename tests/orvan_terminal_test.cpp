// orvan on a terminal of a given width, as a person sees it: the bytes it
// shows are played on a small screen model of the test's own, which notes
// every character that would fall past the last column (and so wrap onto
// the next row). One cable or four: each keeps one row for its progress.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <set>
#include <string>
#include <vector>

#include "program_fixture.h"
#include "terminal_session.h"

namespace {

const int TIMEOUT_MS = 30000;

// A screen that follows what progress lines use: text, carriage return,
// line feed, erase to the end of the line, cursor up, and colours.
struct Screen {
    explicit Screen(size_t columns) : columns(columns) {}
    size_t columns;
    std::vector<std::string> rows = {""};
    size_t row = 0;
    size_t column = 0;
    size_t wraps = 0;         // characters that would have wrapped
    std::set<size_t> barRows; // rows that ever showed a bar

    void put(char c) {
        if (column + 1 >= columns) {
            wraps++; // the last column is kept free: the cursor would wrap there
        }
        std::string& text = rows[row];
        text.resize(column > text.size() ? column : text.size(), ' ');
        if (column < text.size()) {
            text[column] = c;
        } else {
            text += c;
        }
        column++;
        if (text.find(" [") != std::string::npos && text.find(']') != std::string::npos &&
            text.find('%') != std::string::npos) {
            barRows.insert(row);
        }
    }
    void play(const std::string& bytes) {
        for (size_t i = 0; i < bytes.size(); i++) {
            char c = bytes[i];
            if (c == '\r') {
                column = 0;
            } else if (c == '\n') {
                row++;
                if (row == rows.size()) {
                    rows.push_back("");
                }
            } else if (c == '\033' && i + 1 < bytes.size() && bytes[i + 1] == '[') {
                // Colours are left out of the rows.
                size_t end = i + 2;
                while (end < bytes.size() && !isalpha(static_cast<unsigned char>(bytes[end]))) {
                    end++;
                }
                std::string number = bytes.substr(i + 2, end - i - 2);
                char command = end < bytes.size() ? bytes[end] : 'm';
                if (command == 'K' && column < rows[row].size()) {
                    rows[row].resize(column);
                } else if (command == 'A') {
                    size_t up = number.empty() ? 1 : std::stoul(number);
                    row = up > row ? 0 : row - up;
                }
                i = end;
            } else {
                put(c);
            }
        }
    }
};

struct TerminalCase {
    unsigned short columns;
    int cables;
};

class OrvanTerminalTest : public ProgramTest {};

TEST_F(OrvanTerminalTest, EachCableKeepsOneRowAndNoLineIsWiderThanTheTerminal) {
    if (programIsWrapped()) {
        GTEST_SKIP() << "a wrapped program's console is the wrapper's, not the host terminal";
    }
    const TerminalCase cases[] = {{80, 1}, {60, 1}, {80, 4}, {60, 4}};
    writeFile(path("firmware-with-a-long-name.bin"), imageBytes(3 * SECTOR + 100, 5));
    for (const TerminalCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.columns) + " columns, " + std::to_string(c.cables) + " cables");
        ProgramRun run;
        run.arguments = {"write", "firmware-with-a-long-name.bin@1"};
        run.environment = {"VADAPTER_FLASH=flash-{location}.bin", "VADAPTER_REALTIME=1"};
        if (c.cables > 1) {
            std::string devices = "VADAPTER_DEVICES=";
            for (int i = 0; i < c.cables; i++) {
                devices +=
                    (i == 0 ? "" : ";") + std::string("Vexil USB-SPI Cable|A|0x110") + std::to_string(i + 1);
            }
            run.environment.push_back(devices);
            run.arguments.insert(run.arguments.begin(), {"--cable", "all"});
        }
        TerminalSession session;
        session.columns = c.columns;
        ASSERT_TRUE(startInTerminal(programCommandLine(run), programEnvironment(run), directory, &session));
        int waitStatus = -1;
        ASSERT_TRUE(waitTerminalSession(&session, TIMEOUT_MS, &waitStatus)) << session.shown;
        closeTerminalSession(&session);
        EXPECT_TRUE(WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == 0) << session.shown;
        Screen screen(c.columns);
        screen.play(session.shown);
        EXPECT_EQ(screen.wraps, 0u) << session.shown;
        EXPECT_EQ(screen.barRows.size(), static_cast<size_t>(c.cables)) << session.shown;
        // The image is named when the run is done.
        std::string screenText;
        for (const std::string& row : screen.rows) {
            screenText += row + "\n";
        }
        const char* named = c.cables == 1 ? "firmware-with-a-long-name.bin@1: written and verified"
                                          : "write of firmware-with-a-long-name.bin@1 on 4 cables: 4 ok";
        EXPECT_NE(screenText.find(named), std::string::npos) << screenText;
    }
}

} // namespace

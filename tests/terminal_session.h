// A program on a pseudo-terminal, started as a shell starts a job: a session
// leader that owns the terminal waits for the program, which runs in a
// process group of its own in the foreground. A stop signal then stops the
// program (in a group without such a parent it would be discarded).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct TerminalSession {
    pid_t leader = -1;
    pid_t program = -1;
    int master = -1;            // what the terminal shows, and where keys are typed
    int terminal = -1;          // the terminal's own side, to read its modes
    int report = -1;            // the leader reports the program's wait status here
    std::string shown;          // everything the terminal has shown so far
    unsigned short columns = 0; // the window's width when not 0, set before the program starts
};

bool startInTerminal(const std::vector<std::string>& command, const std::vector<std::string>& environment,
                     const std::string& directory, TerminalSession* session);
// Adds what the terminal has shown since the last call.
void drainTerminal(TerminalSession* session);
// Echo and line mode are on.
bool terminalSane(int terminal);
// False when the program has not ended within the time (it is then killed).
bool waitTerminalSession(TerminalSession* session, int timeoutMs, int* waitStatus);
void closeTerminalSession(TerminalSession* session);

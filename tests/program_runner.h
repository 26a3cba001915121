// Runs the built program as a process, as a user's console would.
#pragma once

#include <string>
#include <vector>

// STDIN_TERMINAL: standard input is a terminal; input is typed once the
// program has printed its key prompt.
enum StdinMode { STDIN_DEVNULL, STDIN_CLOSED, STDIN_BYTES, STDIN_TERMINAL };

struct ProgramRun {
    std::vector<std::string> arguments;
    std::vector<std::string> environment; // "NAME=value", added to a clean VADAPTER_*, VUSB_* set
    std::string directory;
    StdinMode stdinMode = STDIN_DEVNULL;
    std::string input;
    int timeoutSeconds = 60;
    std::string snapshotAtPrompt; // STDIN_TERMINAL: a file read just before the key is typed
    // The signal is sent once standard output shows signalWhenOutputShows,
    // or, when that is empty, signalAfterMs after the start.
    int signalNumber = 0; // 0: none
    std::string signalWhenOutputShows;
    int signalAfterMs = 0;
    // Standard output's reading end is closed once it shows this text, as by
    // a pager that is quit.
    std::string closeOutputWhenShows;
    // Standard error goes to this file in the run's folder (empty: inherited).
    std::string errorFile;
};

struct ProgramResult {
    std::string output; // standard output, with "\r\n" folded to "\n" when run through a wrapper
    int status = -1;    // exit status 0..255, or -1 when killed
    int signal = 0;     // the signal that ended the process, 0 when it exited
    bool timedOut = false;
    double cpuSeconds = 0;         // user and system time of the process
    double wallSeconds = 0;        // from start to exit
    long peakResidentKb = 0;       // largest resident set
    std::string terminalEcho;      // STDIN_TERMINAL: what the terminal echoed
    bool terminalRestored = false; // STDIN_TERMINAL: echo and line mode are on again
    bool inputSent = false;
    bool signalSent = false;
    bool outputClosed = false; // closeOutputWhenShows: the reading end was closed
    std::string snapshot;      // the contents of snapshotAtPrompt when the prompt showed
};

ProgramResult runProgram(const ProgramRun& run);

// The command line (the wrapper first, when there is one) and the whole
// environment that runProgram gives the program, for tests that start it
// their own way.
// The variable's value, or "" when it is not set.
std::string environmentValue(const char* name);

// orvan: the one ORVAN_COMMAND names, else the one beside ORVAN_PROGRAM.
std::string orvanCommandPath();

std::vector<std::string> programCommandLine(const ProgramRun& run);
std::vector<std::string> programEnvironment(const ProgramRun& run);

// The whole file, or "" when it cannot be read.
std::string readWholeFile(const std::string& path);

// True when the program runs through a wrapper (Wine): some cases differ there.
bool programIsWrapped();

// True when the program runs against the MPSSE adapter library over the
// emulated USB cable (ORVAN_OVER_USB names their folders): the trace is the cable's, with
// USB transfers and target frames in place of library calls.
bool programIsOverUsb();

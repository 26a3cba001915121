#include "program_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

extern char** environ;

std::string environmentValue(const char* name) {
    const char* value = getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

bool programIsWrapped() {
    return !environmentValue("ORVAN_PROGRAM_WRAPPER").empty();
}

bool programIsOverUsb() {
    return !environmentValue("ORVAN_OVER_USB").empty();
}

std::vector<std::string> programCommandLine(const ProgramRun& run) {
    std::vector<std::string> words;
    if (programIsWrapped()) {
        words.push_back(environmentValue("ORVAN_PROGRAM_WRAPPER"));
    }
    words.push_back(environmentValue("ORVAN_PROGRAM"));
    words.insert(words.end(), run.arguments.begin(), run.arguments.end());
    return words;
}

std::vector<std::string> programEnvironment(const ProgramRun& run) {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; entry++) {
        if (strncmp(*entry, "VADAPTER_", 9) != 0 && strncmp(*entry, "VUSB_", 5) != 0 &&
            (!programIsOverUsb() || strncmp(*entry, "LD_LIBRARY_PATH=", 16) != 0)) {
            entries.push_back(*entry);
        }
    }
    // LD_LIBRARY_PATH comes before the program's $ORIGIN run path: it
    // selects the MPSSE library and, below libftdi1, the emulated cable.
    if (programIsOverUsb()) {
        entries.push_back("LD_LIBRARY_PATH=" + environmentValue("ORVAN_OVER_USB"));
    }
    entries.insert(entries.end(), run.environment.begin(), run.environment.end());
    return entries;
}

static std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (std::string& text : texts) {
        result.push_back(&text[0]);
    }
    result.push_back(nullptr);
    return result;
}

// The child starts as from an interactive shell, whatever the test runner
// inherited (a background job ignores SIGINT, for one).
static void resetChildSignals() {
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        signal(signalNumber, SIG_DFL);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

static void setUpChildInput(const ProgramRun& run, int inputPipe[2], int terminal) {
    if (run.stdinMode == STDIN_TERMINAL) {
        // The terminal becomes the controlling one, so that a typed Ctrl-C
        // interrupts the program as it would at a console.
        setsid();
        dup2(terminal, STDIN_FILENO);
        close(terminal);
        ioctl(STDIN_FILENO, TIOCSCTTY, 0);
    } else if (run.stdinMode == STDIN_CLOSED) {
        close(STDIN_FILENO);
    } else if (run.stdinMode == STDIN_DEVNULL) {
        int devNull = open("/dev/null", O_RDONLY);
        dup2(devNull, STDIN_FILENO);
        close(devNull);
    } else {
        dup2(inputPipe[0], STDIN_FILENO);
    }
    close(inputPipe[0]);
    close(inputPipe[1]);
}

static std::string foldLineEnds(const std::string& text) {
    std::string folded;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            continue;
        }
        folded += text[i];
    }
    return folded;
}

static const char* const KEY_PROMPT = "Please any key....";

// Types the input on the terminal once the key prompt has been printed, a
// little later, as a person would.
static void typeAtPrompt(const ProgramRun& run, int master, ProgramResult* result) {
    if (master < 0 || result->inputSent || result->output.find(KEY_PROMPT) == std::string::npos) {
        return;
    }
    usleep(200000);
    if (!run.snapshotAtPrompt.empty()) {
        result->snapshot = readWholeFile(run.directory + "/" + run.snapshotAtPrompt);
    }
    ssize_t ignored = write(master, run.input.data(), run.input.size());
    (void)ignored;
    result->inputSent = true;
}

static void readTerminal(int master, int terminal, ProgramResult* result) {
    struct termios mode;
    result->terminalRestored =
        tcgetattr(terminal, &mode) == 0 && (mode.c_lflag & ECHO) != 0 && (mode.c_lflag & ICANON) != 0;
    fcntl(master, F_SETFL, O_NONBLOCK);
    char chunk[256];
    for (ssize_t got; (got = read(master, chunk, sizeof(chunk))) > 0;) {
        result->terminalEcho.append(chunk, static_cast<size_t>(got));
    }
    close(terminal);
    close(master);
}

std::string readWholeFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

static double nowSeconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

struct Child {
    pid_t pid = -1;
    int output = -1; // reading end of standard output
    int master = -1; // STDIN_TERMINAL: the terminal's master side
    int terminal = -1;
    double startSeconds = 0;
};

static bool openTerminal(Child* child) {
    child->master = posix_openpt(O_RDWR | O_NOCTTY);
    return child->master >= 0 && grantpt(child->master) == 0 && unlockpt(child->master) == 0 &&
           (child->terminal = open(ptsname(child->master), O_RDWR | O_NOCTTY)) >= 0;
}

static bool startChild(const ProgramRun& run, Child* child) {
    std::vector<std::string> words = programCommandLine(run);
    std::vector<std::string> environment = programEnvironment(run);
    std::vector<char*> argv = pointers(words);
    std::vector<char*> envp = pointers(environment);
    int outputPipe[2];
    int inputPipe[2];
    if (pipe(outputPipe) != 0 || pipe(inputPipe) != 0 ||
        (run.stdinMode == STDIN_TERMINAL && !openTerminal(child))) {
        return false;
    }
    child->startSeconds = nowSeconds();
    child->pid = fork();
    if (child->pid == 0) {
        if (child->master >= 0) {
            close(child->master);
        }
        resetChildSignals();
        setUpChildInput(run, inputPipe, child->terminal);
        dup2(outputPipe[1], STDOUT_FILENO);
        close(outputPipe[0]);
        close(outputPipe[1]);
        if (!run.directory.empty() && chdir(run.directory.c_str()) != 0) {
            _exit(126);
        }
        if (!run.errorFile.empty()) {
            int error = open(run.errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(error, STDERR_FILENO);
            close(error);
        }
        execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(outputPipe[1]);
    close(inputPipe[0]);
    if (run.stdinMode == STDIN_BYTES && !run.input.empty()) {
        ssize_t ignored = write(inputPipe[1], run.input.data(), run.input.size());
        (void)ignored;
    }
    close(inputPipe[1]);
    child->output = outputPipe[0];
    return true;
}

static void signalWhenDue(const ProgramRun& run, const Child& child, ProgramResult* result) {
    if (run.signalNumber == 0 || result->signalSent) {
        return;
    }
    bool due = run.signalWhenOutputShows.empty()
                   ? nowSeconds() - child.startSeconds >= run.signalAfterMs / 1000.0
                   : result->output.find(run.signalWhenOutputShows) != std::string::npos;
    if (due) {
        kill(child.pid, run.signalNumber);
        result->signalSent = true;
    }
}

// Reads standard output until it ends, the reader is to close it, or the time
// runs out.
static void collectOutput(const ProgramRun& run, const Child& child, ProgramResult* result) {
    double deadline = child.startSeconds + run.timeoutSeconds;
    char chunk[65536];
    for (;;) {
        signalWhenDue(run, child, result);
        if (!run.closeOutputWhenShows.empty() &&
            result->output.find(run.closeOutputWhenShows) != std::string::npos) {
            result->outputClosed = true;
            return;
        }
        struct pollfd waitFor = {child.output, POLLIN, 0};
        int ready = poll(&waitFor, 1, 10);
        if (ready > 0) {
            ssize_t got = read(child.output, chunk, sizeof(chunk));
            if (got <= 0) {
                return;
            }
            result->output.append(chunk, static_cast<size_t>(got));
            typeAtPrompt(run, child.master, result);
        } else if (nowSeconds() > deadline) {
            result->timedOut = true;
            kill(child.pid, SIGKILL);
            return;
        }
    }
}

static int waitForChild(const ProgramRun& run, const Child& child, ProgramResult* result) {
    double deadline = child.startSeconds + run.timeoutSeconds;
    int waitStatus = 0;
    struct rusage usage;
    memset(&usage, 0, sizeof(usage));
    // Once standard output has ended the child is ending; one whose output
    // was closed early runs on and is held to the deadline.
    int options = result->outputClosed ? WNOHANG : 0;
    while (wait4(child.pid, &waitStatus, options, &usage) == 0) {
        if (nowSeconds() > deadline && !result->timedOut) {
            result->timedOut = true;
            kill(child.pid, SIGKILL);
        }
        usleep(1000);
    }
    result->wallSeconds = nowSeconds() - child.startSeconds;
    result->cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    result->peakResidentKb = usage.ru_maxrss;
    return waitStatus;
}

// A run past its time limit is a failure of its own: say which run (through
// Wine, which call) and how long it waited.
static void reportTimeout(const ProgramRun& run) {
    std::string command;
    for (const std::string& word : programCommandLine(run)) {
        command += (command.empty() ? "" : " ") + word;
    }
    fprintf(stderr, "timed out: '%s' did not end within %d s\n", command.c_str(), run.timeoutSeconds);
}

ProgramResult runProgram(const ProgramRun& run) {
    ProgramResult result;
    Child child;
    if (!startChild(run, &child)) {
        return result;
    }
    collectOutput(run, child, &result);
    close(child.output);
    int waitStatus = waitForChild(run, child, &result);
    if (child.master >= 0) {
        readTerminal(child.master, child.terminal, &result);
    }
    result.status = WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1;
    result.signal = WIFSIGNALED(waitStatus) ? WTERMSIG(waitStatus) : 0;
    if (result.timedOut) {
        reportTimeout(run);
    }
    if (programIsWrapped()) {
        result.output = foldLineEnds(result.output);
    }
    return result;
}

std::string orvanCommandPath() {
    std::string writer = environmentValue("ORVAN_PROGRAM");
    std::string named = environmentValue("ORVAN_COMMAND");
    return named.empty() ? writer.substr(0, writer.rfind('/') + 1) + "orvan" : named;
}

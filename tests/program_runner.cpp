#include "program_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

extern char** environ;

static std::string environmentValue(const char* name) {
    const char* value = getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

bool programIsWrapped() {
    return !environmentValue("ORVAN_PROGRAM_WRAPPER").empty();
}

bool programIsOverUsb() {
    return !environmentValue("ORVAN_OVER_USB").empty();
}

static std::vector<std::string> commandLine(const ProgramRun& run) {
    std::vector<std::string> words;
    if (programIsWrapped()) {
        words.push_back(environmentValue("ORVAN_PROGRAM_WRAPPER"));
    }
    words.push_back(environmentValue("ORVAN_PROGRAM"));
    words.insert(words.end(), run.arguments.begin(), run.arguments.end());
    return words;
}

static std::vector<std::string> childEnvironment(const ProgramRun& run) {
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

static void setUpChildInput(const ProgramRun& run, int inputPipe[2], int terminal) {
    if (run.stdinMode == STDIN_TERMINAL) {
        setsid();
        dup2(terminal, STDIN_FILENO);
        close(terminal);
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

ProgramResult runProgram(const ProgramRun& run) {
    std::vector<std::string> words = commandLine(run);
    std::vector<std::string> environment = childEnvironment(run);
    std::vector<char*> argv = pointers(words);
    std::vector<char*> envp = pointers(environment);
    int outputPipe[2];
    int inputPipe[2];
    ProgramResult result;
    if (pipe(outputPipe) != 0 || pipe(inputPipe) != 0) {
        return result;
    }
    int master = -1;
    int terminal = -1;
    if (run.stdinMode == STDIN_TERMINAL) {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
            (terminal = open(ptsname(master), O_RDWR | O_NOCTTY)) < 0) {
            return result;
        }
    }
    double startSeconds = nowSeconds();
    pid_t child = fork();
    if (child == 0) {
        if (master >= 0) {
            close(master);
        }
        setUpChildInput(run, inputPipe, terminal);
        dup2(outputPipe[1], STDOUT_FILENO);
        close(outputPipe[0]);
        close(outputPipe[1]);
        if (!run.directory.empty() && chdir(run.directory.c_str()) != 0) {
            _exit(126);
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
    double deadline = nowSeconds() + run.timeoutSeconds;
    char chunk[65536];
    for (;;) {
        struct pollfd waitFor = {outputPipe[0], POLLIN, 0};
        int ready = poll(&waitFor, 1, 100);
        if (ready > 0) {
            ssize_t got = read(outputPipe[0], chunk, sizeof(chunk));
            if (got <= 0) {
                break;
            }
            result.output.append(chunk, static_cast<size_t>(got));
            typeAtPrompt(run, master, &result);
        } else if (nowSeconds() > deadline) {
            result.timedOut = true;
            kill(child, SIGKILL);
            break;
        }
    }
    close(outputPipe[0]);
    if (master >= 0) {
        readTerminal(master, terminal, &result);
    }
    int waitStatus = 0;
    struct rusage usage;
    memset(&usage, 0, sizeof(usage));
    wait4(child, &waitStatus, 0, &usage);
    result.wallSeconds = nowSeconds() - startSeconds;
    result.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                        static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    result.peakResidentKb = usage.ru_maxrss;
    result.status = WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1;
    if (programIsWrapped()) {
        result.output = foldLineEnds(result.output);
    }
    return result;
}

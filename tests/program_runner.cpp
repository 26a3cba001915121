#include "program_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

extern char** environ;

static std::string environmentValue(const char* name) {
    const char* value = getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

bool programIsWrapped() {
    return !environmentValue("ORVAN_PROGRAM_WRAPPER").empty();
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
        if (strncmp(*entry, "VADAPTER_", 9) != 0) {
            entries.push_back(*entry);
        }
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

static void setUpChildInput(const ProgramRun& run, int inputPipe[2]) {
    if (run.stdinMode == STDIN_CLOSED) {
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
    double startSeconds = nowSeconds();
    pid_t child = fork();
    if (child == 0) {
        setUpChildInput(run, inputPipe);
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
        } else if (nowSeconds() > deadline) {
            result.timedOut = true;
            kill(child, SIGKILL);
            break;
        }
    }
    close(outputPipe[0]);
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

#include "terminal_session.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (std::string& text : texts) {
        result.push_back(&text[0]);
    }
    result.push_back(nullptr);
    return result;
}

// In the program's process: its own foreground group, no core file (a
// SIGQUIT case would write one), the terminal on its standard streams.
[[noreturn]] void execProgram(int controlling, const std::string& directory, std::vector<char*>& argv,
                              std::vector<char*>& envp) {
    setpgid(0, 0);
    signal(SIGTTOU, SIG_IGN);
    tcsetpgrp(controlling, getpid());
    signal(SIGTTOU, SIG_DFL);
    struct rlimit noCore = {0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    if (chdir(directory.c_str()) != 0) {
        _exit(126);
    }
    for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; descriptor++) {
        dup2(controlling, descriptor);
    }
    close(controlling);
    execvpe(argv[0], argv.data(), envp.data());
    _exit(127);
}

// In the leader's process: takes the terminal, starts the program, reports
// its process id and, once it has ended, its wait status.
[[noreturn]] void lead(const std::string& terminalName, int report, const std::string& directory,
                       std::vector<char*>& argv, std::vector<char*>& envp) {
    setsid();
    int controlling = open(terminalName.c_str(), O_RDWR);
    ioctl(controlling, TIOCSCTTY, 0);
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT, SIGTSTP, SIGTTOU}) {
        signal(signalNumber, SIG_DFL);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    pid_t program = fork();
    if (program == 0) {
        execProgram(controlling, directory, argv, envp);
    }
    ssize_t ignored = write(report, &program, sizeof(program));
    int waitStatus = 0;
    waitpid(program, &waitStatus, 0);
    ignored = write(report, &waitStatus, sizeof(waitStatus));
    (void)ignored;
    _exit(0);
}

} // namespace

bool startInTerminal(const std::vector<std::string>& command, const std::vector<std::string>& environment,
                     const std::string& directory, TerminalSession* session) {
    session->master = posix_openpt(O_RDWR | O_NOCTTY);
    if (session->master < 0 || grantpt(session->master) != 0 || unlockpt(session->master) != 0) {
        return false;
    }
    std::string terminalName = ptsname(session->master);
    session->terminal = open(terminalName.c_str(), O_RDWR | O_NOCTTY);
    int report[2];
    if (session->terminal < 0 || pipe(report) != 0) {
        return false;
    }
    if (session->columns != 0) {
        struct winsize size = {};
        size.ws_row = 40;
        size.ws_col = session->columns;
        ioctl(session->terminal, TIOCSWINSZ, &size);
    }
    std::vector<std::string> words = command;
    std::vector<std::string> entries = environment;
    std::vector<char*> argv = pointers(words);
    std::vector<char*> envp = pointers(entries);
    session->leader = fork();
    if (session->leader == 0) {
        close(report[0]);
        lead(terminalName, report[1], directory, argv, envp);
    }
    close(report[1]);
    session->report = report[0];
    return read(session->report, &session->program, sizeof(session->program)) ==
           static_cast<ssize_t>(sizeof(session->program));
}

void drainTerminal(TerminalSession* session) {
    char chunk[4096];
    struct pollfd ready = {session->master, POLLIN, 0};
    while (poll(&ready, 1, 0) > 0) {
        ssize_t got = read(session->master, chunk, sizeof(chunk));
        if (got <= 0) {
            return;
        }
        session->shown.append(chunk, static_cast<size_t>(got));
    }
}

bool terminalSane(int terminal) {
    struct termios mode;
    return tcgetattr(terminal, &mode) == 0 && (mode.c_lflag & ECHO) != 0 && (mode.c_lflag & ICANON) != 0;
}

bool waitTerminalSession(TerminalSession* session, int timeoutMs, int* waitStatus) {
    struct pollfd reported = {session->report, POLLIN, 0};
    bool ended =
        poll(&reported, 1, timeoutMs) > 0 &&
        read(session->report, waitStatus, sizeof(*waitStatus)) == static_cast<ssize_t>(sizeof(*waitStatus));
    if (!ended) {
        kill(session->program, SIGKILL);
    }
    waitpid(session->leader, nullptr, 0);
    drainTerminal(session);
    return ended;
}

void closeTerminalSession(TerminalSession* session) {
    close(session->report);
    close(session->terminal);
    close(session->master);
}

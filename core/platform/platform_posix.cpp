#include "core/platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static bool isDirectory(int descriptor) {
    struct stat status;
    return fstat(descriptor, &status) != 0 || S_ISDIR(status.st_mode);
}

// Only a regular file has a size that tells how many bytes a read delivers.
static bool isRegularFile(int descriptor) {
    struct stat status;
    return fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode);
}

// Exit status when not even the null device opens: nothing can be written.
static const int STATUS_NO_NULL_DEVICE = 127;

void platformGuardStandardStreams() {
    for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; descriptor++) {
        if (fcntl(descriptor, F_GETFD) >= 0 || errno != EBADF) {
            continue;
        }
        // The lowest free descriptor is this one: the lower ones are open.
        int opened = open("/dev/null", O_RDWR);
        if (opened != descriptor) {
            _exit(STATUS_NO_NULL_DEVICE);
        }
    }
}

bool platformFileExists(const char* path) {
    // O_PATH asks for no access, as the existence check on Windows does.
    int descriptor = open(path, O_PATH | O_CLOEXEC);
    if (descriptor < 0) {
        return false;
    }
    bool exists = !isDirectory(descriptor);
    close(descriptor);
    return exists;
}

bool platformOpenFile(const char* path, PlatformFile* file) {
    // Non-blocking, so that a FIFO or device fails the regular-file check
    // instead of waiting for a writer.
    int descriptor = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (descriptor < 0) {
        return false;
    }
    if (!isRegularFile(descriptor)) {
        close(descriptor);
        return false;
    }
    file->value = descriptor;
    return true;
}

bool platformFileSize(PlatformFile file, uint64_t* size) {
    struct stat status;
    if (fstat(static_cast<int>(file.value), &status) != 0) {
        return false;
    }
    *size = static_cast<uint64_t>(status.st_size);
    return true;
}

bool platformReadFile(PlatformFile file, uint8_t* destination, uint32_t count, uint32_t* bytesRead) {
    uint32_t total = 0;
    while (total < count) {
        ssize_t got = read(static_cast<int>(file.value), destination + total, count - total);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            *bytesRead = total;
            return false;
        }
        if (got == 0) {
            break;
        }
        total += static_cast<uint32_t>(got);
    }
    *bytesRead = total;
    return true;
}

const char* platformLastErrorText() {
    return strerror(errno);
}

void platformCloseFile(PlatformFile file) {
    close(static_cast<int>(file.value));
}

void platformSleepMs(uint32_t milliseconds) {
    struct timespec pause = {static_cast<time_t>(milliseconds / 1000),
                             static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

uint64_t platformMonotonicMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

static const int INTERRUPTION_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

// Written by the signal handler, so only of type volatile sig_atomic_t.
static volatile sig_atomic_t caughtSignal;
static volatile sig_atomic_t keyPromptActive;
// The terminal's modes before the key prompt; filled before keyPromptActive
// is set, read by the handler only while it is.
static struct termios savedTerminal;
// The prompt's own modes: no echo, no line mode; set again after a stop.
static struct termios rawTerminal;

// Async-signal-safe calls only: it also runs inside the handler.
[[noreturn]] static void endBySignal(int signalNumber) {
    struct sigaction defaultAction;
    sigemptyset(&defaultAction.sa_mask);
    defaultAction.sa_flags = 0;
    defaultAction.sa_handler = SIG_DFL;
    sigaction(signalNumber, &defaultAction, nullptr);
    sigset_t pending;
    sigemptyset(&pending);
    sigaddset(&pending, signalNumber);
    sigprocmask(SIG_UNBLOCK, &pending, nullptr);
    raise(signalNumber);
    _exit(128 + signalNumber);
}

// Set by a parent of workers: a second interruption is counted, not fatal,
// so that the parent can stop its workers before it ends.
static volatile sig_atomic_t interruptionsCounted;
static volatile sig_atomic_t interruptionCount;

static void onInterruption(int signalNumber) {
    if (keyPromptActive) {
        tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
        endBySignal(signalNumber);
    }
    if (caughtSignal != 0 && !interruptionsCounted) {
        endBySignal(signalNumber);
    }
    if (caughtSignal == 0) {
        caughtSignal = signalNumber;
    }
    interruptionCount = interruptionCount + 1;
}

void platformCountInterruptions() {
    interruptionsCounted = 1;
}

uint32_t platformInterruptionCount() {
    return static_cast<uint32_t>(interruptionCount);
}

void platformCatchInterruptions() {
    struct sigaction ignore;
    sigemptyset(&ignore.sa_mask);
    ignore.sa_flags = 0;
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, nullptr);
    struct sigaction catcher;
    sigemptyset(&catcher.sa_mask);
    for (int signalNumber : INTERRUPTION_SIGNALS) {
        sigaddset(&catcher.sa_mask, signalNumber);
    }
    // Restarted calls keep the adapter library's own I/O undisturbed.
    catcher.sa_flags = SA_RESTART;
    catcher.sa_handler = onInterruption;
    for (int signalNumber : INTERRUPTION_SIGNALS) {
        struct sigaction previous;
        // A signal the caller ignores (nohup, a background job) stays ignored.
        if (sigaction(signalNumber, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
            sigaction(signalNumber, &catcher, nullptr);
        }
    }
}

bool platformInterrupted() {
    return caughtSignal != 0;
}

void platformEndInterrupted() {
    fflush(stdout);
    endBySignal(caughtSignal != 0 ? caughtSignal : SIGINT);
}

// Signals that end the program by default, beyond the interruptions: at the
// key prompt each gives the terminal back first. SIGPIPE is ignored from the
// start (platformCatchInterruptions).
static const int ENDING_SIGNALS[] = {SIGQUIT,   SIGALRM, SIGUSR1, SIGUSR2,
                                     SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ};
// The ending signals and SIGTSTP.
static const size_t PROMPT_SIGNAL_COUNT = sizeof(ENDING_SIGNALS) / sizeof(ENDING_SIGNALS[0]) + 1;

static void onEndingSignal(int signalNumber) {
    tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
    endBySignal(signalNumber);
}

// Ctrl-Z: the shell gets the terminal as it was, the process stops, and once
// continued it takes the key without echo again.
static void onStop(int signalNumber) {
    int savedErrno = errno;
    tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
    struct sigaction stop;
    struct sigaction previous;
    sigemptyset(&stop.sa_mask);
    stop.sa_flags = 0;
    stop.sa_handler = SIG_DFL;
    sigaction(signalNumber, &stop, &previous);
    sigset_t unblocked;
    sigemptyset(&unblocked);
    sigaddset(&unblocked, signalNumber);
    sigprocmask(SIG_UNBLOCK, &unblocked, nullptr);
    raise(signalNumber); // stops here until SIGCONT
    sigprocmask(SIG_BLOCK, &unblocked, nullptr);
    sigaction(signalNumber, &previous, nullptr);
    tcsetattr(STDIN_FILENO, TCSANOW, &rawTerminal);
    errno = savedErrno;
}

// The prompt's handlers, for the signals the caller does not ignore; the
// actions found are kept in previous, to be put back after the prompt.
static void catchPromptSignals(struct sigaction* previous) {
    struct sigaction catcher;
    sigemptyset(&catcher.sa_mask);
    catcher.sa_flags = SA_RESTART;
    size_t index = 0;
    for (int signalNumber : ENDING_SIGNALS) {
        catcher.sa_handler = onEndingSignal;
        sigaction(signalNumber, nullptr, &previous[index]);
        if (previous[index].sa_handler != SIG_IGN) {
            sigaction(signalNumber, &catcher, nullptr);
        }
        index++;
    }
    catcher.sa_handler = onStop;
    sigaction(SIGTSTP, nullptr, &previous[index]);
    if (previous[index].sa_handler != SIG_IGN) {
        sigaction(SIGTSTP, &catcher, nullptr);
    }
}

static void restorePromptSignals(const struct sigaction* previous) {
    size_t index = 0;
    for (int signalNumber : ENDING_SIGNALS) {
        sigaction(signalNumber, &previous[index++], nullptr);
    }
    sigaction(SIGTSTP, &previous[index], nullptr);
}

void platformReadKey() {
    // Only a terminal can give a key press; anything else must not block.
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &savedTerminal) != 0) {
        return;
    }
    rawTerminal = savedTerminal;
    rawTerminal.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    rawTerminal.c_cc[VMIN] = 1;
    rawTerminal.c_cc[VTIME] = 0;
    struct sigaction previous[PROMPT_SIGNAL_COUNT];
    catchPromptSignals(previous);
    keyPromptActive = 1;
    // Checked after the handler can see the prompt, so that no interruption
    // falls between the check and the read and leaves the read waiting.
    if (caughtSignal == 0) {
        unsigned char key;
        if (tcsetattr(STDIN_FILENO, TCSANOW, &rawTerminal) == 0) {
            while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
            }
        }
        tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
    }
    keyPromptActive = 0;
    restorePromptSignals(previous);
}

void platformExit(int status) {
    fflush(stdout);
    exit(status);
}

bool platformCreateFile(const char* path, bool replace, PlatformFile* file) {
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (replace ? O_TRUNC : O_EXCL);
    int descriptor = open(path, flags, 0666);
    if (descriptor < 0) {
        return false;
    }
    file->value = descriptor;
    return true;
}

bool platformWriteFile(PlatformFile file, const uint8_t* source, uint32_t count) {
    uint32_t total = 0;
    while (total < count) {
        ssize_t put = write(static_cast<int>(file.value), source + total, count - total);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return false;
        }
        total += static_cast<uint32_t>(put);
    }
    return true;
}

bool platformStandardErrorIsTerminal() {
    return isatty(STDERR_FILENO) != 0;
}

uint32_t platformTerminalColumns() {
    struct winsize size;
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0) {
        return 0;
    }
    return size.ws_col;
}

void platformBinaryStandardOutput() {}

int platformInterruptedStatus() {
    return 128 + (caughtSignal != 0 ? caughtSignal : SIGINT);
}

bool platformRenameFile(const char* from, const char* to) {
    return rename(from, to) == 0;
}

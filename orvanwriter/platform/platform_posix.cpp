#include "orvanwriter/platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
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

static void onInterruption(int signalNumber) {
    if (keyPromptActive) {
        tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
        endBySignal(signalNumber);
    }
    if (caughtSignal != 0) {
        endBySignal(signalNumber);
    }
    caughtSignal = signalNumber;
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

void platformReadKey() {
    // Only a terminal can give a key press; anything else must not block.
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &savedTerminal) != 0) {
        return;
    }
    keyPromptActive = 1;
    // Checked after the handler can see the prompt, so that no interruption
    // falls between the check and the read and leaves the read waiting.
    if (caughtSignal == 0) {
        struct termios raw = savedTerminal;
        raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        unsigned char key;
        if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0) {
            while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
            }
        }
        tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
    }
    keyPromptActive = 0;
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

int platformInterruptedStatus() {
    return 128 + (caughtSignal != 0 ? caughtSignal : SIGINT);
}

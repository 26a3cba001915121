#include "orvanwriter/platform/platform.h"

#include <errno.h>
#include <fcntl.h>
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

void platformReadKey() {
    struct termios saved;
    // Only a terminal can give a key press; anything else must not block.
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved) != 0) {
        return;
    }
    struct termios raw = saved;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) {
        return;
    }
    unsigned char key;
    while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
    }
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
}

void platformExit(int status) {
    fflush(stdout);
    exit(status);
}

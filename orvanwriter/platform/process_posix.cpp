// Worker processes and shared files on POSIX systems.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include "orvanwriter/platform/platform.h"

extern char** environ;

static const int SIGNAL_STATUS_BASE = 128;

bool platformProgramPath(char* path, uint32_t size) {
    ssize_t length = readlink("/proc/self/exe", path, size - 1);
    if (length <= 0) {
        return false;
    }
    path[length] = '\0';
    return true;
}

static char workFolder[4096];

const char* platformWorkFolder() {
    if (workFolder[0] != '\0') {
        return workFolder;
    }
    const char* temporary = getenv("TMPDIR");
    if (temporary == nullptr || temporary[0] == '\0') {
        temporary = "/tmp";
    }
    // A folder of its own (mode 0700), so that no other user can plant a
    // link where a worker's file goes.
    snprintf(workFolder, sizeof(workFolder), "%s/orvan-XXXXXX", temporary);
    if (mkdtemp(workFolder) == nullptr) {
        workFolder[0] = '\0';
    }
    return workFolder;
}

void platformRemoveWorkFolder() {
    if (workFolder[0] != '\0') {
        rmdir(workFolder);
        workFolder[0] = '\0';
    }
}

bool platformStartProcess(const char* const* arguments, const char* outputPath, const char* errorPath,
                          PlatformProcess* process) {
    const int FILE_MODE = 0600;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath, O_WRONLY | O_CREAT | O_TRUNC,
                                     FILE_MODE);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorPath, O_WRONLY | O_CREAT | O_TRUNC,
                                     FILE_MODE);
    // A group of its own: Ctrl-C at the terminal reaches the parent alone,
    // which hands each worker exactly one interruption.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = 0;
    int failed =
        posix_spawn(&pid, arguments[0], &actions, &attributes, const_cast<char* const*>(arguments), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
        return false;
    }
    process->value = pid;
    process->id = pid;
    return true;
}

bool platformProcessEnded(PlatformProcess process, int* status) {
    int waitStatus = 0;
    pid_t ended = waitpid(static_cast<pid_t>(process.value), &waitStatus, WNOHANG);
    if (ended <= 0) {
        return false;
    }
    *status = WIFSIGNALED(waitStatus) ? SIGNAL_STATUS_BASE + WTERMSIG(waitStatus) : WEXITSTATUS(waitStatus);
    return true;
}

void platformInterruptProcess(PlatformProcess process) {
    kill(static_cast<pid_t>(process.value), SIGINT);
}

void platformKillProcess(PlatformProcess process) {
    kill(static_cast<pid_t>(process.value), SIGKILL);
}

bool platformOpenSharedFile(const char* path, PlatformFile* file) {
    return platformOpenFile(path, file);
}

void platformRemoveFile(const char* path) {
    unlink(path);
}

bool platformAppendToFile(const char* path, const uint8_t* bytes, uint32_t count) {
    const int FILE_MODE = 0644;
    int descriptor = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, FILE_MODE);
    if (descriptor < 0) {
        return false;
    }
    ssize_t written = 0;
    do {
        written = write(descriptor, bytes, count);
    } while (written < 0 && errno == EINTR);
    // A line cut short (the disk full) is ended, so the next one starts whole.
    if (written > 0 && written < static_cast<ssize_t>(count)) {
        ssize_t ended = write(descriptor, "\n", 1);
        (void)ended;
    }
    close(descriptor);
    return written == static_cast<ssize_t>(count);
}

void platformHostName(char* name, uint32_t size) {
    if (gethostname(name, size) != 0) {
        name[0] = '\0';
    }
    name[size - 1] = '\0';
}

// Worker processes and shared files on POSIX systems.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "core/platform/platform.h"

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

// A log that is a FIFO without a reader, or a device, is refused at once
// instead of blocking the run or swallowing its lines.
static int openForAppending(const char* path) {
    const int FILE_MODE = 0644;
    int descriptor = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, FILE_MODE);
    struct stat status;
    if (descriptor >= 0 && (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode))) {
        close(descriptor);
        return -1;
    }
    return descriptor;
}

bool platformCheckAppendable(const char* path) {
    int descriptor = openForAppending(path);
    if (descriptor < 0) {
        return false;
    }
    close(descriptor);
    return true;
}

bool platformAppendToFile(const char* path, const uint8_t* bytes, uint32_t count) {
    int descriptor = openForAppending(path);
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

PlatformPathKind platformPathKind(const char* path) {
    struct stat status;
    if (stat(path, &status) != 0) {
        struct stat link;
        // A link to nothing is there, but names no file to write through.
        return lstat(path, &link) == 0 ? PLATFORM_PATH_OTHER : PLATFORM_PATH_MISSING;
    }
    if (S_ISREG(status.st_mode)) {
        return PLATFORM_PATH_REGULAR;
    }
    return S_ISDIR(status.st_mode) ? PLATFORM_PATH_FOLDER : PLATFORM_PATH_OTHER;
}

bool platformFullPath(const char* path, char* full, uint32_t size) {
    char resolved[PATH_MAX];
    if (realpath(path, resolved) != nullptr) {
        return snprintf(full, size, "%s", resolved) < static_cast<int>(size);
    }
    const char* slash = strrchr(path, '/');
    std::string folder = slash == nullptr ? "." : slash == path ? "/" : std::string(path, slash - path);
    const char* name = slash == nullptr ? path : slash + 1;
    if (realpath(folder.c_str(), resolved) == nullptr) {
        return false;
    }
    return snprintf(full, size, "%s/%s", strcmp(resolved, "/") == 0 ? "" : resolved, name) <
           static_cast<int>(size);
}

bool platformCreateUniqueFile(const char* prefix, const char* suffix, char* path, uint32_t size,
                              PlatformFile* file) {
    if (snprintf(path, size, "%sXXXXXX%s", prefix, suffix) >= static_cast<int>(size)) {
        return false;
    }
    // mkstemps opens with O_CREAT | O_EXCL: a link planted at the name fails it.
    int descriptor = mkstemps(path, static_cast<int>(strlen(suffix)));
    if (descriptor < 0) {
        return false;
    }
    fcntl(descriptor, F_SETFD, FD_CLOEXEC);
    file->value = descriptor;
    return true;
}

bool platformRenameWithoutReplacing(const char* from, const char* to) {
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return false;
    }
    // A filesystem without the flag: a hard link is made only where no file is.
    if (link(from, to) != 0) {
        return false;
    }
    unlink(from);
    return true;
}

intptr_t platformProcessId() {
    return static_cast<intptr_t>(getpid());
}

void platformFollowParent(intptr_t parentId) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    // The parent may have ended before the call took effect.
    if (getppid() != static_cast<pid_t>(parentId)) {
        raise(SIGTERM);
    }
}

bool platformParentGone(intptr_t parentId) {
    return getppid() != static_cast<pid_t>(parentId);
}

void platformRemoveEmptyFolder(const char* path) {
    rmdir(path);
}

// Worker processes and shared files on Windows.
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include <string>

#include "core/platform/platform.h"

static HANDLE handleOf(PlatformProcess process) {
    return reinterpret_cast<HANDLE>(process.value);
}

bool platformProgramPath(char* path, uint32_t size) {
    DWORD length = GetModuleFileNameA(nullptr, path, size);
    return length > 0 && length < size;
}

static char workFolder[MAX_PATH + 1];

const char* platformWorkFolder() {
    if (workFolder[0] != '\0') {
        return workFolder;
    }
    char temporary[MAX_PATH + 1];
    DWORD length = GetTempPathA(sizeof(temporary), temporary);
    if (length == 0 || length > MAX_PATH) {
        strcpy(temporary, ".\\");
    }
    snprintf(workFolder, sizeof(workFolder), "%sorvan-%lu-%lu", temporary, GetCurrentProcessId(),
             GetTickCount());
    if (!CreateDirectoryA(workFolder, nullptr)) {
        workFolder[0] = '\0';
    }
    return workFolder;
}

void platformRemoveWorkFolder() {
    if (workFolder[0] != '\0') {
        RemoveDirectoryA(workFolder);
        workFolder[0] = '\0';
    }
}

// Quotes an argument as the C runtime's command-line parser reads it back.
static void appendArgument(std::string* line, const char* argument) {
    *line += line->empty() ? "\"" : " \"";
    unsigned backslashes = 0;
    for (const char* c = argument; *c != '\0'; c++) {
        if (*c == '\\') {
            backslashes++;
            continue;
        }
        // Backslashes before a quote, and the quote itself, are escaped.
        line->append(*c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        *line += *c;
    }
    line->append(backslashes * 2, '\\');
    *line += '"';
}

static HANDLE createInheritedFile(const char* path) {
    SECURITY_ATTRIBUTES security = {sizeof(security), nullptr, TRUE};
    return CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &security, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

static HANDLE workersJob() {
    static HANDLE job = nullptr;
    if (job == nullptr) {
        job = CreateJobObjectA(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
        memset(&limits, 0, sizeof(limits));
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
    }
    return job;
}

bool platformStartProcess(const char* const* arguments, const char* outputPath, const char* errorPath,
                          PlatformProcess* process) {
    std::string line;
    for (const char* const* argument = arguments; *argument != nullptr; argument++) {
        appendArgument(&line, *argument);
    }
    HANDLE output = createInheritedFile(outputPath);
    HANDLE error = createInheritedFile(errorPath);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = output;
    startup.hStdError = error;
    PROCESS_INFORMATION information;
    // A group of its own: Ctrl-C at the console reaches the parent alone,
    // which hands each worker a Ctrl-Break.
    BOOL started = output != INVALID_HANDLE_VALUE && error != INVALID_HANDLE_VALUE &&
                   CreateProcessA(arguments[0], &line[0], nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP,
                                  nullptr, nullptr, &startup, &information);
    CloseHandle(output);
    CloseHandle(error);
    if (!started) {
        return false;
    }
    // Workers end with their parent: the job ends them when its last handle,
    // the parent's, closes.
    AssignProcessToJobObject(workersJob(), information.hProcess);
    CloseHandle(information.hThread);
    process->value = reinterpret_cast<intptr_t>(information.hProcess);
    process->id = static_cast<intptr_t>(information.dwProcessId);
    return true;
}

bool platformProcessEnded(PlatformProcess process, int* status) {
    if (WaitForSingleObject(handleOf(process), 0) != WAIT_OBJECT_0) {
        return false;
    }
    DWORD code = 0;
    GetExitCodeProcess(handleOf(process), &code);
    CloseHandle(handleOf(process));
    *status = static_cast<int>(code);
    return true;
}

void platformInterruptProcess(PlatformProcess process) {
    // Without a console shared with the worker there is no Ctrl-Break to give.
    if (!GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, static_cast<DWORD>(process.id))) {
        TerminateProcess(handleOf(process), static_cast<UINT>(STATUS_CONTROL_C_EXIT));
    }
}

void platformKillProcess(PlatformProcess process) {
    TerminateProcess(handleOf(process), static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}

bool platformOpenSharedFile(const char* path, PlatformFile* file) {
    HANDLE handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    file->value = reinterpret_cast<intptr_t>(handle);
    return true;
}

void platformRemoveFile(const char* path) {
    DeleteFileA(path);
}

// Append-only access: the system puts every write at the end of the file.
// A device or pipe is refused: it is not a log that keeps its lines.
static HANDLE openForAppending(const char* path) {
    HANDLE handle = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE && GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

bool platformCheckAppendable(const char* path) {
    HANDLE handle = openForAppending(path);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(handle);
    return true;
}

bool platformAppendToFile(const char* path, const uint8_t* bytes, uint32_t count) {
    HANDLE handle = openForAppending(path);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    BOOL ok = WriteFile(handle, bytes, count, &written, nullptr);
    CloseHandle(handle);
    return ok && written == count;
}

void platformHostName(char* name, uint32_t size) {
    DWORD length = size;
    if (!GetComputerNameA(name, &length)) {
        name[0] = '\0';
    }
}

PlatformPathKind platformPathKind(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return PLATFORM_PATH_MISSING;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return PLATFORM_PATH_FOLDER;
    }
    // A device name (NUL, CON) reads as a file here; it has no disk file.
    HANDLE handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return PLATFORM_PATH_OTHER;
    }
    DWORD type = GetFileType(handle);
    CloseHandle(handle);
    return type == FILE_TYPE_DISK ? PLATFORM_PATH_REGULAR : PLATFORM_PATH_OTHER;
}

bool platformFullPath(const char* path, char* full, uint32_t size) {
    DWORD length = GetFullPathNameA(path, size, full, nullptr);
    return length > 0 && length < size;
}

bool platformCreateUniqueFile(const char* prefix, const char* suffix, char* path, uint32_t size,
                              PlatformFile* file) {
    const uint32_t ATTEMPTS = 100;
    for (uint32_t attempt = 0; attempt < ATTEMPTS; attempt++) {
        unsigned long tag =
            (GetCurrentProcessId() * 7919ul + GetTickCount() + attempt * 104729ul) % 0xFFFFFFul;
        if (snprintf(path, size, "%s%06lx%s", prefix, tag, suffix) >= static_cast<int>(size)) {
            return false;
        }
        // CREATE_NEW fails on any existing name.
        HANDLE handle =
            CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            file->value = reinterpret_cast<intptr_t>(handle);
            return true;
        }
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) {
            return false;
        }
    }
    return false;
}

bool platformRenameWithoutReplacing(const char* from, const char* to) {
    return MoveFileExA(from, to, 0) != 0;
}

intptr_t platformProcessId() {
    return static_cast<intptr_t>(GetCurrentProcessId());
}

void platformFollowParent(intptr_t) {}

bool platformParentGone(intptr_t) {
    return false;
}

void platformRemoveEmptyFolder(const char* path) {
    RemoveDirectoryA(path);
}

#include "core/platform/platform.h"

#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

static HANDLE handleOf(PlatformFile file) {
    return reinterpret_cast<HANDLE>(file.value);
}

// The C runtime keeps descriptors 0, 1 and 2 for the standard streams even
// when their handles are missing, and files here are opened as handles: no
// file can take a standard stream's place.
void platformGuardStandardStreams() {}

bool platformFileExists(const char* path) {
    // Without FILE_FLAG_BACKUP_SEMANTICS a directory cannot be opened, so
    // only files pass.
    HANDLE handle = CreateFileA(path, 0, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(handle);
    return true;
}

bool platformOpenFile(const char* path, PlatformFile* file) {
    HANDLE handle =
        CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    // Only a file on disk has a size that tells how many bytes a read
    // delivers; a device or pipe could pass for an empty image or block.
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        return false;
    }
    file->value = reinterpret_cast<intptr_t>(handle);
    return true;
}

bool platformFileSize(PlatformFile file, uint64_t* size) {
    LARGE_INTEGER whole;
    if (!GetFileSizeEx(handleOf(file), &whole)) {
        return false;
    }
    *size = static_cast<uint64_t>(whole.QuadPart);
    return true;
}

const char* platformLastErrorText() {
    static char text[256];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                  GetLastError(), 0, text, sizeof(text), nullptr);
    // The system's text ends with a line end; the message goes on after it.
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == '.')) {
        text[--length] = '\0';
    }
    return length > 0 ? text : "the system gave no reason";
}

bool platformReadFile(PlatformFile file, uint8_t* destination, uint32_t count, uint32_t* bytesRead) {
    uint32_t total = 0;
    while (total < count) {
        DWORD got = 0;
        if (!ReadFile(handleOf(file), destination + total, count - total, &got, nullptr)) {
            *bytesRead = total;
            return false;
        }
        if (got == 0) {
            break;
        }
        total += got;
    }
    *bytesRead = total;
    return true;
}

void platformCloseFile(PlatformFile file) {
    CloseHandle(handleOf(file));
}

void platformSleepMs(uint32_t milliseconds) {
    Sleep(milliseconds);
}

// The performance counter is there from Windows 2000 on, GetTickCount64 only
// from Vista on.
uint64_t platformMonotonicMs() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    uint64_t ticksPerSecond = static_cast<uint64_t>(frequency.QuadPart);
    uint64_t ticks = static_cast<uint64_t>(counter.QuadPart);
    // Split, so that ticks * 1000 cannot overflow.
    return ticks / ticksPerSecond * 1000u + ticks % ticksPerSecond * 1000u / ticksPerSecond;
}

// Set from the console's control-handler thread.
static volatile LONG interruptionCount;
static volatile LONG keyPromptActive;
// Set by a parent of workers: a second interruption is counted, not fatal.
static volatile LONG interruptionsCounted;

// Returning FALSE hands the event on to the default handler, which ends the
// process at once with STATUS_CONTROL_C_EXIT.
static BOOL WINAPI onConsoleEvent(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) {
        return FALSE;
    }
    // At the prompt the adapter is already closed and the console keeps its
    // own modes, so nothing is left to clean up.
    if (keyPromptActive) {
        return FALSE;
    }
    return InterlockedIncrement(&interruptionCount) == 1 || interruptionsCounted ? TRUE : FALSE;
}

void platformCountInterruptions() {
    InterlockedExchange(&interruptionsCounted, 1);
}

uint32_t platformInterruptionCount() {
    return static_cast<uint32_t>(interruptionCount);
}

void platformCatchInterruptions() {
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

bool platformInterrupted() {
    return interruptionCount != 0;
}

void platformEndInterrupted() {
    fflush(stdout);
    exit(static_cast<int>(STATUS_CONTROL_C_EXIT));
}

void platformReadKey() {
    // A redirected, empty or closed standard input has no console mode; only
    // a console can give a key press.
    DWORD mode;
    if (!GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode)) {
        return;
    }
    InterlockedExchange(&keyPromptActive, 1);
    // An interruption that came before the prompt ends the run after it.
    if (interruptionCount == 0) {
        _getch();
    }
    InterlockedExchange(&keyPromptActive, 0);
}

void platformExit(int status) {
    fflush(stdout);
    exit(status);
}

bool platformCreateFile(const char* path, bool replace, PlatformFile* file) {
    HANDLE handle = CreateFileA(path, GENERIC_WRITE, 0, nullptr, replace ? CREATE_ALWAYS : CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    file->value = reinterpret_cast<intptr_t>(handle);
    return true;
}

bool platformWriteFile(PlatformFile file, const uint8_t* source, uint32_t count) {
    DWORD written = 0;
    return WriteFile(handleOf(file), source, count, &written, nullptr) && written == count;
}

bool platformStandardErrorIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

uint32_t platformTerminalColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) {
        return 0;
    }
    return static_cast<uint32_t>(info.srWindow.Right - info.srWindow.Left + 1);
}

void platformBinaryStandardOutput() {
    fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
}

int platformInterruptedStatus() {
    return static_cast<int>(STATUS_CONTROL_C_EXIT);
}

bool platformRenameFile(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
}

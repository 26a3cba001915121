// The flash file on Windows: a mapped view, so that every erase and every
// programmed byte is in the file the moment the target makes it, and a lock
// held while the session lasts. Windows refuses to truncate a file with a
// mapped view, so no other process can pull the flash from under the view.
#include <string.h>
#include <windows.h>

#include <string>

#include "emulated_target/flash_file.h"
#include "emulated_target/target.h"

namespace {

// The lock covers one byte far past the end of any flash file: it keeps out
// a second program without standing in the way of anyone's reads or of the
// mapped view's writes.
const DWORD LOCK_OFFSET_HIGH = 0x40000000;

struct Mapping {
    HANDLE file = INVALID_HANDLE_VALUE;
    HANDLE section = nullptr;
    void* flash = nullptr;
};

Mapping mapping;

bool lockFile(HANDLE file) {
    OVERLAPPED at;
    memset(&at, 0, sizeof(at));
    at.OffsetHigh = LOCK_OFFSET_HIGH;
    return LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0;
}

FlashFileOpening giveUp(HANDLE file, FlashFileOpening result) {
    CloseHandle(file);
    return result;
}

// Erased bytes at the full size, on disk, in a file of its own.
bool writeErased(const std::string& temporary) {
    HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    static uint8_t erased[TARGET_FLASH_BYTES];
    memset(erased, 0xFF, sizeof(erased));
    DWORD written = 0;
    bool whole = WriteFile(file, erased, TARGET_FLASH_BYTES, &written, nullptr) &&
                 written == TARGET_FLASH_BYTES && FlushFileBuffers(file);
    CloseHandle(file);
    return whole;
}

// A new flash file comes into being whole: written erased under another
// name, then moved to its own, which never replaces a file another process
// made meanwhile (that one is used). Returns false when no file could be
// made; *created says whether this process made it.
bool createWhole(const std::string& path, bool* created) {
    std::string temporary = path + ".orvan-new-" + std::to_string(GetCurrentProcessId());
    bool written = writeErased(temporary);
    *created = written && MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH);
    DWORD failure = GetLastError();
    DeleteFileA(temporary.c_str());
    if (!written) {
        return false;
    }
    return *created || failure == ERROR_ALREADY_EXISTS || failure == ERROR_FILE_EXISTS;
}

// Maps the whole flash.
void* mapView(HANDLE file, HANDLE& section) {
    section = CreateFileMappingA(file, nullptr, PAGE_READWRITE, 0, TARGET_FLASH_BYTES, nullptr);
    if (!section) {
        return nullptr;
    }
    void* view = MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, TARGET_FLASH_BYTES);
    if (!view) {
        CloseHandle(section);
        section = nullptr;
    }
    return view;
}

} // namespace

FlashFileOpening mapFlashFile(const std::string& path, uint8_t** flash, uint64_t* size) {
    bool created = false;
    if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES &&
        GetLastError() == ERROR_FILE_NOT_FOUND && !createWhole(path, &created)) {
        return GetLastError() == ERROR_DISK_FULL ? FLASH_FILE_NO_ROOM : FLASH_FILE_FAILED;
    }
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return FLASH_FILE_FAILED;
    }
    if (!lockFile(file)) {
        bool inUse = GetLastError() == ERROR_LOCK_VIOLATION;
        return giveUp(file, inUse ? FLASH_FILE_IN_USE : FLASH_FILE_FAILED);
    }
    LARGE_INTEGER length;
    if (!GetFileSizeEx(file, &length)) {
        return giveUp(file, FLASH_FILE_FAILED);
    }
    *size = static_cast<uint64_t>(length.QuadPart);
    if (*size != TARGET_FLASH_BYTES) {
        return giveUp(file, FLASH_FILE_WRONG_SIZE);
    }
    HANDLE section = nullptr;
    void* view = mapView(file, section);
    if (!view) {
        return giveUp(file, FLASH_FILE_FAILED);
    }
    mapping.file = file;
    mapping.section = section;
    mapping.flash = view;
    *flash = static_cast<uint8_t*>(view);
    return created ? FLASH_FILE_CREATED : FLASH_FILE_OPENED;
}

// The view is the file: every change is in it already.
void storeFlashFile(uint32_t, uint32_t) {}

void unmapFlashFile() {
    if (mapping.flash) {
        UnmapViewOfFile(mapping.flash);
        mapping.flash = nullptr;
    }
    if (mapping.section) {
        CloseHandle(mapping.section);
        mapping.section = nullptr;
    }
    if (mapping.file != INVALID_HANDLE_VALUE) {
        CloseHandle(mapping.file); // and with it the lock
        mapping.file = INVALID_HANDLE_VALUE;
    }
}

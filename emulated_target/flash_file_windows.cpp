// The flash file on Windows: a mapped view, so that every erase and every
// programmed byte is in the file the moment the target makes it, and a lock
// held while the session lasts.
#include <string.h>
#include <windows.h>

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

// A file this session created and could not set up is not left behind as
// a flash file of the wrong size.
FlashFileOpening giveUp(HANDLE file, const std::string& path, bool created, FlashFileOpening result) {
    CloseHandle(file);
    if (created) {
        DeleteFileA(path.c_str());
    }
    return result;
}

// Maps the whole flash; a new file grows to its size here.
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
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return FLASH_FILE_FAILED;
    }
    bool created = GetLastError() != ERROR_ALREADY_EXISTS;
    if (!lockFile(file)) {
        bool inUse = GetLastError() == ERROR_LOCK_VIOLATION;
        return giveUp(file, path, false, inUse ? FLASH_FILE_IN_USE : FLASH_FILE_FAILED);
    }
    LARGE_INTEGER length;
    if (!GetFileSizeEx(file, &length)) {
        return giveUp(file, path, created, FLASH_FILE_FAILED);
    }
    *size = static_cast<uint64_t>(length.QuadPart);
    if (!created && *size != TARGET_FLASH_BYTES) {
        return giveUp(file, path, false, FLASH_FILE_WRONG_SIZE);
    }
    HANDLE section = nullptr;
    void* view = mapView(file, section);
    if (!view) {
        return giveUp(file, path, created, FLASH_FILE_FAILED);
    }
    if (created) {
        memset(view, 0xFF, TARGET_FLASH_BYTES);
    }
    mapping.file = file;
    mapping.section = section;
    mapping.flash = view;
    *flash = static_cast<uint8_t*>(view);
    return created ? FLASH_FILE_CREATED : FLASH_FILE_OPENED;
}

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

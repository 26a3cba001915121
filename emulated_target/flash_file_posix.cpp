// The flash file on POSIX systems: a shared mapping, so that every erase and
// every programmed byte is in the file the moment the target makes it, and
// an flock held while the session lasts.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "emulated_target/flash_file.h"
#include "emulated_target/target.h"

namespace {

struct Mapping {
    int file = -1;
    void* flash = nullptr;
};

Mapping mapping;

// Opens the file, creating it when missing; created says which.
int openOrCreate(const std::string& path, bool& created) {
    int file = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    created = file >= 0;
    if (file < 0 && errno == EEXIST) {
        file = open(path.c_str(), O_RDWR | O_CLOEXEC);
    }
    return file;
}

// A file this session created and could not set up is not left behind as
// a flash file of the wrong size.
FlashFileOpening giveUp(int file, const std::string& path, bool created, FlashFileOpening result) {
    if (created) {
        unlink(path.c_str());
    }
    close(file);
    return result;
}

} // namespace

FlashFileOpening mapFlashFile(const std::string& path, uint8_t** flash, uint64_t* size) {
    bool created = false;
    int file = openOrCreate(path, created);
    if (file < 0) {
        return FLASH_FILE_FAILED;
    }
    if (flock(file, LOCK_EX | LOCK_NB) != 0) {
        return giveUp(file, path, false, errno == EWOULDBLOCK ? FLASH_FILE_IN_USE : FLASH_FILE_FAILED);
    }
    struct stat status;
    if (fstat(file, &status) != 0) {
        return giveUp(file, path, created, FLASH_FILE_FAILED);
    }
    *size = static_cast<uint64_t>(status.st_size);
    if (!created && *size != TARGET_FLASH_BYTES) {
        return giveUp(file, path, false, FLASH_FILE_WRONG_SIZE);
    }
    if (created && ftruncate(file, TARGET_FLASH_BYTES) != 0) {
        return giveUp(file, path, created, FLASH_FILE_FAILED);
    }
    void* view = mmap(nullptr, TARGET_FLASH_BYTES, PROT_READ | PROT_WRITE, MAP_SHARED, file, 0);
    if (view == MAP_FAILED) {
        return giveUp(file, path, created, FLASH_FILE_FAILED);
    }
    if (created) {
        memset(view, 0xFF, TARGET_FLASH_BYTES);
    }
    mapping.file = file;
    mapping.flash = view;
    *flash = static_cast<uint8_t*>(view);
    return created ? FLASH_FILE_CREATED : FLASH_FILE_OPENED;
}

void unmapFlashFile() {
    if (mapping.flash) {
        munmap(mapping.flash, TARGET_FLASH_BYTES);
        mapping.flash = nullptr;
    }
    if (mapping.file >= 0) {
        close(mapping.file); // and with it the lock
        mapping.file = -1;
    }
}

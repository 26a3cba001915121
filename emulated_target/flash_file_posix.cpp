// The flash file on POSIX systems. The target works on a copy of the flash
// in the process's own memory, and every erase and every programmed byte is
// written through to the file at once (storeFlashFile): a process that dies
// mid-run leaves in the file exactly what it had erased and programmed,
// while a file that another process truncates, or a filesystem that runs
// full, can only make a write fail. A shared mapping would end the program
// with SIGBUS there. An flock is held while the session lasts.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "emulated_target/flash_file.h"
#include "emulated_target/output_file.h"
#include "emulated_target/target.h"

namespace {

const mode_t NEW_FILE_MODE = 0666; // less the umask, as any created file
const uint8_t ERASED_BYTE = 0xFF;

struct Held {
    int file = -1;
    uint8_t flash[TARGET_FLASH_BYTES];
};

Held held;

bool writeAll(int file, const uint8_t* bytes, size_t count, off_t offset) {
    while (count > 0) {
        ssize_t written = pwrite(file, bytes, count, offset);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        bytes += written;
        count -= static_cast<size_t>(written);
        offset += written;
    }
    return true;
}

bool readAll(int file, uint8_t* bytes, size_t count) {
    off_t offset = 0;
    while (count > 0) {
        ssize_t got = pread(file, bytes, count, offset);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        bytes += got;
        count -= static_cast<size_t>(got);
        offset += got;
    }
    return true;
}

// Every block of the flash allocated, so that no later write finds the
// filesystem full. posix_fallocate keeps the bytes already there.
bool allocateWhole(int file) {
    int failure = posix_fallocate(file, 0, TARGET_FLASH_BYTES);
    errno = failure;
    return failure == 0;
}

// Erased bytes, allocated, on disk before the file gets its name.
bool fillErased(int file) {
    memset(held.flash, ERASED_BYTE, TARGET_FLASH_BYTES);
    return allocateWhole(file) && writeAll(file, held.flash, TARGET_FLASH_BYTES, 0) && fdatasync(file) == 0;
}

std::string folderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// An unnamed file in the flash file's folder (O_TMPFILE), filled and then
// linked under the name; -1 with errno EOPNOTSUPP where the filesystem has
// no unnamed files.
int createUnnamed(const std::string& path) {
    int file =
        descriptorAboveStandard(open(folderOf(path).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, NEW_FILE_MODE));
    if (file < 0) {
        return -1;
    }
    char self[64];
    snprintf(self, sizeof(self), "/proc/self/fd/%d", file);
    if (!fillErased(file) || linkat(AT_FDCWD, self, AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) != 0) {
        int failure = errno;
        close(file);
        errno = failure;
        return -1;
    }
    return file;
}

// The same with a named file beside it, removed whatever happens; only a
// kill between its creation and its removal leaves it behind, under a name
// that no run ever opens.
int createNamed(const std::string& path) {
    std::string temporary = path + ".orvan-new-XXXXXX";
    int file = descriptorAboveStandard(mkostemp(&temporary[0], O_CLOEXEC));
    if (file < 0) {
        return -1;
    }
    mode_t mask = umask(0);
    umask(mask);
    bool made = fchmod(file, NEW_FILE_MODE & ~mask) == 0 && fillErased(file) &&
                link(temporary.c_str(), path.c_str()) == 0;
    int failure = errno;
    unlink(temporary.c_str());
    if (!made) {
        close(file);
        errno = failure;
        return -1;
    }
    return file;
}

// A new flash file comes into being whole: erased, at its full size, its
// blocks allocated, and only then under its name. A link never replaces a
// file that another process made meanwhile (EEXIST): that one is used.
int createWhole(const std::string& path) {
    int file = createUnnamed(path);
    if (file < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL || errno == ENOENT)) {
        file = createNamed(path);
    }
    return file;
}

FlashFileOpening giveUp(int file, FlashFileOpening result) {
    close(file);
    return result;
}

} // namespace

FlashFileOpening mapFlashFile(const std::string& path, uint8_t** flash, uint64_t* size) {
    bool created = false;
    int file = -1;
    // Twice: a file another process creates between our open and our link
    // is opened the second time.
    for (int attempt = 0; attempt < 2 && file < 0; attempt++) {
        file = descriptorAboveStandard(open(path.c_str(), O_RDWR | O_CLOEXEC));
        if (file < 0 && errno == ENOENT) {
            file = createWhole(path);
            created = file >= 0;
            if (file < 0 && errno == ENOSPC) {
                return FLASH_FILE_NO_ROOM;
            }
        }
    }
    if (file < 0) {
        return FLASH_FILE_FAILED;
    }
    if (flock(file, LOCK_EX | LOCK_NB) != 0) {
        return giveUp(file, errno == EWOULDBLOCK ? FLASH_FILE_IN_USE : FLASH_FILE_FAILED);
    }
    struct stat status;
    if (fstat(file, &status) != 0) {
        return giveUp(file, FLASH_FILE_FAILED);
    }
    *size = static_cast<uint64_t>(status.st_size);
    if (*size != TARGET_FLASH_BYTES) {
        return giveUp(file, FLASH_FILE_WRONG_SIZE);
    }
    // A sparse file (made by truncate, say) gets its blocks now, or is refused.
    if (!allocateWhole(file)) {
        return giveUp(file, errno == ENOSPC ? FLASH_FILE_NO_ROOM : FLASH_FILE_FAILED);
    }
    if (!readAll(file, held.flash, TARGET_FLASH_BYTES)) {
        return giveUp(file, FLASH_FILE_FAILED);
    }
    held.file = file;
    *flash = held.flash;
    return created ? FLASH_FILE_CREATED : FLASH_FILE_OPENED;
}

void storeFlashFile(uint32_t offset, uint32_t length) {
    // A failed write (the file truncated or its filesystem full under us)
    // leaves the flash in memory, and the run carries on with it.
    if (held.file >= 0 && offset < TARGET_FLASH_BYTES && length <= TARGET_FLASH_BYTES - offset) {
        writeAll(held.file, held.flash + offset, length, static_cast<off_t>(offset));
    }
}

void unmapFlashFile() {
    if (held.file >= 0) {
        close(held.file); // and with it the lock
        held.file = -1;
    }
}

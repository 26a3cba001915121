// The flash file: while a front holds it, every change the target makes to
// its flash is in the file at once (written through by
// flash_file_posix.cpp, a mapped view in flash_file_windows.cpp), so a
// process that dies mid-run leaves exactly what it had erased and programmed.
// The file is held (locked) while open: a second program is refused, as a
// busy cable would be. A missing file is created whole (erased, full size,
// allocated) before it gets its name; a file of another size is refused and
// left as it is, and so is a file whose blocks the filesystem has no room for.
#pragma once

#include <stdint.h>

#include <string>

enum FlashFileOpening {
    FLASH_FILE_OPENED,
    FLASH_FILE_CREATED, // was missing: created, erased
    FLASH_FILE_IN_USE,  // another program holds it
    FLASH_FILE_WRONG_SIZE,
    FLASH_FILE_NO_ROOM, // its filesystem cannot hold all of its blocks
    FLASH_FILE_FAILED,
};

// Opens the file (creating it when missing), takes its lock and gives its
// TARGET_FLASH_BYTES bytes at *flash, for the target to work on; *size is
// the size it was found with.
FlashFileOpening mapFlashFile(const std::string& path, uint8_t** flash, uint64_t* size);
// The target changed these bytes of *flash: they go to the file now. Nothing
// when no file is held; a write that fails leaves the change in memory.
void storeFlashFile(uint32_t offset, uint32_t length);
// Releases the file and its lock.
void unmapFlashFile();
// Why the file cannot serve, as one line without its end; empty when it can.
std::string flashFileRefusal(FlashFileOpening opening, const std::string& path, uint64_t size);
// The note of a file created erased.
std::string flashFileCreatedNote(const std::string& path);

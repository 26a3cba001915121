// The flash file: while a front holds it, the target's flash is the file
// itself (mapped by flash_file_posix.cpp or flash_file_windows.cpp), so a
// process that dies mid-run leaves exactly what it had erased and programmed.
// The file is held (locked) while mapped: a second program is refused, as a
// busy cable would be. A missing file is created erased; a file of another
// size is refused and left as it is.
#pragma once

#include <stdint.h>

#include <string>

enum FlashFileOpening {
    FLASH_FILE_OPENED,
    FLASH_FILE_CREATED, // was missing: created, erased
    FLASH_FILE_IN_USE,  // another program holds it
    FLASH_FILE_WRONG_SIZE,
    FLASH_FILE_FAILED,
};

// Opens the file (creating it when missing), takes its lock and maps its
// TARGET_FLASH_BYTES bytes at *flash; *size is the size it was found with.
FlashFileOpening mapFlashFile(const std::string& path, uint8_t** flash, uint64_t* size);
// Unmaps the file and releases its lock.
void unmapFlashFile();
// Why the file cannot serve, as one line without its end; empty when it can.
std::string flashFileRefusal(FlashFileOpening opening, const std::string& path, uint64_t size);
// The note of a file created erased.
std::string flashFileCreatedNote(const std::string& path);

// The words every front uses for the flash file (emulated_target/flash_file.h).
#include "emulated_target/flash_file.h"

#include <stdio.h>

#include "emulated_target/target.h"

std::string flashFileRefusal(FlashFileOpening opening, const std::string& path, uint64_t size) {
    switch (opening) {
    case FLASH_FILE_IN_USE:
        return "flash file " + path + " is in use by another program";
    case FLASH_FILE_WRONG_SIZE: {
        char sizes[64];
        snprintf(sizes, sizeof(sizes), " has %llu bytes, not %u: left as it is",
                 static_cast<unsigned long long>(size), TARGET_FLASH_BYTES);
        return "flash file " + path + sizes;
    }
    case FLASH_FILE_NO_ROOM: {
        char sizes[96];
        snprintf(sizes, sizeof(sizes), ": no room for its %u bytes on its filesystem", TARGET_FLASH_BYTES);
        return "flash file " + path + sizes;
    }
    case FLASH_FILE_FAILED:
        return "cannot open flash file " + path;
    case FLASH_FILE_OPENED:
    case FLASH_FILE_CREATED:
        break;
    }
    return std::string();
}

std::string flashFileCreatedNote(const std::string& path) {
    return "flash file " + path + " missing, starting erased";
}

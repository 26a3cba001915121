// The flash file (emulated_target/flash_file.h), held while the device is
// open; a file that cannot serve fails the open.
#include <stdio.h>
#include <stdlib.h>

#include "emulated_target/flash_file.h"
#include "emulated_target/target.h"
#include "emulated_target/target_environment.h"
#include "virtual_adapter.h"

namespace vadapter {

namespace {

bool exitHandlerRegistered = false;
bool mapped = false;

// The file is already up to date; the trace still says the session ended
// without a close.
void noteExitWhileOpen() {
    if (isOpen()) {
        note("process exit while open, flash file saved");
        flushPendingLines();
    }
    closeTrace();
}

// One line on standard error and a note in the trace.
void refuse(const std::string& text) {
    fprintf(stderr, "virtual adapter: %s\n", text.c_str());
    note(text);
}

} // namespace

AdapterStatus openFlashFile(uint32_t locationId) {
    const std::string path = envPathAtLocation(config().flashPath, locationId);
    if (path.empty()) {
        return ADAPTER_OK;
    }
    uint8_t* flash = nullptr;
    uint64_t size = 0;
    FlashFileOpening opening = mapFlashFile(path, &flash, &size);
    if (opening == FLASH_FILE_CREATED) {
        note(flashFileCreatedNote(path));
    } else if (opening != FLASH_FILE_OPENED) {
        refuse(flashFileRefusal(opening, path, size));
        return opening == FLASH_FILE_IN_USE ? VA_STATUS_DEVICE_BUSY : VA_STATUS_FLASH_FILE;
    }
    targetAttachFlash(flash);
    mapped = true;
    return ADAPTER_OK;
}

void closeFlashFile() {
    if (mapped) {
        targetAttachFlash(nullptr);
        unmapFlashFile();
        mapped = false;
    }
}

void registerExitHandler() {
    if (!exitHandlerRegistered) {
        exitHandlerRegistered = atexit(noteExitWhileOpen) == 0;
    }
}

} // namespace vadapter

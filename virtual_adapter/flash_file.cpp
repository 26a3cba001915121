// The flash file: while the device is open, the target's flash is the file
// itself (mapped by flash_file_posix.cpp or flash_file_windows.cpp), so a
// process that dies mid-run leaves exactly what it had erased and programmed.
// The file is held for the session: a second program is refused, as a busy
// cable would be. A missing file is created erased; a file of another size
// is refused and left as it is.
#include <stdio.h>
#include <stdlib.h>

#include "emulated_target/target.h"
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

AdapterStatus openFlashFile() {
    const std::string& path = config().flashPath;
    if (path.empty()) {
        return ADAPTER_OK;
    }
    uint8_t* flash = nullptr;
    uint64_t size = 0;
    switch (mapFlashFile(path, &flash, &size)) {
    case FLASH_FILE_CREATED:
        note("flash file " + path + " missing, starting erased");
        break;
    case FLASH_FILE_OPENED:
        break;
    case FLASH_FILE_IN_USE:
        refuse("flash file " + path + " is in use by another program");
        return VA_STATUS_DEVICE_BUSY;
    case FLASH_FILE_WRONG_SIZE:
        refuse(format("flash file %s has %llu bytes, not %u: left as it is", path.c_str(),
                      static_cast<unsigned long long>(size), TARGET_FLASH_BYTES));
        return VA_STATUS_FLASH_FILE;
    case FLASH_FILE_FAILED:
        refuse("cannot open flash file " + path);
        return VA_STATUS_FLASH_FILE;
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

// The flash file: the target's flash loaded at open (missing: erased), saved
// at close and at a normal exit while open.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "emulated_target/target.h"
#include "virtual_adapter.h"

namespace vadapter {

namespace {

bool exitHandlerRegistered = false;

void saveFlash() {
    const std::string& path = config().flashPath;
    if (path.empty()) {
        return;
    }
    FILE* file = fopen(path.c_str(), "wb");
    bool saved = file && fwrite(targetFlash(), 1, TARGET_FLASH_BYTES, file) == TARGET_FLASH_BYTES;
    if (file && fclose(file) != 0) {
        saved = false;
    }
    if (!saved) {
        fprintf(stderr, "virtual adapter: cannot write flash file %s\n", path.c_str());
        note("cannot write flash file " + path);
    }
}

void saveAtExit() {
    if (isOpen()) {
        saveFlash();
        note("process exit while open, flash file saved");
        flushPendingLines();
    }
    closeTrace();
}

} // namespace

bool openFlashFile() {
    const std::string& path = config().flashPath;
    if (path.empty()) {
        return true;
    }
    uint8_t* flash = targetFlash();
    memset(flash, 0xFF, TARGET_FLASH_BYTES);
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) {
        note("flash file " + path + " missing, starting erased");
        return true;
    }
    std::vector<uint8_t> content(TARGET_FLASH_BYTES + 1);
    size_t length = fread(content.data(), 1, content.size(), file);
    fclose(file);
    if (length != TARGET_FLASH_BYTES) {
        note("flash file " + path + " has wrong size, starting erased");
        return true;
    }
    memcpy(flash, content.data(), TARGET_FLASH_BYTES);
    return true;
}

void closeFlashFile() {
    saveFlash();
}

void registerExitHandler() {
    if (!exitHandlerRegistered) {
        exitHandlerRegistered = atexit(saveAtExit) == 0;
    }
}

} // namespace vadapter

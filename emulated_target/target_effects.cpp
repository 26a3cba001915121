// The emulated flash target: its state, the commands' effects and the
// set-up; the frame machine is in target.cpp.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "emulated_target/flash_file.h"
#include "emulated_target/target_state.h"

namespace target_parts {

Target target;

namespace {

// The flash is erased until a front configures the target.
[[maybe_unused]] const bool TARGET_INITIALISED = [] {
    memset(target.ownFlash, 0xFF, TARGET_FLASH_BYTES);
    target.flash = target.ownFlash;
    target.present = true;
    return true;
}();

} // namespace

void name(TargetViolationKind kind, const char* pattern, ...) {
    char text[128];
    va_list args;
    va_start(args, pattern);
    vsnprintf(text, sizeof(text), pattern, args);
    va_end(args);
    targetViolation(kind, text);
}

uint32_t addressOf(const uint8_t* header) {
    return static_cast<uint32_t>(header[1]) << 16 | static_cast<uint32_t>(header[2]) << 8 | header[3];
}

// ---------------------------------------------------------------- busy and status

bool busyWithWork() {
    return target.busyReads > 0 || (target.config.busyTime && targetClockNs() < target.busyUntilNs);
}

void startBusy(uint32_t reads, uint32_t microseconds) {
    target.busyReads = reads;
    if (target.config.busyTime) {
        target.busyUntilNs = targetClockNs() + static_cast<int64_t>(microseconds) * 1000;
    }
}

uint8_t statusByte() {
    bool busy = target.stuck || busyWithWork();
    if (target.busyReads > 0) {
        target.busyReads--;
    }
    return busy ? target.config.busyByte : target.config.readyByte;
}

// ---------------------------------------------------------------- brackets

void openBracket(uint8_t command) {
    if (target.bracket != NO_BRACKET) {
        name(TARGET_BRACKET, "command %02x while bracket %02x is open", command, target.bracket);
    }
    target.bracket = command;
    target.programAddressKnown = false;
}

void closeBracket(uint8_t command, uint8_t opening) {
    if (target.bracket != opening) {
        name(TARGET_BRACKET, "command %02x outside its bracket", command);
        return;
    }
    target.bracket = NO_BRACKET;
}

void requireBracket(uint8_t command, uint8_t opening) {
    if (target.bracket != opening) {
        name(TARGET_BRACKET, "command %02x outside its bracket", command);
    }
}

// ---------------------------------------------------------------- flash

void eraseSector(uint32_t address) {
    if (address >= TARGET_FLASH_BYTES) {
        name(TARGET_ADDRESS, "erase address %06x outside flash", address);
        return;
    }
    if (address % TARGET_SECTOR_BYTES != 0) {
        name(TARGET_ADDRESS, "erase address %06x not sector aligned", address);
    }
    uint32_t sector = address / TARGET_SECTOR_BYTES;
    memset(target.flash + sector * TARGET_SECTOR_BYTES, 0xFF, TARGET_SECTOR_BYTES);
    if (sector == target.config.unerasedSector) {
        target.flash[sector * TARGET_SECTOR_BYTES + TARGET_UNERASED_OFFSET] = 0x00;
    }
    storeFlashFile(sector * TARGET_SECTOR_BYTES, TARGET_SECTOR_BYTES);
    startBusy(target.config.eraseBusyReads, target.config.eraseBusyUs);
}

void programByte(uint8_t data) {
    if (target.programAddress >= TARGET_FLASH_BYTES) {
        name(TARGET_ADDRESS, "program address %06x outside flash", target.programAddress);
    } else {
        target.flash[target.programAddress] &= data;
        storeFlashFile(target.programAddress, 1);
    }
    target.programAddress++;
}

uint8_t readStuckBit(uint32_t address, uint8_t byte) {
    if (address != target.config.stuckBitAddress) {
        return byte;
    }
    uint8_t mask = target.config.stuckBitMask;
    return target.config.stuckBitValue != 0 ? static_cast<uint8_t>(byte | mask)
                                            : static_cast<uint8_t>(byte & ~mask);
}

} // namespace target_parts

using namespace target_parts;

// ---------------------------------------------------------------- set-up

void targetConfigure(const TargetConfig& config) {
    targetAttachFlash(nullptr);
    target.config = config;
    memset(target.ownFlash, 0xFF, TARGET_FLASH_BYTES);
    target.busyReads = 0;
    target.busyUntilNs = 0;
    target.stuck = false;
    target.stuckCommandCount = 0;
    target.present = true;
    targetReset();
}

void targetSetPresent(bool present) {
    if (present && !target.present) {
        target.busyReads = 0;
        target.busyUntilNs = 0;
        target.stuck = false;
        target.stuckCommandCount = 0;
        targetReset();
    }
    target.present = present;
}

bool targetPresent() {
    return target.present;
}

void targetReset() {
    target.bracket = NO_BRACKET;
    target.programAddressKnown = false;
    target.programAddress = 0;
    target.frame = Frame{};
}

uint8_t* targetFlash() {
    return target.flash;
}

void targetAttachFlash(uint8_t* storage) {
    if (storage) {
        target.flash = storage;
        return;
    }
    if (target.flash != target.ownFlash) {
        memcpy(target.ownFlash, target.flash, TARGET_FLASH_BYTES);
        target.flash = target.ownFlash;
    }
}

uint32_t targetProgramRun(const uint8_t* data, uint32_t count) {
    bool running =
        target.present && !target.frame.selected && target.bracket == CMD_PROGRAM_OPEN &&
        target.programAddressKnown && target.programAddress < TARGET_FLASH_BYTES &&
        !(target.config.stuckAfterOccurrence != 0 && target.config.stuckAfterCommand == CMD_PROGRAM) &&
        !busyWithWork();
    if (!running) {
        return 0;
    }
    uint32_t left = TARGET_FLASH_BYTES - target.programAddress;
    uint32_t taken = count < left ? count : left;
    uint8_t* flash = target.flash + target.programAddress;
    for (uint32_t i = 0; i < taken; i++) {
        flash[i] &= data[i];
    }
    storeFlashFile(target.programAddress, taken);
    target.programAddress += taken;
    return taken;
}

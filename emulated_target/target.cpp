// The emulated flash target: the frame machine and the commands' effects.
#include "emulated_target/target.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "emulated_target/flash_file.h"

namespace {

const uint8_t CMD_STATUS = 0x05;
const uint8_t CMD_IDENTITY = 0x90;
const uint8_t CMD_ERASE_OPEN = 0x28;
const uint8_t CMD_ERASE = 0x20;
const uint8_t CMD_ERASE_CLOSE = 0x24;
const uint8_t CMD_READ_OPEN = 0x16;
const uint8_t CMD_READ = 0x03;
const uint8_t CMD_READ_CLOSE = 0x14;
const uint8_t CMD_PROGRAM_OPEN = 0x36;
const uint8_t CMD_PROGRAM = 0xAF;
const uint8_t CMD_PROGRAM_CLOSE = 0x34;
const uint8_t NO_BRACKET = 0;
const uint32_t ADDRESSED_HEADER_BYTES = 4;

// The frame under way.
struct Frame {
    bool selected;
    bool refused;    // unknown command, or busy: the rest of the frame is ignored
    uint32_t length; // bytes clocked so far, the command byte included
    uint8_t header[ADDRESSED_HEADER_BYTES];
    uint8_t answer;   // status or identity, latched at the command byte
    uint32_t address; // read: the next byte to answer; program: the next to program
    bool readable;    // read: the address is inside flash
};

struct Target {
    TargetConfig config;
    uint8_t ownFlash[TARGET_FLASH_BYTES];
    uint8_t* flash;
    uint8_t bracket; // the opening command of the open bracket
    bool programAddressKnown;
    uint32_t programAddress;
    uint32_t busyReads;
    int64_t busyUntilNs;
    bool stuck;
    uint32_t stuckCommandCount;
    Frame frame;
};

Target target;

// The flash is erased until a front configures the target.
[[maybe_unused]] const bool TARGET_INITIALISED = [] {
    memset(target.ownFlash, 0xFF, TARGET_FLASH_BYTES);
    target.flash = target.ownFlash;
    return true;
}();

#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
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

// Busy with an erase or a programming run: commands other than a status read
// are refused. A stuck target only reports busy; it still takes commands.
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

// ---------------------------------------------------------------- frames

// The command byte: refused when unknown or busy; otherwise the bracket is
// checked and a status or identity answer latched.
void beginCommand(uint8_t command) {
    Frame& frame = target.frame;
    frame.header[0] = command;
    if (!targetCommandShape(command).known) {
        name(TARGET_UNKNOWN_COMMAND, "unknown command %02x", command);
        frame.refused = true;
        return;
    }
    if (command == CMD_STATUS) {
        frame.answer = statusByte();
        return;
    }
    if (busyWithWork()) {
        name(TARGET_BUSY, "command %02x while busy", command);
        frame.refused = true;
        return;
    }
    frame.answer = target.config.identityByte;
    if (command == CMD_ERASE) {
        requireBracket(command, CMD_ERASE_OPEN);
    } else if (command == CMD_READ) {
        requireBracket(command, CMD_READ_OPEN);
    } else if (command == CMD_PROGRAM) {
        requireBracket(command, CMD_PROGRAM_OPEN);
    }
}

// The last address byte has come.
void addressComplete() {
    Frame& frame = target.frame;
    uint32_t address = addressOf(frame.header);
    if (frame.header[0] == CMD_READ) {
        frame.address = address;
        frame.readable = address < TARGET_FLASH_BYTES;
        if (!frame.readable) {
            name(TARGET_ADDRESS, "read address %06x outside flash", address);
        }
    }
}

// One byte after the command byte; returns whether the target drove miso.
bool clockByte(uint8_t mosi, uint8_t& miso) {
    Frame& frame = target.frame;
    uint32_t at = frame.length++;
    uint8_t command = frame.header[0];
    if (command == CMD_STATUS || command == CMD_IDENTITY) {
        miso = frame.answer;
        return true;
    }
    if (at < ADDRESSED_HEADER_BYTES) {
        frame.header[at] = mosi;
        if (at + 1 == ADDRESSED_HEADER_BYTES) {
            addressComplete();
        }
        return false;
    }
    if (command == CMD_PROGRAM) {
        if (at == ADDRESSED_HEADER_BYTES) {
            target.programAddress = addressOf(frame.header);
            target.programAddressKnown = true;
        }
        programByte(mosi);
        return false;
    }
    if (command != CMD_READ || !frame.readable || frame.address >= TARGET_FLASH_BYTES) {
        return false;
    }
    miso = readStuckBit(frame.address, target.flash[frame.address]);
    frame.address++;
    return true;
}

// The frame's length against the command's shape, split as the command
// byte says.
void checkFrameLength(uint8_t command, uint32_t length) {
    TargetCommandShape shape = targetCommandShape(command);
    uint32_t header = shape.headerBytes;
    if (shape.bareHeader && length < ADDRESSED_HEADER_BYTES) {
        header = 1;
    }
    if (length < header) {
        name(TARGET_FRAME_LENGTH, "command %02x with %u control bytes", command, length);
    } else if (shape.answers && shape.dataBytes != 0 && length - header != shape.dataBytes) {
        name(TARGET_FRAME_LENGTH, "command %02x reading %u bytes", command, length - header);
    } else if (!shape.answers && length - header != shape.dataBytes) {
        name(TARGET_FRAME_LENGTH, "command %02x with %u data bytes", command, length - header);
    }
}

// A programming frame too short to carry an address: its bytes program the
// next addresses of the run.
void programWithoutAddress() {
    const Frame& frame = target.frame;
    if (!target.programAddressKnown) {
        name(TARGET_ADDRESS, "command af without an address");
        return;
    }
    for (uint32_t i = 1; i < frame.length; i++) {
        programByte(frame.header[i]);
    }
}

// Effects that wait for chip select to go inactive.
void finishCommand() {
    const Frame& frame = target.frame;
    uint8_t command = frame.header[0];
    checkFrameLength(command, frame.length);
    switch (command) {
    case CMD_ERASE_OPEN:
    case CMD_READ_OPEN:
    case CMD_PROGRAM_OPEN:
        openBracket(command);
        break;
    case CMD_ERASE_CLOSE:
        closeBracket(command, CMD_ERASE_OPEN);
        break;
    case CMD_READ_CLOSE:
        closeBracket(command, CMD_READ_OPEN);
        break;
    case CMD_PROGRAM_CLOSE:
        closeBracket(command, CMD_PROGRAM_OPEN);
        startBusy(target.config.programBusyReads, target.config.programBusyUs);
        break;
    case CMD_ERASE:
        if (frame.length >= ADDRESSED_HEADER_BYTES) {
            eraseSector(addressOf(frame.header));
        }
        break;
    case CMD_READ:
        if (frame.readable && frame.length > ADDRESSED_HEADER_BYTES &&
            frame.length - ADDRESSED_HEADER_BYTES > TARGET_FLASH_BYTES - addressOf(frame.header)) {
            name(TARGET_ADDRESS, "read of %u bytes at %06x runs past the end of flash",
                 frame.length - ADDRESSED_HEADER_BYTES, addressOf(frame.header));
        }
        break;
    case CMD_PROGRAM:
        if (frame.length < ADDRESSED_HEADER_BYTES) {
            programWithoutAddress();
        }
        break;
    }
}

void countForStuckFault(uint8_t command) {
    if (target.config.stuckAfterOccurrence != 0 && command == target.config.stuckAfterCommand &&
        ++target.stuckCommandCount >= target.config.stuckAfterOccurrence) {
        target.stuck = true;
    }
}

// One byte on the wire; returns whether the target drove miso.
bool exchangeByte(uint8_t mosi, uint8_t& miso) {
    Frame& frame = target.frame;
    if (!frame.selected) {
        name(TARGET_NOT_SELECTED, "byte %02x clocked without chip select", mosi);
        return false;
    }
    if (frame.length == 0) {
        frame.length = 1;
        beginCommand(mosi);
        return false;
    }
    if (frame.refused) {
        frame.length++;
        return false;
    }
    return clockByte(mosi, miso);
}

} // namespace

// ---------------------------------------------------------------- set-up

void targetConfigure(const TargetConfig& config) {
    targetAttachFlash(nullptr);
    target.config = config;
    memset(target.ownFlash, 0xFF, TARGET_FLASH_BYTES);
    target.busyReads = 0;
    target.busyUntilNs = 0;
    target.stuck = false;
    target.stuckCommandCount = 0;
    targetReset();
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

TargetCommandShape targetCommandShape(uint8_t command) {
    switch (command) {
    case CMD_STATUS:
    case CMD_IDENTITY:
        return {true, true, 1, false, 1};
    case CMD_READ:
        return {true, true, ADDRESSED_HEADER_BYTES, false, 0};
    case CMD_ERASE:
        return {true, false, ADDRESSED_HEADER_BYTES, false, 0};
    case CMD_PROGRAM:
        return {true, false, ADDRESSED_HEADER_BYTES, true, 1};
    case CMD_ERASE_OPEN:
    case CMD_ERASE_CLOSE:
    case CMD_READ_OPEN:
    case CMD_READ_CLOSE:
    case CMD_PROGRAM_OPEN:
    case CMD_PROGRAM_CLOSE:
        return {true, false, 1, false, 0};
    default:
        return {false, false, 0, false, 0};
    }
}

// ---------------------------------------------------------------- the wire

void targetSelect() {
    if (target.frame.selected) {
        name(TARGET_NOT_SELECTED, "chip select while a frame is open");
    }
    target.frame = Frame{};
    target.frame.selected = true;
}

uint8_t targetExchange(uint8_t mosi) {
    uint8_t miso = TARGET_UNDRIVEN;
    exchangeByte(mosi, miso);
    return miso;
}

void targetDeselect() {
    Frame& frame = target.frame;
    if (!frame.selected) {
        name(TARGET_NOT_SELECTED, "chip select raised outside a frame");
        return;
    }
    frame.selected = false;
    if (frame.length == 0) {
        name(TARGET_FRAME_LENGTH, "no command byte");
        return;
    }
    if (frame.refused) {
        return;
    }
    finishCommand();
    countForStuckFault(frame.header[0]);
}

// ---------------------------------------------------------------- many bytes at a time

uint32_t targetReadBytes(uint8_t* miso, uint32_t count) {
    Frame& frame = target.frame;
    bool readData = frame.selected && frame.header[0] == CMD_READ && frame.length >= ADDRESSED_HEADER_BYTES;
    if (readData || (frame.selected && frame.refused)) {
        // A read's data bytes come straight from flash.
        uint32_t left = frame.address < TARGET_FLASH_BYTES ? TARGET_FLASH_BYTES - frame.address : 0;
        uint32_t driven = frame.refused || !frame.readable ? 0 : count < left ? count : left;
        if (miso && driven > 0) {
            memcpy(miso, target.flash + frame.address, driven);
            uint32_t stuck = target.config.stuckBitAddress;
            if (stuck >= frame.address && stuck - frame.address < driven) {
                miso[stuck - frame.address] = readStuckBit(stuck, miso[stuck - frame.address]);
            }
        }
        frame.address += driven;
        frame.length += count;
        return driven;
    }
    uint32_t driven = 0;
    for (uint32_t i = 0; i < count; i++) {
        uint8_t byte = TARGET_UNDRIVEN;
        if (exchangeByte(TARGET_UNDRIVEN, byte)) {
            if (miso) {
                miso[driven] = byte;
            }
            driven++;
        }
    }
    return driven;
}

uint32_t targetProgramRun(const uint8_t* data, uint32_t count) {
    bool running =
        !target.frame.selected && target.bracket == CMD_PROGRAM_OPEN && target.programAddressKnown &&
        target.programAddress < TARGET_FLASH_BYTES &&
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

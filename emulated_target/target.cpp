// The emulated flash target's frame machine: chip select, the command byte,
// the address, the bytes each way, and the command's effect when chip select
// goes inactive; the effects themselves are in target_effects.cpp.
#include <string.h>

#include "emulated_target/target_state.h"

using namespace target_parts;

namespace {

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
    if (!target.present) {
        return;
    }
    if (target.frame.selected) {
        name(TARGET_NOT_SELECTED, "chip select while a frame is open");
    }
    target.frame = Frame{};
    target.frame.selected = true;
}

uint8_t targetExchange(uint8_t mosi) {
    uint8_t miso = TARGET_UNDRIVEN;
    if (target.present) {
        exchangeByte(mosi, miso);
    }
    return miso;
}

void targetDeselect() {
    Frame& frame = target.frame;
    if (!target.present) {
        return;
    }
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
    if (!target.present) {
        return 0;
    }
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

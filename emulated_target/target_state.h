// The emulated target's state and the effects of its commands (busy and
// status, brackets, flash), shared by its two halves: the effects and the
// set-up (target_effects.cpp) and the frame machine on the wire
// (target.cpp). Fronts include target.h only.
#pragma once

#include <stdint.h>

#include "emulated_target/target.h"

namespace target_parts {

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
    bool present;
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

extern Target target;

// Names a violation of the target's rules, formatted.
void name(TargetViolationKind kind, const char* pattern, ...) __attribute__((format(printf, 2, 3)));
// The 24-bit address in an addressed command's header.
uint32_t addressOf(const uint8_t* header);

// Busy with an erase or a programming run: commands other than a status read
// are refused. A stuck target only reports busy; it still takes commands.
bool busyWithWork();
void startBusy(uint32_t reads, uint32_t microseconds);
// The status answer; each read counts down the busy reads.
uint8_t statusByte();

void openBracket(uint8_t command);
void closeBracket(uint8_t command, uint8_t opening);
void requireBracket(uint8_t command, uint8_t opening);

void eraseSector(uint32_t address);
void programByte(uint8_t data);
uint8_t readStuckBit(uint32_t address, uint8_t byte);

} // namespace target_parts

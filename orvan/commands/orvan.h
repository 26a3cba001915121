// The companion command's shared records: its options, its exit statuses
// and the record of the run that --json prints.
#pragma once

#include <stdint.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "core/platform/platform.h"

const int STATUS_DONE = 0;
const int STATUS_TARGET_DISAGREED = 1; // verify mismatch, not blank after erase, target stays busy
const int STATUS_USAGE = 2;            // usage or input error, found before the target was touched
const int STATUS_NO_CABLE = 3;         // no cable, not opened or set up, or the wrong identity byte
const int STATUS_RECORD_NOT_KEPT = 4;  // the work was done, but its record could not be kept

const uint32_t DEFAULT_DIVISOR = 8;
const uint32_t MAX_DIVISOR = 65535;

struct OrvanOptions {
    std::string cable; // empty: the writer's own choice of cable
    uint32_t divisor = DEFAULT_DIVISOR;
    bool json = false;
    bool quiet = false;
    std::string command;
    uint32_t sector = 0;
    uint32_t count = 0; // 0: to the end of the flash
    std::string output;
    bool force = false;
    std::vector<std::string> images;
    bool changed = false;
    bool full = false;
    std::string log;        // the production log to append to
    std::string recordPath; // a worker's: where its --json record goes as well
    // A worker's: the copies of the images, in order, that its parent read
    // and checked, and the parent it ends with.
    std::vector<std::string> imageSources;
    int64_t parentId = 0;
};

// Process-wide: filled once by the command line.
extern OrvanOptions options;

// What --json prints when the command ends; each command adds its fields.
extern nlohmann::ordered_json record;

// Ends the command: the error line (when there is one) on standard error as
// "orvan: WHAT: WHY", the record on standard output under --json, the cable
// closed, and the status.
[[noreturn]] void finish(int status, const std::string& error);

// The same without the error line, which the caller has shown its own way.
[[noreturn]] void finishQuietly(int status, const std::string& error);

// Ends an interrupted command as the interruption would have ended it, with
// the cable closed and a line that says what the flash may hold.
[[noreturn]] void finishInterrupted();
[[noreturn]] void finishInterruptedWith(const std::string& error);

// Set once the command has sent a command that changes the flash.
extern bool flashChanged;

// A file the command made and has not finished: closed and removed when the
// command ends early.
struct UnfinishedOutput {
    std::string path; // empty: none
    PlatformFile file;
    bool open;
};
extern UnfinishedOutput unfinishedOutput;

// The commands; each ends the process.
[[noreturn]] void runList();
[[noreturn]] void runInfo();
[[noreturn]] void runRead();
[[noreturn]] void runVerify();
[[noreturn]] void runErase();
[[noreturn]] void runWriteCommand();

// Puts the cable's location in place of each {location} of a read's file name.
void nameReadOutput(std::string* output, const std::string& location);

std::string hexByte(uint8_t value);
std::string hexAddress(uint32_t address);

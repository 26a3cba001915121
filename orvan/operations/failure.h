// How a flash operation fails, shared by orvan's commands and liborvan: a
// status of the classes orvan ends with, and the one line that says why.
#pragma once

#include <stdint.h>

#include <string>

const int STATUS_DONE = 0;
const int STATUS_TARGET_DISAGREED = 1; // verify mismatch, not blank after erase, target stays busy
const int STATUS_USAGE = 2;            // usage or input error, found before the target was touched
const int STATUS_NO_CABLE = 3;         // no cable, not opened or set up, wrong identity, or stopped answering

// A failure found deep inside an operation: thrown to the one place that
// runs it, which turns it into a command's outcome or a library status.
struct OperationFailure {
    int status;
    std::string error;
    bool shown = false; // the command showed its errors its own way
    bool interrupted = false;
};

// A stop asked for by the program itself (liborvan's caller, through its
// progress callback): taken only where the target is at rest, between read
// groups, erases and programming runs, so that the cable can go on being
// used. A signal's interruption is also taken inside the core's steps.
void requestStop(bool requested);
// True once an interruption has come or while a stop is asked for.
bool operationStopped();

// The failure of an operation stopped by either, by what the flash may hold.
OperationFailure interruption(bool flashChanged);
OperationFailure interruptionWith(const std::string& error);

std::string hexByte(uint8_t value);
std::string hexAddress(uint32_t address);

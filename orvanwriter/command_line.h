// The program's first phase: banner, command line, usage text, key prompt.
#pragma once

#include <stdint.h>

// Defined by the build from the project version.
const char* const VERSION_TEXT = ORVAN_VERSION_TEXT;
const uint32_t MAX_JOBS = 8;
const uint32_t DEFAULT_CLOCK_DIVISOR = 8;
const int EXIT_STATUS_OK = 0;
const int EXIT_STATUS_ERROR = -1;

struct ImageJob {
    const char* fileName;
    uint32_t startSector;
};

struct RunOptions {
    ImageJob jobs[MAX_JOBS];
    uint32_t jobCount;
    uint32_t clockDivisor;
    bool noWait;
};

void printBanner();
void printUsage();

// Prints the key prompt and waits for one key press when there is a console.
void waitForKey();

// Prints the message-free error exit: key prompt, then status -1.
[[noreturn]] void exitWithPrompt();

// Reads a decimal or hexadecimal number the way a 32-bit unsigned conversion
// does; prints "argument is not valid" and returns false when it reads as 0.
bool parseNumber(const char* text, uint32_t* value);

// Fills options from the arguments and returns the job count; 0 means the
// usage text follows. A sector out of range or a missing file ends the process.
uint32_t parseCommandLine(int argumentCount, char** arguments, RunOptions* options);

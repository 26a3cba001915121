// The fuzz-only platform layer and the standard-output capture shared by the
// fuzz targets. No file system access, no console, and platformExit returns
// control to the fuzz target instead of ending the process.
#pragma once

#include <setjmp.h>
#include <stddef.h>
#include <stdint.h>

// A file exists exactly when its name starts with this prefix.
const char* const FUZZ_EXISTING_FILE_PREFIX = "img";

struct FuzzPlatformState {
    // Where platformExit jumps to; platformExit traps when it is null.
    jmp_buf* exitJump;
    int exitStatus;
    uint32_t keyReads;
    uint32_t fileChecks;
};

extern FuzzPlatformState fuzzPlatform;

// Clears the counters and the exit status before one run of the code.
void resetFuzzPlatform();

// Points stdout at an in-memory buffer for the rest of the process.
void captureStdout();

// Forgets whatever was printed so far.
void clearCapturedOutput();

// What was printed since the last clear; not NUL-terminated, length in size.
const char* capturedOutput(size_t* size);

// Prints the message to stderr and stops with a crash the fuzzer records.
[[noreturn]] void fuzzFailure(const char* format, ...) __attribute__((format(printf, 1, 2)));

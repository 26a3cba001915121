#include "fuzz/fuzz_platform.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "core/platform/platform.h"

// Printed text beyond this is cut off; the targets keep their inputs far below.
static const size_t CAPTURE_BUFFER_BYTES = 1 << 20;

static char captureBuffer[CAPTURE_BUFFER_BYTES];
static FILE* captureStream = nullptr;
static uint64_t fakeClockMs = 0;

FuzzPlatformState fuzzPlatform = {nullptr, 0, 0, 0};

void resetFuzzPlatform() {
    fuzzPlatform.exitStatus = 0;
    fuzzPlatform.keyReads = 0;
    fuzzPlatform.fileChecks = 0;
}

void captureStdout() {
    if (captureStream != nullptr) {
        return;
    }
    captureStream = fmemopen(captureBuffer, sizeof(captureBuffer), "w");
    if (captureStream == nullptr) {
        fuzzFailure("cannot open the in-memory stream for stdout\n");
    }
    fflush(stdout);
    // The C library reads the stdout variable on every call, so printf,
    // puts and fflush(stdout) in the code under test all land here.
    stdout = captureStream;
}

void clearCapturedOutput() {
    fflush(captureStream);
    fseek(captureStream, 0, SEEK_SET);
}

const char* capturedOutput(size_t* size) {
    fflush(captureStream);
    long position = ftell(captureStream);
    *size = position > 0 ? static_cast<size_t>(position) : 0;
    return captureBuffer;
}

void fuzzFailure(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    vfprintf(stderr, format, arguments);
    va_end(arguments);
    fflush(stderr);
    __builtin_trap();
}

bool platformFileExists(const char* path) {
    fuzzPlatform.fileChecks++;
    return strncmp(path, FUZZ_EXISTING_FILE_PREFIX, strlen(FUZZ_EXISTING_FILE_PREFIX)) == 0;
}

bool platformOpenFile(const char*, PlatformFile*) {
    return false;
}

bool platformFileSize(PlatformFile, uint64_t*) {
    return false;
}

bool platformReadFile(PlatformFile, uint8_t*, uint32_t, uint32_t* bytesRead) {
    *bytesRead = 0;
    return false;
}

void platformCloseFile(PlatformFile) {}

void platformSleepMs(uint32_t milliseconds) {
    fakeClockMs += milliseconds;
}

uint64_t platformMonotonicMs() {
    return fakeClockMs;
}

void platformReadKey() {
    fuzzPlatform.keyReads++;
}

// No interruption ever comes while fuzzing.
void platformCatchInterruptions() {}

bool platformInterrupted() {
    return false;
}

void platformEndInterrupted() {
    fuzzFailure("platformEndInterrupted without an interruption\n");
}

void platformExit(int status) {
    fuzzPlatform.exitStatus = status;
    if (fuzzPlatform.exitJump == nullptr) {
        fuzzFailure("platformExit(%d) outside a guarded run\n", status);
    }
    longjmp(*fuzzPlatform.exitJump, 1);
}

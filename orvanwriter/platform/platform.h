// The operating-system layer: console key read, files, sleep, clock,
// interruptions and process exit. One implementation file per operating
// system, chosen by the build.
#pragma once

#include <stdint.h>

// An open file; value is the operating system's descriptor or handle.
struct PlatformFile {
    intptr_t value;
};

// Called first, before anything is opened: each of standard input, output
// and error that is closed is opened on the null device. Otherwise the next
// file opened (the flash file, a trace) would take its descriptor, and
// console text would be written into it or a key read from it.
void platformGuardStandardStreams();

// True when the path names an existing file that can be opened (no read or
// write access requested, no sharing); a directory does not pass.
bool platformFileExists(const char* path);

// Opens an existing file for reading, without sharing where the system has it.
bool platformOpenFile(const char* path, PlatformFile* file);

// The file's whole size, also beyond 4 GiB.
bool platformFileSize(PlatformFile file, uint64_t* size);

// Reads up to count bytes; bytesRead tells how many arrived before the end of
// the file. False when the system reports a read error.
bool platformReadFile(PlatformFile file, uint8_t* destination, uint32_t count, uint32_t* bytesRead);

void platformCloseFile(PlatformFile file);

void platformSleepMs(uint32_t milliseconds);

// Milliseconds on a clock that never goes back; the origin is arbitrary.
uint64_t platformMonotonicMs();

// Reads one key from the console without echo and without waiting for Enter.
// Returns at once when standard input is not a console (redirected, at its
// end or closed), or when an interruption has come. An interruption during
// the read restores the console and ends the process as platformEndInterrupted
// does: the adapter is closed before any prompt, so nothing else is left.
void platformReadKey();

// Called first thing: from here an interruption (Ctrl-C, Ctrl-Break; on POSIX
// also SIGTERM and SIGHUP) only records itself, and the run stops at its next
// check; a second one ends the process at once. Output that cannot be
// written (a reader that went away) is dropped instead of ending the process.
void platformCatchInterruptions();

// True once an interruption has come.
bool platformInterrupted();

// Ends the process as the interruption would have ended it by itself, so
// that a calling shell or script sees an interrupted program.
[[noreturn]] void platformEndInterrupted();

[[noreturn]] void platformExit(int status);

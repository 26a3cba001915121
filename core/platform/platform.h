// The operating-system layer: console key read, files, sleep, clock,
// interruptions and process exit. One implementation file per operating
// system, chosen by the build.
#pragma once

#include <stdint.h>

#include <string>

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

// What the system said of the last file call that failed, for a message.
const char* platformLastErrorText();

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

// From here a second interruption does not end the process: it is counted,
// for a parent that stops its workers itself.
void platformCountInterruptions();
uint32_t platformInterruptionCount();

// Ends the process as the interruption would have ended it by itself, so
// that a calling shell or script sees an interrupted program.
[[noreturn]] void platformEndInterrupted();

[[noreturn]] void platformExit(int status);

// Creates a file for writing. Without replace an existing file is left as it
// is and the call fails.
bool platformCreateFile(const char* path, bool replace, PlatformFile* file);

// Writes all count bytes; false when the system refuses any of them.
bool platformWriteFile(PlatformFile file, const uint8_t* source, uint32_t count);

// True when standard error is a terminal, where progress may redraw a line.
bool platformStandardErrorIsTerminal();

// The width of the terminal standard error shows, asked afresh on each call
// so that a resized window is followed; 0 when it cannot be told.
uint32_t platformTerminalColumns();

// Standard output passes bytes unchanged from here on (no line-end
// translation where the system has it).
void platformBinaryStandardOutput();

// The status platformEndInterrupted ends the process with, as a parent sees it.
int platformInterruptedStatus();

// Worker processes, and the files they and their parent share
// (process_posix.cpp, process_windows.cpp).

struct PlatformProcess {
    intptr_t value;
    intptr_t id;
};

// This program's own file, to start workers of it.
bool platformProgramPath(char* path, uint32_t size);

// Starts the program (arguments[0], arguments ending with a null entry) with
// its standard output and standard error going to the files at the two
// paths (created or emptied). The worker keeps no console interruption of
// its own: platformInterruptProcess hands it the parent's.
bool platformStartProcess(const char* const* arguments, const char* outputPath, const char* errorPath,
                          PlatformProcess* process);

// True once the process has ended, with the status as a shell sees it
// (128 + N for signal N on POSIX); false while it runs.
bool platformProcessEnded(PlatformProcess process, int* status);

// Interrupts the process as Ctrl-C would.
void platformInterruptProcess(PlatformProcess process);

// Ends the process at once.
void platformKillProcess(PlatformProcess process);

// A private folder for this process's work files, made on the first call:
// the folder's path, or "" when none can be made.
const char* platformWorkFolder();

// Removes the work folder, once its files are removed.
void platformRemoveWorkFolder();

// Opens a file that another process may still be writing, for reading.
bool platformOpenSharedFile(const char* path, PlatformFile* file);

// The whole of such a file as it stands; "" when it cannot be opened.
std::string platformReadSharedFile(const char* path);

void platformRemoveFile(const char* path);

// Appends count bytes to the file (created when missing) in one write, so
// that processes appending at once never split each other's lines.
bool platformAppendToFile(const char* path, const uint8_t* bytes, uint32_t count);

// The machine's name, or "" when it has none.
void platformHostName(char* name, uint32_t size);

// Gives the file at from the name to, replacing a file of that name.
bool platformRenameFile(const char* from, const char* to);

// Files a command writes in a user's folder, never touching one it did not
// make, and its worker processes' ties to their parent.

// Room for a path the system may give back.
const uint32_t PLATFORM_PATH_CHARS = 4096;

// What a path names, links followed; a link that leads nowhere is OTHER.
enum PlatformPathKind {
    PLATFORM_PATH_MISSING,
    PLATFORM_PATH_REGULAR,
    PLATFORM_PATH_FOLDER,
    PLATFORM_PATH_OTHER
};
PlatformPathKind platformPathKind(const char* path);

// The path with its links and its folder's links resolved: of the file itself
// when it exists, else of its folder and then its name. False when the
// folder does not exist or the result does not fit.
bool platformFullPath(const char* path, char* full, uint32_t size);

// Creates a file of a new name, "prefix" and a few random characters, then
// suffix, that no other file had: never an existing file or link. The name
// made goes to path.
bool platformCreateUniqueFile(const char* prefix, const char* suffix, char* path, uint32_t size,
                              PlatformFile* file);

// Gives the file at from the name to only when no file has that name: the
// check and the move are one step, so a file made meanwhile is kept.
bool platformRenameWithoutReplacing(const char* from, const char* to);

// Opens the file at path (created when missing) for appending, without
// waiting on a FIFO or device, and checks that it is a regular file. A
// check made before the work begins, by the same rules as the append.
bool platformCheckAppendable(const char* path);

// This process's id, for a worker to follow its parent.
intptr_t platformProcessId();

// Called by a worker: when the parent with this id ends, the worker is
// interrupted as by Ctrl-C, also when the parent ended before the call.
// (On Windows the parent's job object ends its workers instead.)
void platformFollowParent(intptr_t parentId);

// True when the worker's parent has ended. (On Windows the parent's job
// object ends its workers with it, so a worker never sees that.)
bool platformParentGone(intptr_t parentId);

// Removes an empty folder; a folder that still holds files is left.
void platformRemoveEmptyFolder(const char* path);

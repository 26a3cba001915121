// Files the emulations open for themselves (trace, waveform, frames, flash).
// The emulations are libraries inside someone else's program: a program
// started with standard input, output or error closed would otherwise hand
// descriptor 0, 1 or 2 to such a file, and the program's console text would
// land in it. One implementation file per operating system.
#pragma once

#include <stdio.h>

#include <string>

// Creates (or empties) the file for writing; never on a standard descriptor.
FILE* createOutputFile(const std::string& path);

// POSIX: the descriptor moved above the standard ones (the one given is
// closed), or itself when it is above them already; -1 stays -1.
int descriptorAboveStandard(int descriptor);

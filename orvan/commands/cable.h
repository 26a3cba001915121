// The cable a command runs on: chosen by location or as the writer chooses,
// opened, clocked and checked for the target's identity.
#pragma once

#include <stdint.h>

#include <string>

// Reads a location as list shows it: hexadecimal, with or without 0x.
bool parseLocation(const std::string& text, uint32_t* locationId);

// Opens the chosen cable at the divisor asked for and checks the target's
// identity; ends the command with STATUS_NO_CABLE when any of that fails.
// Returns the SPI clock in Hz.
uint32_t openCable();

// Closes the cable when it is open.
void closeCable();

// After a flash step returned false: the interruption, or a target that
// stays busy or does not deliver, for the step named by what.
[[noreturn]] void failFlashStep(const std::string& what);

// The target's configuration from the VADAPTER_* variables, read alike by
// every front that emulates it (the virtual adapter, the emulated cable),
// and the reading of numbers that the fronts' own variables share. Numbers
// are decimal or 0x hexadecimal; a value that does not parse is reported on
// standard error as "FRONT: bad NAME value" and the default stays.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "emulated_target/target.h"

// A decimal or 0x hexadecimal number of at most 32 bits, nothing else.
bool envParseNumber(const std::string& text, uint32_t& value);
bool envParseByte(const std::string& text, uint8_t& value);
std::vector<std::string> envSplit(const std::string& text, char separator);
// Whether the variable is set, and its value when it is.
bool envVariable(const char* name, std::string& value);
void envReportBad(const char* front, const char* name);
// Reads the variable if set; a value that does not parse is reported.
void envReadNumber(const char* front, const char* name, uint32_t& field);
void envReadByte(const char* front, const char* name, uint8_t& field);

// The path with each "{location}" replaced by the location id of the opened
// device in lower-case hexadecimal without 0x (flash-{location}.bin at
// 0x1102: flash-1102.bin), so that each cable of a fixture has files of its
// own.
std::string envPathAtLocation(const std::string& path, uint32_t locationId);
// VADAPTER_PRESENT (the board on the cable) and VADAPTER_PLUGGED (the cable
// in its socket) name a file, through envPathAtLocation, that stands for the
// thing being there. Whether it is: always for an empty path, else while the
// file exists; one stat(), cheap enough for every call that reaches the
// target.
bool envPresent(const std::string& path);
// VADAPTER_FAULT_LOCATION: when set, the fault variables apply only to the
// device opened at that location; false when it is not set.
bool envReadFaultLocation(const char* front, uint32_t& location);
// The target's configuration with its faults off: a device that the faults
// do not concern.
TargetConfig targetWithoutFaults(const TargetConfig& config);

// The target's own variables (identity, status bytes, busy reads and times,
// the flash faults) over the defaults of TargetConfig. Whether the busy times
// apply (TargetConfig::busyTime) is the front's choice.
TargetConfig targetConfigFromEnvironment(const char* front);

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

// The target's own variables (identity, status bytes, busy reads and times,
// the flash faults) over the defaults of TargetConfig. Whether the busy times
// apply (TargetConfig::busyTime) is the front's choice.
TargetConfig targetConfigFromEnvironment(const char* front);

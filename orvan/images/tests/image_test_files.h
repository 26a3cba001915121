// Helpers of the image tests: files in the test's temporary folder and
// records built with their checksums.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

// Writes bytes to a file of that name in the temporary folder; returns its path.
std::string writeTestFile(const std::string& name, const std::string& bytes);
std::string testFilePath(const std::string& name);

// ":LLAAAATT<data>CC" for the given data bytes in hex.
std::string hexRecord(uint8_t type, uint16_t offset, const std::string& dataHex);
// "S<digit><count><address><data><checksum>" with an address of addressBytes.
std::string srecRecord(char digit, uint32_t address, uint32_t addressBytes, const std::string& dataHex);

std::vector<uint8_t> bytesOfHex(const std::string& hex);

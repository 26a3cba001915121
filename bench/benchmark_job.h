// The job both benchmarks time: a 131072-byte image written at sector 0, run
// as the built program in a scratch folder.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "../tests/program_runner.h"

const uint64_t BENCHMARK_IMAGE_BYTES = 131072;

// The program named by the argument, or else the orvanwriter beside this
// benchmark; it becomes the program that runProgram starts.
std::string benchmarkProgram(const char* argument);
// A fresh folder under /tmp named after prefix, holding the image as image.bin.
std::string benchmarkFolder(const std::string& prefix);
// Writes image.bin at sector 0 at the clock divisor; a run that fails ends
// the benchmark.
ProgramResult writeBenchmarkImage(const std::string& directory, uint32_t divisor,
                                  const std::vector<std::string>& environment);
bool removeBenchmarkFolder(const std::string& directory);

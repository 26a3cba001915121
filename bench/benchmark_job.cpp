#include "benchmark_job.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>

std::string benchmarkProgram(const char* argument) {
    std::string program;
    if (argument != nullptr) {
        program = argument;
    } else {
        char self[4096];
        ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
        std::string path = length > 0 ? std::string(self, static_cast<size_t>(length)) : std::string("./x");
        program = path.substr(0, path.rfind('/')) + "/orvanwriter";
    }
    setenv("ORVAN_PROGRAM", program.c_str(), 1);
    return program;
}

std::string benchmarkFolder(const std::string& prefix) {
    std::string pattern = "/tmp/" + prefix + "-XXXXXX";
    std::string directory = mkdtemp(&pattern[0]);
    std::string image(BENCHMARK_IMAGE_BYTES, '\0');
    for (uint64_t i = 0; i < BENCHMARK_IMAGE_BYTES; i++) {
        image[i] = static_cast<char>((i * 131 + (i >> 7)) & 0xFF);
    }
    std::ofstream(directory + "/image.bin", std::ios::binary) << image;
    return directory;
}

ProgramResult writeBenchmarkImage(const std::string& directory, uint32_t divisor,
                                  const std::vector<std::string>& environment) {
    ProgramRun run;
    run.arguments = {"-q", std::to_string(divisor), "-s", "0", "-f", "image.bin", "-e"};
    run.directory = directory;
    run.environment = environment;
    ProgramResult result = runProgram(run);
    if (result.status != 0) {
        fprintf(stderr, "write run failed with status %d:\n%s\n", result.status, result.output.c_str());
        exit(1);
    }
    return result;
}

bool removeBenchmarkFolder(const std::string& directory) {
    std::string cleanup = "rm -rf '" + directory + "'";
    return system(cleanup.c_str()) == 0;
}

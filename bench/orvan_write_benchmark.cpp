// Bus time of orvan write against orvanwriter on the same job, under both
// models: the virtual adapter's (the trace's bus_ns: bits at the clock plus
// 1 ms per round trip) and the emulated USB cable's (model_ns: USB writes,
// waits for IN data and the bits at the clock). Every row also checks that
// the flash afterwards is, byte for byte, what orvanwriter leaves.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "benchmark_job.h"
#include "core/flash/flash_geometry.h"
#include "core/platform/platform.h"

namespace {

const uint32_t FIRMWARE_CODE_END = 49152;
const uint32_t FIRMWARE_TAIL_START = 126976;
const uint32_t CHANGED_BYTES = 100;
const uint32_t CHANGED_OFFSET = 3 * SECTOR_SIZE + 1000;

struct Row {
    const char* image;   // file in the folder
    const char* mode;    // orvan write's option, "" for the default
    const char* holding; // the image the flash holds before the job, "" for erased
    const char* title;
    double goal;
};

const Row ROWS[] = {
    {"random.bin", "", "", "random bytes", 1.01},
    {"firmware.bin", "", "", "firmware-like", 0.75},
    {"firmware.bin", "--changed", "firmware.bin", "the same image again", 0.30},
    {"changed.bin", "--changed", "firmware.bin", "100 bytes changed in sector 3", 0.40},
};

std::string folder;
std::string programFolder;

void saveImage(const char* name, const std::string& bytes) {
    std::ofstream(folder + "/" + name, std::ios::binary) << bytes;
}

void makeImages() {
    std::mt19937 random(20261208);
    std::string bytes(BENCHMARK_IMAGE_BYTES, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(random() & 0xFF);
    }
    saveImage("random.bin", bytes);
    std::string firmware = bytes;
    std::fill(firmware.begin() + FIRMWARE_CODE_END, firmware.begin() + FIRMWARE_TAIL_START, '\xff');
    saveImage("firmware.bin", firmware);
    for (uint32_t i = 0; i < CHANGED_BYTES; i++) {
        firmware[CHANGED_OFFSET + i] = static_cast<char>(i);
    }
    saveImage("changed.bin", firmware);
}

uint64_t closeField(const std::string& trace, const char* name) {
    std::ifstream lines(trace);
    uint64_t value = 0;
    for (std::string line; std::getline(lines, line);) {
        size_t at = line.find(std::string(" ") + name + "=");
        if (line.rfind("close ", 0) == 0 && at != std::string::npos) {
            value = strtoull(line.c_str() + at + strlen(name) + 2, nullptr, 10);
        }
    }
    return value;
}

void run(const char* program, const std::vector<std::string>& arguments, const std::string& flash,
         const std::string& trace) {
    setenv("ORVAN_PROGRAM", (programFolder + "/" + program).c_str(), 1);
    ProgramRun job;
    job.arguments = arguments;
    job.directory = folder;
    job.environment = {"VADAPTER_FLASH=" + flash, "VADAPTER_TRACE=" + trace};
    ProgramResult result = runProgram(job);
    if (result.status != 0) {
        fprintf(stderr, "%s failed with status %d:\n%s\n", program, result.status, result.output.c_str());
        exit(1);
    }
}

// Prepares the flash file: erased, or holding an image written by orvanwriter.
void prepareFlash(const std::string& flash, const char* holding) {
    remove((folder + "/" + flash).c_str());
    if (holding[0] != '\0') {
        run("orvanwriter", {"-s", "0", "-f", holding, "-e"}, flash, "prepare.txt");
    }
}

// Returns the job's modeled bus time in ns for orvanwriter (first) and orvan write.
std::pair<uint64_t, uint64_t> measure(const Row& row, uint32_t divisor, const char* field, bool* same) {
    std::string q = std::to_string(divisor);
    prepareFlash("writer.bin", row.holding);
    run("orvanwriter", {"-q", q, "-s", "0", "-f", row.image, "-e"}, "writer.bin", "writer.txt");
    prepareFlash("orvan.bin", row.holding);
    std::vector<std::string> arguments = {"-q", q, "--quiet", "write", std::string(row.image) + "@0"};
    if (row.mode[0] != '\0') {
        arguments.push_back(row.mode);
    }
    run("orvan", arguments, "orvan.bin", "orvan.txt");
    *same = readWholeFile(folder + "/writer.bin") == readWholeFile(folder + "/orvan.bin");
    return {closeField(folder + "/writer.txt", field), closeField(folder + "/orvan.txt", field)};
}

bool table(const char* model, const char* field) {
    bool met = true;
    for (const Row& row : ROWS) {
        for (uint32_t divisor : {0u, 8u}) {
            bool same = false;
            std::pair<uint64_t, uint64_t> ns = measure(row, divisor, field, &same);
            double ratio = static_cast<double>(ns.second) / static_cast<double>(ns.first);
            bool rowMet = same && ratio <= row.goal;
            met = met && rowMet;
            printf("| %s | %s | %s | %u | %.1f ms | %.1f ms | %.3f | <= %.2f | %s |\n", model, row.title,
                   row.mode[0] != '\0' ? row.mode : "default", divisor, ns.first / 1e6, ns.second / 1e6,
                   ratio, row.goal,
                   !same    ? "FLASH DIFFERS"
                   : rowMet ? "met"
                            : "MISSED");
        }
    }
    return met;
}

} // namespace

int main(int argumentCount, char** arguments) {
    platformGuardStandardStreams();
    std::string writer = benchmarkProgram(argumentCount > 1 ? arguments[1] : nullptr);
    programFolder = writer.substr(0, writer.rfind('/'));
    folder = benchmarkFolder("orvan-write-bench");
    makeImages();
    printf(
        "| model | image (131072 bytes at sector 0) | mode | divisor | orvanwriter | orvan write | ratio | "
        "goal | result |\n|---|---|---|---|---|---|---|---|---|\n");
    bool met = table("virtual adapter", "bus_ns");
    setenv("ORVAN_OVER_USB", (programFolder + "/mpsse:" + programFolder + "/emulated_usb").c_str(), 1);
    bool usbMet = access((programFolder + "/mpsse/libftcspi.so").c_str(), F_OK) != 0 ||
                  table("emulated USB cable", "model_ns");
    unsetenv("ORVAN_OVER_USB");
    printf("\n%s\n", met && usbMet ? "every row met its goal, with the flash equal to orvanwriter's"
                                   : "a row MISSED its goal or left another flash");
    return removeBenchmarkFolder(folder) && met && usbMet ? 0 : 1;
}

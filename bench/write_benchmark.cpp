// Benchmark of a whole write run: a 131072-byte image at sector 0 (erase 8,
// blank check, program, read back) through the virtual adapter. Prints the
// host cost of the program next to the bus time the virtual adapter models,
// and checks that model against the minimum the protocol needs.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "adapter_interface/adapter_clock.h"
#include "benchmark_job.h"
#include "core/flash/flash_geometry.h"
#include "core/platform/platform.h"

namespace {

const uint64_t SECTORS = BENCHMARK_IMAGE_BYTES / SECTOR_SIZE;
const uint64_t PROGRAM_BATCH = 10240;
const uint64_t LATENCY_US = 1000;
const uint64_t ERASE_BUSY_READS = 3;
const uint64_t PROGRAM_BUSY_READS = 2;
const int TIMED_RUNS = 15;
const double CPU_TARGET_PERCENT = 2.0;
const long MEMORY_TARGET_KB = 4096;
const char* const CALL_NAMES[] = {"count", "describe", "open",  "setup6", "clock",   "setup14", "linelevels",
                                  "query", "read",     "write", "queue",  "execute", "close"};
const int CALL_KINDS = 13;

struct Totals {
    uint64_t bits;
    uint64_t roundTrips;
};

// What the protocol must clock and how many bus round trips it needs, with a
// target that is ready at once except for its modeled busy reads.
Totals protocolMinimum(uint32_t divisor) {
    const uint64_t statusBits = 16, bareBits = 8, addressedBits = 32, queuedBits = 16;
    const uint64_t blockReadBits = addressedBits + 8 * SECTOR_SIZE;
    Totals totals = {0, 0};
    auto add = [&totals](uint64_t count, uint64_t bitsEach) {
        totals.bits += count * bitsEach;
        totals.roundTrips += count;
    };
    add(6 + (divisor != 8 ? 1 : 0) + 1, 0); // open, set-up, clock override, close
    add(1, statusBits);                     // identity
    add(SECTORS * (3 + ERASE_BUSY_READS), statusBits);
    add(SECTORS * 2, bareBits);
    add(SECTORS, addressedBits);
    for (int pass = 0; pass < 2; pass++) { // blank check and read-back
        add(SECTORS * 2, statusBits);
        add(SECTORS * 2, bareBits);
        add(SECTORS, blockReadBits);
    }
    add(PROGRAM_BUSY_READS, statusBits);
    add(2, statusBits);
    add(2, bareBits);
    add(1, addressedBits + 8); // 0xAF with the address and byte 0
    totals.bits += (BENCHMARK_IMAGE_BYTES - 1) * queuedBits;
    totals.roundTrips += (BENCHMARK_IMAGE_BYTES - 1) / PROGRAM_BATCH + 1; // queue executions
    return totals;
}

double minimumBusMs(uint32_t divisor) {
    Totals totals = protocolMinimum(divisor);
    double hz = adapterClockKhz(divisor) * HZ_PER_KHZ;
    return static_cast<double>(totals.bits) * 1000.0 / hz +
           static_cast<double>(totals.roundTrips * LATENCY_US) / 1000.0;
}

ProgramResult writeImage(const std::string& directory, uint32_t divisor, bool traced) {
    std::vector<std::string> environment = {"VADAPTER_LATENCY_US=" + std::to_string(LATENCY_US),
                                            "VADAPTER_ERASE_BUSY_READS=" + std::to_string(ERASE_BUSY_READS),
                                            "VADAPTER_PROGRAM_BUSY_READS=" +
                                                std::to_string(PROGRAM_BUSY_READS)};
    if (traced) {
        environment.push_back("VADAPTER_TRACE=trace.txt");
    }
    return writeBenchmarkImage(directory, divisor, environment);
}

long highWaterKb(pid_t process) {
    std::ifstream status("/proc/" + std::to_string(process) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return -1;
}

// The program's own peak resident memory, read just before it exits. The
// resource usage of a child would also count the memory of the forked
// benchmark before the program was loaded.
long programPeakKb(const std::string& program, const std::string& directory) {
    pid_t child = fork();
    if (child == 0) {
        int devNull = open("/dev/null", O_RDWR);
        dup2(devNull, STDIN_FILENO);
        dup2(devNull, STDOUT_FILENO);
        if (chdir(directory.c_str()) != 0 || ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) {
            _exit(126);
        }
        execl(program.c_str(), program.c_str(), "-q", "0", "-s", "0", "-f", "image.bin", "-e",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    long peakKb = -1;
    int status = 0;
    while (waitpid(child, &status, 0) == child && WIFSTOPPED(status)) {
        int signal = WSTOPSIG(status);
        if (signal == SIGTRAP && (status >> 16) == PTRACE_EVENT_EXIT) {
            peakKb = highWaterKb(child);
            signal = 0;
        } else if (signal == SIGTRAP) {
            ptrace(PTRACE_SETOPTIONS, child, nullptr, reinterpret_cast<void*>(PTRACE_O_TRACEEXIT));
            signal = 0;
        }
        ptrace(PTRACE_CONT, child, nullptr, reinterpret_cast<void*>(static_cast<intptr_t>(signal)));
    }
    return peakKb;
}

struct TraceFigures {
    double busMs;
    uint64_t calls[CALL_KINDS];
};

TraceFigures readTrace(const std::string& directory) {
    TraceFigures figures = {0, {}};
    std::ifstream trace(directory + "/trace.txt");
    for (std::string line; std::getline(trace, line);) {
        std::string kind = line.substr(0, line.find(' '));
        for (int i = 0; i < CALL_KINDS; i++) {
            figures.calls[i] += kind == CALL_NAMES[i] ? 1 : 0;
        }
        size_t bus = line.find("bus_ns=");
        if (kind == "close" && bus != std::string::npos) {
            figures.busMs = strtod(line.c_str() + bus + 7, nullptr) / 1e6;
        }
    }
    return figures;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The least a run took: what the code costs when nothing else on the machine
// takes the processor from it.
double least(const std::vector<double>& values) {
    return *std::min_element(values.begin(), values.end());
}

} // namespace

int main(int argumentCount, char** arguments) {
    platformGuardStandardStreams();
    std::string program = benchmarkProgram(argumentCount > 1 ? arguments[1] : nullptr);
    std::string directory = benchmarkFolder("orvan-bench");

    std::vector<double> cpuMs, wallMs;
    for (int run = 0; run < TIMED_RUNS; run++) {
        ProgramResult result = writeImage(directory, 0, false);
        cpuMs.push_back(result.cpuSeconds * 1000.0);
        wallMs.push_back(result.wallSeconds * 1000.0);
    }
    long peakKb = programPeakKb(program, directory);
    printf("Write run of a 131072-byte image at sector 0, %d untraced runs at divisor 0\n", TIMED_RUNS);
    printf("| figure | least | median |\n|---|---|---|\n");
    printf("| host CPU, whole run | %.2f ms | %.2f ms |\n", least(cpuMs), median(cpuMs));
    printf("| wall time, whole run | %.1f ms | %.1f ms |\n", least(wallMs), median(wallMs));
    printf("| peak resident memory | %ld KiB | (target %ld KiB) |\n\n", peakKb, MEMORY_TARGET_KB);

    printf("| divisor | SPI clock | modeled bus time | protocol minimum | modeled / minimum | least host CPU "
           "/ bus |\n");
    printf("|---|---|---|---|---|---|\n");
    bool modelAgrees = true;
    double cpuShare = 0;
    TraceFigures figures = {0, {}};
    for (uint32_t divisor : {0u, 8u, 29u}) {
        writeImage(directory, divisor, true);
        figures = readTrace(directory);
        double minimum = minimumBusMs(divisor);
        double ratio = figures.busMs / minimum;
        modelAgrees = modelAgrees && ratio > 0.99 && ratio < 1.01;
        double share = 100.0 * least(cpuMs) / figures.busMs;
        cpuShare = divisor == 0 ? share : cpuShare;
        printf("| %u | %.0f kHz | %.1f ms | %.1f ms | %.4f | %.2f %% |\n", divisor, adapterClockKhz(divisor),
               figures.busMs, minimum, ratio, share);
    }
    printf("\nLibrary calls per job (each a USB round trip on real adapters, except queue):\n\n|");
    for (const char* name : CALL_NAMES) {
        printf(" %s |", name);
    }
    printf("\n|");
    for (int i = 0; i < CALL_KINDS; i++) {
        printf("---|");
    }
    printf("\n|");
    for (uint64_t count : figures.calls) {
        printf(" %llu |", static_cast<unsigned long long>(count));
    }
    printf("\n\nTargets: host CPU <= %.0f %% of bus time at divisor 0: %s; memory <= %ld KiB: %s; model "
           "within 1 %%: %s\n",
           CPU_TARGET_PERCENT, cpuShare <= CPU_TARGET_PERCENT ? "met" : "MISSED", MEMORY_TARGET_KB,
           peakKb <= MEMORY_TARGET_KB ? "met" : "MISSED", modelAgrees ? "met" : "MISSED");
    return removeBenchmarkFolder(directory) && modelAgrees && peakKb > 0 ? 0 : 1;
}

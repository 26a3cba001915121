// Benchmark of the 131072-byte job (erase 8 sectors, blank check, program,
// read back) through the MPSSE adapter library over the emulated USB cable:
// USB writes, bulk OUT bytes, waits for IN data and the job time under the
// cable's USB model, against the SPI minimum (the bits clocked at the clock).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <string>

#include "adapter_interface/adapter_clock.h"
#include "benchmark_job.h"
#include "core/platform/platform.h"

namespace {

const double OUT_BYTES_GOAL = 12;
const double RATIO_GOAL_AT_DEFAULT = 1.10;
const uint32_t DEFAULT_DIVISOR = 8;

struct JobFigures {
    uint64_t writes, outBytes, waits, spiBytes, modelNs, statusReads, blockReads;
};

uint64_t field(const std::string& line, const char* name) {
    size_t at = line.find(std::string(" ") + name + "=");
    return at == std::string::npos ? 0 : strtoull(line.c_str() + at + strlen(name) + 2, nullptr, 10);
}

JobFigures readFigures(const std::string& directory) {
    JobFigures figures = {};
    std::ifstream trace(directory + "/trace.txt");
    for (std::string line; std::getline(trace, line);) {
        if (line.rfind("close ", 0) == 0) {
            figures.writes = field(line, "writes");
            figures.outBytes = field(line, "out_bytes");
            figures.waits = field(line, "waits");
            figures.spiBytes = field(line, "spi_bytes");
            figures.modelNs = field(line, "model_ns");
        }
    }
    std::ifstream frames(directory + "/frames.txt");
    for (std::string line; std::getline(frames, line);) {
        // Status and identity reads share one shape.
        figures.statusReads += line == "05 r1" || line == "90 r1" ? 1 : 0;
        figures.blockReads += line.rfind("03 ", 0) == 0 ? 1 : 0;
    }
    return figures;
}

} // namespace

int main(int argumentCount, char** arguments) {
    platformGuardStandardStreams();
    std::string program = benchmarkProgram(argumentCount > 1 ? arguments[1] : nullptr);
    std::string folder = program.substr(0, program.rfind('/'));
    setenv("ORVAN_OVER_USB", (folder + "/mpsse:" + folder + "/emulated_usb").c_str(), 1);
    std::string directory = benchmarkFolder("orvan-usb-bench");

    printf("| divisor | SPI clock | USB writes | bulk OUT bytes | OUT bytes / programmed byte | waits for IN "
           "data | status reads + block reads | SPI minimum | modeled job time | modeled / minimum |\n");
    printf("|---|---|---|---|---|---|---|---|---|---|\n");
    bool met = true;
    for (uint32_t divisor : {0u, 8u, 29u}) {
        writeBenchmarkImage(directory, divisor, {"VADAPTER_TRACE=trace.txt", "VUSB_FRAMES=frames.txt"});
        JobFigures f = readFigures(directory);
        double hz = adapterClockKhz(divisor) * HZ_PER_KHZ;
        double minimumMs = static_cast<double>(f.spiBytes) * 8 * 1000.0 / hz;
        double modeledMs = static_cast<double>(f.modelNs) / 1e6;
        double perByte = static_cast<double>(f.outBytes) / BENCHMARK_IMAGE_BYTES;
        double ratio = modeledMs / minimumMs;
        printf("| %u | %.0f kHz | %llu | %llu | %.2f | %llu | %llu + %llu | %.1f ms | %.1f ms | %.3f |\n",
               divisor, adapterClockKhz(divisor), static_cast<unsigned long long>(f.writes),
               static_cast<unsigned long long>(f.outBytes), perByte, static_cast<unsigned long long>(f.waits),
               static_cast<unsigned long long>(f.statusReads), static_cast<unsigned long long>(f.blockReads),
               minimumMs, modeledMs, ratio);
        // The open's synchronisation check is the one wait of its own.
        met = met && f.waits <= f.statusReads + f.blockReads + 1 && perByte <= OUT_BYTES_GOAL &&
              (divisor != DEFAULT_DIVISOR || ratio <= RATIO_GOAL_AT_DEFAULT);
    }
    printf(
        "\nGoals: waits <= status reads + block reads + the open's check, <= %.0f OUT bytes per programmed "
        "byte, modeled <= %.2f x minimum at divisor %u: %s\n",
        OUT_BYTES_GOAL, RATIO_GOAL_AT_DEFAULT, DEFAULT_DIVISOR, met ? "met" : "MISSED");
    return removeBenchmarkFolder(directory) && met ? 0 : 1;
}

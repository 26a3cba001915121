// The trace: one line per call, per violation and per note. Bytes are two
// lower-case hex digits, addresses six, other numbers decimal.
//   count status=0 count=1
//   describe index=0 status=0 name="Vexil USB-SPI Cable" channel="A" location=0x1101
//   open name="Vexil USB-SPI Cable" location=0x1101 channel="A" status=0 handle=1
//   setup6 value=8
//   clock divisor=8 frequency=3333333          (frequency=untouched when not written)
//   setup14
//   linelevels status=0
//   query status=0
//   read cmd=05 ctrl=8/1 data=8 returned=1 byte=01
//   read cmd=03 addr=014000 ctrl=32/4 data=131072 returned=16384
//   write cmd=20 addr=018000 ctrl=32/4 flag=0 data=0/0
//   write cmd=af addr=000000 ctrl=32/4 flag=1 data=8/1 byte=12
//   queue cmd=af ctrl=8/1 flag=1 data=8/1 byte=34
//   execute commands=10240 returned=0
//   close bus_ns=123456789 round_trips=250 bits=4194304 violations=0
//   violation: command 20 while busy
//   note: flash file flash.bin missing, starting erased
// count, describe, open, linelevels and query always show status=; the other
// lines end in " status=N" only when the call failed. A failed call leaves
// out the outputs it did not write (count=, name=..., handle=). byte= shows
// the byte when exactly one was read or written. ctrl= is bits/bytes, data=
// of a write is bits/bytes, data= of a read is bits. The violation and note
// lines of a call follow its own line.
#include <stdarg.h>
#include <stdio.h>

#include "emulated_target/output_file.h"
#include "emulated_target/target_environment.h"
#include "virtual_adapter.h"

namespace vadapter {

namespace {

struct Trace {
    bool tracing = false;
    bool keepLines = false;
    std::string path;
    std::FILE* file = nullptr;
    bool fileFailed = false;
    uint64_t violations = 0;
    std::vector<std::string> lines;
    std::vector<std::string> afterLines; // violations and notes of the current call
    std::vector<std::string> waiting;    // lines before the device's location names the file
};

const char LOCATION_PLACEHOLDER[] = "{location}";

// Never destroyed, so that the exit handler finds it intact.
Trace& trace = *new Trace;

std::string formatArgs(const char* pattern, va_list args) {
    char buffer[256];
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(buffer, sizeof(buffer), pattern, copy);
    va_end(copy);
    if (length < 0) {
        return std::string();
    }
    if (static_cast<size_t>(length) < sizeof(buffer)) {
        return std::string(buffer, static_cast<size_t>(length));
    }
    std::vector<char> large(static_cast<size_t>(length) + 1);
    std::vsnprintf(large.data(), large.size(), pattern, args);
    return std::string(large.data(), static_cast<size_t>(length));
}

void writeLine(const std::string& line) {
    if (!trace.file && !trace.fileFailed) {
        trace.file = createOutputFile(trace.path);
        if (!trace.file) {
            trace.fileFailed = true;
            std::fprintf(stderr, "virtual adapter: cannot write trace file %s\n", trace.path.c_str());
            return;
        }
    }
    if (trace.file) {
        std::fputs(line.c_str(), trace.file);
        std::fputc('\n', trace.file);
    }
}

void emit(const std::string& line) {
    if (trace.keepLines) {
        trace.lines.push_back(line);
    }
    if (trace.path.empty()) {
        return;
    }
    // The file is named after the device opened; until then the lines wait.
    if (trace.path.find(LOCATION_PLACEHOLDER) != std::string::npos) {
        trace.waiting.push_back(line);
        return;
    }
    writeLine(line);
}

} // namespace

void resetTrace(const VirtualAdapterConfig& configuration) {
    closeTrace();
    trace.keepLines = configuration.keepTrace;
    trace.path = configuration.tracePath;
    trace.tracing = configuration.keepTrace || !configuration.tracePath.empty();
    trace.fileFailed = false;
    trace.violations = 0;
    trace.lines.clear();
    trace.afterLines.clear();
    trace.waiting.clear();
}

void traceAtLocation(uint32_t locationId) {
    if (trace.path.find(LOCATION_PLACEHOLDER) == std::string::npos) {
        return;
    }
    trace.path = envPathAtLocation(trace.path, locationId);
    for (const std::string& line : trace.waiting) {
        writeLine(line);
    }
    trace.waiting.clear();
}

bool isTracing() {
    return trace.tracing;
}

const std::vector<std::string>& traceLines() {
    return trace.lines;
}

std::string format(const char* pattern, ...) {
    va_list args;
    va_start(args, pattern);
    std::string text = formatArgs(pattern, args);
    va_end(args);
    return text;
}

void violation(const char* pattern, ...) {
    trace.violations++;
    if (trace.tracing) {
        va_list args;
        va_start(args, pattern);
        trace.afterLines.push_back("violation: " + formatArgs(pattern, args));
        va_end(args);
    }
}

uint64_t violationCount() {
    return trace.violations;
}

void note(const std::string& text) {
    if (trace.tracing) {
        trace.afterLines.push_back("note: " + text);
    }
}

void finishCall(const std::string& line) {
    emit(line);
    flushPendingLines();
}

void flushPendingLines() {
    for (const std::string& after : trace.afterLines) {
        emit(after);
    }
    trace.afterLines.clear();
}

void flushTrace() {
    if (trace.file) {
        std::fflush(trace.file);
    }
}

void closeTrace() {
    if (trace.file) {
        std::fclose(trace.file);
        trace.file = nullptr;
    }
}

std::string statusSuffix(AdapterStatus status) {
    return status == ADAPTER_OK ? std::string() : format(" status=%u", status);
}

std::string commandText(const uint8_t* control, uint32_t count) {
    if (!control || count == 0) {
        return "cmd=none";
    }
    if (count >= 4) {
        uint32_t address =
            static_cast<uint32_t>(control[1]) << 16 | static_cast<uint32_t>(control[2]) << 8 | control[3];
        return format("cmd=%02x addr=%06x", control[0], address);
    }
    return format("cmd=%02x", control[0]);
}

std::string writeLine(const char* name, const uint8_t* control, uint32_t controlBits, uint32_t controlCount,
                      uint32_t flag, uint32_t dataBits, const uint8_t* data, uint32_t dataCount,
                      AdapterStatus status) {
    std::string line =
        format("%s %s ctrl=%u/%u flag=%u data=%u/%u", name, commandText(control, controlCount).c_str(),
               controlBits, controlCount, flag, dataBits, dataCount);
    if (flag == 1 && dataCount == 1 && data) {
        line += format(" byte=%02x", data[0]);
    }
    return line + statusSuffix(status);
}

} // namespace vadapter

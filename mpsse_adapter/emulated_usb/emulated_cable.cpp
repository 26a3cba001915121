#include "emulated_cable.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <vector>

#include "adapter_interface/adapter_clock.h"
#include "emulated_target/flash_file.h"
#include "emulated_target/output_file.h"
#include "emulated_target/target.h"
#include "emulated_target/target_environment.h"
#include "mpsse_interpreter.h"

namespace {

const uint32_t MAX_VIOLATION_LINES = 200;
const uint32_t FRAME_BYTES_SHOWN = 16;
// One dual-channel cable on bus 1, port 2.
const char* const DEFAULT_DEVICES = "0x6010|Vexil USB-SPI Cable|1|2";

struct Cable {
    bool configured;
    CableConfig config;
    CableCounters counters;
    uint64_t transfers;
    bool unplugged;
    FILE* trace;
    FILE* frames;
    FILE* writes;
    bool flashAttached;
    TargetConfig target;   // as the variables set it, faults included
    bool faultLocationSet; // VADAPTER_FAULT_LOCATION: the faults concern that device only
    uint32_t faultLocation;
    std::string boardPath; // the claimed device's VADAPTER_PRESENT file
    // The frame being clocked, for the frame log.
    uint8_t frameBytes[FRAME_BYTES_SHOWN];
    uint32_t frameLength;
};

Cable& cable = *new Cable();

const char* const FRONT = "emulated cable";

std::string variable(const char* name) {
    std::string value;
    envVariable(name, value);
    return value;
}

void readNumber(const char* name, uint32_t* field) {
    envReadNumber(FRONT, name, *field);
}

// "product|name|bus|port.port..."
bool parseDevice(const std::string& text, CableDevice* device) {
    std::vector<std::string> fields = envSplit(text, '|');
    uint32_t product = 0;
    uint32_t bus = 0;
    if (fields.size() != 4 || !envParseNumber(fields[0], product) || !envParseNumber(fields[2], bus)) {
        return false;
    }
    device->productId = static_cast<uint16_t>(product);
    device->product = fields[1];
    device->bus = static_cast<uint8_t>(bus);
    device->portDepth = 0;
    for (const std::string& port : envSplit(fields[3], '.')) {
        uint32_t number = 0;
        if (!envParseNumber(port, number) || device->portDepth == CABLE_MAX_PORT_DEPTH) {
            return false;
        }
        device->ports[device->portDepth++] = static_cast<uint8_t>(number);
    }
    return true;
}

// "entry;entry...": all of them, or none (an empty value lists no device).
bool parseDevices(const std::string& text, CableConfig* config) {
    config->deviceCount = 0;
    if (text.empty()) {
        return true;
    }
    for (const std::string& entry : envSplit(text, ';')) {
        if (config->deviceCount == CABLE_MAX_DEVICES ||
            !parseDevice(entry, &config->devices[config->deviceCount])) {
            return false;
        }
        config->deviceCount++;
    }
    return true;
}

// A value that does not parse is refused whole: the default cable stays.
void readDevices(CableConfig* config) {
    std::string text;
    if (envVariable("VUSB_DEVICES", text) && parseDevices(text, config)) {
        return;
    }
    if (!text.empty()) {
        envReportBad(FRONT, "VUSB_DEVICES");
    }
    parseDevices(DEFAULT_DEVICES, config);
}

void flushAtExit() {
    if (cable.trace != nullptr) {
        fflush(cable.trace);
    }
    if (cable.frames != nullptr) {
        fflush(cable.frames);
    }
    if (cable.writes != nullptr) {
        fflush(cable.writes);
    }
}

void configure() {
    CableConfig& config = cable.config;
    readDevices(&config);
    config.unplugAfter = CABLE_NO_LIMIT;
    config.bulkTimeoutFrom = CABLE_NO_LIMIT;
    config.shortInBytes = CABLE_NO_LIMIT;
    readNumber("VUSB_UNPLUG_AFTER", &config.unplugAfter);
    readNumber("VUSB_BULK_TIMEOUT", &config.bulkTimeoutFrom);
    readNumber("VUSB_SHORT_IN", &config.shortInBytes);
    config.silentAfterBytes = CABLE_NO_LIMIT;
    readNumber("VUSB_SILENT_AFTER", &config.silentAfterBytes);
    readNumber("VUSB_STALE_BYTES", &config.staleBytes);
    config.outPieceBytes = CABLE_NO_LIMIT;
    readNumber("VUSB_OUT_PIECE", &config.outPieceBytes);
    if (config.outPieceBytes == 0) {
        config.outPieceBytes = CABLE_NO_LIMIT;
    }
    config.framesPath = variable("VUSB_FRAMES");
    config.tracePath = variable("VADAPTER_TRACE");
    config.flashPath = variable("VADAPTER_FLASH");
    config.presentPath = variable("VADAPTER_PRESENT");
    config.pluggedPath = variable("VADAPTER_PLUGGED");
    if (!config.tracePath.empty()) {
        cable.trace = createOutputFile(config.tracePath);
    }
    if (!config.framesPath.empty()) {
        cable.frames = createOutputFile(config.framesPath);
    }
    std::string writesPath = variable("VUSB_WRITES");
    if (!writesPath.empty()) {
        cable.writes = createOutputFile(writesPath);
    }
    cable.target = targetConfigFromEnvironment(FRONT);
    cable.faultLocationSet = envReadFaultLocation(FRONT, cable.faultLocation);
    targetConfigure(cable.target);
    interpreterReset();
    atexit(flushAtExit);
}

} // namespace

const CableConfig& cableConfig() {
    if (!cable.configured) {
        cable.configured = true;
        configure();
    }
    return cable.config;
}

CableCounters& cableCounters() {
    return cable.counters;
}

// One line of the trace, flushed: whoever reads it mid-run (a test, or after
// a crash) sees it whole.
static void traceLine(const char* prefix, const char* format, va_list arguments) {
    fputs(prefix, cable.trace);
    vfprintf(cable.trace, format, arguments);
    fputc('\n', cable.trace);
    fflush(cable.trace);
}

void cableTrace(const char* format, ...) {
    if (cable.trace == nullptr) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    traceLine("", format, arguments);
    va_end(arguments);
}

void cableViolation(const char* format, ...) {
    if (++cable.counters.violations > MAX_VIOLATION_LINES || cable.trace == nullptr) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    traceLine("violation: ", format, arguments);
    va_end(arguments);
}

void targetViolation(TargetViolationKind kind, const char* text) {
    (void)kind;
    cableViolation("%s", text);
}

int64_t targetClockNs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

bool cableTransferAllowed() {
    if (cable.unplugged) {
        return false;
    }
    if (++cable.transfers > cable.config.unplugAfter) {
        cable.unplugged = true;
        cableTrace("fault: unplugged after %llu transfers",
                   static_cast<unsigned long long>(cable.transfers - 1));
        return false;
    }
    return true;
}

bool cableDevicePlugged(uint32_t device) {
    return !cable.unplugged && envPresent(envPathAtLocation(cable.config.pluggedPath, cableLocation(device)));
}

void cableWatchPresence(uint32_t device) {
    cable.boardPath = envPathAtLocation(cable.config.presentPath, cableLocation(device));
}

void cableFollowPresence() {
    targetSetPresent(envPresent(cable.boardPath));
}

// The location id that the MPSSE library reports for the device: the bus in
// bits 31-24, then one hex digit per port level (mpsse_adapter/mpsse_usb.cpp).
uint32_t cableLocation(uint32_t device) {
    const uint32_t LOCATION_PORT_LEVELS = 6;
    const CableDevice& entry = cable.config.devices[device];
    uint32_t location = static_cast<uint32_t>(entry.bus) << 24;
    for (uint32_t level = 0; level < entry.portDepth && level < LOCATION_PORT_LEVELS; level++) {
        location |= static_cast<uint32_t>(entry.ports[level] & 0x0F) << (20 - 4 * level);
    }
    return location;
}

// A trace or frame file named with {location} is made under that very name
// at the start and takes the claimed device's name at the claim.
void renameAtLocation(const std::string& path, uint32_t location) {
    std::string named = envPathAtLocation(path, location);
    if (named != path) {
        rename(path.c_str(), named.c_str());
    }
}

// With a fault location, a device elsewhere gets neither the target's faults
// nor the cable's own.
void applyFaultsAt(uint32_t location) {
    if (!cable.faultLocationSet || location == cable.faultLocation) {
        return;
    }
    CableConfig& config = cable.config;
    config.unplugAfter = CABLE_NO_LIMIT;
    config.bulkTimeoutFrom = CABLE_NO_LIMIT;
    config.shortInBytes = CABLE_NO_LIMIT;
    config.silentAfterBytes = CABLE_NO_LIMIT;
    config.staleBytes = 0;
    config.outPieceBytes = CABLE_NO_LIMIT;
    static uint8_t flash[TARGET_FLASH_BYTES];
    memcpy(flash, targetFlash(), TARGET_FLASH_BYTES);
    targetConfigure(targetWithoutFaults(cable.target));
    memcpy(targetFlash(), flash, TARGET_FLASH_BYTES);
}

// The flash is the file, written through and held as the virtual adapter holds
// it (emulated_target/flash_file.h), until the process ends. The first claim
// also settles what the device's location decides: the files' names and the
// faults.
bool cableAttachFlash(uint32_t device) {
    if (cable.flashAttached) {
        return true;
    }
    uint32_t location = cableLocation(device);
    applyFaultsAt(location);
    renameAtLocation(cable.config.tracePath, location);
    renameAtLocation(cable.config.framesPath, location);
    if (cable.config.flashPath.empty()) {
        cable.flashAttached = true;
        return true;
    }
    const std::string path = envPathAtLocation(cable.config.flashPath, location);
    uint8_t* flash = nullptr;
    uint64_t size = 0;
    FlashFileOpening opening = mapFlashFile(path, &flash, &size);
    if (opening == FLASH_FILE_CREATED) {
        cableTrace("note: %s", flashFileCreatedNote(path).c_str());
    } else if (opening != FLASH_FILE_OPENED) {
        std::string refusal = flashFileRefusal(opening, path, size);
        fprintf(stderr, "%s: %s\n", FRONT, refusal.c_str());
        cableTrace("note: %s", refusal.c_str());
        return false;
    }
    cable.flashAttached = true;
    targetAttachFlash(flash);
    return true;
}

void cableCloseTrace(uint32_t device) {
    if (interpreterChipSelectActive()) {
        cableViolation("closed with chip select active");
    }
    const CableCounters& c = cable.counters;
    InterpreterStats engine = interpreterStats();
    cableTrace(
        "close device=%u control=%llu writes=%llu out_bytes=%llu in_transfers=%llu in_bytes=%llu "
        "waits=%llu frames=%llu spi_bytes=%llu spi_ns=%llu model_ns=%llu violations=%llu",
        device, static_cast<unsigned long long>(c.controlTransfers),
        static_cast<unsigned long long>(c.bulkOutTransfers), static_cast<unsigned long long>(c.bulkOutBytes),
        static_cast<unsigned long long>(c.bulkInTransfers), static_cast<unsigned long long>(c.bulkInBytes),
        static_cast<unsigned long long>(c.inWaits), static_cast<unsigned long long>(engine.frames),
        static_cast<unsigned long long>(engine.bytesClocked),
        static_cast<unsigned long long>(ticksToNs(engine.clockTicks)),
        static_cast<unsigned long long>(c.modelNs), static_cast<unsigned long long>(c.violations));
    // Whoever looks while the program waits for its key sees the whole run.
    if (cable.trace != nullptr) {
        fflush(cable.trace);
    }
    if (cable.frames != nullptr) {
        fflush(cable.frames);
    }
}

void cableSelect() {
    cable.frameLength = 0;
    targetSelect();
}

uint8_t cableExchange(uint8_t mosi) {
    if (cable.frameLength < FRAME_BYTES_SHOWN) {
        cable.frameBytes[cable.frameLength] = mosi;
    }
    cable.frameLength++;
    return targetExchange(mosi);
}

// One line per frame: the bytes the host meant, then "rN" for N bytes the
// target answered, so that the frames of both adapter paths compare.
void cableDeselect() {
    targetDeselect();
    if (cable.frames == nullptr) {
        return;
    }
    uint32_t shown = cable.frameLength;
    TargetCommandShape shape = targetCommandShape(cable.frameBytes[0]);
    if (cable.frameLength > 0 && shape.known && shape.answers && cable.frameLength >= shape.headerBytes) {
        shown = shape.headerBytes;
    }
    for (uint32_t i = 0; i < shown && i < FRAME_BYTES_SHOWN; i++) {
        fprintf(cable.frames, i == 0 ? "%02x" : " %02x", cable.frameBytes[i]);
    }
    if (shown > FRAME_BYTES_SHOWN) {
        fprintf(cable.frames, " +%u", shown - FRAME_BYTES_SHOWN);
    }
    if (shown < cable.frameLength) {
        fprintf(cable.frames, " r%u", cable.frameLength - shown);
    }
    fputc('\n', cable.frames);
}

// Flushed at each line: a test in the same process reads it between calls.
void cableLogWrite(const uint8_t* bytes, uint32_t count) {
    if (cable.writes == nullptr) {
        return;
    }
    for (uint32_t i = 0; i < count; i++) {
        fprintf(cable.writes, i == 0 ? "%02x" : " %02x", bytes[i]);
    }
    fputc('\n', cable.writes);
    fflush(cable.writes);
}

// The session and the in-process control interface: the configuration in
// force, whether the device is open, and the reset of every part.
#include <string.h>

#include "emulated_target/target.h"
#include "emulated_target/target_environment.h"
#include "virtual_adapter.h"

namespace vadapter {

namespace {

struct Session {
    VirtualAdapterConfig given;  // as configured
    VirtualAdapterConfig config; // in force: without the faults at another location
    bool configured = false;
    bool open = false;
    uint32_t handle = OPEN_HANDLE;
    // The open device's presence files, named after its location.
    std::string presentPath;
    std::string pluggedPath;
};

// Never destroyed, so that the exit handler finds it intact.
Session& session = *new Session;

} // namespace

void ensureConfigured() {
    if (!session.configured) {
        vaConfigure(vaConfigFromEnvironment());
    }
}

const VirtualAdapterConfig& config() {
    return session.config;
}

void applyFaultsAt(uint32_t locationId) {
    if (!session.given.faultLocationSet) {
        return;
    }
    session.config = session.given;
    TargetConfig target = session.given.target;
    if (locationId != session.given.faultLocation) {
        const VirtualAdapterConfig faultless;
        VirtualAdapterConfig& c = session.config;
        c.openStatus = faultless.openStatus;
        c.lineLevelsStatus = faultless.lineLevelsStatus;
        c.queryStatus = faultless.queryStatus;
        c.frequencyMode = faultless.frequencyMode;
        c.shortReadBytes = faultless.shortReadBytes;
        c.shortReadAlways = faultless.shortReadAlways;
        c.emptyReads = faultless.emptyReads;
        c.emptyReadsRepeat = faultless.emptyReadsRepeat;
        c.vanishAfterCalls = faultless.vanishAfterCalls;
        target = targetWithoutFaults(target);
    }
    target.busyTime = session.config.realTime;
    // A new target configuration starts erased: the flash as it was stays.
    static uint8_t flash[TARGET_FLASH_BYTES];
    memcpy(flash, targetFlash(), TARGET_FLASH_BYTES);
    targetConfigure(target);
    memcpy(targetFlash(), flash, TARGET_FLASH_BYTES);
    resetReadFaults();
}

bool isOpen() {
    return session.open;
}

void setOpen(bool open) {
    session.open = open;
    allowQueueShortWay(open && !isTracing() && !isDrawing() && session.config.vanishAfterCalls == 0);
}

uint32_t openHandle() {
    return session.handle;
}

bool isRetiredHandle(uint32_t handle) {
    return handle >= OPEN_HANDLE && handle < session.handle;
}

std::vector<VirtualDevice> pluggedDevices() {
    std::vector<VirtualDevice> plugged;
    for (const VirtualDevice& device : session.config.devices) {
        if (isPluggedIn(device.locationId)) {
            plugged.push_back(device);
        }
    }
    return plugged;
}

bool isPluggedIn(uint32_t locationId) {
    return envPresent(envPathAtLocation(session.config.pluggedPath, locationId));
}

void watchPresenceAt(uint32_t locationId) {
    session.presentPath = envPathAtLocation(session.config.presentPath, locationId);
    session.pluggedPath = envPathAtLocation(session.config.pluggedPath, locationId);
}

bool openCableStillPlugged() {
    return envPresent(session.pluggedPath);
}

void endSessionIfUnplugged() {
    if (!session.open || openCableStillPlugged()) {
        return;
    }
    note(format("cable unplugged, handle %u gone", session.handle));
    closeFlashFile();
    finishWaveform();
    setOpen(false);
    session.handle++;
}

void followBoardPresence() {
    targetSetPresent(envPresent(session.presentPath));
}

} // namespace vadapter

using namespace vadapter;

void vaConfigure(const VirtualAdapterConfig& configuration) {
    closeFlashFile();
    resetTrace(configuration);
    resetWaveform(configuration);
    session.given = configuration;
    session.config = configuration;
    session.configured = true;
    session.handle = OPEN_HANDLE;
    session.presentPath.clear();
    session.pluggedPath.clear();
    setOpen(false);
    TargetConfig target = configuration.target;
    target.busyTime = configuration.realTime;
    targetConfigure(target);
    resetReadFaults();
    resetQueue();
    resetCallCounts();
    resetTiming();
}

const std::vector<std::string>& vaTraceLines() {
    return traceLines();
}

const uint8_t* vaFlash() {
    return targetFlash();
}

uint8_t* vaMutableFlash() {
    return targetFlash();
}

VirtualAdapterStats vaStats() {
    VirtualAdapterStats stats{};
    stats.busTimeNs = busTimeNs();
    stats.bitsClocked = bitsClocked();
    stats.roundTrips = roundTrips();
    for (uint32_t i = 0; i < OP_KINDS; i++) {
        stats.callCounts[i] = callCount(i);
    }
    stats.violations = violationCount();
    return stats;
}

bool vaIsOpen() {
    return isOpen();
}

const char* vaCallName(uint32_t index) {
    return callName(index);
}

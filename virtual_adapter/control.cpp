// The session and the in-process control interface: the configuration in
// force, whether the device is open, and the reset of every part.
#include "emulated_target/target.h"
#include "virtual_adapter.h"

namespace vadapter {

namespace {

struct Session {
    VirtualAdapterConfig config;
    bool configured = false;
    bool open = false;
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

bool isOpen() {
    return session.open;
}

void setOpen(bool open) {
    session.open = open;
    allowQueueShortWay(open && !isTracing() && !isDrawing() && session.config.vanishAfterCalls == 0);
}

} // namespace vadapter

using namespace vadapter;

void vaConfigure(const VirtualAdapterConfig& configuration) {
    closeFlashFile();
    resetTrace(configuration);
    resetWaveform(configuration);
    session.config = configuration;
    session.configured = true;
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

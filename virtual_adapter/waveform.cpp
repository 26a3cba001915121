// The SPI lines as a waveform file (VADAPTER_VCD): each frame drawn from the
// bytes the host and the target exchanged, on the timing model's clock. The
// frames of a call are clocked one after another once the call's round-trip
// latency has passed, at the configured SPI clock.
#include "emulated_target/target.h"
#include "emulated_target/target_environment.h"
#include "emulated_target/vcd.h"
#include "virtual_adapter.h"

namespace vadapter {

namespace {

const uint64_t NO_CALL = ~0ull;
const uint32_t DROPPED_CHUNK_BYTES = 256;

// Where the next frame starts: the round trip it belongs to and the bits
// clocked in it before.
struct Cursor {
    uint64_t roundTrip = NO_CALL;
    uint64_t callStartNs = 0;
    uint64_t bitsInCall = 0;
};

Cursor cursor;

VcdDrawing drawingOf(VirtualVcdFault fault) {
    switch (fault) {
    case VA_VCD_FAULT_LATE_PHASE:
        return VCD_DRAW_LATE_PHASE;
    case VA_VCD_FAULT_LSB_FIRST:
        return VCD_DRAW_LSB_FIRST;
    default:
        return VCD_DRAW_TARGET_MODE;
    }
}

} // namespace

void resetWaveform(const VirtualAdapterConfig& configuration) {
    vcdClose(0);
    cursor = Cursor();
    if (!configuration.vcdPath.empty() && configuration.vcdPath.find("{location}") == std::string::npos) {
        vcdOpen(configuration.vcdPath.c_str(), "virtual adapter", configuration.vcdLimitBytes,
                drawingOf(configuration.vcdFault));
    }
}

void openWaveformAt(uint32_t locationId) {
    const VirtualAdapterConfig& configuration = config();
    if (configuration.vcdPath.find("{location}") != std::string::npos && !vcdDrawing()) {
        std::string path = envPathAtLocation(configuration.vcdPath, locationId);
        vcdOpen(path.c_str(), "virtual adapter", configuration.vcdLimitBytes,
                drawingOf(configuration.vcdFault));
    }
}

bool isDrawing() {
    return vcdDrawing();
}

void drawFrameBegin(uint32_t byteCount) {
    // A new round trip has been booked since the last frame: this frame is
    // the first of its call.
    if (cursor.roundTrip != roundTrips()) {
        cursor.roundTrip = roundTrips();
        cursor.callStartNs = busTimeNs() + static_cast<uint64_t>(config().callLatencyUs) * 1000;
        cursor.bitsInCall = 0;
    }
    uint64_t periodPs = bitPeriodPs();
    vcdFrameBegin(cursor.callStartNs + cursor.bitsInCall * periodPs / PS_PER_NS, periodPs, byteCount);
    cursor.bitsInCall += 8ull * byteCount;
}

void drawByte(uint8_t dataOut, uint8_t dataIn) {
    vcdFrameByte(dataOut, dataIn);
}

void drawReadBytes(const uint8_t* driven, uint32_t drivenCount, uint32_t count) {
    for (uint32_t i = 0; i < count; i++) {
        vcdFrameByte(TARGET_UNDRIVEN, i < drivenCount ? driven[i] : TARGET_UNDRIVEN);
    }
}

uint32_t readDrawnAndDropped(uint32_t count) {
    uint8_t chunk[DROPPED_CHUNK_BYTES];
    uint32_t driven = 0;
    while (count > 0) {
        uint32_t part = count < DROPPED_CHUNK_BYTES ? count : DROPPED_CHUNK_BYTES;
        uint32_t partDriven = targetReadBytes(chunk, part);
        drawReadBytes(chunk, partDriven, part);
        driven += partDriven;
        count -= part;
    }
    return driven;
}

void drawFrameEnd() {
    vcdFrameEnd();
}

void finishWaveform() {
    vcdClose(busTimeNs());
}

} // namespace vadapter

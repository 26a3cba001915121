// The emulated cable's waveform drawn from command streams and read back by
// sigrok's SPI decoder in the target's mode: what the opcodes do on the pins
// (bit order, clock edge, clock rate, which chip select) shows in what the
// decoder finds, whatever bytes the target was handed. The cable's side is
// recorded by mpsse_interpreter_test.cpp.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "emulated_usb/cable_waveform.h"
#include "emulated_usb/mpsse_interpreter.h"
#include "sigrok_decode.h"

namespace {

typedef std::vector<uint8_t> Bytes;

// Clock at divisor 8, pins at rest; chip select 0 low; chip select 1 low instead.
const Bytes SET_UP = {0x85, 0x8A, 0x97, 0x8D, 0x86, 0x08, 0x00, 0x80, 0xFA, 0xFB};
const Bytes SELECT = {0x80, 0xF2, 0xFB};
const Bytes SELECT_LINE_1 = {0x80, 0xEA, 0xFB};
const Bytes DESELECT = {0x80, 0xFA, 0xFB};
const Bytes SENT = {0x9F, 0x01, 0x80};

Bytes divisor(uint8_t value) {
    return {0x86, value, 0x00};
}

Bytes frame(const Bytes& select, uint8_t opcode, const Bytes& data) {
    Bytes bytes = select;
    bytes.insert(bytes.end(), {opcode, static_cast<uint8_t>(data.size() - 1), 0x00});
    bytes.insert(bytes.end(), data.begin(), data.end());
    bytes.insert(bytes.end(), DESELECT.begin(), DESELECT.end());
    return bytes;
}

// The times of the clock's rising edges.
std::vector<uint64_t> risingEdges(const std::string& path) {
    std::ifstream file(path);
    std::vector<uint64_t> edges;
    uint64_t now = 0;
    for (std::string line; std::getline(file, line);) {
        if (line[0] == '#') {
            now = std::stoull(line.substr(1));
        } else if (line == "1k") {
            edges.push_back(now);
        }
    }
    return edges;
}

// The mean bit time of the frame's clock.
double bitNs(const std::vector<uint64_t>& edges, const DecodedFrame& frame) {
    std::vector<uint64_t> inFrame;
    for (uint64_t edge : edges) {
        if (edge >= frame.startNs && edge <= frame.endNs) {
            inFrame.push_back(edge);
        }
    }
    return inFrame.size() < 2 ? 0
                              : static_cast<double>(inFrame.back() - inFrame.front()) / (inFrame.size() - 1);
}

TEST(CableWaveform, DecoderFindsWhatTheOpcodesPutOnThePins) {
    if (!haveSigrok()) {
        GTEST_SKIP() << "sigrok-cli is not installed: the waveform is not decoded";
    }
    struct Case {
        const char* name;
        Bytes stream;
        std::string decoded; // "" when the decoder must not see a frame
        double bitNs;
    };
    const std::vector<Case> cases = {
        {"mode 0, as the library clocks", frame(SELECT, 0x11, SENT), "9F 01 80", 300},
        {"least significant bit first", frame(SELECT, 0x19, SENT), "F9 80 01", 300},
        // Bits change after the rising edge: each is taken a bit late, after the resting high.
        {"out on the rising edge", frame(SELECT, 0x10, SENT), "CF 80 C0", 300},
        {"read only: data out rests high", frame(SELECT, 0x20, {0x00, 0x00}), "FF FF", 300},
        {"divisor 0", divisor(0), "", 0},
        {"30 MHz", frame(SELECT, 0x11, SENT), "9F 01 80", 100.0 / 3},
        {"divisor 2", divisor(2), "", 0},
        {"10 MHz", frame(SELECT, 0x11, SENT), "9F 01 80", 100},
        {"chip select 1 leaves line 0 idle", frame(SELECT_LINE_1, 0x11, SENT), "", 0},
    };
    char pattern[] = "/tmp/orvan-cable-wave-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string path = std::string(pattern) + "/wave.vcd";
    setenv("VADAPTER_VCD", path.c_str(), 1);
    cableWaveformOpen();
    unsetenv("VADAPTER_VCD");
    interpreterReset();
    interpreterSetMpsse(true);
    Bytes stream = SET_UP;
    for (const Case& streamCase : cases) {
        stream.insert(stream.end(), streamCase.stream.begin(), streamCase.stream.end());
    }
    cableWaveformWrite(0);
    interpreterFeed(stream.data(), static_cast<uint32_t>(stream.size()));
    cableWaveformClose(0);

    std::vector<DecodedFrame> found = decode(path, "mosi");
    std::vector<uint64_t> edges = risingEdges(path);
    size_t next = 0;
    for (const Case& streamCase : cases) {
        if (streamCase.decoded.empty()) {
            continue;
        }
        ASSERT_LT(next, found.size()) << streamCase.name;
        EXPECT_EQ(found[next].bytes, streamCase.decoded) << streamCase.name;
        EXPECT_NEAR(bitNs(edges, found[next]), streamCase.bitNs, 0.5) << streamCase.name;
        next++;
    }
    EXPECT_EQ(found.size(), next);
    std::string cleanup = "rm -rf '" + std::string(pattern) + "'";
    EXPECT_EQ(system(cleanup.c_str()), 0);
}

} // namespace

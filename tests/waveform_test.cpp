// The virtual adapter's waveform file (VADAPTER_VCD) read as a logic
// analyser would: sigrok's SPI decoder, set to the target's mode, must find
// the frames of the adapter's own trace with the same bytes each way. The
// decoder is nobody's code here, so it checks the clock phase and the bit
// order of the drawing independently of ours.
#include <stdio.h>
#include <stdlib.h>

#include <map>
#include <sstream>

#include "program_fixture.h"

namespace {

const char* const SPI_DECODER = "spi:clk=clk:mosi=mosi:miso=miso:cs=cs:cs_polarity=active-low:cpol=0:cpha=0:"
                                "bitorder=msb-first";
const size_t SMALL_IMAGE_BYTES = 300;
const unsigned SMALL_IMAGE_SECTOR = 2;
const uint64_t BIT_NS_AT_DIVISOR_2 = 100;

struct DecodedFrame {
    uint64_t startNs; // one sample a nanosecond
    uint64_t endNs;
    std::string bytes; // "90 FF"
};

bool haveSigrok() {
    return system("command -v sigrok-cli >/dev/null 2>&1") == 0;
}

// What sigrok-cli prints decoding the file with these decoders and annotations.
std::string decoderOutput(const std::string& vcd, const std::string& decoders,
                          const std::string& annotations) {
    std::string command = "SIGROKDECODE_DIR='" ORVAN_SIGROK_DECODERS "' sigrok-cli -I vcd -i '" + vcd +
                          "' -P " + decoders + " -A " + annotations + " --protocol-decoder-samplenum 2>&1";
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        return output;
    }
    char text[4096];
    for (size_t length; (length = fread(text, 1, sizeof(text), pipe)) > 0;) {
        output.append(text, length);
    }
    pclose(pipe);
    return output;
}

// The frames the SPI decoder finds, with the bytes of one line: "mosi" or "miso".
std::vector<DecodedFrame> decode(const std::string& vcd, const std::string& line) {
    std::istringstream lines(decoderOutput(vcd, SPI_DECODER, "spi=" + line + "-transfer"));
    std::vector<DecodedFrame> frames;
    std::string text;
    while (std::getline(lines, text)) {
        unsigned long long start = 0, end = 0;
        int offset = 0;
        if (sscanf(text.c_str(), "%llu-%llu spi-1: %n", &start, &end, &offset) == 2 && offset > 0) {
            frames.push_back({start, end, text.substr(static_cast<size_t>(offset))});
        }
    }
    return frames;
}

std::string hexBytes(const std::vector<uint8_t>& bytes, const char* format = "%02X") {
    std::string text;
    char hex[4];
    for (uint8_t byte : bytes) {
        snprintf(hex, sizeof(hex), format, byte);
        text += (text.empty() ? "" : " ") + std::string(hex);
    }
    return text;
}

struct ExpectedFrames {
    std::vector<std::string> dataOut;
    std::vector<std::string> dataIn;
};

std::map<std::string, std::string> fieldsOf(const std::string& line) {
    std::map<std::string, std::string> fields;
    std::istringstream words(line);
    std::string word;
    while (words >> word) {
        size_t equals = word.find('=');
        if (equals != std::string::npos) {
            fields[word.substr(0, equals)] = word.substr(equals + 1);
        }
    }
    return fields;
}

// The frames of the trace's read, write and queue lines, each way. The target
// drives nothing (0xff) while the host sends, and the host sends 0xff while it
// reads; a block read finds the flash erased before programming began and as
// the run left it after.
ExpectedFrames framesOfTrace(const std::string& trace, const std::string& flash) {
    ExpectedFrames expected;
    std::istringstream lines(trace);
    std::string line;
    bool programmed = false;
    while (std::getline(lines, line)) {
        std::string kind = line.substr(0, line.find(' '));
        if (kind != "read" && kind != "write" && kind != "queue") {
            continue;
        }
        std::map<std::string, std::string> f = fieldsOf(line);
        std::vector<uint8_t> out{static_cast<uint8_t>(std::stoul(f["cmd"], nullptr, 16))};
        if (f.count("addr")) {
            unsigned long address = std::stoul(f["addr"], nullptr, 16);
            out.insert(out.end(), {static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 8),
                                   static_cast<uint8_t>(address)});
        }
        std::vector<uint8_t> in(out.size(), 0xFF);
        programmed = programmed || out[0] == 0xAF;
        if (kind == "read") {
            size_t count = std::stoul(f["data"]) / 8;
            out.resize(out.size() + count, 0xFF);
            if (f.count("byte")) {
                in.push_back(static_cast<uint8_t>(std::stoul(f["byte"], nullptr, 16)));
            } else if (programmed) {
                in.insert(in.end(), flash.begin() + std::stol(f["addr"], nullptr, 16),
                          flash.begin() + std::stol(f["addr"], nullptr, 16) + static_cast<long>(count));
            }
            in.resize(out.size(), 0xFF);
        } else if (f["flag"] == "1") {
            out.push_back(static_cast<uint8_t>(std::stoul(f["byte"], nullptr, 16)));
            in.push_back(0xFF);
        }
        expected.dataOut.push_back(hexBytes(out));
        expected.dataIn.push_back(hexBytes(in));
    }
    return expected;
}

std::vector<std::string> bytesOf(const std::vector<DecodedFrame>& frames) {
    std::vector<std::string> bytes;
    for (const DecodedFrame& frame : frames) {
        bytes.push_back(frame.bytes);
    }
    return bytes;
}

// The first frame in which two lists differ, for the failure message.
std::string firstDifference(const std::vector<std::string>& expected, const std::vector<std::string>& found) {
    for (size_t i = 0; i < expected.size() || i < found.size(); i++) {
        std::string a = i < expected.size() ? expected[i] : "(none)";
        std::string b = i < found.size() ? found[i] : "(none)";
        if (a != b) {
            return "frame " + std::to_string(i) + ": trace " + a.substr(0, 60) + ", decoded " +
                   b.substr(0, 60);
        }
    }
    return "none";
}

class Waveform : public ProgramTest {
  protected:
    void SetUp() override {
        ProgramTest::SetUp();
        makeImage("small.bin", SMALL_IMAGE_BYTES);
    }
    // The small job: erase, blank check, program and verify of 300 bytes at 10 MHz.
    void runSmallJob(std::vector<std::string> environment) {
        environment.push_back("VADAPTER_VCD=wave.vcd");
        ProgramResult result =
            run({"-q", "2", "-s", std::to_string(SMALL_IMAGE_SECTOR), "-f", "small.bin", "-e"}, environment);
        ASSERT_EQ(result.status, 0) << result.output;
        expected = framesOfTrace(trace(), flash());
        ASSERT_GT(expected.dataOut.size(), 10u);
    }
    ExpectedFrames expected;
};

// The cases that read the file with sigrok-cli.
class DecodedWaveform : public Waveform {
  protected:
    void SetUp() override {
        Waveform::SetUp();
        if (!haveSigrok()) {
            GTEST_SKIP() << "sigrok-cli is not installed: the waveform is not decoded";
        }
    }
};

TEST_F(DecodedWaveform, DecodersFindTheTracedFramesAndBytes) {
    runSmallJob({});
    std::vector<DecodedFrame> out = decode(path("wave.vcd"), "mosi");
    std::vector<DecodedFrame> in = decode(path("wave.vcd"), "miso");
    EXPECT_TRUE(bytesOf(out) == expected.dataOut) << firstDifference(expected.dataOut, bytesOf(out));
    EXPECT_TRUE(bytesOf(in) == expected.dataIn) << firstDifference(expected.dataIn, bytesOf(in));
    ASSERT_FALSE(out.empty());
    // The identity read, two bytes at 10 MHz, ends an eighth of a bit early.
    EXPECT_NEAR(static_cast<double>(out[0].endNs - out[0].startNs), 16 * BIT_NS_AT_DIVISOR_2 - 12.5, 1.0);
    // The file ends at the bus time of the whole run.
    std::string vcd = readWholeFile(path("wave.vcd"));
    std::string closing = trace().substr(trace().find("close bus_ns=") + 13);
    std::string busNs = closing.substr(0, closing.find(' '));
    EXPECT_EQ(vcd.substr(vcd.rfind('#') + 1), busNs + "\n");
    std::printf("waveform of the %zu-byte job: %zu bytes\n", SMALL_IMAGE_BYTES, vcd.size());

    // The target's own decoder, stacked on SPI, names every frame.
    std::string names = decoderOutput(path("wave.vcd"), std::string(SPI_DECODER) + ",orvan", "orvan");
    std::string image = imageBytes(SMALL_IMAGE_BYTES, 1);
    std::string first = hexBytes(std::vector<uint8_t>(image.begin(), image.begin() + 8), "%02x");
    for (const std::string& name :
         {std::string("erase sector 2 (008000)"), "program 008000: " + first.substr(0, 2),
          "read 008000, 16384 bytes: " + first + " ..."}) {
        EXPECT_NE(names.find("orvan-1: " + name + "\n"), std::string::npos) << name;
    }
    std::istringstream lines(names);
    size_t named = 0;
    for (std::string line; std::getline(lines, line);) {
        named += line.find(" orvan-1: ") != std::string::npos && line.find(": command ") == std::string::npos;
    }
    EXPECT_EQ(named, expected.dataOut.size());
}

// Drawn wrong on purpose, the waveform no longer decodes to the trace's bytes.
TEST_F(DecodedWaveform, WrongClockPhaseOrBitOrderIsNoticed) {
    for (const char* fault : {"phase", "lsb-first"}) {
        runSmallJob({std::string("VADAPTER_VCD_FAULT=") + fault});
        std::vector<std::string> out = bytesOf(decode(path("wave.vcd"), "mosi"));
        EXPECT_EQ(out.size(), expected.dataOut.size()) << fault;
        EXPECT_FALSE(out == expected.dataOut) << fault << ": decoded as drawn right";
    }
}

// A bound cuts the file between two frames, says so, and what stays decodes
// to the trace's first frames.
TEST_F(DecodedWaveform, BoundCutsBetweenFrames) {
    const uint64_t limit = 200000;
    runSmallJob({"VADAPTER_VCD_LIMIT=" + std::to_string(limit)});
    std::string vcd = readWholeFile(path("wave.vcd"));
    EXPECT_LE(vcd.size(), limit);
    EXPECT_NE(vcd.find("$comment cut at "), std::string::npos);
    std::vector<std::string> out = bytesOf(decode(path("wave.vcd"), "mosi"));
    ASSERT_FALSE(out.empty());
    ASSERT_LT(out.size(), expected.dataOut.size());
    expected.dataOut.resize(out.size());
    EXPECT_TRUE(out == expected.dataOut) << firstDifference(expected.dataOut, out);
}

// Writing the whole flash stays under the default bound of 32 MiB.
TEST_F(Waveform, BoundHoldsForAWholeFlashJob) {
    makeImage("whole.bin", FLASH_SIZE);
    ProgramResult result = run({"-s", "0", "-f", "whole.bin", "-e"}, {"VADAPTER_VCD=wave.vcd"});
    ASSERT_EQ(result.status, 0) << result.output;
    std::string vcd = readWholeFile(path("wave.vcd"));
    EXPECT_LE(vcd.size(), 32u << 20);
    EXPECT_GT(vcd.size(), 30u << 20) << "the bound should be nearly used";
    EXPECT_NE(vcd.find("$comment cut at "), std::string::npos);
    std::printf("waveform of the whole-flash job: %zu bytes\n", vcd.size());
}

} // namespace

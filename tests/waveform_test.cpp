// The waveform file (VADAPTER_VCD) of the virtual adapter and of the
// emulated USB cable read as a logic analyser would: sigrok's SPI decoder,
// set to the target's mode, must find the frames of the adapter's own trace
// (or the cable's frame record) with the same bytes each way. The
// decoder is nobody's code here, so it checks the clock phase and the bit
// order of the drawing independently of ours.
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>

#include <map>
#include <sstream>

#include "emulated_usb/cable_waveform.h"
#include "program_fixture.h"
#include "sigrok_decode.h"

namespace {

const size_t SMALL_IMAGE_BYTES = 300;
const unsigned SMALL_IMAGE_SECTOR = 2;
const uint64_t BIT_NS_AT_DIVISOR_2 = 100;

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

// A file cut at its bound stays under it, says where it was cut, and what
// stays decodes to the job's first frames.
void expectCutToFirstFrames(const std::string& file, uint64_t limit, std::vector<std::string> dataOut) {
    std::string vcd = readWholeFile(file);
    EXPECT_LE(vcd.size(), limit);
    EXPECT_NE(vcd.find("$comment cut at "), std::string::npos);
    std::vector<std::string> out = bytesOf(decode(file, "mosi"));
    ASSERT_FALSE(out.empty());
    ASSERT_LT(out.size(), dataOut.size());
    dataOut.resize(out.size());
    EXPECT_TRUE(out == dataOut) << firstDifference(dataOut, out);
}

// A whole-flash job nearly fills the default bound of 32 MiB and is cut.
void expectWholeFlashJobBounded(const std::string& file, const char* path) {
    std::string vcd = readWholeFile(file);
    EXPECT_LE(vcd.size(), 32u << 20);
    EXPECT_GT(vcd.size(), 30u << 20) << "the bound should be nearly used";
    EXPECT_NE(vcd.find("$comment cut at "), std::string::npos);
    std::printf("waveform of the whole-flash job%s: %zu bytes\n", path, vcd.size());
}

class Waveform : public ProgramTest {
  protected:
    void SetUp() override {
        ProgramTest::SetUp();
        makeImage("small.bin", SMALL_IMAGE_BYTES);
    }
    // The small job: erase, blank check, program and verify of 300 bytes at 10 MHz.
    ProgramResult runSmallJob(std::vector<std::string> environment) {
        return run({"-q", "2", "-s", std::to_string(SMALL_IMAGE_SECTOR), "-f", "small.bin", "-e"},
                   environment);
    }
    void runSmallJobWithWaveform(std::vector<std::string> environment) {
        environment.push_back("VADAPTER_VCD=wave.vcd");
        ProgramResult result = runSmallJob(environment);
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
    runSmallJobWithWaveform({});
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
        runSmallJobWithWaveform({std::string("VADAPTER_VCD_FAULT=") + fault});
        std::vector<std::string> out = bytesOf(decode(path("wave.vcd"), "mosi"));
        EXPECT_EQ(out.size(), expected.dataOut.size()) << fault;
        EXPECT_FALSE(out == expected.dataOut) << fault << ": decoded as drawn right";
    }
}

// A bound cuts the file between two frames, says so, and what stays decodes
// to the trace's first frames.
TEST_F(DecodedWaveform, BoundCutsBetweenFrames) {
    const uint64_t limit = 200000;
    runSmallJobWithWaveform({"VADAPTER_VCD_LIMIT=" + std::to_string(limit)});
    expectCutToFirstFrames(path("wave.vcd"), limit, expected.dataOut);
}

// Writing the whole flash stays under the default bound of 32 MiB.
TEST_F(Waveform, BoundHoldsForAWholeFlashJob) {
    makeImage("whole.bin", FLASH_SIZE);
    ProgramResult result = run({"-s", "0", "-f", "whole.bin", "-e"}, {"VADAPTER_VCD=wave.vcd"});
    ASSERT_EQ(result.status, 0) << result.output;
    expectWholeFlashJobBounded(path("wave.vcd"), "");
}

// ---- Over the emulated USB cable (ORVAN_OVER_USB): the waveform is drawn
// from the pins the MPSSE engine drives.

// The cable's frame record: each frame's bytes from the host as far as the
// record shows them, and its length.
struct RecordedFrame {
    std::string shown; // "03 00 80 00"
    size_t length;
};

std::vector<RecordedFrame> framesOfRecord(const std::string& record) {
    std::vector<RecordedFrame> frames;
    std::istringstream lines(record);
    for (std::string line; std::getline(lines, line);) {
        RecordedFrame frame = {"", 0};
        std::istringstream words(line);
        for (std::string word; words >> word;) {
            if (word[0] == 'r' || word[0] == '+') {
                frame.length += std::stoul(word.substr(1));
            } else {
                frame.shown += (frame.shown.empty() ? "" : " ") + word;
                frame.length++;
            }
        }
        for (char& c : frame.shown) {
            c = static_cast<char>(toupper(c));
        }
        frames.push_back(frame);
    }
    return frames;
}

// While the host reads, the engine leaves data out at the last bit it
// wrote, where the virtual adapter holds it high.
void holdLastBitWhileReading(std::vector<std::string>* dataOut, const std::vector<RecordedFrame>& record) {
    for (size_t i = 0; i < dataOut->size() && i < record.size(); i++) {
        std::string& frame = (*dataOut)[i];
        size_t header = record[i].shown.size();
        if (header >= frame.size() || record[i].length * 3 - 1 != frame.size()) {
            continue;
        }
        bool last = (std::stoul(record[i].shown.substr(header - 2), nullptr, 16) & 1) != 0;
        for (size_t at = header + 1; at < frame.size(); at += 3) {
            frame.replace(at, 2, last ? "FF" : "00");
        }
    }
}

class UsbWaveform : public Waveform {
  protected:
    void SetUp() override {
        Waveform::SetUp();
        // The whole test program also runs on the Windows program, where
        // there is no cable.
        if (!programIsOverUsb()) {
            GTEST_SKIP() << "over the emulated USB cable only (ORVAN_OVER_USB names its libraries)";
        }
        overUsb = getenv("ORVAN_OVER_USB");
    }
    void TearDown() override {
        if (!overUsb.empty()) {
            setenv("ORVAN_OVER_USB", overUsb.c_str(), 1);
        }
        Waveform::TearDown();
    }
    // The small job over the cable with the waveform; then, for the bytes
    // each way, the same job through the virtual adapter, which sends the
    // same frames to the same target.
    void runSmallJobOverUsb(std::vector<std::string> environment) {
        environment.push_back("VADAPTER_VCD=wave.vcd");
        ProgramResult result = runSmallJob(environment);
        ASSERT_EQ(result.status, 0) << result.output;
        record = framesOfRecord(readWholeFile(path("frames.txt")));
        cableTrace = trace();
        unlink(path("flash.bin").c_str());
        unsetenv("ORVAN_OVER_USB");
        ProgramResult reference = runSmallJob({});
        setenv("ORVAN_OVER_USB", overUsb.c_str(), 1);
        ASSERT_EQ(reference.status, 0) << reference.output;
        expected = framesOfTrace(trace(), flash());
        ASSERT_EQ(record.size(), expected.dataOut.size());
        holdLastBitWhileReading(&expected.dataOut, record);
    }
    std::string overUsb;
    std::vector<RecordedFrame> record;
    std::string cableTrace;
};

class DecodedUsbWaveform : public UsbWaveform {
  protected:
    void SetUp() override {
        UsbWaveform::SetUp();
        if (!HasFatalFailure() && !haveSigrok()) {
            GTEST_SKIP() << "sigrok-cli is not installed: the waveform is not decoded";
        }
    }
};

TEST_F(DecodedUsbWaveform, DecodersFindTheCableFramesAndBytes) {
    runSmallJobOverUsb({});
    std::vector<DecodedFrame> out = decode(path("wave.vcd"), "mosi");
    std::vector<DecodedFrame> in = decode(path("wave.vcd"), "miso");
    EXPECT_TRUE(bytesOf(out) == expected.dataOut) << firstDifference(expected.dataOut, bytesOf(out));
    EXPECT_TRUE(bytesOf(in) == expected.dataIn) << firstDifference(expected.dataIn, bytesOf(in));
    ASSERT_EQ(out.size(), record.size());
    for (size_t i = 0; i < record.size(); i++) {
        EXPECT_EQ(out[i].bytes.substr(0, record[i].shown.size()), record[i].shown) << "frame " << i;
        EXPECT_EQ((out[i].bytes.size() + 1) / 3, record[i].length) << "frame " << i;
    }
    // The identity read: two bytes at 10 MHz, after chip select's own command
    // and the wait for the clocking command's bytes.
    uint64_t span = out[0].endNs - out[0].startNs;
    EXPECT_GE(span, 16 * BIT_NS_AT_DIVISOR_2 + WAVEFORM_PIN_COMMAND_NS);
    EXPECT_LE(span, 16 * BIT_NS_AT_DIVISOR_2 + 3 * WAVEFORM_PIN_COMMAND_NS);
    // The file ends no earlier than the USB model's job time.
    std::string vcd = readWholeFile(path("wave.vcd"));
    std::string closing = cableTrace.substr(cableTrace.find(" model_ns=") + 10);
    EXPECT_GE(std::stoull(vcd.substr(vcd.rfind('#') + 1)), std::stoull(closing));
    std::printf("waveform of the %zu-byte job over USB: %zu bytes\n", SMALL_IMAGE_BYTES, vcd.size());
}

// Cut at the pin level, the file may end inside a frame; the decoder drops
// that one, and the frames before it are the job's first.
TEST_F(DecodedUsbWaveform, BoundCutsTheDrawing) {
    const uint64_t limit = 200000;
    runSmallJobOverUsb({"VADAPTER_VCD_LIMIT=" + std::to_string(limit)});
    expectCutToFirstFrames(path("wave.vcd"), limit, expected.dataOut);
}

TEST_F(UsbWaveform, BoundHoldsForAWholeFlashJob) {
    makeImage("whole.bin", FLASH_SIZE);
    ProgramResult result = run({"-s", "0", "-f", "whole.bin", "-e"}, {"VADAPTER_VCD=wave.vcd"});
    ASSERT_EQ(result.status, 0) << result.output;
    expectWholeFlashJobBounded(path("wave.vcd"), " over USB");
}

} // namespace

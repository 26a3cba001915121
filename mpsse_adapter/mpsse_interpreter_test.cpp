// The emulated cable's MPSSE engine against command streams: the frames it
// hands the target, the answers it queues and the violations it names. The
// cable's side is recorded here in its place.
#include <gtest/gtest.h>
#include <stdarg.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "emulated_usb/mpsse_interpreter.h"

namespace {

std::string wire;                    // "[" at select, bytes sent, "]" at deselect
std::vector<std::string> violations; // texts
uint8_t nextAnswer = 0x40;

} // namespace

void cableSelect() {
    wire += "[";
}

uint8_t cableExchange(uint8_t mosi) {
    char text[4];
    snprintf(text, sizeof(text), "%02x ", mosi);
    wire += text;
    return nextAnswer++;
}

void cableDeselect() {
    wire += "]";
}

void cableViolation(const char* format, ...) {
    char text[200];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(text, sizeof(text), format, arguments);
    va_end(arguments);
    violations.push_back(text);
}

namespace {

typedef std::vector<uint8_t> Bytes;

// Set-up as the library sends it: clock, pins at rest.
const Bytes SET_UP = {0x85, 0x8A, 0x97, 0x8D, 0x86, 0x08, 0x00, 0x80, 0xFA, 0xFB};
const Bytes SELECT = {0x80, 0xF2, 0xFB};
const Bytes DESELECT = {0x80, 0xFA, 0xFB};

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

void start() {
    wire.clear();
    violations.clear();
    nextAnswer = 0x40;
    interpreterReset();
    interpreterSetMpsse(true);
    interpreterFeed(SET_UP.data(), static_cast<uint32_t>(SET_UP.size()));
}

Bytes takeAnswers() {
    uint8_t answers[64];
    uint32_t count = interpreterTake(answers, sizeof(answers));
    return Bytes(answers, answers + count);
}

struct StreamCase {
    const char* name;
    Bytes stream;
    std::string wire;
    Bytes answers;
    std::string violation; // "" for none; else the start of the only one
};

TEST(MpsseInterpreter, FramesAnswersAndViolations) {
    const std::vector<StreamCase> cases = {
        {"framed write", join({SELECT, {0x11, 0x01, 0x00, 0xAF, 0x12}, DESELECT}), "[af 12 ]", {}, ""},
        {"framed read",
         join({SELECT, {0x11, 0x00, 0x00, 0x05, 0x20, 0x01, 0x00}, DESELECT, {0x87}}),
         "[05 ff ff ]",
         {0x41, 0x42},
         ""},
        {"write and read bits of a whole byte",
         join({SELECT, {0x13, 0x07, 0x90, 0x22, 0x07}, DESELECT, {0x87}}),
         "[90 ff ]",
         {0x41},
         ""},
        {"sync probe", {0xAA, 0x87}, "", {0xFA, 0xAA}, ""},
        {"undefined opcode", {0x9F, 0x87}, "", {0xFA, 0x9F}, "undefined opcode 9f"},
        {"chip select inactive", {0x11, 0x00, 0x00, 0x05}, "", {}, "data clocked with chip select inactive"},
        {"rising-edge write",
         join({SELECT, {0x10, 0x00, 0x00, 0x05}, DESELECT}),
         "[05 ]",
         {},
         "opcode 10 clocks on"},
        {"falling-edge read",
         join({SELECT, {0x24, 0x00, 0x00}, DESELECT, {0x87}}),
         "[ff ]",
         {0x40},
         "opcode 24 clocks on"},
        {"least significant bit first",
         join({SELECT, {0x19, 0x00, 0x00, 0x05}, DESELECT}),
         "[05 ]",
         {},
         "opcode 19 clocks least"},
        {"divide-by-5 on",
         join({{0x8B}, SELECT, {0x11, 0x00, 0x00, 0x05}, DESELECT}),
         "[05 ]",
         {},
         "divide-by-5 left on"},
        {"clock resting high",
         join({{0x80, 0xF3, 0xFB, 0x11, 0x00, 0x00, 0x05}, DESELECT}),
         "[05 ]",
         {},
         "clock rests high"},
        {"read without SEND_IMMEDIATE",
         join({SELECT, {0x20, 0x00, 0x00}, DESELECT}),
         "[ff ]",
         {0x40},
         "answer bytes read without SEND_IMMEDIATE"},
        {"partial byte",
         join({SELECT, {0x13, 0x03, 0xA0}, DESELECT}),
         "[a0 ]",
         {},
         "opcode 13 clocks 4 bits"},
    };
    for (const StreamCase& streamCase : cases) {
        start();
        interpreterFeed(streamCase.stream.data(), static_cast<uint32_t>(streamCase.stream.size()));
        EXPECT_EQ(takeAnswers(), streamCase.answers) << streamCase.name;
        EXPECT_EQ(wire, streamCase.wire) << streamCase.name;
        if (streamCase.violation.empty()) {
            EXPECT_TRUE(violations.empty()) << streamCase.name << ": " << violations.front();
        } else {
            ASSERT_EQ(violations.size(), 1u) << streamCase.name;
            EXPECT_EQ(violations[0].rfind(streamCase.violation, 0), 0u)
                << streamCase.name << ": " << violations[0];
        }
    }
}

// Pins, divisor and half-received commands survive every cut.
TEST(MpsseInterpreter, StreamCutAtEveryOffset) {
    Bytes stream = join({SELECT,
                         {0x11, 0x04, 0x00, 0xAF, 0x00, 0x40, 0x00, 0x12},
                         DESELECT,
                         SELECT,
                         {0x11, 0x00, 0x00, 0x05, 0x20, 0x00, 0x00},
                         DESELECT,
                         {0x87, 0xAA, 0x87}});
    start();
    interpreterFeed(stream.data(), static_cast<uint32_t>(stream.size()));
    std::string expectedWire = wire;
    Bytes expectedAnswers = takeAnswers();
    for (uint32_t cut = 0; cut <= stream.size(); cut++) {
        start();
        interpreterFeed(stream.data(), cut);
        interpreterFeed(stream.data() + cut, static_cast<uint32_t>(stream.size()) - cut);
        EXPECT_EQ(wire, expectedWire) << "cut at " << cut;
        EXPECT_EQ(takeAnswers(), expectedAnswers) << "cut at " << cut;
        EXPECT_TRUE(violations.empty()) << "cut at " << cut;
    }
}

TEST(MpsseInterpreter, BytesWithMpsseOffAreRefused) {
    start();
    interpreterSetMpsse(false);
    const Bytes frame = join({SELECT, {0x11, 0x00, 0x00, 0x05}, DESELECT});
    interpreterFeed(frame.data(), static_cast<uint32_t>(frame.size()));
    EXPECT_EQ(wire, "");
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0], "10 bytes written with MPSSE mode off");
}

} // namespace

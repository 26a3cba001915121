// The library's paths that the program never takes, called in-process over
// the emulated cable: other chip-select lines, an active-high select, a clock
// resting high, general pins, the high byte, the query area, the latency
// value, a full queue, a frame larger than the queue, and the close. The
// expected command bytes are written out by hand from the wiring and the
// chip's pin command (0x80 levels directions); the cable's log gives what
// was sent.
#include <string.h>

#include <vector>

#include "mpsse_adapter_fixture.h"

namespace {

// The target's read-bracket commands: one-byte frames it takes.
const uint8_t COMMAND = 0x16;
const uint8_t CLOSING_COMMAND = 0x14;
// The queue buffer's size, as mpsse_adapter.h gives it.
const uint32_t QUEUE_BYTES = 256 * 1024;
// A frame of one command byte: chip select, one write command, chip select.
const uint32_t BARE_FRAME_BYTES = 3 + 4 + 3;

class MpsseAdapterPaths : public MpsseAdapter {
  protected:
    AdapterStatus writeCommand(uint32_t handle, StartCondition start, uint32_t clockEdge = 0) {
        uint8_t command = COMMAND;
        return libWrite(handle, &start, MSB_FIRST, clockEdge, 8, &command, 1, 0, 0, nullptr, 0, nullptr,
                        &pins);
    }
    // New trace lines that begin with prefix, in order, without it.
    std::string newTraceLines(const std::string& prefix) {
        std::string found;
        std::istringstream lines(newTrace());
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind(prefix, 0) == 0) {
                found += line.substr(prefix.size()) + "\n";
            }
        }
        return found;
    }
    std::string violations() {
        return newTraceLines("violation: ");
    }
    // The sizes of the USB writes; the target's own verdicts on the frames
    // are not what these tests judge.
    std::string writeSizes() {
        return newTraceLines("out bytes=");
    }
};

// After the open the low byte rests at 0a (data out and chip select 0 high)
// with directions 0b (clock, data out, chip select 0).
struct FrameCase {
    const char* name;
    StartCondition start;
    uint32_t clockEdge;
    const char* sent;      // the USB write of the call
    const char* violation; // what the cable, wired to line 0 active low, says
};

TEST_F(MpsseAdapterPaths, StartConditionsAndChipSelectLines) {
    const FrameCase cases[] = {
        {"line 0, active low", {0, 1, 1, 0}, 0, "80 02 0b 11 00 00 16 80 0a 0b\n", ""},
        {"line 2 (bit 5) becomes an output",
         {0, 1, 1, 2},
         0,
         "80 0a 2b 11 00 00 16 80 2a 2b\n",
         "data clocked with chip select inactive (opcode 11)\n"},
        {"line 4 (bit 7)",
         {0, 1, 1, 4},
         0,
         "80 0a 8b 11 00 00 16 80 8a 8b\n",
         "data clocked with chip select inactive (opcode 11)\n"},
        {"active-high select rests low",
         {0, 1, 0, 0},
         0,
         "80 0a 0b 11 00 00 16 80 02 0b\n",
         "data clocked with chip select inactive (opcode 11)\n"},
        {"clock resting high",
         {1, 1, 1, 0},
         0,
         "80 03 0b 11 00 00 16 80 0b 0b\n",
         "clock rests high before opcode 11\n"},
        {"clock resting high, other edge",
         {1, 1, 1, 0},
         1,
         "80 03 0b 10 00 00 16 80 0b 0b\n",
         "opcode 10 clocks on the target's wrong edge\nclock rests high before opcode 10\n"},
        {"data out resting low", {0, 0, 1, 0}, 0, "80 00 0b 11 00 00 16 80 08 0b\n", ""},
    };
    for (const FrameCase& c : cases) {
        uint32_t handle = openDual();
        EXPECT_EQ(writeCommand(handle, c.start, c.clockEdge), ADAPTER_OK) << c.name;
        EXPECT_EQ(newWrites(), c.sent) << c.name;
        EXPECT_EQ(violations(), c.violation) << c.name;
        EXPECT_EQ(libClose(handle), ADAPTER_OK) << c.name;
    }
}

struct HighByteStep {
    const char* name;
    PinStatePair pins[8];
    const char* before; // the high-byte command ahead of the frame, if any
};

TEST_F(MpsseAdapterPaths, HighByteGoesOutOnlyWhenItChanges) {
    const HighByteStep steps[] = {
        {"all inputs, as at open", {}, ""},
        {"pin 0 high, pin 3 low", {{1, 1}, {0, 0}, {0, 0}, {1, 0}}, "82 01 09 "},
        {"the same again", {{1, 1}, {0, 0}, {0, 0}, {1, 0}}, ""},
        {"an input's active state does not count", {{1, 1}, {0, 1}, {0, 0}, {1, 0}}, ""},
        {"pin 3 high, pin 7 high",
         {{1, 1}, {0, 0}, {0, 0}, {1, 1}, {0, 0}, {0, 0}, {0, 0}, {1, 1}},
         "82 89 89 "},
        {"all inputs again", {}, "82 00 00 "},
    };
    uint32_t handle = openDual();
    for (const HighByteStep& step : steps) {
        for (uint32_t pin = 0; pin < 8; pin++) {
            pins.pins[pin] = step.pins[pin];
        }
        EXPECT_EQ(writeCommand(handle, {0, 1, 1, 0}), ADAPTER_OK) << step.name;
        EXPECT_EQ(newWrites(), std::string(step.before) + "80 02 0b 11 00 00 16 80 0a 0b\n") << step.name;
    }
    EXPECT_EQ(libClose(handle), ADAPTER_OK);
}

// Line 1 a general output, low; line 3 a general input; lines 2 and 4
// chip-select lines, resting high. A general pin frames no transfer; the
// close drives every chip-select line to its level at rest, here line 2's
// low after an active-high transfer, and leaves the general pins alone.
TEST_F(MpsseAdapterPaths, GeneralPinsAndTheClose) {
    uint32_t handle = openDual();
    ChipSelectDisableStates disable = {{0, 1, 0, 1, 0}};
    PinSettings settings = {{{1, 0}, {0, 0}, {0, 1}, {0, 0}}};
    EXPECT_EQ(libSetLineLevels(handle, &disable, &settings), ADAPTER_OK);
    EXPECT_EQ(newWrites(), "80 ea bb\n");
    for (uint32_t line : {1u, 3u, 5u}) {
        EXPECT_EQ(writeCommand(handle, {0, 1, 1, line}), MPSSE_STATUS_INVALID_PARAMETER) << line;
    }
    EXPECT_EQ(newWrites(), "");
    EXPECT_EQ(writeCommand(handle, {0, 1, 0, 2}), ADAPTER_OK);
    EXPECT_EQ(newWrites(), "80 ea bb 11 00 00 16 80 ca bb\n");
    uint8_t command = COMMAND;
    StartCondition start = {0, 1, 1, 4};
    EXPECT_EQ(libQueueWrite(handle, &start, MSB_FIRST, 0, 8, &command, 1, 0, 0, nullptr, 0, &pins),
              ADAPTER_OK);
    EXPECT_EQ(libClose(handle), ADAPTER_OK);
    // The queued transfer is dropped, unsent.
    EXPECT_EQ(newWrites(), "80 ca bb\n");
}

struct QueryCase {
    const char* channel;
    uint32_t divisor;
    StartCondition start;
    PinStatePair pin0;
    uint8_t area[QUERY_AREA_SIZE];
};

TEST_F(MpsseAdapterPaths, QueryAreaIsEightLittleEndianWords) {
    const QueryCase cases[] = {
        {"A", 8, {0, 1, 1, 0}, {0, 0}, {0x10, 0x60, 0, 0, 0,    0,    0,    0,
                                        0x08, 0,    0, 0, 0xD5, 0xDC, 0x32, 0, // 0x6010, "A", 8, 3333333 Hz
                                        0x0A, 0,    0, 0, 0x0B, 0,    0,    0,
                                        0,    0,    0, 0, 0,    0,    0,    0}},
        {"B", 70000, {0, 1, 1, 2}, {1, 1}, {0x10, 0x60, 0, 0, 1,    0,    0, 0,
                                            0xFF, 0xFF, 0, 0, 0xC9, 0x01, 0, 0, // "B", 65535 sent, 457 Hz
                                            0x2A, 0,    0, 0, 0x2B, 0,    0, 0,
                                            0x01, 0,    0, 0, 0x01, 0,    0, 0}},
    };
    for (const QueryCase& c : cases) {
        uint32_t handle = openChannel(c.channel);
        uint32_t frequency = 0;
        EXPECT_EQ(libSetClockDivisor(handle, c.divisor, &frequency), ADAPTER_OK);
        pins.pins[0] = c.pin0;
        EXPECT_EQ(writeCommand(handle, c.start), ADAPTER_OK);
        newTrace();
        uint8_t area[QUERY_AREA_SIZE];
        memset(area, 0xEE, sizeof(area));
        EXPECT_EQ(libQuery(handle, area), ADAPTER_OK);
        EXPECT_EQ(std::vector<uint8_t>(area, area + QUERY_AREA_SIZE),
                  std::vector<uint8_t>(c.area, c.area + QUERY_AREA_SIZE))
            << c.channel;
        EXPECT_EQ(newTrace(), "") << "no USB traffic";
        EXPECT_EQ(libQuery(handle, nullptr), MPSSE_STATUS_INVALID_PARAMETER);
        EXPECT_EQ(libClose(handle), ADAPTER_OK);
    }
}

struct LatencyCase {
    uint32_t value;
    AdapterStatus status;
    const char* trace;
};

TEST_F(MpsseAdapterPaths, Setup6SetsTheLatencyTimer) {
    const LatencyCase cases[] = {
        {0, ADAPTER_OK, ""},
        {1, ADAPTER_OK, "control request=09 value=0001 index=1\n"},
        {16, ADAPTER_OK, "control request=09 value=0010 index=1\n"},
        {255, ADAPTER_OK, "control request=09 value=00ff index=1\n"},
        {256, MPSSE_STATUS_INVALID_PARAMETER, ""},
        {0xFFFFFFFF, MPSSE_STATUS_INVALID_PARAMETER, ""},
    };
    uint32_t handle = openDual();
    for (const LatencyCase& c : cases) {
        EXPECT_EQ(libSetup6(handle, c.value), c.status) << c.value;
        EXPECT_EQ(newTrace(), c.trace) << c.value;
    }
    EXPECT_EQ(libClose(handle), ADAPTER_OK);
}

// The queue buffer holds 26214 bare frames; the next one sends them first.
TEST_F(MpsseAdapterPaths, FullQueueIsSentBeforeTheFrameThatDoesNotFit) {
    uint32_t handle = openDual();
    uint8_t command = COMMAND;
    StartCondition start = {0, 1, 1, 0};
    const uint32_t fit = QUEUE_BYTES / BARE_FRAME_BYTES;
    for (uint32_t i = 0; i < fit; i++) {
        command = i % 2 == 0 ? COMMAND : CLOSING_COMMAND;
        ASSERT_EQ(libQueueWrite(handle, &start, MSB_FIRST, 0, 8, &command, 1, 0, 0, nullptr, 0, &pins),
                  ADAPTER_OK);
    }
    EXPECT_EQ(newTrace(), "");
    EXPECT_EQ(libQueueWrite(handle, &start, MSB_FIRST, 0, 8, &command, 1, 0, 0, nullptr, 0, &pins),
              ADAPTER_OK);
    EXPECT_EQ(writeSizes(), std::to_string(fit * BARE_FRAME_BYTES) + "\n");
    uint32_t returned = 0;
    EXPECT_EQ(libExecuteQueue(handle, nullptr, &returned), ADAPTER_OK);
    EXPECT_EQ(writeSizes(), std::to_string(BARE_FRAME_BYTES) + "\n");
    newWrites();
    EXPECT_EQ(libClose(handle), ADAPTER_OK);
}

// One command byte and N data bytes make 6 bytes of chip select, 3 per
// 65536-byte write command and N + 1 bytes: 262125 fill the buffer exactly.
struct LargeFrameCase {
    const char* name;
    uint32_t dataBytes;
    bool pinsChange; // the high byte adds its 3 bytes to the frame
    AdapterStatus status;
    const char* sent;
};

TEST_F(MpsseAdapterPaths, FrameLargerThanTheQueueIsRefusedWhole) {
    static uint8_t data[QUEUE_BYTES];
    const LargeFrameCase cases[] = {
        {"exactly the buffer", 262125, false, ADAPTER_OK, "262144\n"},
        {"one byte more", 262126, false, MPSSE_STATUS_INVALID_PARAMETER, ""},
        {"one byte more with a high-byte change", 262126, true, MPSSE_STATUS_INVALID_PARAMETER, ""},
        {"the buffer with a high-byte change", 262125, true, MPSSE_STATUS_INVALID_PARAMETER, ""},
        {"room for the high-byte change", 262122, true, ADAPTER_OK, "262144\n"},
    };
    for (const LargeFrameCase& c : cases) {
        uint32_t handle = openDual();
        uint8_t command = COMMAND;
        StartCondition start = {0, 1, 1, 0};
        pins = {};
        pins.pins[2] = {c.pinsChange ? 1u : 0u, 1};
        EXPECT_EQ(libWrite(handle, &start, MSB_FIRST, 0, 8, &command, 1, 1, c.dataBytes * 8, data,
                           c.dataBytes, nullptr, &pins),
                  c.status)
            << c.name;
        EXPECT_EQ(writeSizes(), c.sent) << c.name;
        // A refused frame leaves no trace: the high byte is still as at
        // open, so a frame with all inputs sends none.
        pins = {};
        EXPECT_EQ(libQueueWrite(handle, &start, MSB_FIRST, 0, 8, &command, 1, 0, 0, nullptr, 0, &pins),
                  ADAPTER_OK);
        uint32_t returned = 0;
        newWrites();
        EXPECT_EQ(libExecuteQueue(handle, nullptr, &returned), ADAPTER_OK);
        std::string expected = c.pinsChange && c.status == ADAPTER_OK ? "82 00 00 " : "";
        EXPECT_EQ(newWrites(), expected + "80 02 0b 11 00 00 16 80 0a 0b\n") << c.name;
        EXPECT_EQ(libClose(handle), ADAPTER_OK);
        newTrace();
    }
}

} // namespace

// The write planner against the properties a write relies on, at the
// divisors the write benchmarks use: every byte to program is in a run, no
// run reaches a sector the write left alone, and a gap of 0xff is sent
// through only when it is no longer than the break-even length.
#include "orvan/write/write_plan.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

const uint32_t SECTOR = 16384;
const uint32_t FLASH = 8 * SECTOR;

struct PlanCase {
    std::string name;
    std::vector<std::pair<uint32_t, uint8_t>> bytes; // address, value; the rest 0xff
    uint8_t sectorMask;
    // A byte placed after a gap of the divisor's break-even length that
    // begins at each of these addresses.
    std::vector<uint32_t> bytesAfterBreakEven;
    size_t runs; // the exact count, or SIZE_MAX to check the properties only
};

bool inMask(uint8_t mask, uint32_t address) {
    return (mask >> (address / SECTOR) & 1) != 0;
}

// The properties, whatever the image.
void checkRuns(const std::vector<uint8_t>& flash, uint8_t mask, uint32_t breakEven,
               const std::vector<ProgramRun>& runs, const std::string& what) {
    std::vector<bool> covered(FLASH, false);
    for (size_t r = 0; r < runs.size(); r++) {
        const ProgramRun& run = runs[r];
        ASSERT_GT(run.length, 0u) << what;
        ASSERT_LE(run.address + run.length, FLASH) << what;
        EXPECT_NE(flash[run.address], 0xff) << what << ": run " << r << " starts on 0xff";
        EXPECT_NE(flash[run.address + run.length - 1], 0xff) << what << ": run " << r << " ends on 0xff";
        uint32_t gap = 0;
        for (uint32_t at = run.address; at < run.address + run.length; at++) {
            ASSERT_TRUE(inMask(mask, at)) << what << ": run " << r << " reaches 0x" << std::hex << at;
            covered[at] = true;
            gap = flash[at] == 0xff ? gap + 1 : 0;
            EXPECT_LE(gap, breakEven) << what << ": run " << r << " sends a long gap";
        }
        if (r == 0) {
            continue;
        }
        const ProgramRun& before = runs[r - 1];
        uint32_t from = before.address + before.length;
        ASSERT_LT(before.address, run.address) << what;
        bool crossesLeftAlone = false;
        for (uint32_t at = from; at < run.address; at++) {
            crossesLeftAlone = crossesLeftAlone || !inMask(mask, at);
        }
        EXPECT_TRUE(run.address - from > breakEven || crossesLeftAlone)
            << what << ": runs " << r - 1 << " and " << r << " could have been one";
    }
    for (uint32_t at = 0; at < FLASH; at++) {
        if (inMask(mask, at) && flash[at] != 0xff) {
            ASSERT_TRUE(covered[at]) << what << ": 0x" << std::hex << at << " is not programmed";
        }
    }
}

} // namespace

// Worked by hand: a reopen costs 8 round trips of 1 ms and 120 bits, a
// skipped byte 16 bits, at 30 MHz / (divisor + 1): 8.004 ms / 533.3 ns at 0,
// 8.036 ms / 4.8 us at 8, 270.1 ms / 34.95 ms at 65535.
TEST(WritePlan, BreakEvenLengthsAtTheBenchmarkDivisors) {
    EXPECT_EQ(reopenBreakEvenBytes(0), 15007u);
    EXPECT_EQ(reopenBreakEvenBytes(8), 1674u);
    EXPECT_EQ(reopenBreakEvenBytes(65535), 7u);
}

TEST(WritePlan, RunsCoverTheBytesAndBridgeOnlyShortGapsInErasedSectors) {
    std::mt19937 generator(7);
    std::vector<std::pair<uint32_t, uint8_t>> firmware;
    for (uint32_t at = 0; at < FLASH; at++) {
        // Code with holes of every length, and stretches of nothing.
        if (at % 9000 < 5000 && generator() % 7 != 0) {
            firmware.push_back({at, static_cast<uint8_t>(generator() % 255)});
        }
    }
    const size_t SIZE_MAX_RUNS = SIZE_MAX;
    const std::vector<PlanCase> cases = {
        {"nothing but 0xff", {}, 0xff, {}, 0},
        {"one byte", {{3 * SECTOR + 5, 0x00}}, 0x08, {}, 1},
        {"a byte of a sector left alone", {{2 * SECTOR, 0x12}}, 0xfb, {}, 0},
        {"a gap of the break-even length is sent", {{SECTOR, 0x01}}, 0x02, {SECTOR + 1}, 1},
        {"one byte longer is not", {{SECTOR, 0x01}}, 0x02, {SECTOR + 2}, 2},
        {"a short gap across a sector left alone", {{2 * SECTOR - 1, 0x01}, {4 * SECTOR, 0x02}}, 0x12, {}, 2},
        {"a short gap across two erased sectors", {{2 * SECTOR - 1, 0x01}, {2 * SECTOR, 0x02}}, 0x06, {}, 1},
        {"firmware-like, every other sector", firmware, 0x55, {}, SIZE_MAX_RUNS},
        {"firmware-like, all sectors", firmware, 0xff, {}, SIZE_MAX_RUNS},
    };
    for (uint32_t divisor : {0u, 8u}) {
        uint32_t breakEven = reopenBreakEvenBytes(divisor);
        for (const PlanCase& planCase : cases) {
            std::vector<uint8_t> flash(FLASH, 0xff);
            for (const auto& byte : planCase.bytes) {
                flash[byte.first] = byte.second;
            }
            for (uint32_t gapStart : planCase.bytesAfterBreakEven) {
                flash[gapStart + breakEven] = 0x5a;
            }
            std::string what = planCase.name + " at divisor " + std::to_string(divisor);
            std::vector<ProgramRun> runs = planProgramRuns(flash.data(), planCase.sectorMask, divisor);
            checkRuns(flash, planCase.sectorMask, breakEven, runs, what);
            if (planCase.runs != SIZE_MAX_RUNS) {
                EXPECT_EQ(runs.size(), planCase.runs) << what;
            }
        }
    }
}

// --full: the image's span in each run of its sectors, 0xff included.
TEST(WritePlan, WholeRunsKeepToTheImagesSectors) {
    struct WholeCase {
        uint32_t address;
        uint32_t length;
        uint8_t mask;
        std::vector<ProgramRun> runs;
    };
    const std::vector<WholeCase> cases = {
        {100, 50, 0x01, {{100, 50}}},
        {SECTOR - 10, 20, 0x03, {{SECTOR - 10, 20}}},
        {SECTOR + 5, 4 * SECTOR, 0x22, {{SECTOR + 5, SECTOR - 5}, {5 * SECTOR, 5}}},
        {0, FLASH, 0xff, {{0, FLASH}}},
    };
    for (const WholeCase& wholeCase : cases) {
        std::vector<ProgramRun> runs = planWholeRuns(wholeCase.address, wholeCase.length, wholeCase.mask);
        ASSERT_EQ(runs.size(), wholeCase.runs.size()) << wholeCase.address;
        for (size_t r = 0; r < runs.size(); r++) {
            EXPECT_EQ(runs[r].address, wholeCase.runs[r].address) << wholeCase.address;
            EXPECT_EQ(runs[r].length, wholeCase.runs[r].length) << wholeCase.address;
        }
        uint32_t sum = 0;
        for (const ProgramRun& run : wholeCase.runs) {
            sum += run.length;
        }
        EXPECT_EQ(plannedBytes(runs), sum);
    }
}

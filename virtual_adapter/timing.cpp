// The timing model: bits clocked at 30 MHz / (divisor + 1) plus a fixed
// latency per bus round trip; in real-time mode the adapter sleeps for it.
#include <algorithm>
#include <chrono>
#include <thread>

#include "emulated_target/target.h"
#include "virtual_adapter.h"

namespace vadapter {

namespace {

using Clock = std::chrono::steady_clock;

const uint32_t DEFAULT_DIVISOR = 8;
const int64_t SLEEP_THRESHOLD_NS = 1000000;

struct Timing {
    uint32_t divisor = DEFAULT_DIVISOR;
    uint64_t clockTicks = 0; // bits clocked times (divisor + 1), in periods of 30 MHz
    uint64_t roundTrips = 0;
    uint64_t bitsClocked = 0;
    int64_t sleepDebtNs = 0; // real-time mode: modeled time not yet slept
};

Timing timing;

uint64_t latencyNs() {
    return static_cast<uint64_t>(config().callLatencyUs) * 1000;
}

} // namespace

void resetTiming() {
    timing = Timing();
}

void setDivisor(uint32_t divisor) {
    timing.divisor = divisor;
}

uint64_t busTimeNs() {
    return ticksToNs(timing.clockTicks) + timing.roundTrips * latencyNs();
}

uint64_t roundTrips() {
    return timing.roundTrips;
}

uint64_t bitsClocked() {
    return timing.bitsClocked;
}

uint64_t bitPeriodPs() {
    return bitPeriodPsAt(timing.divisor);
}

void roundTrip(uint64_t bits) {
    uint64_t before = busTimeNs();
    timing.roundTrips++;
    timing.bitsClocked += bits;
    timing.clockTicks += bits * (static_cast<uint64_t>(timing.divisor) + 1);
    if (!config().realTime) {
        return;
    }
    timing.sleepDebtNs += static_cast<int64_t>(busTimeNs() - before);
    if (timing.sleepDebtNs > SLEEP_THRESHOLD_NS) {
        Clock::time_point start = Clock::now();
        std::this_thread::sleep_for(std::chrono::nanoseconds(timing.sleepDebtNs));
        timing.sleepDebtNs -=
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
    }
}

} // namespace vadapter

// The target's busy time runs on the modeled clock: the wall clock plus the
// modeled time not yet slept.
int64_t targetClockNs() {
    int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count();
    return now + std::max<int64_t>(vadapter::timing.sleepDebtNs, 0);
}

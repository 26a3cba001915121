// The SPI clock of every adapter and of the program: a base clock of 30 MHz
// (the MPSSE chip's 60 MHz, halved) divided by (divisor + 1). A tick is one
// period of the base clock, 100/3 ns; a bit at divisor d lasts d + 1 ticks.
// The adapter libraries, their emulations and the program all take their
// clock arithmetic from here, so that they cannot disagree on it.
#pragma once

#include <stdint.h>

#include <numeric>

const uint32_t ADAPTER_BASE_CLOCK_HZ = 30000000;
const uint32_t HZ_PER_KHZ = 1000;
const uint64_t NS_PER_S = 1000000000;
const uint64_t PS_PER_NS = 1000;

// A tick in nanoseconds as the exact fraction TICK_NS_NUMERATOR /
// TICK_NS_DENOMINATOR (100/3), so that long tick counts stay exact.
const uint64_t TICK_NS_NUMERATOR = NS_PER_S / std::gcd(NS_PER_S, uint64_t{ADAPTER_BASE_CLOCK_HZ});
const uint64_t TICK_NS_DENOMINATOR =
    ADAPTER_BASE_CLOCK_HZ / std::gcd(NS_PER_S, uint64_t{ADAPTER_BASE_CLOCK_HZ});

// The SPI clock at a divisor, rounded down; any 32-bit divisor.
inline uint32_t adapterClockHz(uint32_t divisor) {
    return static_cast<uint32_t>(ADAPTER_BASE_CLOCK_HZ / (static_cast<uint64_t>(divisor) + 1));
}

// The SPI clock at a divisor in kHz, for figures.
inline double adapterClockKhz(uint32_t divisor) {
    return static_cast<double>(ADAPTER_BASE_CLOCK_HZ) / HZ_PER_KHZ / (static_cast<double>(divisor) + 1);
}

// Base-clock ticks as time, rounded down.
inline uint64_t ticksToNs(uint64_t ticks) {
    return ticks * TICK_NS_NUMERATOR / TICK_NS_DENOMINATOR;
}

inline uint64_t ticksToPs(uint64_t ticks) {
    return ticks * TICK_NS_NUMERATOR * PS_PER_NS / TICK_NS_DENOMINATOR;
}

// One bit's time at a divisor.
inline uint64_t bitPeriodPsAt(uint32_t divisor) {
    return ticksToPs(static_cast<uint64_t>(divisor) + 1);
}

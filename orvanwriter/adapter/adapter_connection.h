// The connection to the USB-to-SPI adapter: finding, opening, configuring and
// closing it, and the transfer records every SPI transaction passes.
#pragma once

#include <stdint.h>

#include "adapter_interface/adapter_library.h"

const char* const ADAPTER_NAME_PREFIX = "Vexil";
const uint32_t ADAPTER_NAME_PREFIX_LENGTH = 5;
const char* const ADAPTER_CHANNEL = "A";
const uint32_t OPEN_CLOCK_DIVISOR = 8;
const uint32_t SETUP6_VALUE = 8;
const uint32_t WRITE_WAIT_TIMEOUT_MS = 5000;

struct AdapterConnection {
    uint32_t handle;
    uint32_t clockDivisor; // the divisor last set: the SPI clock is 30 MHz / (divisor + 1)
    StartCondition writeStart;
    StartCondition readStart;
    WriteWaitSettings waitSettings;
    UpperPinStates pinStates;
};

// Process-wide, zero at start.
extern AdapterConnection connection;

// Returns only with the adapter open and configured; otherwise prints the
// failure, waits for a key and ends the process with status -1.
void openAdapter();

// Sets the SPI clock divisor and prints the resulting frequency in kHz.
void setClockDivisor(uint32_t divisor);

void closeAdapter();

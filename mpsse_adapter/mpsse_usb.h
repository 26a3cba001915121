// The USB side of the MPSSE adapter library: listing the MPSSE channels of
// the attached chips and moving bytes to and from the open channel, through
// libftdi1's synchronous calls only (its asynchronous write resubmits a
// timed-out transfer forever).
#pragma once

#include <stdint.h>

#include "adapter_interface/adapter_library.h"

const uint32_t MAX_CHANNELS = 32;
const uint32_t CHANNEL_NAME_SIZE = 2;

struct UsbChannel {
    char name[DEVICE_NAME_SIZE]; // the USB product string
    char channel[CHANNEL_NAME_SIZE];
    uint32_t locationId;
    uint32_t productId;
    uint32_t interfaceIndex; // 0 for "A"
};

// Fills channels in location and channel order; false when USB fails.
bool usbListChannels(UsbChannel* channels, uint32_t capacity, uint32_t* count);
// Opens the channel, resets and purges it and puts it into MPSSE mode.
bool usbOpenChannel(const UsbChannel& channel);
bool usbSetLatencyMs(uint8_t latencyMs);
bool usbWrite(const uint8_t* bytes, uint32_t count);
// Reads until count bytes arrived, USB fails (*failed) or no byte came for
// READ_IDLE_LIMIT_MS; returns the bytes read.
uint32_t usbRead(uint8_t* destination, uint32_t count, bool* failed);
bool usbPurgeReceived();
void usbClose();

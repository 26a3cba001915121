// The open device of the MPSSE adapter library, shared by its two halves:
// listing, opening, set-up and close (mpsse_adapter.cpp) and the framed
// transfers and their queue (mpsse_transfers.cpp). One device is open at a
// time; the meaning of every argument is in mpsse_adapter.h.
#pragma once

#include <stdint.h>

#include "adapter_interface/adapter_library.h"
#include "mpsse_encoder.h"
#include "mpsse_usb.h"

const uint32_t BITS_PER_BYTE = 8;

struct MpsseDevice {
    bool open;
    bool failed; // a USB transfer failed: the handle is unusable until closed
    UsbChannel channel;
    uint32_t divisorSent;
    uint8_t lowLevels;
    uint8_t lowDirections;
    uint8_t generalPins; // low-byte bits of lines 1-4 set as general pins
    uint8_t highLevels;
    uint8_t highDirections;
    MpsseBuffer queue;
};

extern MpsseDevice device;

// MPSSE_STATUS_INVALID_HANDLE for any handle but the open device's, and
// MPSSE_STATUS_USB_FAILURE once a transfer of it failed.
AdapterStatus deviceCall(uint32_t handle);
// Marks the device failed and returns MPSSE_STATUS_USB_FAILURE.
AdapterStatus usbFailed();
// Sends what the queue buffer holds, in one USB write, and empties it.
AdapterStatus sendQueue();

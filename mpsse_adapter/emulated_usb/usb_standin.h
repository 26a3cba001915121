// The libusb stand-in's own records and what its two halves share: the
// devices and descriptors (usb_standin.cpp) and the transfers, control and
// bulk (usb_transfers.cpp).
#pragma once

#include <libusb.h>
#include <stdint.h>

#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))

struct libusb_context {
    int unused;
};
struct libusb_device {
    uint32_t index;
};
struct libusb_device_handle {
    uint32_t index;
    int claimed; // interface number, or -1
    bool inUse;
    bool gone; // its device was unplugged while it was open: dead for good
};

// High-speed bulk packets.
const uint16_t PACKET_BYTES = 512;

// False once the handle's device has been unplugged, even if it is back.
bool handleAlive(libusb_device_handle* handle);

// Interfaces (channels) of the device's chip.
uint32_t interfaceCount(uint16_t productId);

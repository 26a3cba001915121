#include "mpsse_usb.h"

#include <ftdi.h>
#include <libusb.h>
#include <string.h>
#include <time.h>

#include "mpsse_adapter.h"

static const uint16_t CABLE_VENDOR_ID = 0x0403;
static const uint16_t PRODUCT_DUAL = 0x6010;
static const uint16_t PRODUCT_QUAD = 0x6011;
static const uint16_t PRODUCT_SINGLE = 0x6014;
static const int USB_TIMEOUT_MS = 1000;
// Whole bulk transfers: libftdi1 caps a read at 16384 bytes on Linux.
static const unsigned READ_CHUNK_BYTES = 16384;
static const unsigned WRITE_CHUNK_BYTES = 1u << 20;
static const int MAX_PORT_DEPTH = 7;
static const int LOCATION_PORT_LEVELS = 6;
// The location id: bus number in bits 31-24, then one port per 4 bits from
// bits 23-20 down.
static const int LOCATION_BUS_SHIFT = 24;
static const int LOCATION_FIRST_PORT_SHIFT = 20;
static const int LOCATION_PORT_BITS = 4;
static const uint8_t LOCATION_PORT_MASK = (1u << LOCATION_PORT_BITS) - 1;
// MPSSE engines per chip: the dual- and quad-channel chips have two (a quad
// chip's channels C and D have none), the single-channel chip one.
static const uint32_t MPSSE_CHANNELS_DUAL_OR_QUAD = 2;
static const uint32_t MPSSE_CHANNELS_SINGLE = 1;
static const uint64_t MS_PER_S = 1000;
static const uint64_t NS_PER_MS = 1000000;
static const long EMPTY_POLL_PAUSE_NS = 1000000;

// Listing opens devices to read their strings, which must not touch the
// open channel: each has its own context.
static ftdi_context listContext;
static ftdi_context openContext;
static bool listContextReady = false;
static bool openContextReady = false;

static uint64_t monotonicMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * MS_PER_S + static_cast<uint64_t>(now.tv_nsec) / NS_PER_MS;
}

static uint32_t mpsseChannelsOf(uint16_t productId) {
    if (productId == PRODUCT_DUAL || productId == PRODUCT_QUAD) {
        return MPSSE_CHANNELS_DUAL_OR_QUAD;
    }
    return productId == PRODUCT_SINGLE ? MPSSE_CHANNELS_SINGLE : 0;
}

static uint32_t locationOf(libusb_device* device) {
    uint8_t ports[MAX_PORT_DEPTH];
    int depth = libusb_get_port_numbers(device, ports, MAX_PORT_DEPTH);
    uint32_t location = static_cast<uint32_t>(libusb_get_bus_number(device)) << LOCATION_BUS_SHIFT;
    for (int level = 0; level < depth && level < LOCATION_PORT_LEVELS; level++) {
        int shift = LOCATION_FIRST_PORT_SHIFT - LOCATION_PORT_BITS * level;
        location |= static_cast<uint32_t>(ports[level] & LOCATION_PORT_MASK) << shift;
    }
    return location;
}

static bool comesBefore(const UsbChannel& a, const UsbChannel& b) {
    return a.locationId != b.locationId ? a.locationId < b.locationId : a.interfaceIndex < b.interfaceIndex;
}

static void insertSorted(UsbChannel* channels, uint32_t count, const UsbChannel& entry) {
    uint32_t at = count;
    while (at > 0 && comesBefore(entry, channels[at - 1])) {
        channels[at] = channels[at - 1];
        at--;
    }
    channels[at] = entry;
}

// A device whose strings cannot be read (no permission) is listed unnamed.
static uint32_t addDevice(libusb_device* device, UsbChannel* channels, uint32_t capacity, uint32_t count) {
    libusb_device_descriptor descriptor;
    if (libusb_get_device_descriptor(device, &descriptor) != 0 || descriptor.idVendor != CABLE_VENDOR_ID ||
        mpsseChannelsOf(descriptor.idProduct) == 0) {
        return count;
    }
    UsbChannel entry;
    memset(&entry, 0, sizeof(entry));
    if (ftdi_usb_get_strings(&listContext, device, nullptr, 0, entry.name, DEVICE_NAME_SIZE, nullptr, 0) <
        0) {
        entry.name[0] = '\0';
    }
    entry.locationId = locationOf(device);
    entry.productId = descriptor.idProduct;
    for (uint32_t index = 0; index < mpsseChannelsOf(descriptor.idProduct) && count < capacity; index++) {
        entry.interfaceIndex = index;
        entry.channel[0] = static_cast<char>('A' + index);
        insertSorted(channels, count++, entry);
    }
    return count;
}

// The vendor's attached chips, through a context set up at its first use.
static bool findAll(ftdi_context* context, bool* ready, ftdi_device_list** devices) {
    if (!*ready && ftdi_init(context) < 0) {
        return false;
    }
    *ready = true;
    *devices = nullptr;
    // Vendor and product 0 ask for the vendor's usual products.
    return ftdi_usb_find_all(context, devices, 0, 0) >= 0;
}

bool usbListChannels(UsbChannel* channels, uint32_t capacity, uint32_t* count) {
    *count = 0;
    ftdi_device_list* devices = nullptr;
    if (!findAll(&listContext, &listContextReady, &devices)) {
        return false;
    }
    for (ftdi_device_list* item = devices; item != nullptr; item = item->next) {
        *count = addDevice(item->dev, channels, capacity, *count);
    }
    ftdi_list_free(&devices);
    return true;
}

static libusb_device* findDevice(ftdi_device_list* devices, const UsbChannel& channel) {
    for (ftdi_device_list* item = devices; item != nullptr; item = item->next) {
        libusb_device_descriptor descriptor;
        if (libusb_get_device_descriptor(item->dev, &descriptor) == 0 &&
            descriptor.idProduct == channel.productId && locationOf(item->dev) == channel.locationId) {
            return item->dev;
        }
    }
    return nullptr;
}

// No event or error characters, so that no data byte ends a USB packet
// early; flow control, so that the chip holds its answers while the host
// has no room. Reset mode first, so that a channel left in MPSSE mode by a
// crashed program starts clean; the purge drops what it left in the buffers.
static bool enterMpsse() {
    openContext.usb_read_timeout = USB_TIMEOUT_MS;
    openContext.usb_write_timeout = USB_TIMEOUT_MS;
    return ftdi_read_data_set_chunksize(&openContext, READ_CHUNK_BYTES) == 0 &&
           ftdi_write_data_set_chunksize(&openContext, WRITE_CHUNK_BYTES) == 0 &&
           ftdi_set_event_char(&openContext, 0, 0) == 0 && ftdi_set_error_char(&openContext, 0, 0) == 0 &&
           ftdi_setflowctrl(&openContext, SIO_RTS_CTS_HS) == 0 &&
           ftdi_set_bitmode(&openContext, 0, BITMODE_RESET) == 0 && ftdi_tcioflush(&openContext) == 0 &&
           ftdi_set_bitmode(&openContext, 0, BITMODE_MPSSE) == 0;
}

bool usbOpenChannel(const UsbChannel& channel) {
    ftdi_device_list* devices = nullptr;
    if (!findAll(&openContext, &openContextReady, &devices)) {
        return false;
    }
    libusb_device* device = findDevice(devices, channel);
    bool opened = device != nullptr &&
                  ftdi_set_interface(
                      &openContext, static_cast<ftdi_interface>(INTERFACE_A + channel.interfaceIndex)) == 0 &&
                  ftdi_usb_open_dev(&openContext, device) == 0;
    ftdi_list_free(&devices);
    if (opened && !enterMpsse()) {
        usbClose();
        return false;
    }
    return opened;
}

bool usbSetLatencyMs(uint8_t latencyMs) {
    return ftdi_set_latency_timer(&openContext, latencyMs) == 0;
}

bool usbWrite(const uint8_t* bytes, uint32_t count) {
    if (count == 0) {
        return true;
    }
    int written = ftdi_write_data(&openContext, bytes, static_cast<int>(count));
    return written == static_cast<int>(count);
}

uint32_t usbRead(uint8_t* destination, uint32_t count, bool* failed) {
    uint32_t received = 0;
    uint64_t lastArrivalMs = monotonicMs();
    *failed = false;
    while (received < count) {
        int got = ftdi_read_data(&openContext, destination + received, static_cast<int>(count - received));
        if (got < 0) {
            *failed = true;
            break;
        }
        if (got > 0) {
            received += static_cast<uint32_t>(got);
            lastArrivalMs = monotonicMs();
            continue;
        }
        if (monotonicMs() - lastArrivalMs >= READ_IDLE_LIMIT_MS) {
            break;
        }
        // The chip answers an empty poll after its latency timer; a pause
        // keeps a faster answer from spinning.
        struct timespec pause = {0, EMPTY_POLL_PAUSE_NS};
        nanosleep(&pause, nullptr);
    }
    return received;
}

bool usbPurgeReceived() {
    return ftdi_tciflush(&openContext) == 0;
}

void usbClose() {
    ftdi_usb_close(&openContext);
}

// A stand-in for libusb-1.0.so.0, for tests only: loaded ahead of the real
// one through LD_LIBRARY_PATH, it lets the real, unchanged libftdi1 drive an
// emulated cable. It exports every libusb function that libftdi1 and the
// MPSSE adapter library import; this half lists the devices, gives their
// descriptors and strings, opens and claims them; the transfers are in
// usb_transfers.cpp.
#include <stdlib.h>
#include <string.h>

#include "cable_waveform.h"
#include "emulated_cable.h"
#include "emulated_target/target.h"
#include "mpsse_interpreter.h"
#include "usb_standin.h"

namespace {

const uint16_t CABLE_VENDOR = 0x0403;
const uint16_t PRODUCT_QUAD = 0x6011;
const uint16_t PRODUCT_SINGLE = 0x6014;
// Interfaces (channels) of each chip.
const uint32_t QUAD_INTERFACES = 4;
const uint32_t DUAL_INTERFACES = 2;
const uint32_t SINGLE_INTERFACES = 1;
// bcdDevice, by which libftdi1 tells the chip generations apart.
const uint16_t RELEASE_DUAL = 0x0700;
const uint16_t RELEASE_QUAD = 0x0800;
const uint16_t RELEASE_SINGLE = 0x0900;
// Interface i reads from endpoint 0x81 + 2i and writes to 0x02 + 2i.
const uint8_t FIRST_IN_ENDPOINT = 0x81;
const uint8_t FIRST_OUT_ENDPOINT = 0x02;
const uint8_t ENDPOINTS_PER_INTERFACE = 2;
// A high-speed device: USB 2.0, 64-byte control packets.
const uint16_t USB_RELEASE_2_0 = 0x0200;
const uint8_t CONTROL_PACKET_BYTES = 64;
const uint8_t MANUFACTURER_STRING = 1;
const uint8_t PRODUCT_STRING = 2;
const uint8_t SERIAL_STRING = 3;
const uint8_t CONFIGURATION_VALUE = 1;
const uint32_t MAX_INTERFACES = 4;

libusb_context context;
libusb_device devices[CABLE_MAX_DEVICES];
libusb_device_handle handles[2 * CABLE_MAX_DEVICES];
libusb_endpoint_descriptor endpoints[MAX_INTERFACES][ENDPOINTS_PER_INTERFACE];
libusb_interface_descriptor interfaceDescriptors[MAX_INTERFACES];
libusb_interface interfaces[MAX_INTERFACES];
libusb_config_descriptor configurations[CABLE_MAX_DEVICES];

// The chip generation that libftdi1 reads from bcdDevice.
uint16_t releaseOf(uint16_t productId) {
    return productId == PRODUCT_QUAD     ? RELEASE_QUAD
           : productId == PRODUCT_SINGLE ? RELEASE_SINGLE
                                         : RELEASE_DUAL;
}

void setUpDescriptors() {
    for (uint32_t i = 0; i < MAX_INTERFACES; i++) {
        endpoints[i][0] = {};
        endpoints[i][0].bEndpointAddress =
            static_cast<uint8_t>(FIRST_IN_ENDPOINT + ENDPOINTS_PER_INTERFACE * i);
        endpoints[i][0].wMaxPacketSize = PACKET_BYTES;
        endpoints[i][1] = endpoints[i][0];
        endpoints[i][1].bEndpointAddress =
            static_cast<uint8_t>(FIRST_OUT_ENDPOINT + ENDPOINTS_PER_INTERFACE * i);
        interfaceDescriptors[i] = {};
        interfaceDescriptors[i].bInterfaceNumber = static_cast<uint8_t>(i);
        interfaceDescriptors[i].bNumEndpoints = ENDPOINTS_PER_INTERFACE;
        interfaceDescriptors[i].endpoint = endpoints[i];
        interfaces[i].altsetting = &interfaceDescriptors[i];
        interfaces[i].num_altsetting = 1;
    }
    const CableConfig& config = cableConfig();
    for (uint32_t d = 0; d < config.deviceCount; d++) {
        devices[d].index = d;
        configurations[d] = {};
        configurations[d].bConfigurationValue = CONFIGURATION_VALUE;
        configurations[d].bNumInterfaces = static_cast<uint8_t>(interfaceCount(config.devices[d].productId));
        configurations[d].interface = interfaces;
    }
}

const CableDevice& deviceOf(const libusb_device* device) {
    return cableConfig().devices[device->index];
}

} // namespace

uint32_t interfaceCount(uint16_t productId) {
    return productId == PRODUCT_QUAD     ? QUAD_INTERFACES
           : productId == PRODUCT_SINGLE ? SINGLE_INTERFACES
                                         : DUAL_INTERFACES;
}

STANDIN_EXPORT int libusb_init(libusb_context** out) {
    setUpDescriptors();
    if (out != nullptr) {
        *out = &context;
    }
    return 0;
}

STANDIN_EXPORT void libusb_exit(libusb_context* ctx) {
    (void)ctx;
}

bool handleAlive(libusb_device_handle* handle) {
    if (!handle->gone && !cableDevicePlugged(handle->index)) {
        handle->gone = true;
        cableTrace("unplugged device=%u", handle->index);
    }
    return !handle->gone;
}

// An unplugged cable is no longer listed.
STANDIN_EXPORT ssize_t libusb_get_device_list(libusb_context* ctx, libusb_device*** list) {
    (void)ctx;
    uint32_t configured = cableConfig().deviceCount;
    libusb_device** entries = static_cast<libusb_device**>(calloc(configured + 1, sizeof(libusb_device*)));
    if (entries == nullptr) {
        return LIBUSB_ERROR_NO_MEM;
    }
    uint32_t count = 0;
    for (uint32_t i = 0; i < configured; i++) {
        if (cableDevicePlugged(i)) {
            entries[count++] = &devices[i];
        }
    }
    *list = entries;
    cableTrace("list devices=%u", count);
    return count;
}

STANDIN_EXPORT void libusb_free_device_list(libusb_device** list, int unrefDevices) {
    (void)unrefDevices;
    free(list);
}

STANDIN_EXPORT libusb_device* libusb_ref_device(libusb_device* device) {
    return device;
}

STANDIN_EXPORT void libusb_unref_device(libusb_device* device) {
    (void)device;
}

STANDIN_EXPORT int libusb_get_device_descriptor(libusb_device* device, libusb_device_descriptor* descriptor) {
    const CableDevice& cable = deviceOf(device);
    memset(descriptor, 0, sizeof(*descriptor));
    descriptor->bLength = LIBUSB_DT_DEVICE_SIZE;
    descriptor->bDescriptorType = LIBUSB_DT_DEVICE;
    descriptor->bcdUSB = USB_RELEASE_2_0;
    descriptor->bMaxPacketSize0 = CONTROL_PACKET_BYTES;
    descriptor->idVendor = CABLE_VENDOR;
    descriptor->idProduct = cable.productId;
    descriptor->bcdDevice = releaseOf(cable.productId);
    descriptor->iManufacturer = MANUFACTURER_STRING;
    descriptor->iProduct = PRODUCT_STRING;
    descriptor->iSerialNumber = SERIAL_STRING;
    descriptor->bNumConfigurations = 1;
    return 0;
}

STANDIN_EXPORT int libusb_get_config_descriptor(libusb_device* device, uint8_t index,
                                                libusb_config_descriptor** config) {
    if (index != 0) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    *config = &configurations[device->index];
    return 0;
}

STANDIN_EXPORT void libusb_free_config_descriptor(libusb_config_descriptor* config) {
    (void)config;
}

STANDIN_EXPORT uint8_t libusb_get_bus_number(libusb_device* device) {
    return deviceOf(device).bus;
}

STANDIN_EXPORT uint8_t libusb_get_device_address(libusb_device* device) {
    return static_cast<uint8_t>(device->index + 2);
}

STANDIN_EXPORT int libusb_get_port_numbers(libusb_device* device, uint8_t* ports, int length) {
    const CableDevice& cable = deviceOf(device);
    if (length < static_cast<int>(cable.portDepth)) {
        return LIBUSB_ERROR_OVERFLOW;
    }
    memcpy(ports, cable.ports, cable.portDepth);
    return static_cast<int>(cable.portDepth);
}

// Each open has its own handle: listing opens a device that may be open.
STANDIN_EXPORT int libusb_open(libusb_device* device, libusb_device_handle** handle) {
    if (!cableDevicePlugged(device->index)) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    libusb_device_handle* free = nullptr;
    for (libusb_device_handle& candidate : handles) {
        free = free == nullptr && !candidate.inUse ? &candidate : free;
    }
    if (free == nullptr) {
        return LIBUSB_ERROR_NO_MEM;
    }
    *free = {device->index, -1, true, false};
    *handle = free;
    cableTrace("open device=%u product=%04x", device->index, deviceOf(device).productId);
    return 0;
}

STANDIN_EXPORT void libusb_close(libusb_device_handle* handle) {
    if (handle->claimed >= 0) {
        cableCloseTrace(handle->index);
        cableWaveformClose(cableCounters().modelNs);
    }
    handle->claimed = -1;
    handle->inUse = false;
}

STANDIN_EXPORT int libusb_get_configuration(libusb_device_handle* handle, int* config) {
    *config = CONFIGURATION_VALUE;
    return handleAlive(handle) ? 0 : LIBUSB_ERROR_NO_DEVICE;
}

STANDIN_EXPORT int libusb_set_configuration(libusb_device_handle* handle, int config) {
    (void)handle;
    return config == CONFIGURATION_VALUE ? 0 : LIBUSB_ERROR_NOT_FOUND;
}

STANDIN_EXPORT int libusb_detach_kernel_driver(libusb_device_handle* handle, int interfaceNumber) {
    (void)handle;
    (void)interfaceNumber;
    return LIBUSB_ERROR_NOT_FOUND;
}

STANDIN_EXPORT int libusb_set_auto_detach_kernel_driver(libusb_device_handle* handle, int enable) {
    (void)handle;
    (void)enable;
    return 0;
}

// The target hangs on whichever channel is claimed; the flash file is
// attached at the first claim, which fails as a busy device's would when the
// file cannot serve.
STANDIN_EXPORT int libusb_claim_interface(libusb_device_handle* handle, int interfaceNumber) {
    if (!handleAlive(handle)) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (interfaceNumber < 0 ||
        interfaceNumber >= static_cast<int>(interfaceCount(cableConfig().devices[handle->index].productId))) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    if (!cableAttachFlash(handle->index)) {
        return LIBUSB_ERROR_BUSY;
    }
    handle->claimed = interfaceNumber;
    cableWatchPresence(handle->index);
    interpreterReset();
    targetReset();
    cableWaveformOpen(cableLocation(handle->index));
    cableTrace("claim device=%u interface=%d", handle->index, interfaceNumber);
    return 0;
}

STANDIN_EXPORT int libusb_release_interface(libusb_device_handle* handle, int interfaceNumber) {
    (void)interfaceNumber;
    return handle->claimed >= 0 ? 0 : LIBUSB_ERROR_NOT_FOUND;
}

STANDIN_EXPORT int libusb_get_string_descriptor_ascii(libusb_device_handle* handle, uint8_t index,
                                                      unsigned char* data, int length) {
    if (!handleAlive(handle)) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    const CableDevice& cable = cableConfig().devices[handle->index];
    const char* text = index == MANUFACTURER_STRING ? "Vexil"
                       : index == PRODUCT_STRING    ? cable.product.c_str()
                       : index == SERIAL_STRING     ? "VX000001"
                                                    : nullptr;
    if (text == nullptr || length <= 0) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    int size = static_cast<int>(strlen(text));
    size = size < length - 1 ? size : length - 1;
    memcpy(data, text, static_cast<size_t>(size));
    data[size] = '\0';
    return size;
}

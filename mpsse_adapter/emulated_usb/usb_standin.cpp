// A stand-in for libusb-1.0.so.0, for tests only: loaded ahead of the real
// one through LD_LIBRARY_PATH, it lets the real, unchanged libftdi1 drive an
// emulated cable. It exports every libusb function that libftdi1 and the
// MPSSE adapter library import; the asynchronous ones only refuse.
#include <libusb.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "cable_waveform.h"
#include "emulated_cable.h"
#include "emulated_target/target.h"
#include "mpsse_encoder.h"
#include "mpsse_interpreter.h"

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
};

namespace {

const uint16_t CABLE_VENDOR = 0x0403;
const uint16_t PRODUCT_QUAD = 0x6011;
const uint16_t PRODUCT_SINGLE = 0x6014;
const uint16_t PACKET_BYTES = 512;
const uint8_t MODEM_STATUS[2] = {0x32, 0x60};
const uint8_t MANUFACTURER_STRING = 1;
const uint8_t PRODUCT_STRING = 2;
const uint8_t SERIAL_STRING = 3;
const uint8_t CONFIGURATION_VALUE = 1;
const uint32_t MAX_INTERFACES = 4;
const uint8_t REQUEST_RESET = 0x00;
const uint8_t REQUEST_SET_BITMODE = 0x0B;
const uint8_t REQUEST_GET_LATENCY = 0x0A;
const uint8_t REQUEST_SET_LATENCY = 0x09;
const uint16_t RESET_ALL = 0;
const uint16_t FLUSH_TO_HOST = 2; // empties the chip's buffer of bytes for the host
const uint8_t BITMODE_MPSSE_VALUE = 0x02;
const long EMPTY_IN_PAUSE_NS = 1000000;

libusb_context context;
libusb_device devices[CABLE_MAX_DEVICES];
libusb_device_handle handles[2 * CABLE_MAX_DEVICES];
libusb_endpoint_descriptor endpoints[MAX_INTERFACES][2];
libusb_interface_descriptor interfaceDescriptors[MAX_INTERFACES];
libusb_interface interfaces[MAX_INTERFACES];
libusb_config_descriptor configurations[CABLE_MAX_DEVICES];
uint8_t latencyMs = 16;
bool lastWasOut = false;
uint64_t bulkTransfers = 0;

uint32_t interfaceCount(uint16_t productId) {
    return productId == PRODUCT_QUAD ? 4 : productId == PRODUCT_SINGLE ? 1 : 2;
}

// The chip generation that libftdi1 reads from bcdDevice.
uint16_t releaseOf(uint16_t productId) {
    return productId == PRODUCT_QUAD ? 0x0800 : productId == PRODUCT_SINGLE ? 0x0900 : 0x0700;
}

void setUpDescriptors() {
    for (uint32_t i = 0; i < MAX_INTERFACES; i++) {
        endpoints[i][0] = {};
        endpoints[i][0].bEndpointAddress = static_cast<uint8_t>(0x81 + 2 * i);
        endpoints[i][0].wMaxPacketSize = PACKET_BYTES;
        endpoints[i][1] = endpoints[i][0];
        endpoints[i][1].bEndpointAddress = static_cast<uint8_t>(0x02 + 2 * i);
        interfaceDescriptors[i] = {};
        interfaceDescriptors[i].bInterfaceNumber = static_cast<uint8_t>(i);
        interfaceDescriptors[i].bNumEndpoints = 2;
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

void pause(long nanoseconds) {
    struct timespec wait = {0, nanoseconds};
    nanosleep(&wait, nullptr);
}

// As from a crashed program's last read, answer bytes that arrive after the
// purge, among them the synchronisation reply's first byte.
void sendStaleBytes() {
    static bool sent = false;
    for (uint32_t i = 0; i < cableConfig().staleBytes && !sent; i++) {
        const uint8_t stale = i % 2 == 0 ? MPSSE_BAD_OPCODE_REPLY : 0x55;
        interpreterInjectAnswers(&stale, 1);
    }
    sent = true;
}

int vendorOut(uint8_t request, uint16_t value) {
    if (request == REQUEST_RESET) {
        if (value == RESET_ALL) {
            interpreterReset();
        } else if (value == FLUSH_TO_HOST) {
            interpreterPurgeAnswers();
        }
    } else if (request == REQUEST_SET_BITMODE) {
        interpreterSetMpsse((value >> 8) == BITMODE_MPSSE_VALUE);
        if ((value >> 8) == BITMODE_MPSSE_VALUE) {
            sendStaleBytes();
        }
    } else if (request == REQUEST_SET_LATENCY) {
        latencyMs = static_cast<uint8_t>(value);
    }
    return 0;
}

int vendorIn(uint8_t request, unsigned char* data, uint16_t length) {
    if (length == 0) {
        return 0;
    }
    memset(data, 0, length);
    if (request == REQUEST_GET_LATENCY) {
        data[0] = latencyMs;
    }
    return length >= 2 ? 2 : 1;
}

// A bulk transfer from this one on times out when the fault is set.
bool timesOut(unsigned int timeoutMs) {
    if (++bulkTransfers < cableConfig().bulkTimeoutFrom) {
        return false;
    }
    cableTrace("fault: bulk transfer %llu timed out", static_cast<unsigned long long>(bulkTransfers));
    struct timespec wait = {static_cast<time_t>(timeoutMs / 1000),
                            static_cast<long>(timeoutMs % 1000) * 1000000};
    nanosleep(&wait, nullptr);
    return true;
}

int bulkOut(const unsigned char* data, int length, int* transferred) {
    CableCounters& counters = cableCounters();
    counters.bulkOutTransfers++;
    counters.bulkOutBytes += static_cast<uint64_t>(length);
    lastWasOut = true;
    cableTrace("out bytes=%d", length);
    uint64_t ticksBefore = interpreterStats().clockTicks;
    cableWaveformWrite(counters.modelNs);
    // Cut as the test asks: the chip must carry its state across any cut.
    uint32_t piece = cableConfig().outPieceBytes;
    for (uint32_t done = 0; done < static_cast<uint32_t>(length); done += piece) {
        uint32_t left = static_cast<uint32_t>(length) - done;
        interpreterFeed(data + done, left < piece ? left : piece);
    }
    uint64_t clockingNs = (interpreterStats().clockTicks - ticksBefore) * 100 / 3;
    uint64_t transferNs = static_cast<uint64_t>(length) * 1000000000 / MODEL_BULK_BYTES_PER_S;
    counters.modelNs += MODEL_WRITE_START_NS + (clockingNs > transferNs ? clockingNs : transferNs);
    *transferred = length;
    return 0;
}

// Every 512-byte packet starts with the two modem-status bytes; with
// nothing to send the chip still answers with them alone.
int bulkIn(unsigned char* data, int length, int* transferred) {
    CableCounters& counters = cableCounters();
    counters.bulkInTransfers++;
    uint64_t wasWaits = counters.inWaits;
    counters.inWaits += lastWasOut ? 1 : 0;
    lastWasOut = false;
    uint32_t budget = cableConfig().shortInBytes;
    // A silent chip still answers each IN poll with the status bytes.
    uint64_t silentAfter = cableConfig().silentAfterBytes;
    uint64_t left = counters.bulkInBytes < silentAfter ? silentAfter - counters.bulkInBytes : 0;
    budget = budget < left ? budget : static_cast<uint32_t>(left);
    static bool silenceTraced = false;
    if (left == 0 && !silenceTraced && interpreterWaiting() > 0) {
        silenceTraced = true;
        cableTrace("fault: silent after %llu answer bytes", static_cast<unsigned long long>(silentAfter));
    }
    int used = 0;
    uint32_t dataBytes = 0;
    while (length - used >= 2) {
        uint32_t room =
            static_cast<uint32_t>(length - used < PACKET_BYTES ? length - used : PACKET_BYTES) - 2;
        room = room < budget - dataBytes ? room : budget - dataBytes;
        memcpy(data + used, MODEM_STATUS, 2);
        uint32_t got = interpreterTake(data + used + 2, room);
        used += static_cast<int>(2 + got);
        dataBytes += got;
        if (got < PACKET_BYTES - 2u || dataBytes >= budget || interpreterWaiting() == 0) {
            break;
        }
    }
    counters.bulkInBytes += dataBytes;
    counters.modelNs += (counters.inWaits > wasWaits ? MODEL_WAIT_NS : 0) +
                        static_cast<uint64_t>(dataBytes) * 1000000000 / MODEL_BULK_BYTES_PER_S;
    cableTrace("in bytes=%u", dataBytes);
    if (dataBytes == 0) {
        pause(EMPTY_IN_PAUSE_NS);
    }
    *transferred = used;
    return 0;
}

} // namespace

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

// An unplugged cable is no longer listed.
STANDIN_EXPORT ssize_t libusb_get_device_list(libusb_context* ctx, libusb_device*** list) {
    (void)ctx;
    uint32_t count = cableUnplugged() ? 0 : cableConfig().deviceCount;
    libusb_device** entries = static_cast<libusb_device**>(calloc(count + 1, sizeof(libusb_device*)));
    if (entries == nullptr) {
        return LIBUSB_ERROR_NO_MEM;
    }
    for (uint32_t i = 0; i < count; i++) {
        entries[i] = &devices[i];
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
    descriptor->bcdUSB = 0x0200;
    descriptor->bMaxPacketSize0 = 64;
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
    if (cableUnplugged()) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    libusb_device_handle* free = nullptr;
    for (libusb_device_handle& candidate : handles) {
        free = free == nullptr && !candidate.inUse ? &candidate : free;
    }
    if (free == nullptr) {
        return LIBUSB_ERROR_NO_MEM;
    }
    *free = {device->index, -1, true};
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
    (void)handle;
    *config = CONFIGURATION_VALUE;
    return cableUnplugged() ? LIBUSB_ERROR_NO_DEVICE : 0;
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
    if (cableUnplugged()) {
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
    if (cableUnplugged()) {
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

STANDIN_EXPORT int libusb_control_transfer(libusb_device_handle* handle, uint8_t requestType, uint8_t request,
                                           uint16_t value, uint16_t index, unsigned char* data,
                                           uint16_t length, unsigned int timeoutMs) {
    (void)handle;
    (void)timeoutMs;
    if (!cableTransferAllowed()) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    cableCounters().controlTransfers++;
    cableTrace("control request=%02x value=%04x index=%u", request, value, index);
    if ((requestType & LIBUSB_ENDPOINT_IN) != 0) {
        return vendorIn(request, data, length);
    }
    return vendorOut(request, value);
}

STANDIN_EXPORT int libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint,
                                        unsigned char* data, int length, int* transferred,
                                        unsigned int timeoutMs) {
    *transferred = 0;
    if (handle->claimed < 0) {
        return LIBUSB_ERROR_IO;
    }
    if (!cableTransferAllowed()) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (timesOut(timeoutMs)) {
        return LIBUSB_ERROR_TIMEOUT;
    }
    return (endpoint & LIBUSB_ENDPOINT_IN) != 0 ? bulkIn(data, length, transferred)
                                                : bulkOut(data, length, transferred);
}

// The asynchronous interface is not offered: the MPSSE adapter library uses
// the synchronous calls only.
STANDIN_EXPORT libusb_transfer* libusb_alloc_transfer(int isoPackets) {
    (void)isoPackets;
    return nullptr;
}

STANDIN_EXPORT void libusb_free_transfer(libusb_transfer* transfer) {
    (void)transfer;
}

STANDIN_EXPORT int libusb_submit_transfer(libusb_transfer* transfer) {
    (void)transfer;
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

STANDIN_EXPORT int libusb_cancel_transfer(libusb_transfer* transfer) {
    (void)transfer;
    return LIBUSB_ERROR_NOT_FOUND;
}

STANDIN_EXPORT int libusb_handle_events_timeout(libusb_context* ctx, struct timeval* tv) {
    (void)ctx;
    (void)tv;
    return 0;
}

STANDIN_EXPORT int libusb_handle_events_timeout_completed(libusb_context* ctx, struct timeval* tv,
                                                          int* completed) {
    (void)ctx;
    (void)tv;
    (void)completed;
    return 0;
}

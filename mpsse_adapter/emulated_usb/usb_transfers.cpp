// The libusb stand-in's transfers: libftdi1's vendor requests on the
// control endpoint, the command stream on bulk OUT to the MPSSE engine, and
// its answers on bulk IN with the status bytes; the asynchronous interface
// only refuses.
#include <string.h>
#include <time.h>

#include "adapter_interface/adapter_clock.h"
#include "cable_waveform.h"
#include "emulated_cable.h"
#include "mpsse_command_set.h"
#include "mpsse_interpreter.h"
#include "usb_standin.h"

namespace {

// The two status bytes at the head of every IN packet, as a high-speed chip
// sends them when idle: modem status (CTS and DSR set), then line status
// (transmitter holding register and transmitter empty).
const uint8_t MODEM_STATUS[2] = {0x32, 0x60};
const uint32_t MODEM_STATUS_BYTES = sizeof(MODEM_STATUS);
// The longest answer to a vendor IN request: the modem status read.
const int VENDOR_IN_MAX_BYTES = 2;
// The chip's latency timer after power-up, in milliseconds.
const uint8_t POWER_UP_LATENCY_MS = 16;
// What an earlier user's answers held besides the bad-command reply: any
// byte that is not one.
const uint8_t STALE_FILLER = 0x55;
const uint8_t REQUEST_RESET = 0x00;
const uint8_t REQUEST_SET_BITMODE = 0x0B;
const uint8_t REQUEST_GET_LATENCY = 0x0A;
const uint8_t REQUEST_SET_LATENCY = 0x09;
const uint16_t RESET_ALL = 0;
const uint16_t FLUSH_TO_HOST = 2; // empties the chip's buffer of bytes for the host
const uint8_t BITMODE_MPSSE_VALUE = 0x02;
// SET_BITMODE carries the mode in the high byte of its value.
const uint32_t BITMODE_SHIFT = 8;
const unsigned MS_PER_S = 1000;
const long NS_PER_MS = 1000000;
const long EMPTY_IN_PAUSE_NS = 1000000;

uint8_t latencyMs = POWER_UP_LATENCY_MS;
bool lastWasOut = false;
uint64_t bulkTransfers = 0;

void pause(long nanoseconds) {
    struct timespec wait = {0, nanoseconds};
    nanosleep(&wait, nullptr);
}

// As from a crashed program's last read, answer bytes that arrive after the
// purge, among them the synchronisation reply's first byte.
void sendStaleBytes() {
    static bool sent = false;
    for (uint32_t i = 0; i < cableConfig().staleBytes && !sent; i++) {
        const uint8_t stale = i % 2 == 0 ? CHIP_BAD_COMMAND_REPLY : STALE_FILLER;
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
        bool mpsse = (value >> BITMODE_SHIFT) == BITMODE_MPSSE_VALUE;
        interpreterSetMpsse(mpsse);
        if (mpsse) {
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
    return length >= VENDOR_IN_MAX_BYTES ? VENDOR_IN_MAX_BYTES : 1;
}

// A bulk transfer from this one on times out when the fault is set.
bool timesOut(unsigned int timeoutMs) {
    if (++bulkTransfers < cableConfig().bulkTimeoutFrom) {
        return false;
    }
    cableTrace("fault: bulk transfer %llu timed out", static_cast<unsigned long long>(bulkTransfers));
    struct timespec wait = {static_cast<time_t>(timeoutMs / MS_PER_S),
                            static_cast<long>(timeoutMs % MS_PER_S) * NS_PER_MS};
    nanosleep(&wait, nullptr);
    return true;
}

int bulkOut(const unsigned char* data, int length, int* transferred) {
    CableCounters& counters = cableCounters();
    counters.bulkOutTransfers++;
    counters.bulkOutBytes += static_cast<uint64_t>(length);
    lastWasOut = true;
    cableFollowPresence();
    cableTrace("out bytes=%d", length);
    cableLogWrite(data, static_cast<uint32_t>(length));
    uint64_t ticksBefore = interpreterStats().clockTicks;
    cableWaveformWrite(counters.modelNs);
    // Cut as the test asks: the chip must carry its state across any cut.
    uint32_t piece = cableConfig().outPieceBytes;
    for (uint32_t done = 0; done < static_cast<uint32_t>(length); done += piece) {
        uint32_t left = static_cast<uint32_t>(length) - done;
        interpreterFeed(data + done, left < piece ? left : piece);
    }
    uint64_t clockingNs = ticksToNs(interpreterStats().clockTicks - ticksBefore);
    uint64_t transferNs = static_cast<uint64_t>(length) * NS_PER_S / MODEL_BULK_BYTES_PER_S;
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
    while (length - used >= static_cast<int>(MODEM_STATUS_BYTES)) {
        uint32_t room = static_cast<uint32_t>(length - used < PACKET_BYTES ? length - used : PACKET_BYTES) -
                        MODEM_STATUS_BYTES;
        room = room < budget - dataBytes ? room : budget - dataBytes;
        memcpy(data + used, MODEM_STATUS, MODEM_STATUS_BYTES);
        uint32_t got = interpreterTake(data + used + MODEM_STATUS_BYTES, room);
        used += static_cast<int>(MODEM_STATUS_BYTES + got);
        dataBytes += got;
        if (got < PACKET_BYTES - MODEM_STATUS_BYTES || dataBytes >= budget || interpreterWaiting() == 0) {
            break;
        }
    }
    counters.bulkInBytes += dataBytes;
    counters.modelNs += (counters.inWaits > wasWaits ? MODEL_WAIT_NS : 0) +
                        static_cast<uint64_t>(dataBytes) * NS_PER_S / MODEL_BULK_BYTES_PER_S;
    cableTrace("in bytes=%u", dataBytes);
    if (dataBytes == 0) {
        pause(EMPTY_IN_PAUSE_NS);
    }
    *transferred = used;
    return 0;
}

} // namespace

STANDIN_EXPORT int libusb_control_transfer(libusb_device_handle* handle, uint8_t requestType, uint8_t request,
                                           uint16_t value, uint16_t index, unsigned char* data,
                                           uint16_t length, unsigned int timeoutMs) {
    (void)timeoutMs;
    if (!handleAlive(handle) || !cableTransferAllowed()) {
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
    if (!handleAlive(handle) || !cableTransferAllowed()) {
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

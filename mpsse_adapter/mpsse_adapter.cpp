// The adapter library's operations over the MPSSE channel: listing,
// opening, set-up and close; the transfers are in mpsse_transfers.cpp. Every
// transfer is encoded into the one queue buffer, which is sent as one USB
// write; the meaning of every argument is in mpsse_adapter.h.
#include "mpsse_adapter.h"

#include <stdlib.h>
#include <string.h>

#include "adapter_interface/adapter_clock.h"
#include "mpsse_device.h"

namespace {

const uint32_t OPEN_HANDLE = 1;
// Room for a programming batch of 10240 framed bytes (11 bytes each) and
// a 64 KiB write.
const uint32_t QUEUE_BUFFER_BYTES = 256 * 1024;
const uint32_t OPEN_DIVISOR = 29; // 1 MHz until the program sets its clock
const uint32_t SYNC_REPLY_BYTES = 2;
// Bytes a crashed program may have left queued in the chip, read past while
// looking for the synchronisation reply.
const uint32_t SYNC_SEARCH_BYTES = 64;
const uint8_t HIGH_BYTE_UNSET = 0;
const uint32_t QUERY_WORDS = 8;
const uint32_t QUERY_WORD_BYTES = 4;
// The chip's latency timer takes one byte of milliseconds.
const uint32_t MAX_LATENCY_MS = 255;

// The low byte at rest: clock low, data out high, chip select 0 high
// (inactive), all four outputs; data in and lines 1-4 inputs.
const uint8_t FIXED_OUTPUTS = PIN_CLOCK | PIN_DATA_OUT | PIN_CHIP_SELECT_0;
const uint8_t OPEN_LOW_LEVELS = PIN_DATA_OUT | PIN_CHIP_SELECT_0;

UsbChannel channels[MAX_CHANNELS];
uint32_t channelCount = 0;
bool listed = false;
uint8_t syncReply[SYNC_SEARCH_BYTES];

// Cut to the caller's buffer and always ended. Measured and copied, not
// strncpy'd or printed: into a buffer of unknown size the hardened build can
// check neither, and the package checker counts them as unchecked calls.
void copyText(char* out, uint32_t size, const char* text) {
    if (out == nullptr || size == 0) {
        return;
    }
    size_t length = strnlen(text, size - 1);
    memcpy(out, text, length);
    out[length] = '\0';
}

// The chip answers an undefined opcode with 0xFA and the opcode; bytes
// before that answer are left over from an earlier user and are skipped.
// Sent behind the set-up in the queue, which has room for both at open.
AdapterStatus checkSync() {
    encodeByte(&device.queue, MPSSE_BAD_OPCODE);
    encodeByte(&device.queue, MPSSE_SEND_IMMEDIATE);
    AdapterStatus status = sendQueue();
    if (status != ADAPTER_OK) {
        return status;
    }
    uint32_t have = 0;
    while (have < SYNC_SEARCH_BYTES) {
        bool failed = false;
        uint32_t got = usbRead(syncReply + have, 1, &failed);
        if (failed) {
            return usbFailed();
        }
        if (got == 0) {
            return MPSSE_STATUS_NOT_SYNCHRONISED;
        }
        have++;
        if (have >= SYNC_REPLY_BYTES && syncReply[have - 2] == MPSSE_BAD_OPCODE_REPLY &&
            syncReply[have - 1] == MPSSE_BAD_OPCODE) {
            return ADAPTER_OK;
        }
    }
    return MPSSE_STATUS_NOT_SYNCHRONISED;
}

// Loopback off, the opening clock and the pins at rest, then the check, in
// one USB write.
AdapterStatus startChannel() {
    device.divisorSent = OPEN_DIVISOR;
    device.lowLevels = OPEN_LOW_LEVELS;
    device.lowDirections = FIXED_OUTPUTS;
    device.generalPins = 0;
    device.highLevels = HIGH_BYTE_UNSET;
    device.highDirections = HIGH_BYTE_UNSET;
    encodeByte(&device.queue, MPSSE_LOOPBACK_OFF);
    encodeClock(&device.queue, device.divisorSent);
    encodeLowPins(&device.queue, device.lowLevels, device.lowDirections);
    encodeHighPins(&device.queue, device.highLevels, device.highDirections);
    return checkSync();
}

const UsbChannel* findChannel(const char* name, uint32_t locationId, const char* channel) {
    for (uint32_t i = 0; i < channelCount; i++) {
        if (channels[i].locationId == locationId && strcmp(channels[i].name, name) == 0 &&
            strcmp(channels[i].channel, channel) == 0) {
            return &channels[i];
        }
    }
    return nullptr;
}
} // namespace

MpsseDevice device;

AdapterStatus deviceCall(uint32_t handle) {
    if (!device.open || handle != OPEN_HANDLE) {
        return MPSSE_STATUS_INVALID_HANDLE;
    }
    return device.failed ? MPSSE_STATUS_USB_FAILURE : ADAPTER_OK;
}

AdapterStatus usbFailed() {
    device.failed = true;
    return MPSSE_STATUS_USB_FAILURE;
}

AdapterStatus sendQueue() {
    bool sent = usbWrite(device.queue.bytes, device.queue.used);
    device.queue.used = 0;
    return sent ? ADAPTER_OK : usbFailed();
}

ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libCountDevices(uint32_t* count) {
    if (count == nullptr) {
        return MPSSE_STATUS_INVALID_PARAMETER;
    }
    listed = usbListChannels(channels, MAX_CHANNELS, &channelCount);
    *count = channelCount;
    return listed ? ADAPTER_OK : MPSSE_STATUS_USB_FAILURE;
}

ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libDescribeDevice(uint32_t index, char* name, uint32_t nameSize,
                                                            uint32_t* locationId, char* channel,
                                                            uint32_t channelSize, uint32_t* deviceType) {
    if (index >= channelCount) {
        return MPSSE_STATUS_DEVICE_NOT_FOUND;
    }
    copyText(name, nameSize, channels[index].name);
    copyText(channel, channelSize, channels[index].channel);
    if (locationId != nullptr) {
        *locationId = channels[index].locationId;
    }
    if (deviceType != nullptr) {
        *deviceType = channels[index].productId;
    }
    return ADAPTER_OK;
}

ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libOpenDevice(const char* name, uint32_t locationId,
                                                        const char* channel, uint32_t* handle) {
    if (name == nullptr || channel == nullptr || handle == nullptr) {
        return MPSSE_STATUS_INVALID_PARAMETER;
    }
    if (device.open) {
        return MPSSE_STATUS_ALREADY_OPEN;
    }
    if (!listed && !usbListChannels(channels, MAX_CHANNELS, &channelCount)) {
        return MPSSE_STATUS_USB_FAILURE;
    }
    listed = true;
    const UsbChannel* found = findChannel(name, locationId, channel);
    if (found == nullptr) {
        return MPSSE_STATUS_DEVICE_NOT_FOUND;
    }
    device.queue.bytes = static_cast<uint8_t*>(malloc(QUEUE_BUFFER_BYTES));
    if (device.queue.bytes == nullptr) {
        return MPSSE_STATUS_NO_MEMORY;
    }
    device.queue.capacity = QUEUE_BUFFER_BYTES;
    device.queue.used = 0;
    if (!usbOpenChannel(*found)) {
        free(device.queue.bytes);
        return MPSSE_STATUS_USB_FAILURE;
    }
    device.channel = *found;
    device.failed = false;
    AdapterStatus status = startChannel();
    if (status != ADAPTER_OK) {
        usbClose();
        free(device.queue.bytes);
        return status;
    }
    device.open = true;
    *handle = OPEN_HANDLE;
    return ADAPTER_OK;
}

ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libSetup6(uint32_t handle, uint32_t value) {
    AdapterStatus status = deviceCall(handle);
    if (status != ADAPTER_OK || value == 0) {
        return status;
    }
    if (value > MAX_LATENCY_MS) {
        return MPSSE_STATUS_INVALID_PARAMETER;
    }
    return usbSetLatencyMs(static_cast<uint8_t>(value)) ? ADAPTER_OK : usbFailed();
}

ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libSetClockDivisor(uint32_t handle, uint32_t divisor,
                                                             uint32_t* frequency) {
    AdapterStatus status = deviceCall(handle);
    if (status != ADAPTER_OK) {
        return status;
    }
    uint32_t sent = divisorSent(divisor);
    if (!encodeClock(&device.queue, sent)) {
        if ((status = sendQueue()) != ADAPTER_OK) {
            return status;
        }
        encodeClock(&device.queue, sent);
    }
    if ((status = sendQueue()) != ADAPTER_OK) {
        return status;
    }
    device.divisorSent = sent;
    if (frequency != nullptr) {
        *frequency = adapterClockHz(sent);
    }
    return ADAPTER_OK;
}

ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libSetup14(uint32_t handle) {
    return deviceCall(handle);
}

ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libSetLineLevels(uint32_t handle,
                                                           ChipSelectDisableStates* disableStates,
                                                           PinSettings* pinSettings) {
    AdapterStatus status = deviceCall(handle);
    if (status != ADAPTER_OK) {
        return status;
    }
    if (disableStates == nullptr || pinSettings == nullptr) {
        return MPSSE_STATUS_INVALID_PARAMETER;
    }
    uint8_t levels = static_cast<uint8_t>(device.lowLevels & (FIXED_OUTPUTS | PIN_DATA_IN));
    uint8_t directions = FIXED_OUTPUTS;
    uint8_t generalPins = 0;
    for (uint32_t line = 1; line < CHIP_SELECT_LINES; line++) {
        uint8_t bit = chipSelectBit(line);
        const PinSettingPair& pin = pinSettings->pins[line - 1];
        bool general = disableStates->lines[line] != 0;
        generalPins = static_cast<uint8_t>(generalPins | (general ? bit : 0));
        directions = static_cast<uint8_t>(directions | (!general || pin.direction != 0 ? bit : 0));
        levels = static_cast<uint8_t>(levels | (!general || pin.level != 0 ? bit : 0));
    }
    if (!encodeLowPins(&device.queue, levels, directions) &&
        ((status = sendQueue()) != ADAPTER_OK || !encodeLowPins(&device.queue, levels, directions))) {
        return status != ADAPTER_OK ? status : MPSSE_STATUS_INVALID_PARAMETER;
    }
    device.lowLevels = levels;
    device.lowDirections = directions;
    device.generalPins = generalPins;
    return sendQueue();
}

ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libQuery(uint32_t handle, uint8_t* area) {
    AdapterStatus status = deviceCall(handle);
    if (status != ADAPTER_OK) {
        return status;
    }
    if (area == nullptr) {
        return MPSSE_STATUS_INVALID_PARAMETER;
    }
    const uint32_t words[QUERY_WORDS] = {device.channel.productId, device.channel.interfaceIndex,
                                         device.divisorSent,       adapterClockHz(device.divisorSent),
                                         device.lowLevels,         device.lowDirections,
                                         device.highLevels,        device.highDirections};
    for (uint32_t word = 0; word < QUERY_WORDS; word++) {
        for (uint32_t byte = 0; byte < QUERY_WORD_BYTES; byte++) {
            area[word * QUERY_WORD_BYTES + byte] =
                static_cast<uint8_t>(words[word] >> (BITS_PER_BYTE * byte));
        }
    }
    return ADAPTER_OK;
}

// Transfers queued and not executed are dropped. Every chip-select line is
// driven to its level at rest, which deselects its device for as long as
// the cable stays plugged in, whether it was selected low or high.
ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libClose(uint32_t handle) {
    if (!device.open || handle != OPEN_HANDLE) {
        return MPSSE_STATUS_INVALID_HANDLE;
    }
    AdapterStatus status = device.failed ? MPSSE_STATUS_USB_FAILURE : ADAPTER_OK;
    if (!device.failed) {
        device.queue.used = 0;
        encodeLowPins(&device.queue, device.lowLevels, device.lowDirections);
        status = sendQueue();
    }
    usbClose();
    free(device.queue.bytes);
    device.queue.bytes = nullptr;
    device.open = false;
    return status;
}

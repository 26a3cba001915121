// The adapter library's operations over the MPSSE channel. Every transfer is
// encoded into the one queue buffer, which is sent as one USB write; the
// meaning of every argument is in mpsse_adapter.h.
#include "mpsse_adapter.h"

#include <stdlib.h>
#include <string.h>

#include "mpsse_encoder.h"
#include "mpsse_usb.h"
#include "orvanwriter/adapter/adapter_library.h"

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

// The low byte at rest: clock low, data out high, chip select 0 high
// (inactive), all four outputs; data in and lines 1-4 inputs.
const uint8_t FIXED_OUTPUTS = PIN_CLOCK | PIN_DATA_OUT | PIN_CHIP_SELECT_0;
const uint8_t OPEN_LOW_LEVELS = PIN_DATA_OUT | PIN_CHIP_SELECT_0;

struct Device {
    bool open;
    bool failed; // a USB transfer failed: the handle is unusable until closed
    UsbChannel channel;
    uint32_t divisorSent;
    uint8_t lowLevels;
    uint8_t lowDirections;
    uint8_t chipSelectLines; // low-byte bits that are chip-select lines
    uint8_t highLevels;
    uint8_t highDirections;
    MpsseBuffer queue;
};

UsbChannel channels[MAX_CHANNELS];
uint32_t channelCount = 0;
bool listed = false;
Device device;
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

// Sends what the queue buffer holds, in one USB write, and empties it.
AdapterStatus sendQueue() {
    bool sent = usbWrite(device.queue.bytes, device.queue.used);
    device.queue.used = 0;
    return sent ? ADAPTER_OK : usbFailed();
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
    device.chipSelectLines = PIN_CHIP_SELECT_0;
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

// The rest levels and the frame's levels of the low byte for a transfer.
AdapterStatus frameLevels(const StartCondition* start, MpsseFrame* frame) {
    if (start == nullptr || start->chipSelectLine >= CHIP_SELECT_LINES) {
        return MPSSE_STATUS_INVALID_PARAMETER;
    }
    uint8_t line = chipSelectBit(start->chipSelectLine);
    uint8_t rest = static_cast<uint8_t>(device.lowLevels & ~(PIN_CLOCK | PIN_DATA_OUT | line));
    rest = static_cast<uint8_t>(rest | (start->clockLevel != 0 ? PIN_CLOCK : 0) |
                                (start->dataOutLevel != 0 ? PIN_DATA_OUT : 0) |
                                (start->chipSelectLevel != 0 ? line : 0));
    frame->restLow = rest;
    frame->selectedLow = static_cast<uint8_t>(rest ^ line);
    frame->lowDirections = static_cast<uint8_t>(device.lowDirections | line);
    return ADAPTER_OK;
}

// The high byte, sent before the frame only when it changes.
AdapterStatus queueHighPins(const UpperPinStates* pinStates) {
    if (pinStates == nullptr) {
        return MPSSE_STATUS_INVALID_PARAMETER;
    }
    uint8_t levels = 0;
    uint8_t directions = 0;
    for (uint32_t pin = 0; pin < 8; pin++) {
        if (pinStates->pins[pin].state != 0) {
            directions = static_cast<uint8_t>(directions | 1u << pin);
            levels = static_cast<uint8_t>(levels | (pinStates->pins[pin].activeState != 0 ? 1u << pin : 0));
        }
    }
    if (levels == device.highLevels && directions == device.highDirections) {
        return ADAPTER_OK;
    }
    if (!encodeHighPins(&device.queue, levels, directions)) {
        AdapterStatus status = sendQueue();
        if (status != ADAPTER_OK) {
            return status;
        }
        encodeHighPins(&device.queue, levels, directions);
    }
    device.highLevels = levels;
    device.highDirections = directions;
    return ADAPTER_OK;
}

bool bitsFit(uint32_t bits, const uint8_t* bytes, uint32_t byteCount) {
    return bits == 0 || (bytes != nullptr && (bits + 7) / 8 <= byteCount);
}

// Appends the framed transfer (and SEND_IMMEDIATE when it reads) to the
// queue, sending the queue first when the frame does not fit behind it.
AdapterStatus queueFrame(const StartCondition* start, const UpperPinStates* pinStates, MpsseFrame* frame) {
    AdapterStatus status = frameLevels(start, frame);
    if (status == ADAPTER_OK) {
        status = queueHighPins(pinStates);
    }
    if (status != ADAPTER_OK) {
        return status;
    }
    uint32_t size = frameSize(*frame) + (frame->readBits > 0 ? 1 : 0);
    if (size > device.queue.capacity) {
        return MPSSE_STATUS_INVALID_PARAMETER;
    }
    if (device.queue.capacity - device.queue.used < size && (status = sendQueue()) != ADAPTER_OK) {
        return status;
    }
    encodeFrame(&device.queue, *frame);
    if (frame->readBits > 0) {
        encodeByte(&device.queue, MPSSE_SEND_IMMEDIATE);
    }
    device.lowLevels = frame->restLow;
    return ADAPTER_OK;
}

AdapterStatus writeFrame(uint32_t handle, StartCondition* start, uint32_t bitOrder, uint32_t clockEdge,
                         uint32_t controlBitCount, const uint8_t* controlBytes, uint32_t controlByteCount,
                         uint32_t dataFlag, uint32_t dataBitCount, const uint8_t* dataBytes,
                         uint32_t dataByteCount, UpperPinStates* pinStates) {
    AdapterStatus status = deviceCall(handle);
    if (status != ADAPTER_OK) {
        return status;
    }
    uint32_t dataBits = dataFlag != 0 ? dataBitCount : 0;
    if (!bitsFit(controlBitCount, controlBytes, controlByteCount) ||
        !bitsFit(dataBits, dataBytes, dataByteCount)) {
        return MPSSE_STATUS_INVALID_PARAMETER;
    }
    MpsseFrame frame = {};
    frame.writeOpcode = writeOpcode(bitOrder, clockEdge);
    frame.control = controlBytes;
    frame.controlBits = controlBitCount;
    frame.data = dataBytes;
    frame.dataBits = dataBits;
    return queueFrame(start, pinStates, &frame);
}

} // namespace

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
    if (value > 255) {
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
        *frequency = clockHz(sent);
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
    uint8_t chipSelects = PIN_CHIP_SELECT_0;
    for (uint32_t line = 1; line < CHIP_SELECT_LINES; line++) {
        uint8_t bit = chipSelectBit(line);
        const PinSettingPair& pin = pinSettings->pins[line - 1];
        bool general = disableStates->lines[line] != 0;
        chipSelects = static_cast<uint8_t>(chipSelects | (general ? 0 : bit));
        directions = static_cast<uint8_t>(directions | (!general || pin.direction != 0 ? bit : 0));
        levels = static_cast<uint8_t>(levels | (!general || pin.level != 0 ? bit : 0));
    }
    if (!encodeLowPins(&device.queue, levels, directions) &&
        ((status = sendQueue()) != ADAPTER_OK || !encodeLowPins(&device.queue, levels, directions))) {
        return status != ADAPTER_OK ? status : MPSSE_STATUS_INVALID_PARAMETER;
    }
    device.lowLevels = levels;
    device.lowDirections = directions;
    device.chipSelectLines = chipSelects;
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
                                         device.divisorSent,       clockHz(device.divisorSent),
                                         device.lowLevels,         device.lowDirections,
                                         device.highLevels,        device.highDirections};
    for (uint32_t word = 0; word < QUERY_WORDS; word++) {
        for (uint32_t byte = 0; byte < 4; byte++) {
            area[word * 4 + byte] = static_cast<uint8_t>(words[word] >> (8 * byte));
        }
    }
    return ADAPTER_OK;
}

ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libRead(uint32_t handle, StartCondition* start,
                                                  uint32_t controlBitOrder, uint32_t controlClockEdge,
                                                  uint32_t controlBitCount, uint8_t* controlBytes,
                                                  uint32_t controlByteCount, uint32_t dataBitOrder,
                                                  uint32_t dataClockEdge, uint32_t dataBitCount,
                                                  uint8_t* destination, uint32_t* bytesReturned,
                                                  UpperPinStates* pinStates) {
    AdapterStatus status = deviceCall(handle);
    if (status != ADAPTER_OK) {
        return status;
    }
    uint32_t wanted = (dataBitCount + 7) / 8;
    if (bytesReturned == nullptr || (wanted > 0 && destination == nullptr) ||
        !bitsFit(controlBitCount, controlBytes, controlByteCount)) {
        return MPSSE_STATUS_INVALID_PARAMETER;
    }
    *bytesReturned = 0;
    MpsseFrame frame = {};
    frame.writeOpcode = writeOpcode(controlBitOrder, controlClockEdge);
    frame.control = controlBytes;
    frame.controlBits = controlBitCount;
    frame.readOpcode = readOpcode(dataBitOrder, dataClockEdge);
    frame.readBits = dataBitCount;
    if ((status = queueFrame(start, pinStates, &frame)) != ADAPTER_OK ||
        (status = sendQueue()) != ADAPTER_OK) {
        return status;
    }
    bool failed = false;
    *bytesReturned = usbRead(destination, wanted, &failed);
    if (failed) {
        return usbFailed();
    }
    if (*bytesReturned < wanted) {
        // What still comes must not be taken for the next read's answer.
        return usbPurgeReceived() ? MPSSE_STATUS_READ_INCOMPLETE : usbFailed();
    }
    return ADAPTER_OK;
}

ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libWrite(
    uint32_t handle, StartCondition* start, uint32_t bitOrder, uint32_t clockEdge, uint32_t controlBitCount,
    uint8_t* controlBytes, uint32_t controlByteCount, uint32_t dataFlag, uint32_t dataBitCount,
    uint8_t* dataBytes, uint32_t dataByteCount, WriteWaitSettings* waitSettings, UpperPinStates* pinStates) {
    (void)waitSettings;
    AdapterStatus status =
        writeFrame(handle, start, bitOrder, clockEdge, controlBitCount, controlBytes, controlByteCount,
                   dataFlag, dataBitCount, dataBytes, dataByteCount, pinStates);
    return status != ADAPTER_OK ? status : sendQueue();
}

ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libQueueWrite(uint32_t handle, StartCondition* start,
                                                        uint32_t bitOrder, uint32_t clockEdge,
                                                        uint32_t controlBitCount, uint8_t* controlBytes,
                                                        uint32_t controlByteCount, uint32_t dataFlag,
                                                        uint32_t dataBitCount, uint8_t* dataBytes,
                                                        uint32_t dataByteCount, UpperPinStates* pinStates) {
    return writeFrame(handle, start, bitOrder, clockEdge, controlBitCount, controlBytes, controlByteCount,
                      dataFlag, dataBitCount, dataBytes, dataByteCount, pinStates);
}

ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libExecuteQueue(uint32_t handle, uint8_t* resultArea,
                                                          uint32_t* bytesReturned) {
    (void)resultArea;
    AdapterStatus status = deviceCall(handle);
    if (bytesReturned != nullptr) {
        *bytesReturned = 0;
    }
    return status != ADAPTER_OK ? status : sendQueue();
}

// Chip-select lines are left driven high, so the target stays deselected
// while the cable stays plugged in.
ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libClose(uint32_t handle) {
    if (!device.open || handle != OPEN_HANDLE) {
        return MPSSE_STATUS_INVALID_HANDLE;
    }
    AdapterStatus status = device.failed ? MPSSE_STATUS_USB_FAILURE : ADAPTER_OK;
    if (!device.failed) {
        uint8_t levels = static_cast<uint8_t>(device.lowLevels | device.chipSelectLines);
        device.queue.used = 0;
        encodeLowPins(&device.queue, levels, device.lowDirections);
        status = sendQueue();
    }
    usbClose();
    free(device.queue.bytes);
    device.queue.bytes = nullptr;
    device.open = false;
    return status;
}

// The adapter library's framed transfers over the MPSSE channel: each is
// encoded into the queue buffer, behind what it holds, and libRead, libWrite
// and libExecuteQueue send the buffer in one USB write. The meaning of every
// argument is in mpsse_adapter.h.
#include <stdint.h>

#include "mpsse_adapter.h"
#include "mpsse_device.h"

namespace {

const uint32_t HIGH_BYTE_PINS = 8;
const uint32_t SEND_IMMEDIATE_BYTES = 1;

// The rest levels and the frame's levels of the low byte for a transfer.
AdapterStatus frameLevels(const StartCondition* start, MpsseFrame* frame) {
    if (start == nullptr || start->chipSelectLine >= CHIP_SELECT_LINES ||
        (device.generalPins & chipSelectBit(start->chipSelectLine)) != 0) {
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

// The high byte that the pairs ask for: a pin with state 1 is an output at
// its active state, the others are inputs.
void highPins(const UpperPinStates& pinStates, uint8_t* levels, uint8_t* directions) {
    *levels = 0;
    *directions = 0;
    for (uint32_t pin = 0; pin < HIGH_BYTE_PINS; pin++) {
        if (pinStates.pins[pin].state != 0) {
            *directions = static_cast<uint8_t>(*directions | 1u << pin);
            *levels = static_cast<uint8_t>(*levels | (pinStates.pins[pin].activeState != 0 ? 1u << pin : 0));
        }
    }
}

// A frame's control part, clocked out as bit order and clock edge say.
MpsseFrame controlFrame(uint32_t bitOrder, uint32_t clockEdge, uint32_t controlBits, const uint8_t* control) {
    MpsseFrame frame = {};
    frame.writeOpcode = writeOpcode(bitOrder, clockEdge);
    frame.control = control;
    frame.controlBits = controlBits;
    return frame;
}

bool bitsFit(uint32_t bits, const uint8_t* bytes, uint32_t byteCount) {
    return bits == 0 || (bytes != nullptr && (bits + BITS_PER_BYTE - 1) / BITS_PER_BYTE <= byteCount);
}

// Appends the high byte when it changes, the framed transfer and, when it
// reads, SEND_IMMEDIATE to the queue, sending the queue first when they do
// not fit behind it; nothing when they would not fit an empty queue. The
// transfer's line is a chip-select output from then on, resting as it left it.
AdapterStatus queueFrame(const StartCondition* start, const UpperPinStates* pinStates, MpsseFrame* frame) {
    AdapterStatus status = frameLevels(start, frame);
    if (status != ADAPTER_OK) {
        return status;
    }
    if (pinStates == nullptr) {
        return MPSSE_STATUS_INVALID_PARAMETER;
    }
    uint8_t highLevels = 0;
    uint8_t highDirections = 0;
    highPins(*pinStates, &highLevels, &highDirections);
    bool highChanged = highLevels != device.highLevels || highDirections != device.highDirections;
    uint32_t size = (highChanged ? MPSSE_PIN_COMMAND_BYTES : 0) + frameSize(*frame) +
                    (frame->readBits > 0 ? SEND_IMMEDIATE_BYTES : 0);
    if (size > device.queue.capacity) {
        return MPSSE_STATUS_INVALID_PARAMETER;
    }
    if (device.queue.capacity - device.queue.used < size && (status = sendQueue()) != ADAPTER_OK) {
        return status;
    }
    if (highChanged) {
        encodeHighPins(&device.queue, highLevels, highDirections);
        device.highLevels = highLevels;
        device.highDirections = highDirections;
    }
    encodeFrame(&device.queue, *frame);
    if (frame->readBits > 0) {
        encodeByte(&device.queue, MPSSE_SEND_IMMEDIATE);
    }
    device.lowLevels = frame->restLow;
    device.lowDirections = frame->lowDirections;
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
    MpsseFrame frame = controlFrame(bitOrder, clockEdge, controlBitCount, controlBytes);
    frame.data = dataBytes;
    frame.dataBits = dataBits;
    return queueFrame(start, pinStates, &frame);
}

} // namespace

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
    uint32_t wanted = (dataBitCount + BITS_PER_BYTE - 1) / BITS_PER_BYTE;
    if (bytesReturned == nullptr || (wanted > 0 && destination == nullptr) ||
        !bitsFit(controlBitCount, controlBytes, controlByteCount)) {
        return MPSSE_STATUS_INVALID_PARAMETER;
    }
    *bytesReturned = 0;
    MpsseFrame frame = controlFrame(controlBitOrder, controlClockEdge, controlBitCount, controlBytes);
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

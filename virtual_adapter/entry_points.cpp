// The thirteen operations of the adapter library: each counts and checks its
// call, carries it out on the emulated target and traces it.
#include <string.h>

#include "emulated_target/target.h"
#include "virtual_adapter.h"

using namespace vadapter;

namespace {

const uint32_t SETUP6_VALUE = 8;
const uint32_t MAX_DIVISOR = 0xFFFF;

// Copies a string as the library does: cut to the buffer, always terminated.
std::string truncated(const std::string& text, uint32_t size) {
    return size == 0 ? std::string() : text.substr(0, size - 1);
}

void copyString(char* out, uint32_t size, const std::string& text) {
    if (size == 0) {
        return;
    }
    std::string cut = truncated(text, size);
    memcpy(out, cut.c_str(), cut.size() + 1);
}

bool isListed(const char* name, uint32_t locationId, const char* channel) {
    for (const VirtualDevice& device : config().devices) {
        if (device.name == name && device.channel == channel && device.locationId == locationId) {
            return true;
        }
    }
    return false;
}

// A new connection: the host starts over, on the flash file's contents.
AdapterStatus openSession(const char* name, uint32_t locationId, const char* channel) {
    if (!isListed(name, locationId, channel)) {
        violation("open of a device that is not listed");
    }
    AdapterStatus status = openFlashFile(locationId);
    if (status != ADAPTER_OK) {
        return status;
    }
    openWaveformAt(locationId);
    watchPresenceAt(locationId);
    targetReset();
    resetQueue();
    setOpen(true);
    return ADAPTER_OK;
}

} // namespace

extern "C" {

ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libCountDevices(uint32_t* count) {
    AdapterStatus status = beginCall(OP_COUNT);
    if (status == ADAPTER_OK) {
        status = checkPointers({{count, "count"}});
    }
    if (status == ADAPTER_OK && config().countStatus != 0) {
        status = config().countStatus;
    }
    if (status == ADAPTER_OK) {
        *count = static_cast<uint32_t>(pluggedDevices().size());
    }
    if (isTracing()) {
        finishCall(format("count status=%u", status) +
                   (status == ADAPTER_OK ? format(" count=%u", *count) : ""));
    }
    return status;
}

ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libDescribeDevice(uint32_t index, char* name, uint32_t nameSize,
                                                            uint32_t* locationId, char* channel,
                                                            uint32_t channelSize, uint32_t* deviceType) {
    AdapterStatus status = beginCall(OP_DESCRIBE);
    if (status == ADAPTER_OK) {
        status = checkPointers(
            {{name, "name"}, {locationId, "location"}, {channel, "channel"}, {deviceType, "device type"}});
    }
    if (status == ADAPTER_OK && index == config().describeFailIndex) {
        status = config().describeStatus;
    }
    const std::vector<VirtualDevice> listed = pluggedDevices();
    if (status == ADAPTER_OK && index >= listed.size()) {
        violation("describe index %u out of range", index);
        status = VA_STATUS_DEVICE_NOT_FOUND;
    }
    if (status == ADAPTER_OK) {
        const VirtualDevice& device = listed[index];
        copyString(name, nameSize, device.name);
        copyString(channel, channelSize, device.channel);
        *locationId = device.locationId;
        *deviceType = 0;
    }
    if (isTracing()) {
        std::string line = format("describe index=%u status=%u", index, status);
        if (status == ADAPTER_OK) {
            const VirtualDevice& device = listed[index];
            line +=
                format(" name=\"%s\" channel=\"%s\" location=0x%x", truncated(device.name, nameSize).c_str(),
                       truncated(device.channel, channelSize).c_str(), device.locationId);
        }
        finishCall(line);
    }
    return status;
}

ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libOpenDevice(const char* name, uint32_t locationId,
                                                        const char* channel, uint32_t* handle) {
    AdapterStatus status = beginCall(OP_OPEN);
    if (status == ADAPTER_OK) {
        status = checkPointers({{name, "name"}, {channel, "channel"}, {handle, "handle"}});
    }
    if (status == ADAPTER_OK && !isOpen()) {
        applyFaultsAt(locationId);
        traceAtLocation(locationId);
    }
    if (status == ADAPTER_OK) {
        status = config().openStatus;
        roundTrip(0);
    }
    if (status == ADAPTER_OK && !isPluggedIn(locationId)) {
        status = VA_STATUS_DEVICE_NOT_FOUND;
    }
    if (status == ADAPTER_OK) {
        if (isOpen()) {
            violation("open while already open");
        } else {
            status = openSession(name, locationId, channel);
        }
    }
    if (status == ADAPTER_OK) {
        *handle = openHandle();
        registerExitHandler();
    }
    if (isTracing()) {
        std::string line = format("open name=\"%s\" location=0x%x channel=\"%s\" status=%u",
                                  name ? name : "(null)", locationId, channel ? channel : "(null)", status);
        if (status == ADAPTER_OK) {
            line += format(" handle=%u", openHandle());
        }
        finishCall(line);
    }
    return status;
}

ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libSetup6(uint32_t handle, uint32_t value) {
    AdapterStatus status = beginDeviceCall(OP_SETUP6, handle, {});
    if (status == ADAPTER_OK) {
        if (value != SETUP6_VALUE) {
            violation("setup6 value %u", value);
        }
        roundTrip(0);
    }
    if (isTracing()) {
        finishCall(format("setup6 value=%u", value) + statusSuffix(status));
    }
    return status;
}

ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libSetClockDivisor(uint32_t handle, uint32_t divisor,
                                                             uint32_t* frequency) {
    AdapterStatus status = beginDeviceCall(OP_CLOCK, handle, {{frequency, "frequency"}});
    if (status == ADAPTER_OK) {
        if (divisor > MAX_DIVISOR) {
            violation("clock divisor %u out of range", divisor);
        }
        setDivisor(divisor);
        if (config().frequencyMode == VA_FREQUENCY_COMPUTED) {
            *frequency = adapterClockHz(divisor);
        } else if (config().frequencyMode == VA_FREQUENCY_FIXED) {
            *frequency = config().fixedFrequencyHz;
        }
        roundTrip(0);
    }
    if (isTracing()) {
        std::string line = format("clock divisor=%u", divisor);
        if (status == ADAPTER_OK) {
            line += config().frequencyMode == VA_FREQUENCY_UNTOUCHED ? std::string(" frequency=untouched")
                                                                     : format(" frequency=%u", *frequency);
        }
        finishCall(line + statusSuffix(status));
    }
    return status;
}

ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libSetup14(uint32_t handle) {
    AdapterStatus status = beginDeviceCall(OP_SETUP14, handle, {});
    if (status == ADAPTER_OK) {
        roundTrip(0);
    }
    if (isTracing()) {
        finishCall("setup14" + statusSuffix(status));
    }
    return status;
}

ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libSetLineLevels(uint32_t handle,
                                                           ChipSelectDisableStates* disableStates,
                                                           PinSettings* pinSettings) {
    AdapterStatus status = beginDeviceCall(
        OP_LINE_LEVELS, handle, {{disableStates, "disable states"}, {pinSettings, "pin settings"}});
    if (status == ADAPTER_OK) {
        checkLineLevels(*disableStates, *pinSettings);
        status = config().lineLevelsStatus;
        roundTrip(0);
    }
    if (isTracing()) {
        finishCall(format("linelevels status=%u", status));
    }
    return status;
}

ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libQuery(uint32_t handle, uint8_t* area) {
    AdapterStatus status = beginDeviceCall(OP_QUERY, handle, {{area, "query area"}});
    if (status == ADAPTER_OK) {
        status = config().queryStatus;
        if (status == ADAPTER_OK) {
            memset(area, 0, QUERY_AREA_SIZE);
        }
        roundTrip(0);
    }
    if (isTracing()) {
        finishCall(format("query status=%u", status));
    }
    return status;
}

ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libRead(uint32_t handle, StartCondition* start,
                                                  uint32_t controlBitOrder, uint32_t controlClockEdge,
                                                  uint32_t controlBitCount, uint8_t* controlBytes,
                                                  uint32_t controlByteCount, uint32_t dataBitOrder,
                                                  uint32_t dataClockEdge, uint32_t dataBitCount,
                                                  uint8_t* destination, uint32_t* bytesReturned,
                                                  UpperPinStates* pinStates) {
    AdapterStatus status = beginDeviceCall(OP_READ, handle,
                                           {{start, "start condition"},
                                            {controlBytes, "control bytes"},
                                            {destination, "destination"},
                                            {bytesReturned, "bytes returned"},
                                            {pinStates, "pin states"}});
    uint32_t delivered = 0;
    if (status == ADAPTER_OK) {
        checkReadShape(controlBitOrder, controlClockEdge, controlBitCount, controlByteCount, dataBitOrder,
                       dataClockEdge, dataBitCount, *start, *pinStates);
        Transaction t{true, controlBytes, controlByteCount, nullptr, 0, destination, dataBitCount / 8};
        delivered = perform(t);
        *bytesReturned = delivered;
        roundTrip(8ull * controlByteCount + dataBitCount);
    }
    if (isTracing()) {
        std::string line = format("read %s ctrl=%u/%u data=%u returned=%u",
                                  commandText(controlBytes, controlByteCount).c_str(), controlBitCount,
                                  controlByteCount, dataBitCount, delivered);
        if (delivered == 1) {
            line += format(" byte=%02x", destination[0]);
        }
        finishCall(line + statusSuffix(status));
    }
    return status;
}

ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libWrite(
    uint32_t handle, StartCondition* start, uint32_t bitOrder, uint32_t clockEdge, uint32_t controlBitCount,
    uint8_t* controlBytes, uint32_t controlByteCount, uint32_t dataFlag, uint32_t dataBitCount,
    uint8_t* dataBytes, uint32_t dataByteCount, WriteWaitSettings* waitSettings, UpperPinStates* pinStates) {
    AdapterStatus status = beginDeviceCall(OP_WRITE, handle,
                                           {{start, "start condition"},
                                            {controlBytes, "control bytes"},
                                            {dataBytes, "data bytes"},
                                            {waitSettings, "wait settings"},
                                            {pinStates, "pin states"}});
    if (status == ADAPTER_OK) {
        uint32_t dataCount = checkWriteShape(bitOrder, clockEdge, controlBitCount, controlByteCount, dataFlag,
                                             dataBitCount, dataByteCount, *start, waitSettings, *pinStates);
        Transaction t{false, controlBytes, controlByteCount, dataBytes, dataCount, nullptr, 0};
        perform(t);
        roundTrip(8ull * controlByteCount + dataBitCount);
    }
    if (isTracing()) {
        finishCall(writeLine("write", controlBytes, controlBitCount, controlByteCount, dataFlag, dataBitCount,
                             dataBytes, dataByteCount, status));
    }
    return status;
}

ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libQueueWrite(uint32_t handle, StartCondition* start,
                                                        uint32_t bitOrder, uint32_t clockEdge,
                                                        uint32_t controlBitCount, uint8_t* controlBytes,
                                                        uint32_t controlByteCount, uint32_t dataFlag,
                                                        uint32_t dataBitCount, uint8_t* dataBytes,
                                                        uint32_t dataByteCount, UpperPinStates* pinStates) {
    bool common = controlByteCount == 1 && controlBitCount == 8 && dataFlag == 1 && dataByteCount == 1 &&
                  dataBitCount == 8 && bitOrder == 1 && clockEdge == 0 && controlBytes && dataBytes &&
                  controlBytes[0] == CMD_PROGRAM && queueProgramByte(handle, start, pinStates, dataBytes[0]);
    if (common) {
        return ADAPTER_OK;
    }
    AdapterStatus status = beginDeviceCall(OP_QUEUE, handle,
                                           {{start, "start condition"},
                                            {controlBytes, "control bytes"},
                                            {dataBytes, "data bytes"},
                                            {pinStates, "pin states"}});
    if (status == ADAPTER_OK) {
        uint32_t dataCount = checkWriteShape(bitOrder, clockEdge, controlBitCount, controlByteCount, dataFlag,
                                             dataBitCount, dataByteCount, *start, nullptr, *pinStates);
        queueWrite(controlBytes, controlByteCount, dataBytes, dataCount, dataBitCount);
    }
    if (isTracing()) {
        finishCall(writeLine("queue", controlBytes, controlBitCount, controlByteCount, dataFlag, dataBitCount,
                             dataBytes, dataByteCount, status));
    }
    return status;
}

ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libExecuteQueue(uint32_t handle, uint8_t* resultArea,
                                                          uint32_t* bytesReturned) {
    AdapterStatus status =
        beginDeviceCall(OP_EXECUTE, handle, {{resultArea, "result area"}, {bytesReturned, "bytes returned"}});
    uint32_t commands = 0;
    if (status == ADAPTER_OK) {
        commands = executeQueue();
        *bytesReturned = 0;
    }
    if (isTracing()) {
        finishCall(format("execute commands=%u returned=0", commands) + statusSuffix(status));
    }
    return status;
}

ADAPTER_EXPORT AdapterStatus ADAPTER_CALL libClose(uint32_t handle) {
    AdapterStatus status = beginDeviceCall(OP_CLOSE, handle, {});
    if (status == ADAPTER_OK) {
        roundTrip(0);
        closeFlashFile();
        finishWaveform();
        setOpen(false);
    }
    if (isTracing()) {
        finishCall("close bus_ns=" + std::to_string(busTimeNs()) +
                   " round_trips=" + std::to_string(roundTrips()) + " bits=" + std::to_string(bitsClocked()) +
                   " violations=" + std::to_string(violationCount()) + statusSuffix(status));
    }
    flushTrace();
    return status;
}

} // extern "C"

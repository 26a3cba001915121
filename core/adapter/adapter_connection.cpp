#include "core/adapter/adapter_connection.h"

#include <string.h>

AdapterConnection connection;

// Every transaction starts with the clock low, data out high and chip select
// inactive (high), on chip-select line 0.
static const StartCondition START_CONDITION = {0, 1, 1, 0};
// No wait on a pin after a write; the library's own time limit for it.
static const WriteWaitSettings WAIT_SETTINGS = {0, 0, 0, WRITE_WAIT_TIMEOUT_MS};
// The upper pins are not driven by a transfer: state 0, active state 1.
static const PinStatePair PIN_STATE = {0, 1};
// Lines 0 and 2 serve as chip selects; lines 1, 3 and 4 are general pins.
static const ChipSelectDisableStates LINE_DISABLE_STATES = {{0, 1, 0, 1, 1}};
// The general pins are driven high (direction 1, level 1); line 2's pair is unused.
static const PinSettings LINE_PIN_SETTINGS = {{{1, 1}, {0, 0}, {1, 1}, {1, 1}}};

static uint8_t queryArea[QUERY_AREA_SIZE];

bool countAdapters(uint32_t* count) {
    *count = 0;
    return libCountDevices(count) == ADAPTER_OK;
}

bool describeAdapter(uint32_t index, AdapterDevice* device) {
    memset(device, 0, sizeof(*device));
    if (libDescribeDevice(index, device->name, DEVICE_NAME_SIZE, &device->locationId, device->channel,
                          DEVICE_CHANNEL_SIZE, &device->deviceType) != ADAPTER_OK) {
        return false;
    }
    // A library that fills the buffers to the brim must not run us past them.
    device->name[DEVICE_NAME_SIZE - 1] = '\0';
    device->channel[DEVICE_CHANNEL_SIZE - 1] = '\0';
    return true;
}

bool isDefaultAdapter(const AdapterDevice* device) {
    return strncmp(device->name, ADAPTER_NAME_PREFIX, ADAPTER_NAME_PREFIX_LENGTH) == 0 &&
           strcmp(device->channel, ADAPTER_CHANNEL) == 0;
}

// The first listed device that is the program's own cable or, with
// byLocation, that lies at locationId. The search stops at the first
// description that fails.
static AdapterOpening findListedAdapter(bool byLocation, uint32_t locationId, AdapterDevice* device) {
    uint32_t count = 0;
    if (!countAdapters(&count)) {
        return ADAPTER_NOT_LISTED;
    }
    for (uint32_t index = 0; index < count; index++) {
        if (!describeAdapter(index, device)) {
            return ADAPTER_NOT_LISTED;
        }
        if (byLocation ? device->locationId == locationId : isDefaultAdapter(device)) {
            return ADAPTER_OPENED;
        }
    }
    return ADAPTER_NOT_FOUND;
}

AdapterOpening findDefaultAdapter(AdapterDevice* device) {
    return findListedAdapter(false, 0, device);
}

AdapterOpening findAdapterAt(uint32_t locationId, AdapterDevice* device) {
    return findListedAdapter(true, locationId, device);
}

static void fillTransferRecords() {
    connection.writeStart = START_CONDITION;
    connection.readStart = START_CONDITION;
    connection.waitSettings = WAIT_SETTINGS;
    for (PinStatePair& pin : connection.pinStates.pins) {
        pin = PIN_STATE;
    }
}

AdapterStatus noteAdapterStatus(AdapterStatus status) {
    if (status == ADAPTER_STATUS_DEVICE_GONE) {
        connection.deviceGone = true;
    }
    return status;
}

bool adapterGone() {
    return connection.deviceGone;
}

AdapterOpening openAdapterDevice(const AdapterDevice* device) {
    connection.deviceGone = false;
    if (noteAdapterStatus(libOpenDevice(device->name, device->locationId, device->channel,
                                        &connection.handle)) != ADAPTER_OK) {
        return ADAPTER_NOT_OPENED;
    }
    uint32_t ignoredFrequency = 0;
    noteAdapterStatus(libSetup6(connection.handle, SETUP6_VALUE));
    noteAdapterStatus(libSetClockDivisor(connection.handle, OPEN_CLOCK_DIVISOR, &ignoredFrequency));
    connection.clockDivisor = OPEN_CLOCK_DIVISOR;
    noteAdapterStatus(libSetup14(connection.handle));
    // The library takes the records by address; these copies are its to read.
    ChipSelectDisableStates disableStates = LINE_DISABLE_STATES;
    PinSettings pinSettings = LINE_PIN_SETTINGS;
    // Configuration the adapter did not accept leaves it unusable.
    if (noteAdapterStatus(libSetLineLevels(connection.handle, &disableStates, &pinSettings)) != ADAPTER_OK ||
        noteAdapterStatus(libQuery(connection.handle, queryArea)) != ADAPTER_OK) {
        closeAdapter();
        return ADAPTER_NOT_SET_UP;
    }
    fillTransferRecords();
    return ADAPTER_OPENED;
}

uint32_t applyClockDivisor(uint32_t divisor) {
    uint32_t frequencyHz = 0;
    noteAdapterStatus(libSetClockDivisor(connection.handle, divisor, &frequencyHz));
    connection.clockDivisor = divisor;
    return frequencyHz;
}

void closeAdapter() {
    libClose(connection.handle);
}

#include "orvanwriter/adapter/adapter_connection.h"

#include <stdio.h>
#include <string.h>

#include "orvanwriter/frontend/command_line.h"

AdapterConnection connection;

static const StartCondition START_CONDITION = {0, 1, 1, 0};
static const WriteWaitSettings WAIT_SETTINGS = {0, 0, 0, WRITE_WAIT_TIMEOUT_MS};
static const PinStatePair PIN_STATE = {0, 1};

static char deviceName[DEVICE_NAME_SIZE];
static char deviceChannel[DEVICE_CHANNEL_SIZE];
static uint8_t queryArea[QUERY_AREA_SIZE];

[[noreturn]] static void failAdapter(const char* message) {
    printf("%s", message);
    exitWithPrompt();
}

static bool isOurAdapter(const char* name, const char* channel) {
    return strncmp(name, ADAPTER_NAME_PREFIX, ADAPTER_NAME_PREFIX_LENGTH) == 0 &&
           strcmp(channel, ADAPTER_CHANNEL) == 0;
}

// Leaves the matching device's name and channel in the description buffers.
static uint32_t findAdapter() {
    uint32_t count = 0;
    if (libCountDevices(&count) != ADAPTER_OK || count == 0) {
        failAdapter("Failed to found VEXIL\n");
    }
    for (uint32_t index = 0; index < count; index++) {
        uint32_t locationId = 0;
        uint32_t deviceType = 0;
        memset(deviceName, 0, sizeof(deviceName));
        memset(deviceChannel, 0, sizeof(deviceChannel));
        if (libDescribeDevice(index, deviceName, DEVICE_NAME_SIZE, &locationId, deviceChannel,
                              DEVICE_CHANNEL_SIZE, &deviceType) != ADAPTER_OK) {
            break;
        }
        // A library that fills the buffers to the brim must not run us past them.
        deviceName[DEVICE_NAME_SIZE - 1] = '\0';
        deviceChannel[DEVICE_CHANNEL_SIZE - 1] = '\0';
        if (isOurAdapter(deviceName, deviceChannel)) {
            return locationId;
        }
    }
    failAdapter("Failed to found VEXIL\n");
}

// Configuration the adapter did not accept leaves it unusable.
[[noreturn]] static void failConfiguration() {
    closeAdapter();
    failAdapter("Failed to connect VEXIL\n");
}

static void fillTransferRecords() {
    connection.writeStart = START_CONDITION;
    connection.readStart = START_CONDITION;
    connection.waitSettings = WAIT_SETTINGS;
    for (PinStatePair& pin : connection.pinStates.pins) {
        pin = PIN_STATE;
    }
}

void openAdapter() {
    uint32_t locationId = findAdapter();
    if (libOpenDevice(deviceName, locationId, deviceChannel, &connection.handle) != ADAPTER_OK) {
        failAdapter("Failed to connect VEXIL\n");
    }
    uint32_t ignoredFrequency = 0;
    libSetup6(connection.handle, SETUP6_VALUE);
    libSetClockDivisor(connection.handle, OPEN_CLOCK_DIVISOR, &ignoredFrequency);
    connection.clockDivisor = OPEN_CLOCK_DIVISOR;
    libSetup14(connection.handle);
    ChipSelectDisableStates disableStates = {{0, 1, 0, 1, 1}};
    PinSettings pinSettings = {{{1, 1}, {0, 0}, {1, 1}, {1, 1}}};
    if (libSetLineLevels(connection.handle, &disableStates, &pinSettings) != ADAPTER_OK) {
        failConfiguration();
    }
    if (libQuery(connection.handle, queryArea) != ADAPTER_OK) {
        failConfiguration();
    }
    fillTransferRecords();
}

void setClockDivisor(uint32_t divisor) {
    uint32_t frequencyHz = 0;
    libSetClockDivisor(connection.handle, divisor, &frequencyHz);
    connection.clockDivisor = divisor;
    printf("SPI Freq : %dkhz\n", static_cast<int>(frequencyHz >> 10));
}

void closeAdapter() {
    libClose(connection.handle);
}

#include "orvan/commands/cable.h"

#include <stdio.h>
#include <stdlib.h>

#include "core/adapter/adapter_connection.h"
#include "core/flash/flash_operations.h"
#include "core/platform/platform.h"
#include "orvan/commands/orvan.h"

static const uint32_t HEX_BASE = 16;
static const uint32_t LOCATION_MAX_DIGITS = 8;

static bool cableIsOpen;

bool parseLocation(const std::string& text, uint32_t* locationId) {
    size_t start = text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0 ? 2 : 0;
    size_t digits = text.size() - start;
    if (digits == 0 || digits > LOCATION_MAX_DIGITS) {
        return false;
    }
    uint32_t value = 0;
    for (size_t i = start; i < text.size(); i++) {
        char c = text[i];
        uint32_t digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<uint32_t>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<uint32_t>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<uint32_t>(c - 'A' + 10);
        } else {
            return false;
        }
        value = value * HEX_BASE + digit;
    }
    *locationId = value;
    return true;
}

static void recordCable(const AdapterDevice* device) {
    record["cable"] = {
        {"location", hexAddress(device->locationId)}, {"name", device->name}, {"channel", device->channel}};
}

static void findCable(AdapterDevice* device) {
    const char* NOT_LISTED = ": the adapter library could not list its devices";
    if (options.cable.empty()) {
        AdapterOpening found = findDefaultAdapter(device);
        if (found != ADAPTER_OPENED) {
            finish(STATUS_NO_CABLE, found == ADAPTER_NOT_LISTED
                                        ? std::string("cable") + NOT_LISTED
                                        : "cable: no cable named Vexil... on channel A is listed");
        }
        return;
    }
    uint32_t locationId = 0;
    parseLocation(options.cable, &locationId); // checked with the command line
    AdapterOpening found = findAdapterAt(locationId, device);
    if (found != ADAPTER_OPENED) {
        // The record names the cable asked for, listed or not.
        record["cable"] = {{"location", hexAddress(locationId)}, {"name", ""}, {"channel", ""}};
        finish(STATUS_NO_CABLE,
               "cable " + options.cable +
                   (found == ADAPTER_NOT_LISTED ? NOT_LISTED : ": no cable is listed at that location"));
    }
}

uint32_t openCable() {
    static AdapterDevice device;
    findCable(&device);
    recordCable(&device);
    std::string what = "cable " + hexAddress(device.locationId);
    AdapterOpening opening = openAdapterDevice(&device);
    if (opening == ADAPTER_NOT_OPENED) {
        finish(STATUS_NO_CABLE, what + ": could not be opened (in use by another program, or unplugged)");
    }
    if (opening == ADAPTER_NOT_SET_UP) {
        finish(STATUS_NO_CABLE, what + ": refused its line settings");
    }
    cableIsOpen = true;
    uint32_t frequencyHz = SPI_BASE_CLOCK_HZ / (OPEN_CLOCK_DIVISOR + 1);
    if (options.divisor != OPEN_CLOCK_DIVISOR) {
        frequencyHz = applyClockDivisor(options.divisor);
    }
    if (platformInterrupted()) {
        finishInterrupted();
    }
    uint8_t identity = readIdentity();
    record["identity"] = hexByte(identity);
    if (identity != IDENTITY_BYTE) {
        finish(STATUS_NO_CABLE, "target: wrong identity byte " + hexByte(identity) + " (expected " +
                                    hexByte(IDENTITY_BYTE) + "): no target, or not an Orvan target");
    }
    return frequencyHz;
}

void closeCable() {
    if (cableIsOpen) {
        cableIsOpen = false;
        closeAdapter();
    }
}

void failFlashStep(const std::string& what) {
    if (platformInterrupted()) {
        finishInterrupted();
    }
    finish(STATUS_TARGET_DISAGREED, what + ": the target stayed busy or did not answer in time");
}

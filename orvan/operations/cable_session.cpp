#include "orvan/operations/cable_session.h"

#include "core/adapter/adapter_connection.h"
#include "core/flash/flash_operations.h"
#include "core/platform/platform.h"
#include "core/text/number_text.h"

static const uint32_t LOCATION_MAX_DIGITS = 8;

// The adapter library's one cable of this process.
static bool cableIsOpen;

bool parseLocation(const std::string& text, uint32_t* locationId) {
    size_t start = text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0 ? 2 : 0;
    return readHexDigits(text.c_str() + start, text.size() - start, LOCATION_MAX_DIGITS, locationId);
}

static void nameCable(const AdapterDevice& device, CableSession* cable) {
    cable->location = hexAddress(device.locationId);
    cable->name = device.name;
    cable->channel = device.channel;
}

static AdapterDevice findCable(const std::string& location, CableSession* cable) {
    const char* NOT_LISTED = ": the adapter library could not list its devices";
    AdapterDevice device;
    if (location.empty()) {
        AdapterOpening found = findDefaultAdapter(&device);
        if (found != ADAPTER_OPENED) {
            throw OperationFailure{STATUS_NO_CABLE,
                                   found == ADAPTER_NOT_LISTED
                                       ? std::string("cable") + NOT_LISTED
                                       : "cable: no cable named Vexil... on channel A is listed"};
        }
        return device;
    }
    uint32_t locationId = 0;
    parseLocation(location, &locationId);
    AdapterOpening found = findAdapterAt(locationId, &device);
    if (found != ADAPTER_OPENED) {
        // The cable asked for is named, listed or not.
        cable->location = hexAddress(locationId);
        throw OperationFailure{
            STATUS_NO_CABLE,
            "cable " + location +
                (found == ADAPTER_NOT_LISTED ? NOT_LISTED : ": no cable is listed at that location")};
    }
    return device;
}

OperationFailure cableGone(const std::string& location, const std::string& step) {
    return OperationFailure{STATUS_NO_CABLE, "cable " + location + ": stopped answering during " + step +
                                                 " (unplugged, or its USB link failed)"};
}

void openCableUnchecked(const std::string& location, uint32_t divisor, CableSession* cable) {
    AdapterDevice device = findCable(location, cable);
    nameCable(device, cable);
    std::string what = "cable " + cable->location;
    AdapterOpening opening = openAdapterDevice(&device);
    if (opening == ADAPTER_NOT_OPENED) {
        throw OperationFailure{STATUS_NO_CABLE,
                               what + ": could not be opened (in use by another program, or unplugged)"};
    }
    if (opening == ADAPTER_NOT_SET_UP) {
        throw adapterGone() ? cableGone(cable->location, "its set-up")
                            : OperationFailure{STATUS_NO_CABLE, what + ": refused its line settings"};
    }
    cableIsOpen = true;
    cable->divisor = divisor;
    cable->clockHz = SPI_BASE_CLOCK_HZ / (OPEN_CLOCK_DIVISOR + 1);
    if (divisor != OPEN_CLOCK_DIVISOR) {
        cable->clockHz = applyClockDivisor(divisor);
    }
    if (operationStopped()) {
        throw interruption(false);
    }
}

void openCableSession(const std::string& location, uint32_t divisor, CableSession* cable) {
    openCableUnchecked(location, divisor, cable);
    cable->identity = readIdentity();
    if (adapterGone()) {
        throw cableGone(cable->location, "the identity read");
    }
    cable->identityRead = true;
    if (cable->identity != IDENTITY_BYTE) {
        throw OperationFailure{STATUS_NO_CABLE, "target: wrong identity byte " + hexByte(cable->identity) +
                                                    " (expected " + hexByte(IDENTITY_BYTE) +
                                                    "): no target, or not an Orvan target"};
    }
}

void closeCable() {
    if (cableIsOpen) {
        cableIsOpen = false;
        closeAdapter();
    }
}

bool cableOpen() {
    return cableIsOpen;
}

OperationFailure flashStepFailure(const CableSession& cable, const std::string& what) {
    if (platformInterrupted()) {
        return interruption(cable.flashChanged);
    }
    if (adapterGone()) {
        return cableGone(cable.location, what);
    }
    return OperationFailure{STATUS_TARGET_DISAGREED,
                            what + ": the target stayed busy or did not answer in time"};
}

std::vector<ListedCable> listCables(const std::string& what) {
    uint32_t count = 0;
    if (!countAdapters(&count)) {
        throw OperationFailure{STATUS_NO_CABLE, what + ": the adapter library could not count its devices"};
    }
    std::vector<ListedCable> cables;
    bool defaultFound = false;
    for (uint32_t index = 0; index < count; index++) {
        AdapterDevice device;
        if (!describeAdapter(index, &device)) {
            throw OperationFailure{STATUS_NO_CABLE, what +
                                                        ": the adapter library could not describe device " +
                                                        std::to_string(index)};
        }
        // The writer takes the first such device; so does orvan without --cable.
        bool matches = isDefaultAdapter(&device);
        cables.push_back(
            {index, device.locationId, device.name, device.channel, matches && !defaultFound, matches});
        defaultFound = defaultFound || matches;
    }
    return cables;
}

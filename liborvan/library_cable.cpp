// liborvan's cable calls: list, open, info, close.
#include <stdio.h>

#include <new>

#include "core/flash/flash_operations.h"
#include "liborvan/library_calls.h"

// The process's one open cable: the adapter libraries serve no second.
static orvan_cable* openedCable;

extern "C" const char* orvan_version(void) {
    return LIBORVAN_VERSION;
}

template <size_t Size> static void copyText(char (&destination)[Size], const std::string& text) {
    snprintf(destination, Size, "%s", text.c_str());
}

extern "C" int orvan_list(orvan_cable_entry* entries, size_t capacity, size_t* count) {
    if (count == nullptr || (entries == nullptr && capacity != 0)) {
        return refuse(ORVAN_INPUT, "list: no room given for the count or the entries");
    }
    return runCall(nullptr, nullptr, [&] {
        std::vector<ListedCable> cables = listCables("list");
        *count = cables.size();
        for (size_t i = 0; i < cables.size() && i < capacity; i++) {
            entries[i] =
                orvan_cable_entry{cables[i].index, cables[i].locationId, "", "", cables[i].isDefault};
            copyText(entries[i].name, cables[i].name);
            copyText(entries[i].channel, cables[i].channel);
        }
    });
}

static int checkOpen(const char* location, uint32_t divisor, orvan_cable** cable) {
    uint32_t locationId = 0;
    if (cable == nullptr) {
        return refuse(ORVAN_INPUT, "open: no place given for the cable's handle");
    }
    if (openedCable != nullptr) {
        return refuse(ORVAN_INPUT, "open: cable " + openedCable->session.location +
                                       " is already open in this process; the adapter library serves one "
                                       "cable per process (close it first, or use another process)");
    }
    if (location != nullptr && location[0] != '\0' && !parseLocation(location, &locationId)) {
        return refuse(ORVAN_INPUT, std::string("open: '") + location +
                                       "' is not a location (hex, as orvan list shows it: 0x1101)");
    }
    if (divisor > MAX_DIVISOR) {
        return refuse(ORVAN_INPUT, "open: divisor " + std::to_string(divisor) + " is not 0 to " +
                                       std::to_string(MAX_DIVISOR));
    }
    return ORVAN_OK;
}

extern "C" int orvan_open(const char* location, uint32_t divisor, orvan_cable** cable) {
    int status = checkOpen(location, divisor, cable);
    if (status != ORVAN_OK) {
        return status;
    }
    *cable = nullptr;
    orvan_cable* opened = new (std::nothrow) orvan_cable();
    if (opened == nullptr) {
        return refuse(ORVAN_INPUT, "open: out of memory");
    }
    status = runCall(nullptr, nullptr, [&] {
        openCableSession(location == nullptr ? "" : location, divisor, &opened->session);
    });
    if (status != ORVAN_OK) {
        closeCable();
        delete opened;
        return status;
    }
    openedCable = opened;
    *cable = opened;
    return ORVAN_OK;
}

extern "C" void orvan_close(orvan_cable* cable) {
    if (cable == nullptr || cable != openedCable) {
        return;
    }
    closeCable();
    openedCable = nullptr;
    delete cable;
}

extern "C" int orvan_get_info(const orvan_cable* cable, orvan_info* info) {
    if (cable == nullptr || cable != openedCable || info == nullptr) {
        return refuse(ORVAN_INPUT, "info: not an open cable, or no place for its information");
    }
    const CableSession& session = cable->session;
    *info = orvan_info{"", "", "", session.divisor, session.clockHz, session.identity};
    copyText(info->location, session.location);
    copyText(info->name, session.name);
    copyText(info->channel, session.channel);
    return refuse(ORVAN_OK, "");
}

bool isOpenCable(const orvan_cable* cable) {
    return cable != nullptr && cable == openedCable;
}

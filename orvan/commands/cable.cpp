#include "orvan/commands/cable.h"

// The record names what was learnt of the cable, also when the open failed.
static void recordCable(const CableSession& cable, Outcome* outcome) {
    if (!cable.location.empty()) {
        outcome->record["cable"] = {
            {"location", cable.location}, {"name", cable.name}, {"channel", cable.channel}};
    }
    if (cable.identityRead) {
        outcome->record["identity"] = cable.identity;
        outcome->record["identity_hex"] = hexByte(cable.identity);
    }
}

// Opens the cable with open, naming in the record what was learnt of it, also when the open failed.
static CableSession openRecorded(const Request& request, Outcome* outcome,
                                 void (*open)(const std::string&, uint32_t, CableSession*)) {
    CableSession cable;
    try {
        open(request.cable, request.divisor, &cable);
    } catch (const CommandFailure&) {
        recordCable(cable, outcome);
        throw;
    }
    recordCable(cable, outcome);
    return cable;
}

CableSession openCable(const Request& request, Outcome* outcome) {
    return openRecorded(request, outcome, openCableSession);
}

CableSession openCableOnly(const Request& request, Outcome* outcome) {
    return openRecorded(request, outcome, openCableUnchecked);
}

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

CableSession openCable(const Request& request, Outcome* outcome) {
    CableSession cable;
    try {
        openCableSession(request.cable, request.divisor, &cable);
    } catch (const CommandFailure&) {
        recordCable(cable, outcome);
        throw;
    }
    recordCable(cable, outcome);
    return cable;
}

CableSession openCableOnly(const Request& request, Outcome* outcome) {
    CableSession cable;
    try {
        openCableUnchecked(request.cable, request.divisor, &cable);
    } catch (const CommandFailure&) {
        recordCable(cable, outcome);
        throw;
    }
    recordCable(cable, outcome);
    return cable;
}

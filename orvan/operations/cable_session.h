// The cable an operation runs on: chosen by location or as the writer
// chooses, opened, clocked and checked for the target's identity. The
// adapter libraries serve one cable per process: at most one is open.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "orvan/operations/failure.h"

const uint32_t DEFAULT_DIVISOR = 8;
const uint32_t MAX_DIVISOR = 65535;

// An open cable, as the flash steps use it.
struct CableSession {
    std::string location; // as list shows it, "0x1101"; set once the cable is found
    std::string name;
    std::string channel;
    uint32_t divisor = DEFAULT_DIVISOR;
    uint32_t clockHz = 0;
    uint8_t identity = 0;
    bool identityRead = false;
    // Set once a command that changes the flash has gone out.
    bool flashChanged = false;
};

// Reads a location as list shows it: hexadecimal, with or without 0x.
bool parseLocation(const std::string& text, uint32_t* locationId);

// Opens the cable at location (empty: the writer's own choice) at the
// divisor and checks the target's identity, filling cable as it learns it;
// throws OperationFailure with STATUS_NO_CABLE when any of that fails. The
// location was checked with parseLocation.
void openCableSession(const std::string& location, uint32_t divisor, CableSession* cable);

// The same without reading the identity: the cable opened and clocked.
void openCableUnchecked(const std::string& location, uint32_t divisor, CableSession* cable);

// The cable stopped answering during step: status 3, so that the operator
// looks at the cable and its USB link rather than at the board.
OperationFailure cableGone(const std::string& location, const std::string& step);

// Closes the cable when it is open.
void closeCable();

// Whether this process holds its cable open.
bool cableOpen();

// After a flash step returned false: the interruption, a cable that stopped
// answering (STATUS_NO_CABLE), or a target that stays busy or does not
// deliver, for the step named by what.
OperationFailure flashStepFailure(const CableSession& cable, const std::string& what);

// A listed device, and whether it is the one the writer takes.
struct ListedCable {
    uint32_t index;
    uint32_t locationId;
    std::string name;
    std::string channel;
    bool isDefault;      // the first named Vexil... on channel A
    bool matchesDefault; // named Vexil... on channel A, first or not
};

// Every device the adapter library lists; throws OperationFailure with
// STATUS_NO_CABLE, its error beginning with what, when the listing fails.
std::vector<ListedCable> listCables(const std::string& what);

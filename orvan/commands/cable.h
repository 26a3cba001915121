// The cable a command runs on (orvan/operations/cable_session.h), named in
// the command's record.
#pragma once

#include "orvan/commands/orvan.h"
#include "orvan/operations/cable_session.h"

// Opens the cable the request names at its divisor and checks the target's
// identity, naming the cable and the identity in the outcome's record;
// throws CommandFailure with STATUS_NO_CABLE when any of that fails.
CableSession openCable(const Request& request, Outcome* outcome);

// The same without reading the identity: the cable opened and clocked.
CableSession openCableOnly(const Request& request, Outcome* outcome);

// What every call of liborvan shares: its status and error, its progress
// callback, and the process's one open cable.
#pragma once

#include <string>

#include "liborvan/liborvan.h"
#include "orvan/operations/cable_session.h"

struct orvan_cable {
    CableSession session;
};

// Runs body, which throws OperationFailure, with the caller's progress:
// returns the call's status and keeps its error for orvan_last_error.
// Nothing escapes into the caller's C code.
template <typename Body> int runCall(orvan_progress progress, void* context, Body body);

// Sets the call's error and returns status, for checks made before a body runs.
int refuse(int status, const std::string& error);

// The progress callback and the cancel it may ask for, for one call.
void beginCall(orvan_progress progress, void* context);
void endCall();
int callFailed(const OperationFailure& failure);
void callSucceeded();

template <typename Body> int runCall(orvan_progress progress, void* context, Body body) {
    beginCall(progress, context);
    int status = ORVAN_OK;
    try {
        body();
        callSucceeded();
    } catch (const OperationFailure& failure) {
        status = callFailed(failure);
    } catch (const std::exception& failure) {
        status = callFailed(OperationFailure{STATUS_USAGE, failure.what()});
    }
    endCall();
    return status;
}

// Whether cable is the process's open cable.
bool isOpenCable(const orvan_cable* cable);

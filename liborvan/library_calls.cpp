// The calls' shared state, and the flash steps' progress seam
// (orvan/operations/step_progress.h): the caller's callback.
#include "liborvan/library_calls.h"

#include "orvan/operations/step_progress.h"

static thread_local std::string lastError;

struct CallProgress {
    orvan_progress report;
    void* context;
    const char* phase;
    uint64_t total;
};
static CallProgress call;

// A non-zero answer stops the call at the flash steps' next check, where
// the target is at rest (orvan/operations/failure.h).
static void tell(uint64_t done) {
    if (call.report != nullptr && call.report(call.context, call.phase, done, call.total) != 0) {
        requestStop(true);
    }
}

void progressBegin(const char* phase, uint64_t total) {
    call.phase = phase;
    call.total = total;
    tell(0);
}

void progressUpdate(uint64_t done) {
    tell(done);
}

void progressEnd() {
    tell(call.total);
}

void beginCall(orvan_progress progress, void* context) {
    call = CallProgress{progress, context, "", 0};
    requestStop(false);
}

void endCall() {
    call = CallProgress{nullptr, nullptr, "", 0};
    requestStop(false);
}

int callFailed(const OperationFailure& failure) {
    lastError = failure.error;
    return failure.interrupted ? ORVAN_INTERRUPTED : failure.status;
}

void callSucceeded() {
    lastError.clear();
}

int refuse(int status, const std::string& error) {
    lastError = error;
    return status;
}

extern "C" const char* orvan_last_error(void) {
    return lastError.c_str();
}

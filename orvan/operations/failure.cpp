#include "orvan/operations/failure.h"

#include <stdio.h>

#include "core/platform/platform.h"

static bool stopAsked;

void requestStop(bool requested) {
    stopAsked = requested;
}

bool operationStopped() {
    return stopAsked || platformInterrupted();
}

OperationFailure interruptionWith(const std::string& error) {
    return OperationFailure{platformInterruptedStatus(), error, false, true};
}

OperationFailure interruption(bool flashChanged) {
    return interruptionWith(flashChanged ? "interrupted: the flash may be incomplete"
                                         : "interrupted: the flash is unchanged");
}

std::string hexByte(uint8_t value) {
    char text[8];
    snprintf(text, sizeof(text), "0x%02x", value);
    return text;
}

std::string hexAddress(uint32_t address) {
    char text[16];
    snprintf(text, sizeof(text), "0x%x", address);
    return text;
}

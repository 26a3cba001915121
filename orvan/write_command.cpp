// write: erase, program and verify images with the least bus time.
#include "orvan/orvan.h"

void runWriteCommand() {
    finish(STATUS_USAGE, "write: not available");
}

// The flash steps, each with its progress and its message when the target
// does not go along.
#include "orvan/operations/flash_steps.h"

#include "core/flash/flash_operations.h"
#include "orvan/operations/step_progress.h"

// A read group or a programming batch lasts at most about this long on the
// bus, so that progress moves and an interruption is taken soon, at any clock.
static const uint64_t BUS_GROUP_TARGET_MS = 250;
static const uint32_t READ_GROUP_MIN_BYTES = 256;
// Each programmed byte goes as a command byte and a data byte.
static const uint64_t PROGRAM_BITS_PER_BYTE = 2 * BITS_PER_BYTE;

// The bytes that take about BUS_GROUP_TARGET_MS at the clock, within the bounds.
static uint32_t busGroupBytes(uint32_t divisor, uint64_t bitsPerByte, uint32_t minimum, uint32_t maximum) {
    uint64_t clockHz = SPI_BASE_CLOCK_HZ / (static_cast<uint64_t>(divisor) + 1);
    uint64_t bytes = clockHz * BUS_GROUP_TARGET_MS / MS_PER_SECOND / bitsPerByte;
    if (bytes < minimum) {
        return minimum;
    }
    return bytes > maximum ? maximum : static_cast<uint32_t>(bytes);
}

uint32_t programBatchBytes(const CableSession& cable) {
    return busGroupBytes(cable.divisor, PROGRAM_BITS_PER_BYTE, 1, PROGRAM_BATCH);
}

void readWithProgress(const CableSession& cable, const char* phase, uint32_t address, uint32_t length,
                      uint8_t* destination) {
    progressBegin(phase, length);
    uint32_t groupBytes =
        busGroupBytes(cable.divisor, BITS_PER_BYTE, READ_GROUP_MIN_BYTES, READ_GROUP_MAX_BYTES);
    for (uint32_t done = 0; done < length;) {
        uint32_t group = length - done < groupBytes ? length - done : groupBytes;
        if (operationStopped()) {
            throw interruption(cable.flashChanged);
        }
        if (!readRange(address + done, group, destination + done)) {
            throw flashStepFailure(cable, std::string(phase) + " at " + hexAddress(address + done));
        }
        done += group;
        progressUpdate(done);
    }
    progressEnd();
}

// The first byte of the range that is not erased, or length when all are.
static uint32_t firstUnerased(const uint8_t* bytes, uint32_t length) {
    for (uint32_t i = 0; i < length; i++) {
        if (bytes[i] != ERASED_BYTE) {
            return i;
        }
    }
    return length;
}

// An erase command has gone out: from here the flash may have changed.
static void showErased(void* context, uint32_t done, uint32_t, bool) {
    static_cast<CableSession*>(context)->flashChanged = true;
    progressUpdate(static_cast<uint64_t>(done) * SECTOR_SIZE);
}

void eraseWithProgress(CableSession* cable, uint32_t firstSector, uint32_t count) {
    if (operationStopped()) {
        throw interruption(cable->flashChanged);
    }
    progressBegin("erase", static_cast<uint64_t>(count) * SECTOR_SIZE);
    uint32_t failed = firstSector;
    if (!eraseSectorRange(firstSector, count, FlashProgress{showErased, cable}, &failed)) {
        throw flashStepFailure(*cable, "erase of sector " + std::to_string(failed));
    }
    progressEnd();
}

void checkBlank(const CableSession& cable, uint32_t firstSector, uint32_t count) {
    uint32_t address = firstSector * SECTOR_SIZE;
    uint32_t length = count * SECTOR_SIZE;
    uint8_t* bytes = readBackBuffer + address;
    readWithProgress(cable, "blank", address, length, bytes);
    uint32_t offset = firstUnerased(bytes, length);
    if (offset < length) {
        uint32_t bad = address + offset;
        throw OperationFailure{STATUS_TARGET_DISAGREED,
                               "erase: sector " + std::to_string(bad / SECTOR_SIZE) +
                                   " is not blank after the erase: " + hexByte(bytes[offset]) + " at " +
                                   hexAddress(bad)};
    }
}

void eraseAndCheck(CableSession* cable, uint32_t firstSector, uint32_t count) {
    eraseWithProgress(cable, firstSector, count);
    checkBlank(*cable, firstSector, count);
}

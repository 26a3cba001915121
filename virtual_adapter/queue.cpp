// The command queue of libQueueWrite and libExecuteQueue. The bulk of every
// programming run is one programming byte per queued command; an untraced
// session queues those as runs of data bytes, without the call's checks one
// by one, and the target takes a run at once where nothing in it would be
// named. Anything else, or anything traced, takes the checked way.
#include <string.h>

#include <vector>

#include "emulated_target/target.h"
#include "virtual_adapter.h"

namespace vadapter {

namespace {

const size_t INITIAL_QUEUE_BYTES = 16384 * 8;

// A queued write, its bytes kept in Queue::bytes from offset on: first the
// control bytes, then the data bytes. A programming run holds only data
// bytes, one command each.
struct QueuedWrite {
    uint32_t offset;
    uint32_t controlCount;
    uint32_t dataCount;
    bool programRun;
};

struct Queue {
    bool shortWay = false;
    std::vector<QueuedWrite> writes;
    std::vector<uint8_t> bytes; // grown, never shrunk; used of it hold the queue
    size_t used = 0;
    uint32_t commands = 0;
    uint64_t bits = 0;
};

Queue queue;

uint8_t* reserve(size_t count) {
    size_t offset = queue.used;
    queue.used += count;
    if (queue.used > queue.bytes.size()) {
        queue.bytes.resize(2 * queue.used);
    }
    return queue.bytes.data() + offset;
}

void runProgramBytes(const uint8_t* data, uint32_t count) {
    uint32_t done = targetProgramRun(data, count);
    for (; done < count; done++) {
        performProgramByte(data[done]);
    }
}

} // namespace

void resetQueue() {
    queue.writes.clear();
    queue.writes.reserve(16384);
    if (queue.bytes.size() < INITIAL_QUEUE_BYTES) {
        queue.bytes.assign(INITIAL_QUEUE_BYTES, 0);
    }
    queue.used = 0;
    queue.commands = 0;
    queue.bits = 0;
}

void allowQueueShortWay(bool allowed) {
    queue.shortWay = allowed;
}

bool queueProgramByte(uint32_t handle, const StartCondition* start, const UpperPinStates* pinStates,
                      uint8_t data) {
    // The first command of a batch takes the checked way if the cable has
    // gone, which ends the session; a batch's execute checks again.
    if (!queue.shortWay || handle != openHandle() || !isExpectedShape(start, pinStates) ||
        (queue.commands == 0 && !openCableStillPlugged())) {
        return false;
    }
    countCall(OP_QUEUE);
    if (queue.writes.empty() || !queue.writes.back().programRun) {
        queue.writes.push_back({static_cast<uint32_t>(queue.used), 0, 0, true});
    }
    *reserve(1) = data;
    queue.writes.back().dataCount++;
    queue.commands++;
    queue.bits += 16;
    return true;
}

// A plain loop, since a queued command is a byte or two.
void queueWrite(const uint8_t* control, uint32_t controlCount, const uint8_t* data, uint32_t dataCount,
                uint32_t dataBits) {
    queue.writes.push_back({static_cast<uint32_t>(queue.used), controlCount, dataCount, false});
    uint8_t* copy = reserve(controlCount + dataCount);
    for (uint32_t i = 0; i < controlCount; i++) {
        *copy++ = control[i];
    }
    for (uint32_t i = 0; i < dataCount; i++) {
        *copy++ = data[i];
    }
    queue.commands++;
    queue.bits += 8ull * controlCount + dataBits;
}

uint32_t executeQueue() {
    const uint8_t* bytes = queue.bytes.data();
    for (const QueuedWrite& write : queue.writes) {
        const uint8_t* control = bytes + write.offset;
        if (write.programRun) {
            runProgramBytes(control, write.dataCount);
        } else {
            perform({false, control, write.controlCount, control + write.controlCount, write.dataCount,
                     nullptr, 0});
        }
    }
    roundTrip(queue.bits);
    uint32_t commands = queue.commands;
    queue.writes.clear();
    queue.used = 0;
    queue.commands = 0;
    queue.bits = 0;
    return commands;
}

} // namespace vadapter

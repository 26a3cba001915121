// A library call's transaction as the emulated target's frame: the shape the
// command needs, named in the caller's terms (control bytes, data bytes, read
// or write), and the adapter's own read faults (short and empty reads).
#include <algorithm>

#include "emulated_target/target.h"
#include "virtual_adapter.h"

namespace vadapter {

namespace {

struct ReadFaults {
    uint32_t emptyReadsLeft;
    bool shortReadDone;
};

ReadFaults readFaults;
// The front named this transaction's shape, which the target would name
// again as a frame of the wrong length.
bool shapeNamed = false;

void checkCommandShape(const Transaction& t, uint8_t command, const TargetCommandShape& shape) {
    if (shape.answers != t.isRead) {
        violation("command %02x sent as a %s", command, t.isRead ? "read" : "write");
    }
    if (t.controlCount != shape.headerBytes && !(shape.bareHeader && t.controlCount == 1)) {
        violation("command %02x with %u control bytes", command, t.controlCount);
    }
    if (shape.answers != t.isRead) {
        return;
    }
    if (!t.isRead && t.dataCount != shape.dataBytes) {
        violation("command %02x with %u data bytes", command, t.dataCount);
    } else if (t.isRead && shape.dataBytes != 0 && t.capacity != shape.dataBytes) {
        violation("command %02x reading %u bytes", command, t.capacity);
    }
}

// The bytes an addressed read may deliver under the configured faults.
uint32_t readLimit(uint32_t capacity) {
    const VirtualAdapterConfig& c = config();
    if (readFaults.emptyReadsLeft > 0) {
        return 0;
    }
    if (c.shortReadBytes != 0 && (c.shortReadAlways || !readFaults.shortReadDone)) {
        return std::min(capacity, c.shortReadBytes);
    }
    return capacity;
}

// A read the target served uses up the fault that applied to it.
void useReadFault() {
    const VirtualAdapterConfig& c = config();
    if (readFaults.emptyReadsLeft > 0) {
        if (readFaults.emptyReadsLeft != VA_ALWAYS) {
            readFaults.emptyReadsLeft--;
        }
        return;
    }
    readFaults.shortReadDone = c.shortReadBytes != 0;
    if (c.emptyReadsRepeat) {
        readFaults.emptyReadsLeft = c.emptyReads;
    }
}

// The data phase of a read: the bytes past the fault's limit are clocked but
// not delivered.
uint32_t readData(const Transaction& t, const TargetCommandShape& shape, bool drawing) {
    bool addressed = shape.headerBytes > 1;
    uint32_t limit = addressed ? readLimit(t.capacity) : t.capacity;
    uint32_t delivered = targetReadBytes(t.destination, limit);
    if (!targetPresent()) {
        // No board drives the line: the adapter still clocks in every byte,
        // and the pull-up makes each one 0xff.
        std::fill(t.destination, t.destination + limit, TARGET_UNDRIVEN);
        delivered = limit;
    }
    uint32_t dropped = 0;
    if (drawing) {
        drawReadBytes(t.destination, delivered, limit);
        dropped = readDrawnAndDropped(t.capacity - limit);
    } else {
        dropped = targetReadBytes(nullptr, t.capacity - limit);
    }
    if (addressed && delivered + dropped > 0) {
        useReadFault();
    }
    return delivered;
}

void exchangeAll(const uint8_t* bytes, uint32_t count, bool drawing) {
    for (uint32_t i = 0; i < count; i++) {
        uint8_t answer = targetExchange(bytes[i]);
        if (drawing) {
            drawByte(bytes[i], answer);
        }
    }
}

} // namespace

void resetReadFaults() {
    readFaults = ReadFaults{config().emptyReads, false};
}

uint32_t perform(const Transaction& t) {
    bool drawing = isDrawing();
    if (drawing && t.controlCount > 0) {
        drawFrameBegin(t.controlCount + (t.isRead ? t.capacity : t.dataCount));
    }
    targetSelect();
    if (t.controlCount == 0) {
        targetDeselect();
        return 0;
    }
    TargetCommandShape shape = targetCommandShape(t.control[0]);
    uint64_t before = violationCount();
    if (shape.known) {
        checkCommandShape(t, t.control[0], shape);
    }
    shapeNamed = violationCount() != before;
    exchangeAll(t.control, t.controlCount, drawing);
    uint32_t delivered = 0;
    if (t.isRead) {
        delivered = readData(t, shape, drawing);
    } else {
        exchangeAll(t.data, t.dataCount, drawing);
    }
    targetDeselect();
    if (drawing) {
        drawFrameEnd();
    }
    shapeNamed = false;
    return delivered;
}

// Only the queue's short way comes here, which is closed while drawing.
void performProgramByte(uint8_t data) {
    targetSelect();
    targetExchange(CMD_PROGRAM);
    targetExchange(data);
    targetDeselect();
}

} // namespace vadapter

void targetViolation(TargetViolationKind kind, const char* text) {
    if (kind == TARGET_FRAME_LENGTH && vadapter::shapeNamed) {
        return;
    }
    vadapter::violation("%s", text);
}

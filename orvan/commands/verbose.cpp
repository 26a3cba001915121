#include "orvan/commands/verbose.h"

#include <stdio.h>

#include "core/flash/flash_protocol.h"
#include "orvan/commands/progress.h"

struct CommandName {
    uint8_t command;
    const char* name;
};

static const CommandName COMMAND_NAMES[] = {
    {CMD_READ_STATUS, "read status"},
    {CMD_READ_IDENTITY, "read identity"},
    {CMD_ERASE_OPEN, "erase open"},
    {CMD_ERASE_SECTOR, "erase sector"},
    {CMD_ERASE_CLOSE, "erase close"},
    {CMD_READ_OPEN, "read open"},
    {CMD_READ_DATA, "read"},
    {CMD_READ_CLOSE, "read close"},
    {CMD_PROGRAM_OPEN, "program open"},
    {CMD_PROGRAM_BYTE, "program byte"},
    {CMD_PROGRAM_CLOSE, "program close"},
};

static const char* commandName(uint8_t command) {
    for (const CommandName& entry : COMMAND_NAMES) {
        if (entry.command == command) {
            return entry.name;
        }
    }
    return "command";
}

// "read status 0x05 -> 0x01", "read 0x016000 16384 bytes", "program byte @0x004000 0x12".
static void printRead(const TargetTransaction& transaction) {
    const char* name = commandName(transaction.command);
    if (!transaction.addressed) {
        if (transaction.bytesReturned == 0) {
            fprintf(stderr, "%s 0x%02x -> nothing", name, transaction.command);
        } else {
            fprintf(stderr, "%s 0x%02x -> 0x%02x", name, transaction.command, transaction.data[0]);
        }
        return;
    }
    fprintf(stderr, "%s 0x%06x %u", name, transaction.address, transaction.bytesReturned);
    if (transaction.bytesReturned != transaction.byteCount) {
        fprintf(stderr, " of %u", transaction.byteCount);
    }
    fprintf(stderr, " bytes");
}

static void printWrite(const TargetTransaction& transaction) {
    fprintf(stderr, "%s", commandName(transaction.command));
    if (transaction.addressed) {
        fprintf(stderr, " @0x%06x", transaction.address);
    }
    if (transaction.byteCount > 0) {
        fprintf(stderr, " 0x%02x", transaction.data[0]);
    }
}

static void printTransaction(const TargetTransaction& transaction) {
    progressMakeRoom();
    fprintf(stderr, "orvan: spi: ");
    if (transaction.kind == TRANSACTION_READ) {
        printRead(transaction);
    } else if (transaction.kind == TRANSACTION_WRITE) {
        printWrite(transaction);
    } else {
        fprintf(stderr, "queue %u bytes", transaction.byteCount);
    }
    if (transaction.status != ADAPTER_OK) {
        fprintf(stderr, " (status %u%s)", transaction.status,
                transaction.status == ADAPTER_STATUS_DEVICE_GONE ? ": device gone" : "");
    }
    fprintf(stderr, "\n");
}

void showTransactions(bool shown) {
    transactionHook = shown ? printTransaction : nullptr;
}

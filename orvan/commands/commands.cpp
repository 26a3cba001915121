// The commands that do not write: list, info, read, erase.
#include <stdio.h>
#include <string.h>

#include "core/adapter/adapter_connection.h"
#include "core/flash/flash_operations.h"
#include "core/platform/platform.h"
#include "orvan/commands/cable.h"
#include "orvan/commands/flash_preview.h"
#include "orvan/commands/images.h"
#include "orvan/commands/orvan.h"
#include "orvan/commands/progress.h"
#include "orvan/operations/flash_steps.h"

void runList(const Request& request, Outcome* outcome) {
    std::vector<ListedCable> cables = listCables("list");
    nlohmann::ordered_json devices = nlohmann::ordered_json::array();
    outcome->record["devices"] = devices;
    if (cables.empty()) {
        throw CommandFailure{
            STATUS_NO_CABLE,
            "list: the adapter library lists no cables (is one plugged in, and may you use it?)"};
    }
    if (!request.json) {
        printf("index  location    channel  name\n");
    }
    for (const ListedCable& cable : cables) {
        devices.push_back({{"index", cable.index},
                           {"location", hexAddress(cable.locationId)},
                           {"channel", cable.channel},
                           {"name", cable.name},
                           {"default", cable.isDefault}});
        if (!request.json) {
            printf("%-6u %-11s %-8s %s%s\n", cable.index, hexAddress(cable.locationId).c_str(),
                   cable.channel.c_str(), cable.name.c_str(), cable.isDefault ? "  (default)" : "");
        }
    }
    outcome->record["devices"] = devices;
}

void runInfo(const Request& request, Outcome* outcome) {
    CableSession cable = openCable(request, outcome);
    outcome->record["divisor"] = cable.divisor;
    outcome->record["clock_hz"] = cable.clockHz;
    if (!request.json) {
        printf("location  %s\n", cable.location.c_str());
        printf("name      %s\n", cable.name.c_str());
        printf("channel   %s\n", cable.channel.c_str());
        printf("clock     %u Hz (divisor %u)\n", cable.clockHz, cable.divisor);
        printf("identity  %s\n", hexByte(cable.identity).c_str());
    }
}

// The sectors asked for with --sector and --count; the count defaults to
// the one sector named, or to the whole flash when none is.
static uint32_t rangeCount(const Request& request) {
    uint32_t room = SECTOR_COUNT - request.sector;
    if (request.count == 0) {
        return request.sectorGiven ? 1 : room;
    }
    if (request.count > room) {
        throw CommandFailure{STATUS_USAGE, "--count " + std::to_string(request.count) + ": only " +
                                               std::to_string(room) +
                                               (room == 1 ? " sector follows" : " sectors follow") +
                                               " sector " + std::to_string(request.sector)};
    }
    return request.count;
}

void checkRangeRequest(const Request& request) {
    showSectorRange(request, "erase", request.sector, rangeCount(request));
}

// "-o -": the flash goes to standard output.
static const char* const STANDARD_OUTPUT_NAME = "-";

void checkReadRequest(const Request& request) {
    uint32_t count = rangeCount(request);
    if (request.output.empty()) {
        throw CommandFailure{STATUS_USAGE, "read -o: the file name is empty"};
    }
    if (request.output == STANDARD_OUTPUT_NAME && request.json) {
        throw CommandFailure{STATUS_USAGE,
                             "read -o -: standard output carries the --json record; name a file to read to"};
    }
    showSectorRange(request, "read", request.sector, count);
}

static void writeStandardOutput(const uint8_t* bytes, uint32_t length) {
    platformBinaryStandardOutput();
    if (fwrite(bytes, 1, length, stdout) != length || fflush(stdout) != 0) {
        throw CommandFailure{STATUS_USAGE, "read -o -: standard output did not take the flash's bytes"};
    }
}

// The read goes to a file of a new name beside the output, made before the
// cable is opened (so that a folder that takes no file is found before the
// target is touched) and never one that was there; it gets the output's name
// only once the whole range is in it. A link to a regular file is written
// through; the link itself, a device or a FIFO is never replaced.
static char partPath[PLATFORM_PATH_CHARS];
static char targetPath[PLATFORM_PATH_CHARS];

static CommandFailure outputFailure(const std::string& output, const std::string& why) {
    return CommandFailure{STATUS_USAGE, output + why};
}

static void chooseTarget(const std::string& output, bool force) {
    switch (platformPathKind(output.c_str())) {
    case PLATFORM_PATH_FOLDER:
        throw outputFailure(output, ": is a folder; name a file to write");
    case PLATFORM_PATH_OTHER:
        throw outputFailure(output, ": is not a regular file (a device, a FIFO or a link to nothing)");
    case PLATFORM_PATH_REGULAR:
        if (!force) {
            throw outputFailure(output, ": exists (give --force to replace it)");
        }
        break;
    case PLATFORM_PATH_MISSING:
        break;
    }
    if (!platformFullPath(output.c_str(), targetPath, sizeof targetPath)) {
        throw outputFailure(output, ": cannot be created (no such folder, or no permission)");
    }
}

static void createPartFile(const std::string& output, bool force) {
    chooseTarget(output, force);
    std::string prefix = std::string(targetPath) + ".";
    if (!platformCreateUniqueFile(prefix.c_str(), ".part", partPath, sizeof partPath,
                                  &unfinishedOutput.file)) {
        throw outputFailure(output, ": cannot be created (no such folder, or no permission)");
    }
    unfinishedOutput.open = true;
    unfinishedOutput.path = partPath;
}

static void writeOutput(const std::string& output, bool force, const uint8_t* bytes, uint32_t length) {
    bool written = platformWriteFile(unfinishedOutput.file, bytes, length);
    platformCloseFile(unfinishedOutput.file);
    unfinishedOutput.open = false;
    if (!written) {
        throw outputFailure(output, ": could not be written in full (no room left?)");
    }
    bool named = force ? platformRenameFile(partPath, targetPath)
                       : platformRenameWithoutReplacing(partPath, targetPath);
    if (!named) {
        throw outputFailure(output, platformPathKind(targetPath) != PLATFORM_PATH_MISSING
                                        ? ": was made by another program meanwhile; it is kept "
                                          "(give --force to replace it)"
                                        : ": could not be given its name");
    }
    unfinishedOutput.path.clear();
}

void nameReadOutput(std::string* output, const std::string& location) {
    const std::string PLACE = "{location}";
    for (size_t at = output->find(PLACE); at != std::string::npos; at = output->find(PLACE, at)) {
        output->replace(at, PLACE.size(), location);
        at += location.size();
    }
}

void runRead(const Request& request, Outcome* outcome) {
    uint32_t count = rangeCount(request);
    std::string output = request.output;
    bool toStandardOutput = output == STANDARD_OUTPUT_NAME;
    bool named = output.find("{location}") == std::string::npos;
    if (named && !toStandardOutput) {
        createPartFile(output, request.force);
    }
    CableSession cable = openCable(request, outcome);
    if (!named) {
        nameReadOutput(&output, cable.location.substr(2));
        createPartFile(output, request.force);
    }
    uint32_t address = request.sector * SECTOR_SIZE;
    uint32_t length = count * SECTOR_SIZE;
    readWithProgress(cable, "read", address, length, readBackBuffer);
    closeCable();
    // Written only once the whole range is in: a failed read leaves no file.
    if (toStandardOutput) {
        writeStandardOutput(readBackBuffer, length);
    } else {
        writeOutput(output, request.force, readBackBuffer, length);
    }
    std::string sha256 = sha256OfBytes(readBackBuffer, length);
    nlohmann::ordered_json range = {{"file", output}, {"sector", request.sector}, {"count", count}};
    putAddress(&range, "address", address);
    range["bytes"] = length;
    range["sha256"] = sha256;
    range["result"] = "read";
    outcome->record["ranges"] = {range};
    progressSay(output + ": " + paint("read", PAINT_GOOD) + ", " + std::to_string(length) + " bytes from " +
                hexAddress(address) + ", SHA-256 " + sha256.substr(0, 16));
}

void runErase(const Request& request, Outcome* outcome) {
    uint32_t count = rangeCount(request);
    CableSession cable = openCable(request, outcome);
    eraseAndCheck(&cable, request.sector, count);
    nlohmann::ordered_json range = {{"sector", request.sector}, {"count", count}};
    putAddress(&range, "address", request.sector * SECTOR_SIZE);
    range["bytes"] = count * SECTOR_SIZE;
    range["result"] = "erased";
    outcome->record["ranges"] = {range};
    progressSay("sectors " + std::to_string(request.sector) + "-" +
                std::to_string(request.sector + count - 1) + ": " + paint("erased and blank", PAINT_GOOD));
}

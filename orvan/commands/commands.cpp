// The commands that do not write: list, info, read, erase.
#include <stdio.h>
#include <string.h>

#include "core/adapter/adapter_connection.h"
#include "core/flash/flash_operations.h"
#include "core/platform/platform.h"
#include "orvan/commands/cable.h"
#include "orvan/commands/flash_steps.h"
#include "orvan/commands/images.h"
#include "orvan/commands/orvan.h"

void runList() {
    uint32_t count = 0;
    if (!countAdapters(&count)) {
        finish(STATUS_NO_CABLE, "list: the adapter library could not count its devices");
    }
    nlohmann::ordered_json devices = nlohmann::ordered_json::array();
    if (!options.json) {
        printf("index  location    channel  name\n");
    }
    bool defaultMarked = false;
    for (uint32_t index = 0; index < count; index++) {
        static AdapterDevice device;
        if (!describeAdapter(index, &device)) {
            finish(STATUS_NO_CABLE,
                   "list: the adapter library could not describe device " + std::to_string(index));
        }
        // The writer takes the first such device; so does orvan without --cable.
        bool isDefault = !defaultMarked && isDefaultAdapter(&device);
        defaultMarked = defaultMarked || isDefault;
        devices.push_back({{"index", index},
                           {"location", hexAddress(device.locationId)},
                           {"channel", device.channel},
                           {"name", device.name},
                           {"default", isDefault}});
        if (!options.json) {
            printf("%-6u %-11s %-8s %s%s\n", index, hexAddress(device.locationId).c_str(), device.channel,
                   device.name, isDefault ? "  (default)" : "");
        }
    }
    record["devices"] = devices;
    finish(STATUS_DONE, "");
}

void runInfo() {
    uint32_t frequencyHz = openCable();
    record["divisor"] = options.divisor;
    record["clock_hz"] = frequencyHz;
    if (!options.json) {
        const nlohmann::ordered_json& cable = record["cable"];
        printf("location  %s\n", cable["location"].get<std::string>().c_str());
        printf("name      %s\n", cable["name"].get<std::string>().c_str());
        printf("channel   %s\n", cable["channel"].get<std::string>().c_str());
        printf("clock     %u Hz (divisor %u)\n", frequencyHz, options.divisor);
        printf("identity  %s\n", record["identity"].get<std::string>().c_str());
    }
    finish(STATUS_DONE, "");
}

// The sectors asked for with --sector and --count; the count defaults to the
// rest of the flash.
static uint32_t rangeCount() {
    uint32_t room = SECTOR_COUNT - options.sector;
    if (options.count == 0) {
        return room;
    }
    if (options.count > room) {
        finish(STATUS_USAGE, "--count " + std::to_string(options.count) + ": only " + std::to_string(room) +
                                 (room == 1 ? " sector follows" : " sectors follow") + " sector " +
                                 std::to_string(options.sector));
    }
    return options.count;
}

// The read goes to a file of a new name beside the output, made before the
// cable is opened (so that a folder that takes no file is found before the
// target is touched) and never one that was there; it gets the output's name
// only once the whole range is in it. A link to a regular file is written
// through; the link itself, a device or a FIFO is never replaced.
static char partPath[PLATFORM_PATH_CHARS];
static char targetPath[PLATFORM_PATH_CHARS];

static void chooseTarget() {
    switch (platformPathKind(options.output.c_str())) {
    case PLATFORM_PATH_FOLDER:
        finish(STATUS_USAGE, options.output + ": is a folder; name a file to write");
    case PLATFORM_PATH_OTHER:
        finish(STATUS_USAGE,
               options.output + ": is not a regular file (a device, a FIFO or a link to nothing)");
    case PLATFORM_PATH_REGULAR:
        if (!options.force) {
            finish(STATUS_USAGE, options.output + ": exists (give --force to replace it)");
        }
        break;
    case PLATFORM_PATH_MISSING:
        break;
    }
    if (!platformFullPath(options.output.c_str(), targetPath, sizeof targetPath)) {
        finish(STATUS_USAGE, options.output + ": cannot be created (no such folder, or no permission)");
    }
}

static void createPartFile() {
    chooseTarget();
    std::string prefix = std::string(targetPath) + ".";
    if (!platformCreateUniqueFile(prefix.c_str(), ".part", partPath, sizeof partPath,
                                  &unfinishedOutput.file)) {
        finish(STATUS_USAGE, options.output + ": cannot be created (no such folder, or no permission)");
    }
    unfinishedOutput.open = true;
    unfinishedOutput.path = partPath;
}

static void writeOutput(const uint8_t* bytes, uint32_t length) {
    bool written = platformWriteFile(unfinishedOutput.file, bytes, length);
    platformCloseFile(unfinishedOutput.file);
    unfinishedOutput.open = false;
    if (!written) {
        finish(STATUS_USAGE, options.output + ": could not be written in full (no room left?)");
    }
    bool named = options.force ? platformRenameFile(partPath, targetPath)
                               : platformRenameWithoutReplacing(partPath, targetPath);
    if (!named) {
        finish(STATUS_USAGE, options.output + (platformPathKind(targetPath) != PLATFORM_PATH_MISSING
                                                   ? ": was made by another program meanwhile; it is kept "
                                                     "(give --force to replace it)"
                                                   : ": could not be given its name"));
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

void runRead() {
    uint32_t count = rangeCount();
    if (options.output.empty()) {
        finish(STATUS_USAGE, "read -o: the file name is empty");
    }
    bool named = options.output.find("{location}") == std::string::npos;
    if (named) {
        createPartFile();
    }
    openCable();
    if (!named) {
        nameReadOutput(&options.output, record["cable"]["location"].get<std::string>().substr(2));
        createPartFile();
    }
    uint32_t address = options.sector * SECTOR_SIZE;
    uint32_t length = count * SECTOR_SIZE;
    readWithProgress("read", address, length, readBackBuffer);
    closeCable();
    // Written only once the whole range is in: a failed read leaves no file.
    writeOutput(readBackBuffer, length);
    record["ranges"] = {{{"file", options.output},
                         {"sector", options.sector},
                         {"count", count},
                         {"address", hexAddress(address)},
                         {"bytes", length},
                         {"sha256", sha256OfBytes(readBackBuffer, length)},
                         {"result", "read"}}};
    finish(STATUS_DONE, "");
}

void runErase() {
    uint32_t count = rangeCount();
    openCable();
    eraseWithProgress(options.sector, count);
    checkBlank(options.sector, count);
    record["ranges"] = {{{"sector", options.sector},
                         {"count", count},
                         {"address", hexAddress(options.sector * SECTOR_SIZE)},
                         {"bytes", count * SECTOR_SIZE},
                         {"result", "erased"}}};
    finish(STATUS_DONE, "");
}

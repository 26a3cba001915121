// The commands that do not write: list, info, read, erase.
#include <stdio.h>
#include <string.h>

#include <filesystem>

#include "orvan/cable.h"
#include "orvan/flash_steps.h"
#include "orvan/images.h"
#include "orvan/orvan.h"
#include "orvanwriter/adapter/adapter_connection.h"
#include "orvanwriter/flash/flash_operations.h"
#include "orvanwriter/platform/platform.h"

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

// The read goes to FILE.part, made before the cable is opened, so that a
// folder that takes no file is found before the target is touched; it gets
// its name only once the whole range is in it.
static PlatformFile partFile;
static std::string partPath;

static void createPartFile() {
    partPath = options.output + ".part";
    if (!platformCreateFile(partPath.c_str(), true, &partFile)) {
        finish(STATUS_USAGE, options.output + ": cannot be created (no such folder, or no permission)");
    }
    platformCloseFile(partFile);
    outputToRemove = partPath;
}

static void writeOutput(const uint8_t* bytes, uint32_t length) {
    if (!platformCreateFile(partPath.c_str(), true, &partFile)) {
        finish(STATUS_USAGE, options.output + ": cannot be created (no such folder, or no permission)");
    }
    bool written = platformWriteFile(partFile, bytes, length);
    platformCloseFile(partFile);
    if (!written) {
        finish(STATUS_USAGE, options.output + ": could not be written in full (no room left?)");
    }
    if (!platformRenameFile(partPath.c_str(), options.output.c_str())) {
        finish(STATUS_USAGE, options.output + ": could not be given its name");
    }
    outputToRemove.clear();
}

// The output file's name, with {location} as the cable's location in hex.
static void nameOutput(const std::string& location) {
    const std::string PLACE = "{location}";
    for (size_t at = options.output.find(PLACE); at != std::string::npos;
         at = options.output.find(PLACE, at)) {
        options.output.replace(at, PLACE.size(), location);
        at += location.size();
    }
}

static void refuseExistingOutput() {
    std::error_code ignored;
    if (std::filesystem::is_directory(options.output, ignored)) {
        finish(STATUS_USAGE, options.output + ": is a folder; name a file to write");
    }
    if (!options.force && platformFileExists(options.output.c_str())) {
        finish(STATUS_USAGE, options.output + ": exists (give --force to replace it)");
    }
}

void runRead() {
    uint32_t count = rangeCount();
    bool named = options.output.find("{location}") == std::string::npos;
    if (named) {
        refuseExistingOutput();
        createPartFile();
    }
    openCable();
    if (!named) {
        nameOutput(record["cable"]["location"].get<std::string>().substr(2));
        refuseExistingOutput();
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

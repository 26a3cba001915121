// The configuration from the VADAPTER_* variables, read at the first call.
// Numbers are decimal or 0x hexadecimal; a value that does not parse is
// reported on standard error and the default stays.
#include <stdio.h>
#include <stdlib.h>

#include "virtual_adapter.h"

namespace vadapter {

namespace {

typedef std::vector<std::string> Fields;

// A decimal or 0x hexadecimal number of at most 32 bits, nothing else.
bool parseNumber(const std::string& text, uint32_t& value) {
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    size_t start = hex ? 2 : 0;
    if (text.size() <= start) {
        return false;
    }
    uint64_t result = 0;
    for (size_t i = start; i < text.size(); i++) {
        char c = text[i];
        uint32_t digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<uint32_t>(c - '0');
        } else if (hex && c >= 'a' && c <= 'f') {
            digit = static_cast<uint32_t>(c - 'a' + 10);
        } else if (hex && c >= 'A' && c <= 'F') {
            digit = static_cast<uint32_t>(c - 'A' + 10);
        } else {
            return false;
        }
        result = result * (hex ? 16 : 10) + digit;
        if (result > 0xFFFFFFFFull) {
            return false;
        }
    }
    value = static_cast<uint32_t>(result);
    return true;
}

bool parseByte(const std::string& text, uint8_t& value) {
    uint32_t number;
    if (!parseNumber(text, number) || number > 0xFF) {
        return false;
    }
    value = static_cast<uint8_t>(number);
    return true;
}

Fields split(const std::string& text, char separator) {
    Fields parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) {
            return parts;
        }
        start = end + 1;
    }
}

// Reads one variable if set; a value the parser refuses is reported and the
// configuration keeps its default.
template <typename Parser> void readVariable(const char* name, Parser parse) {
    const char* value = getenv(name);
    if (value && !parse(std::string(value))) {
        fprintf(stderr, "virtual adapter: bad %s value\n", name);
    }
}

void readNumber(const char* name, uint32_t& field) {
    readVariable(name, [&](const std::string& text) { return parseNumber(text, field); });
}

void readByte(const char* name, uint8_t& field) {
    readVariable(name, [&](const std::string& text) { return parseByte(text, field); });
}

bool parseDevices(const std::string& text, std::vector<VirtualDevice>& devices) {
    std::vector<VirtualDevice> parsed;
    if (!text.empty()) {
        for (const std::string& entry : split(text, ';')) {
            Fields fields = split(entry, '|');
            VirtualDevice device;
            if (fields.size() != 3 || !parseNumber(fields[2], device.locationId)) {
                return false;
            }
            device.name = fields[0];
            device.channel = fields[1];
            parsed.push_back(device);
        }
    }
    devices = parsed;
    return true;
}

bool parseDescribeFail(const std::string& text, VirtualAdapterConfig& config) {
    Fields fields = split(text, ':');
    uint32_t index, status = 1;
    if (fields.size() > 2 || !parseNumber(fields[0], index) ||
        (fields.size() == 2 && !parseNumber(fields[1], status))) {
        return false;
    }
    config.describeFailIndex = index;
    config.describeStatus = status;
    return true;
}

bool parseFrequency(const std::string& text, VirtualAdapterConfig& config) {
    if (text == "untouched") {
        config.frequencyMode = VA_FREQUENCY_UNTOUCHED;
    } else if (text == "computed") {
        config.frequencyMode = VA_FREQUENCY_COMPUTED;
    } else if (parseNumber(text, config.fixedFrequencyHz)) {
        config.frequencyMode = VA_FREQUENCY_FIXED;
    } else {
        return false;
    }
    return true;
}

bool parseRealTime(const std::string& text, VirtualAdapterConfig& config) {
    if (text != "0" && text != "1") {
        return false;
    }
    config.realTime = text == "1";
    return true;
}

bool parseUnerasedSector(const std::string& text, VirtualAdapterConfig& config) {
    uint32_t sector;
    if (!parseNumber(text, sector) || sector >= VA_FLASH_SIZE / VA_SECTOR_SIZE) {
        return false;
    }
    config.unerasedSector = sector;
    return true;
}

bool parseStuckBit(const std::string& text, VirtualAdapterConfig& config) {
    Fields fields = split(text, ':');
    uint32_t address;
    uint8_t mask = config.stuckBitMask, value = config.stuckBitValue;
    if (fields.size() > 3 || !parseNumber(fields[0], address) || address >= VA_FLASH_SIZE ||
        (fields.size() > 1 && !parseByte(fields[1], mask)) ||
        (fields.size() > 2 && !parseByte(fields[2], value))) {
        return false;
    }
    config.stuckBitAddress = address;
    config.stuckBitMask = mask;
    config.stuckBitValue = value;
    return true;
}

bool parseShortRead(const std::string& text, VirtualAdapterConfig& config) {
    Fields fields = split(text, ':');
    uint32_t bytes;
    if (fields.size() > 2 || !parseNumber(fields[0], bytes) ||
        (fields.size() == 2 && fields[1] != "always")) {
        return false;
    }
    config.shortReadBytes = bytes;
    config.shortReadAlways = fields.size() == 2;
    return true;
}

bool parseEmptyReads(const std::string& text, VirtualAdapterConfig& config) {
    if (text == "always") {
        config.emptyReads = VA_ALWAYS;
        return true;
    }
    Fields fields = split(text, ':');
    uint32_t count;
    if (fields.size() > 2 || !parseNumber(fields[0], count) ||
        (fields.size() == 2 && fields[1] != "repeat")) {
        return false;
    }
    config.emptyReads = count;
    config.emptyReadsRepeat = fields.size() == 2;
    return true;
}

bool parseStuckAfter(const std::string& text, VirtualAdapterConfig& config) {
    Fields fields = split(text, ':');
    uint8_t command;
    uint32_t occurrence = 1;
    if (fields.size() > 2 || !parseByte(fields[0], command) ||
        (fields.size() == 2 && (!parseNumber(fields[1], occurrence) || occurrence == 0))) {
        return false;
    }
    config.stuckAfterCommand = command;
    config.stuckAfterOccurrence = occurrence;
    return true;
}

// A variable whose parser fills in several fields of the configuration.
void readInto(const char* name, VirtualAdapterConfig& config,
              bool (*parse)(const std::string&, VirtualAdapterConfig&)) {
    readVariable(name, [&](const std::string& text) { return parse(text, config); });
}

void readDeviceVariables(VirtualAdapterConfig& config) {
    readVariable("VADAPTER_FLASH", [&](const std::string& text) { return config.flashPath = text, true; });
    readVariable("VADAPTER_TRACE", [&](const std::string& text) { return config.tracePath = text, true; });
    readVariable("VADAPTER_DEVICES",
                 [&](const std::string& text) { return parseDevices(text, config.devices); });
    readNumber("VADAPTER_COUNT_STATUS", config.countStatus);
    readInto("VADAPTER_DESCRIBE_FAIL", config, parseDescribeFail);
    readNumber("VADAPTER_OPEN_STATUS", config.openStatus);
    readNumber("VADAPTER_LINE_LEVELS_STATUS", config.lineLevelsStatus);
    readNumber("VADAPTER_QUERY_STATUS", config.queryStatus);
    readInto("VADAPTER_FREQUENCY", config, parseFrequency);
}

void readTargetVariables(VirtualAdapterConfig& config) {
    readByte("VADAPTER_IDENTITY", config.identityByte);
    readByte("VADAPTER_READY_BYTE", config.readyByte);
    readByte("VADAPTER_BUSY_BYTE", config.busyByte);
    readNumber("VADAPTER_ERASE_BUSY_READS", config.eraseBusyReads);
    readNumber("VADAPTER_PROGRAM_BUSY_READS", config.programBusyReads);
    readNumber("VADAPTER_ERASE_BUSY_US", config.eraseBusyUs);
    readNumber("VADAPTER_PROGRAM_BUSY_US", config.programBusyUs);
    readInto("VADAPTER_REALTIME", config, parseRealTime);
    readNumber("VADAPTER_LATENCY_US", config.callLatencyUs);
}

void readFaultVariables(VirtualAdapterConfig& config) {
    readInto("VADAPTER_UNERASED_SECTOR", config, parseUnerasedSector);
    readInto("VADAPTER_STUCK_BIT", config, parseStuckBit);
    readInto("VADAPTER_SHORT_READ", config, parseShortRead);
    readInto("VADAPTER_EMPTY_READS", config, parseEmptyReads);
    readInto("VADAPTER_STUCK_AFTER", config, parseStuckAfter);
    readNumber("VADAPTER_VANISH_AFTER", config.vanishAfterCalls);
}

} // namespace

} // namespace vadapter

VirtualAdapterConfig vaConfigFromEnvironment() {
    VirtualAdapterConfig config;
    vadapter::readDeviceVariables(config);
    vadapter::readTargetVariables(config);
    vadapter::readFaultVariables(config);
    return config;
}

#include "emulated_target/target_environment.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

namespace {

typedef std::vector<std::string> Fields;

bool parseUnerasedSector(const std::string& text, TargetConfig& config) {
    uint32_t sector;
    if (!envParseNumber(text, sector) || sector >= TARGET_SECTOR_COUNT) {
        return false;
    }
    config.unerasedSector = sector;
    return true;
}

// "address[:mask[:value]]"
bool parseStuckBit(const std::string& text, TargetConfig& config) {
    Fields fields = envSplit(text, ':');
    uint32_t address;
    uint8_t mask = config.stuckBitMask, value = config.stuckBitValue;
    if (fields.size() > 3 || !envParseNumber(fields[0], address) || address >= TARGET_FLASH_BYTES ||
        (fields.size() > 1 && !envParseByte(fields[1], mask)) ||
        (fields.size() > 2 && !envParseByte(fields[2], value))) {
        return false;
    }
    config.stuckBitAddress = address;
    config.stuckBitMask = mask;
    config.stuckBitValue = value;
    return true;
}

// "command[:occurrence]"
bool parseStuckAfter(const std::string& text, TargetConfig& config) {
    Fields fields = envSplit(text, ':');
    uint8_t command;
    uint32_t occurrence = 1;
    if (fields.size() > 2 || !envParseByte(fields[0], command) ||
        (fields.size() == 2 && (!envParseNumber(fields[1], occurrence) || occurrence == 0))) {
        return false;
    }
    config.stuckAfterCommand = command;
    config.stuckAfterOccurrence = occurrence;
    return true;
}

void readFault(const char* front, const char* name, TargetConfig& config,
               bool (*parse)(const std::string&, TargetConfig&)) {
    std::string text;
    if (envVariable(name, text) && !parse(text, config)) {
        envReportBad(front, name);
    }
}

} // namespace

bool envParseNumber(const std::string& text, uint32_t& value) {
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

bool envParseByte(const std::string& text, uint8_t& value) {
    uint32_t number;
    if (!envParseNumber(text, number) || number > 0xFF) {
        return false;
    }
    value = static_cast<uint8_t>(number);
    return true;
}

std::vector<std::string> envSplit(const std::string& text, char separator) {
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

bool envVariable(const char* name, std::string& value) {
    const char* set = getenv(name);
    if (set == nullptr) {
        return false;
    }
    value = set;
    return true;
}

void envReportBad(const char* front, const char* name) {
    fprintf(stderr, "%s: bad %s value\n", front, name);
}

void envReadNumber(const char* front, const char* name, uint32_t& field) {
    std::string text;
    if (envVariable(name, text) && !envParseNumber(text, field)) {
        envReportBad(front, name);
    }
}

void envReadByte(const char* front, const char* name, uint8_t& field) {
    std::string text;
    if (envVariable(name, text) && !envParseByte(text, field)) {
        envReportBad(front, name);
    }
}

TargetConfig targetConfigFromEnvironment(const char* front) {
    TargetConfig config;
    envReadByte(front, "VADAPTER_IDENTITY", config.identityByte);
    envReadByte(front, "VADAPTER_READY_BYTE", config.readyByte);
    envReadByte(front, "VADAPTER_BUSY_BYTE", config.busyByte);
    envReadNumber(front, "VADAPTER_ERASE_BUSY_READS", config.eraseBusyReads);
    envReadNumber(front, "VADAPTER_PROGRAM_BUSY_READS", config.programBusyReads);
    envReadNumber(front, "VADAPTER_ERASE_BUSY_US", config.eraseBusyUs);
    envReadNumber(front, "VADAPTER_PROGRAM_BUSY_US", config.programBusyUs);
    readFault(front, "VADAPTER_UNERASED_SECTOR", config, parseUnerasedSector);
    readFault(front, "VADAPTER_STUCK_BIT", config, parseStuckBit);
    readFault(front, "VADAPTER_STUCK_AFTER", config, parseStuckAfter);
    return config;
}

std::string envPathAtLocation(const std::string& path, uint32_t locationId) {
    static const std::string PLACEHOLDER = "{location}";
    char hex[16];
    snprintf(hex, sizeof(hex), "%x", locationId);
    std::string result = path;
    for (size_t at = result.find(PLACEHOLDER); at != std::string::npos;
         at = result.find(PLACEHOLDER, at + strlen(hex))) {
        result.replace(at, PLACEHOLDER.size(), hex);
    }
    return result;
}

bool envPresent(const std::string& path) {
    struct stat status;
    return path.empty() || stat(path.c_str(), &status) == 0;
}

bool envReadFaultLocation(const char* front, uint32_t& location) {
    std::string text;
    if (!envVariable("VADAPTER_FAULT_LOCATION", text)) {
        return false;
    }
    if (!envParseNumber(text, location)) {
        envReportBad(front, "VADAPTER_FAULT_LOCATION");
        return false;
    }
    return true;
}

TargetConfig targetWithoutFaults(const TargetConfig& config) {
    TargetConfig faultless;
    faultless.eraseBusyReads = config.eraseBusyReads;
    faultless.programBusyReads = config.programBusyReads;
    faultless.busyTime = config.busyTime;
    faultless.eraseBusyUs = config.eraseBusyUs;
    faultless.programBusyUs = config.programBusyUs;
    return faultless;
}

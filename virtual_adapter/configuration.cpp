// The configuration from the VADAPTER_* variables, read at the first call:
// the target's own (emulated_target/target_environment.cpp) and the
// adapter's. Numbers are decimal or 0x hexadecimal; a value that does not
// parse is reported on standard error and the default stays.
#include "emulated_target/target_environment.h"
#include "virtual_adapter.h"

namespace vadapter {

namespace {

typedef std::vector<std::string> Fields;

const char* const FRONT = "virtual adapter";

// Reads one variable if set; a value the parser refuses is reported and the
// configuration keeps its default.
template <typename Parser> void readVariable(const char* name, Parser parse) {
    std::string text;
    if (envVariable(name, text) && !parse(text)) {
        envReportBad(FRONT, name);
    }
}

void readNumber(const char* name, uint32_t& field) {
    envReadNumber(FRONT, name, field);
}

bool parseDevices(const std::string& text, std::vector<VirtualDevice>& devices) {
    std::vector<VirtualDevice> parsed;
    if (!text.empty()) {
        for (const std::string& entry : envSplit(text, ';')) {
            Fields fields = envSplit(entry, '|');
            VirtualDevice device;
            if (fields.size() != 3 || !envParseNumber(fields[2], device.locationId)) {
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
    Fields fields = envSplit(text, ':');
    uint32_t index, status = 1;
    if (fields.size() > 2 || !envParseNumber(fields[0], index) ||
        (fields.size() == 2 && !envParseNumber(fields[1], status))) {
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
    } else if (envParseNumber(text, config.fixedFrequencyHz)) {
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

// "N" or "N:word": the count, and whether the word followed it.
bool parseCountAndWord(const std::string& text, const char* word, uint32_t& count, bool& withWord) {
    Fields fields = envSplit(text, ':');
    if (fields.size() > 2 || !envParseNumber(fields[0], count) || (fields.size() == 2 && fields[1] != word)) {
        return false;
    }
    withWord = fields.size() == 2;
    return true;
}

bool parseShortRead(const std::string& text, VirtualAdapterConfig& config) {
    uint32_t bytes = 0;
    bool always = false;
    if (!parseCountAndWord(text, "always", bytes, always)) {
        return false;
    }
    config.shortReadBytes = bytes;
    config.shortReadAlways = always;
    return true;
}

bool parseEmptyReads(const std::string& text, VirtualAdapterConfig& config) {
    if (text == "always") {
        config.emptyReads = VA_ALWAYS;
        return true;
    }
    uint32_t count = 0;
    bool repeat = false;
    if (!parseCountAndWord(text, "repeat", count, repeat)) {
        return false;
    }
    config.emptyReads = count;
    config.emptyReadsRepeat = repeat;
    return true;
}

bool parseVcdFault(const std::string& text, VirtualAdapterConfig& config) {
    if (text == "phase") {
        config.vcdFault = VA_VCD_FAULT_LATE_PHASE;
    } else if (text == "lsb-first") {
        config.vcdFault = VA_VCD_FAULT_LSB_FIRST;
    } else {
        return false;
    }
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
    readVariable("VADAPTER_PRESENT",
                 [&](const std::string& text) { return config.presentPath = text, true; });
    readVariable("VADAPTER_PLUGGED",
                 [&](const std::string& text) { return config.pluggedPath = text, true; });
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
    config.target = targetConfigFromEnvironment(FRONT);
    readInto("VADAPTER_REALTIME", config, parseRealTime);
    readNumber("VADAPTER_LATENCY_US", config.callLatencyUs);
}

void readFaultVariables(VirtualAdapterConfig& config) {
    readInto("VADAPTER_SHORT_READ", config, parseShortRead);
    readInto("VADAPTER_EMPTY_READS", config, parseEmptyReads);
    readNumber("VADAPTER_VANISH_AFTER", config.vanishAfterCalls);
    config.faultLocationSet = envReadFaultLocation(FRONT, config.faultLocation);
}

void readWaveformVariables(VirtualAdapterConfig& config) {
    readVariable("VADAPTER_VCD", [&](const std::string& text) { return config.vcdPath = text, true; });
    readNumber("VADAPTER_VCD_LIMIT", config.vcdLimitBytes);
    readInto("VADAPTER_VCD_FAULT", config, parseVcdFault);
}

} // namespace

} // namespace vadapter

VirtualAdapterConfig vaConfigFromEnvironment() {
    VirtualAdapterConfig config;
    vadapter::readDeviceVariables(config);
    vadapter::readTargetVariables(config);
    vadapter::readFaultVariables(config);
    vadapter::readWaveformVariables(config);
    return config;
}

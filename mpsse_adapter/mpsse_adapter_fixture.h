// The MPSSE adapter library called in-process over the real libftdi1 and the
// emulated cable (the test program links the stand-in as its libusb-1.0.so.0).
// The cable reads its variables at the first USB call of the process, so
// every suite of the program sets the same ones.
#pragma once

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "adapter_interface/adapter_library.h"
#include "mpsse_adapter.h"

// One pair of files per process: ctest runs the cases as parallel processes.
inline std::string processFile(const char* what) {
    return "/tmp/orvan-mpsse-adapter-test-" + std::to_string(getpid()) + "-" + what + ".txt";
}
const std::string TRACE_PATH = processFile("trace");
const std::string WRITES_PATH = processFile("writes");
// The board and cable presence files, one per device location.
const std::string PRESENT_PATTERN = processFile("present-{location}");
const std::string PLUGGED_PATTERN = processFile("plugged-{location}");
const uint32_t DEVICE_LOCATIONS[] = {0x02100000, 0x01320000, 0x01100000};
const uint32_t MSB_FIRST = 1;

class MpsseAdapter : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        setenv("VUSB_DEVICES", "0x6014|Vexil single|2|1;0x6010|Vexil dual|1|3.2;0x6011|Quad|1|1", 1);
        setenv("VADAPTER_TRACE", TRACE_PATH.c_str(), 1);
        setenv("VUSB_WRITES", WRITES_PATH.c_str(), 1);
        unsetenv("VADAPTER_FLASH");
        setenv("VADAPTER_PRESENT", PRESENT_PATTERN.c_str(), 1);
        setenv("VADAPTER_PLUGGED", PLUGGED_PATTERN.c_str(), 1);
        for (uint32_t location : DEVICE_LOCATIONS) {
            setPresence(PRESENT_PATTERN, location, true);
            setPresence(PLUGGED_PATTERN, location, true);
        }
        // The cable keeps both files open for the whole process.
        static bool registered = false;
        if (!registered) {
            registered = true;
            atexit(removeFiles);
        }
    }
    static void removeFiles() {
        unlink(TRACE_PATH.c_str());
        unlink(WRITES_PATH.c_str());
        for (uint32_t location : DEVICE_LOCATIONS) {
            setPresence(PRESENT_PATTERN, location, false);
            setPresence(PLUGGED_PATTERN, location, false);
        }
    }
    static void setPresence(const std::string& pattern, uint32_t location, bool there) {
        char hex[16];
        snprintf(hex, sizeof(hex), "%x", location);
        std::string path = pattern;
        path.replace(path.find("{location}"), strlen("{location}"), hex);
        if (there) {
            std::ofstream(path).put('\n');
        } else {
            unlink(path.c_str());
        }
    }
    // What was added to a file since the last call of this for it.
    static std::string fresh(const std::string& path, size_t& seen) {
        std::ifstream file(path);
        std::stringstream text;
        text << file.rdbuf();
        std::string all = text.str();
        std::string added = all.substr(std::min(seen, all.size()));
        seen = all.size();
        return added;
    }
    // Trace lines written since the last call of this.
    std::string newTrace() {
        return fresh(TRACE_PATH, seenTrace);
    }
    // The bulk OUT transfers since the last call, one line of hex bytes each.
    std::string newWrites() {
        return fresh(WRITES_PATH, seenWrites);
    }
    uint32_t openChannel(const char* channel) {
        uint32_t count = 0;
        EXPECT_EQ(libCountDevices(&count), ADAPTER_OK);
        uint32_t handle = 0;
        EXPECT_EQ(libOpenDevice("Vexil dual", 0x01320000, channel, &handle), ADAPTER_OK);
        newTrace();
        newWrites();
        return handle;
    }
    uint32_t openDual() {
        return openChannel("A");
    }
    size_t seenTrace = 0;
    size_t seenWrites = 0;
    UpperPinStates pins = {};
};

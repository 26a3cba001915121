#include "image_test_files.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <filesystem>

namespace {
// A folder of this run's own, removed with everything in it when the tests end.
struct TestFolder {
    std::string path;
    bool made = false;
    TestFolder() {
        std::string pattern = testing::TempDir() + "orvan_image_test_XXXXXX";
        made = mkdtemp(&pattern[0]) != nullptr;
        path = made ? pattern + "/" : testing::TempDir() + "orvan_image_test_";
    }
    ~TestFolder() {
        std::error_code ignored;
        if (made) {
            std::filesystem::remove_all(path, ignored);
        }
    }
};
} // namespace

std::string testFilePath(const std::string& name) {
    static TestFolder folder;
    return folder.path + name;
}

std::string writeTestFile(const std::string& name, const std::string& bytes) {
    std::string path = testFilePath(name);
    FILE* file = fopen(path.c_str(), "wb");
    EXPECT_NE(file, nullptr) << path;
    if (file != nullptr) {
        EXPECT_EQ(fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
        fclose(file);
    }
    return path;
}

std::vector<uint8_t> bytesOfHex(const std::string& hex) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

static std::string hexOf(const std::vector<uint8_t>& bytes) {
    std::string text;
    char pair[3];
    for (uint8_t b : bytes) {
        snprintf(pair, sizeof pair, "%02X", b);
        text += pair;
    }
    return text;
}

std::string hexRecord(uint8_t type, uint16_t offset, const std::string& dataHex) {
    std::vector<uint8_t> data = bytesOfHex(dataHex);
    std::vector<uint8_t> bytes = {static_cast<uint8_t>(data.size()), static_cast<uint8_t>(offset >> 8),
                                  static_cast<uint8_t>(offset), type};
    bytes.insert(bytes.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (uint8_t b : bytes) {
        sum += b;
    }
    bytes.push_back(static_cast<uint8_t>(0x100 - (sum & 0xff)));
    return ":" + hexOf(bytes);
}

std::string srecRecord(char digit, uint32_t address, uint32_t addressBytes, const std::string& dataHex) {
    std::vector<uint8_t> data = bytesOfHex(dataHex);
    std::vector<uint8_t> bytes = {static_cast<uint8_t>(addressBytes + data.size() + 1)};
    for (uint32_t i = addressBytes; i > 0; i--) {
        bytes.push_back(static_cast<uint8_t>(address >> (8 * (i - 1))));
    }
    bytes.insert(bytes.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (uint8_t b : bytes) {
        sum += b;
    }
    bytes.push_back(static_cast<uint8_t>(~sum));
    return std::string("S") + digit + hexOf(bytes);
}

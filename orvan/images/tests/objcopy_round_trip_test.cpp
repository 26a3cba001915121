// Random images turned into Intel HEX and S-records by two other tools,
// binutils' objcopy and srecord's srec_cat, parse back to exactly their
// bytes at exactly their addresses.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <random>
#include <string>

#include "image_test_files.h"
#include "orvan/images/image_map.h"

namespace {

struct RoundTripCase {
    uint32_t size;
    uint32_t address;
};

// Aligned and not, a byte to the whole flash, across sector borders, across
// the 64 KiB border (where objcopy starts a new segment), up to the last byte.
const RoundTripCase ROUND_TRIP_CASES[] = {
    {1, 0},         {16, 0},         {100, 3},    {16384, 0},  {16385, 16383},
    {1000, 0xFFF0}, {70000, 0x8001}, {131072, 0}, {131071, 1}, {5000, 0x20000 - 5000},
    {1, 0x1FFFF},
};

struct OutputFormat {
    const char* tool;
    const char* extension;
    // printf format of the command: address, binary file, text file.
    const char* command;
};

// srec_cat ends its S-records with a count record and no termination record.
const OutputFormat OUTPUT_FORMATS[] = {
    {"objcopy", ".hex", "objcopy -I binary -O ihex --change-addresses %1$u '%2$s' '%3$s'"},
    {"objcopy", ".srec", "objcopy -I binary -O srec --change-addresses %1$u '%2$s' '%3$s'"},
    {"objcopy", ".s37",
     "objcopy -I binary -O srec --srec-forceS3 --srec-len 7 --change-addresses %1$u '%2$s' '%3$s'"},
    {"srec_cat", ".hex", "srec_cat '%2$s' -binary -offset %1$u -o '%3$s' -intel -obs=32"},
    {"srec_cat", ".s28",
     "srec_cat '%2$s' -binary -offset %1$u -o '%3$s' -motorola -address-length=3 -obs=32"},
    {"srec_cat", ".s37",
     "srec_cat '%2$s' -binary -offset %1$u -o '%3$s' -motorola -address-length=4 -obs=64"},
};

bool haveTool(const char* tool) {
    return system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

std::string randomBytes(uint32_t size, uint32_t seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& b : bytes) {
        b = static_cast<char>(generator() & 0xff);
    }
    return bytes;
}

} // namespace

TEST(ObjcopyRoundTrip, ImagesComeBackByteForByte) {
    uint32_t seed = 1;
    for (const OutputFormat& format : OUTPUT_FORMATS) {
        if (!haveTool(format.tool)) {
            printf("%s is not installed: its files are not tried\n", format.tool);
            continue;
        }
        for (const RoundTripCase& c : ROUND_TRIP_CASES) {
            std::string bytes = randomBytes(c.size, seed++);
            std::string binary = writeTestFile("round_trip.bin", bytes);
            std::string text = testFilePath(std::string("round_trip") + format.extension);
            char command[1024];
            snprintf(command, sizeof command, format.command, c.address, binary.c_str(), text.c_str());
            std::string what =
                std::to_string(c.size) + " bytes at " + std::to_string(c.address) + ": " + command;
            ASSERT_EQ(system(command), 0) << command;

            resetImageMap();
            ImageError error = {};
            ASSERT_TRUE(addImage(text.c_str(), &error)) << what << ": " << error.text;
            const ImageRecord& image = images[0];
            EXPECT_EQ(image.definedBytes, c.size) << what;
            ASSERT_EQ(image.rangeCount, 1u) << what;
            EXPECT_EQ(imageRanges[image.rangeFirst].address, c.address) << what;
            EXPECT_EQ(imageRanges[image.rangeFirst].length, c.size) << what;
            EXPECT_EQ(0, memcmp(planBytes + c.address, bytes.data(), c.size)) << what;
        }
    }
}

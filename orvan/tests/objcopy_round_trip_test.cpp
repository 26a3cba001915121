// Random images turned into Intel HEX and S-records by binutils' objcopy
// parse back to exactly their bytes at exactly their addresses.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <random>
#include <string>

#include "image_test_files.h"
#include "orvan/image_map.h"

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
    const char* extension;
    const char* options;
};

const OutputFormat OUTPUT_FORMATS[] = {
    {".hex", "-O ihex"},
    {".srec", "-O srec"},
    {".s37", "-O srec --srec-forceS3 --srec-len 7"},
};

bool haveObjcopy() {
    return system("objcopy --version >/dev/null 2>&1") == 0;
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
    if (!haveObjcopy()) {
        GTEST_SKIP() << "objcopy is not installed";
    }
    uint32_t seed = 1;
    for (const RoundTripCase& c : ROUND_TRIP_CASES) {
        for (const OutputFormat& format : OUTPUT_FORMATS) {
            std::string what =
                std::to_string(c.size) + " bytes at " + std::to_string(c.address) + " as " + format.options;
            std::string bytes = randomBytes(c.size, seed++);
            std::string binary = writeTestFile("round_trip.bin", bytes);
            std::string text = testFilePath(std::string("round_trip") + format.extension);
            std::string command = std::string("objcopy -I binary ") + format.options +
                                  " --change-addresses " + std::to_string(c.address) + " '" + binary + "' '" +
                                  text + "'";
            ASSERT_EQ(system(command.c_str()), 0) << command;

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

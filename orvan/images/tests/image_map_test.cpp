// IMAGE arguments, files read whole, and images that may not share a sector.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "image_test_files.h"
#include "orvan/images/image_map.h"

namespace {

struct ArgumentCase {
    const char* text;
    // nullptr: refused with why.
    const char* fileName;
    ImagePlace place;
    uint32_t startAddress;
    uint32_t base;
    const char* why;
};

const uint32_t SECTOR_BYTES = 16384;
const char* const NOT_A_SECTOR = "is not a sector number (0 to 7) or an address (0x0 to 0x1ffff)";

std::string notASector(const std::string& argument, const std::string& spelling) {
    return argument + ": '" + spelling + "' " + NOT_A_SECTOR;
}

const ArgumentCase ARGUMENT_CASES[] = {
    {"app.bin@0", "app.bin", IMAGE_PLACE_SECTOR, 0, 0, nullptr},
    {"app.bin@7", "app.bin", IMAGE_PLACE_SECTOR, 7 * SECTOR_BYTES, 0, nullptr},
    {"app.bin@007", "app.bin", IMAGE_PLACE_SECTOR, 7 * SECTOR_BYTES, 0, nullptr},
    {"mail@host.bin@2", "mail@host.bin", IMAGE_PLACE_SECTOR, 2 * SECTOR_BYTES, 0, nullptr},
    {"a@@1", "a@", IMAGE_PLACE_SECTOR, SECTOR_BYTES, 0, nullptr},
    // A 0x prefix means a byte address, never a sector.
    {"app.bin@0x7", "app.bin", IMAGE_PLACE_ADDRESS, 7, 0, nullptr},
    {"app.bin@0X03", "app.bin", IMAGE_PLACE_ADDRESS, 3, 0, nullptr},
    {"app.bin@0x8", "app.bin", IMAGE_PLACE_ADDRESS, 8, 0, nullptr},
    {"app.bin@0x4000", "app.bin", IMAGE_PLACE_ADDRESS, 0x4000, 0, nullptr},
    {"build@2/fw.hex", "build@2/fw.hex", IMAGE_PLACE_OWN, 0, 0, nullptr},
    {"fw@v2.hex", "fw@v2.hex", IMAGE_PLACE_OWN, 0, 0, nullptr},
    {"fw.hex", "fw.hex", IMAGE_PLACE_OWN, 0, 0, nullptr},
    {"fw.hex@base=0x08000000", "fw.hex", IMAGE_PLACE_BASE, 0, 0x08000000, nullptr},
    {"app.bin@8", nullptr, IMAGE_PLACE_OWN, 0, 0, "app.bin@8: sector 8 is out of range (0 to 7)"},
    {"app.bin@1023", nullptr, IMAGE_PLACE_OWN, 0, 0, "app.bin@1023: sector 1023 is out of range (0 to 7)"},
    {"app.bin@16384", nullptr, IMAGE_PLACE_OWN, 0, 0,
     "app.bin@16384: sector 16384 is out of range (0 to 7); for an address write app.bin@0x4000"},
    {"app.bin@131072", nullptr, IMAGE_PLACE_OWN, 0, 0,
     "app.bin@131072: sector 131072 is out of range (0 to 7)"},
    {"app.bin@4294967296", nullptr, IMAGE_PLACE_OWN, 0, 0,
     "app.bin@4294967296: sector 4294967296 is out of range (0 to 7)"},
    {"app.bin@0x20000", nullptr, IMAGE_PLACE_OWN, 0, 0,
     "app.bin@0x20000: address 0x20000 is past the end of the 128 KiB flash (0x0 to 0x1ffff)"},
    {"app.bin@0x", nullptr, IMAGE_PLACE_OWN, 0, 0,
     "app.bin@0x: '0x' is not an address (0x and up to 8 hex digits)"},
    {"app.bin@0x4g00", nullptr, IMAGE_PLACE_OWN, 0, 0,
     "app.bin@0x4g00: '0x4g00' is not an address (0x and up to 8 hex digits)"},
    {"fw.hex@base=08000000", nullptr, IMAGE_PLACE_OWN, 0, 0,
     "fw.hex@base=08000000: '08000000' is not a base address (base=0x and up to 8 hex digits)"},
    {"@2", nullptr, IMAGE_PLACE_OWN, 0, 0, "@2: no file name before '@'"},
    {"", nullptr, IMAGE_PLACE_OWN, 0, 0, ": no file name"},
    {"fw.hex@2", nullptr, IMAGE_PLACE_OWN, 0, 0,
     "fw.hex@2: an Intel HEX file carries its own addresses; give it without @SECTOR"},
    {"fw.IHEX@0", nullptr, IMAGE_PLACE_OWN, 0, 0,
     "fw.IHEX@0: an Intel HEX file carries its own addresses; give it without @SECTOR"},
    {"fw.S19@1", nullptr, IMAGE_PLACE_OWN, 0, 0,
     "fw.S19@1: an S-record file carries its own addresses; give it without @SECTOR"},
    {"fw.mot@1", nullptr, IMAGE_PLACE_OWN, 0, 0,
     "fw.mot@1: an S-record file carries its own addresses; give it without @SECTOR"},
    {"fw.hex@0x4000", nullptr, IMAGE_PLACE_OWN, 0, 0,
     "fw.hex@0x4000: an Intel HEX file carries its own addresses; give it without @ADDRESS, or with "
     "@base=ADDRESS when it is linked at another address"},
};

const struct {
    const char* text;
    const char* spelling;
} NOT_A_SECTOR_CASES[] = {
    {"x.bin@1.5", "1.5"}, {"app.bin@99999999999999999999", "99999999999999999999"},
    {"app.bin@-1", "-1"}, {"app.bin@", ""},
    {"app.bin@ 1", " 1"}, {"app.bin@base", "base"},
};

TEST(ImageArgument, SplitsAtTheLastAt) {
    for (const ArgumentCase& c : ARGUMENT_CASES) {
        ImageArgument argument = {};
        ImageError error = {};
        bool ok = parseImageArgument(c.text, &argument, &error);
        if (c.fileName == nullptr) {
            EXPECT_FALSE(ok) << c.text;
            EXPECT_STREQ(error.text, c.why) << c.text;
            continue;
        }
        ASSERT_TRUE(ok) << c.text << ": " << error.text;
        EXPECT_STREQ(argument.fileName, c.fileName) << c.text;
        EXPECT_EQ(argument.place, c.place) << c.text;
        EXPECT_EQ(argument.startAddress, c.startAddress) << c.text;
        EXPECT_EQ(argument.base, c.base) << c.text;
    }
    for (const auto& c : NOT_A_SECTOR_CASES) {
        ImageArgument argument = {};
        ImageError error = {};
        EXPECT_FALSE(parseImageArgument(c.text, &argument, &error)) << c.text;
        EXPECT_EQ(error.text, notASector(c.text, c.spelling)) << c.text;
    }
}

const std::string HEX_END = ":00000001FF\n";

// A HEX file with one byte at each address given.
std::string hexBytesAt(const std::vector<uint32_t>& addresses) {
    std::string text;
    for (uint32_t address : addresses) {
        char upper[8];
        snprintf(upper, sizeof upper, "%04X", address >> 16);
        text += hexRecord(4, 0, upper) + "\n";
        text += hexRecord(0, static_cast<uint16_t>(address), "5A") + "\n";
    }
    return text + HEX_END;
}

struct TestFile {
    const char* name;
    std::string content;
};

struct SharingCase {
    const char* name;
    std::vector<TestFile> files;
    // Added in order; all but the last must be accepted.
    std::vector<const char*> arguments;
    // nullptr: the last is accepted too; else its whole message with the
    // temporary folder's path dropped.
    const char* why;
};

const SharingCase SHARING_CASES[] = {
    {"adjacent raw images",
     {{"a.bin", std::string(16384, 'a')}, {"b.bin", "b"}},
     {"a.bin@0", "b.bin@1"},
     nullptr},
    {"a raw image one byte into the next sector",
     {{"a.bin", std::string(16385, 'a')}, {"b.bin", "b"}},
     {"a.bin@0", "b.bin@1"},
     "b.bin@1: sector 1 is also written by a.bin@0; two images cannot share a sector, since each image's "
     "sectors are erased whole"},
    {"a HEX byte in a raw image's sector",
     {{"a.bin", "a"}, {"h.hex", hexBytesAt({0x4000, 0x7FFF, 0x8000})}},
     {"a.bin@2", "h.hex"},
     "h.hex: line 6: sector 2 is also written by a.bin@2; two images cannot share a sector, since each "
     "image's sectors are erased whole"},
    {"a raw image in a HEX image's sector",
     {{"h.hex", hexBytesAt({0x4000})}, {"a.bin", "a"}},
     {"h.hex", "a.bin@1"},
     "a.bin@1: sector 1 is also written by h.hex; two images cannot share a sector, since each image's "
     "sectors are erased whole"},
    {"HEX images in sectors of their own",
     {{"h.hex", hexBytesAt({0x3FFF})}, {"s.srec", "S1054000AABB55\nS9030000FC\n"}},
     {"h.hex", "s.srec"},
     nullptr},
    {"two HEX images in one sector",
     {{"h.hex", hexBytesAt({0x10})}, {"g.hex", hexBytesAt({0x20})}},
     {"h.hex", "g.hex"},
     "g.hex: line 2: sector 0 is also written by h.hex; two images cannot share a sector, since each "
     "image's sectors are erased whole"},
    {"a raw image from mid-sector into the next",
     {{"a.bin", std::string(100, 'a')}, {"b.bin", "b"}},
     {"a.bin@0x3fc0", "b.bin@1"},
     "b.bin@1: sector 1 is also written by a.bin@0x3fc0; two images cannot share a sector, since each "
     "image's sectors are erased whole"},
    {"a based HEX byte in a raw image's sector",
     {{"a.bin", "a"}, {"h.hex", hexBytesAt({0x08004000})}},
     {"a.bin@1", "h.hex@base=0x08000000"},
     "h.hex@base=0x08000000: line 2: sector 1 is also written by a.bin@1; two images cannot share a "
     "sector, since each image's sectors are erased whole"},
    {"a HEX byte below its base",
     {{"h.hex", hexBytesAt({0x0801FFFF, 0x07FFFFFF})}},
     {"h.hex@base=0x08000000"},
     "h.hex@base=0x08000000: line 4: address 0x7FFFFFF is below the base 0x8000000"},
    {"a HEX byte past the flash above its base",
     {{"h.hex", hexBytesAt({0x08020000})}},
     {"h.hex@base=0x08000000"},
     "h.hex@base=0x08000000: line 2: address 0x8020000 is past the end of the 128 KiB flash at base "
     "0x8000000 (0x8000000 to 0x801FFFF)"},
    {"a whole flash", {{"f.bin", std::string(131072, 'f')}}, {"f.bin@0"}, nullptr},
    {"past the flash's end from an address",
     {{"app.bin", std::string(300, 'x')}},
     {"app.bin@0x1ff00"},
     "app.bin@0x1ff00: 300 bytes do not fit at 0x1ff00 (at most 256 to the end of the flash)"},
    {"a byte more than the flash",
     {{"f.bin", std::string(131073, 'f')}},
     {"f.bin@0"},
     "f.bin@0: 131073 bytes do not fit in sector 0 (at most 131072)"},
    {"too large from its sector",
     {{"app.bin", std::string(20000, 'x')}},
     {"app.bin@7"},
     "app.bin@7: 20000 bytes do not fit in sector 7 (at most 16384)"},
    {"an empty raw image", {{"e.bin", ""}}, {"e.bin@3"}, "e.bin@3: the file is empty"},
    {"a missing file", {}, {"missing.bin@0"}, "missing.bin@0: cannot open: No such file or directory"},
    {"a binary file without a sector",
     {{"app.bin", std::string("\x7f"
                              "ELF\0\1",
                              6)}},
     {"app.bin"},
     "app.bin: not an Intel HEX or S-record file; give a raw image as FILE@SECTOR"},
    {"an empty file without a sector",
     {{"e.img", ""}},
     {"e.img"},
     "e.img: not an Intel HEX or S-record file; give a raw image as FILE@SECTOR"},
    {"a .hex name on other content",
     {{"x.hex", "hello\n"}},
     {"x.hex"},
     "x.hex: not an Intel HEX file: its first record does not begin with ':'"},
    {"a .s37 name on other content",
     {{"x.s37", "S\n"}},
     {"x.s37"},
     "x.s37: not an S-record file: its first record does not begin with 'S' and a digit"},
};

// Runs in the temporary folder's terms: arguments name files there.
std::string inTemporaryFolder(const char* argument) {
    return testFilePath(argument);
}

std::string withoutFolder(std::string text) {
    std::string folder = testFilePath("");
    for (size_t at; (at = text.find(folder)) != std::string::npos;) {
        text.erase(at, folder.size());
    }
    return text;
}

} // namespace

TEST(ImageMap, ImagesNeverShareASector) {
    for (const SharingCase& c : SHARING_CASES) {
        resetImageMap();
        for (const TestFile& file : c.files) {
            writeTestFile(file.name, file.content);
        }
        ImageError error = {};
        for (size_t i = 0; i + 1 < c.arguments.size(); i++) {
            ASSERT_TRUE(addImage(inTemporaryFolder(c.arguments[i]).c_str(), &error))
                << c.name << ": " << error.text;
        }
        std::vector<uint8_t> before(planBytes, planBytes + FLASH_BYTES);
        std::vector<uint8_t> sectorsBefore(sectorOwner, sectorOwner + SECTOR_COUNT);
        uint32_t countBefore = imageCount;
        bool ok = addImage(inTemporaryFolder(c.arguments.back()).c_str(), &error);
        if (c.why == nullptr) {
            EXPECT_TRUE(ok) << c.name << ": " << error.text;
            EXPECT_EQ(imageCount, c.arguments.size()) << c.name;
            continue;
        }
        EXPECT_FALSE(ok) << c.name;
        EXPECT_EQ(withoutFolder(error.text), c.why) << c.name;
        // A refused image leaves the map as it was.
        EXPECT_EQ(imageCount, countBefore) << c.name;
        EXPECT_TRUE(before == std::vector<uint8_t>(planBytes, planBytes + FLASH_BYTES)) << c.name;
        EXPECT_TRUE(sectorsBefore == std::vector<uint8_t>(sectorOwner, sectorOwner + SECTOR_COUNT)) << c.name;
    }
}

// Content decides the format; the name only words the refusal.
TEST(ImageMap, ContentDecidesTheFormat) {
    struct Case {
        const char* name;
        std::string content;
        ImageFormat format;
    };
    const Case cases[] = {
        {"fw.txt", hexRecord(0, 0, "01") + "\n" + HEX_END, IMAGE_FORMAT_INTEL_HEX},
        {"srec.hex", "\n  S104000001FA\nS9030000FC\n", IMAGE_FORMAT_SRECORD},
        {"plain", " \r\n:0100000001FE\n" + HEX_END, IMAGE_FORMAT_INTEL_HEX},
    };
    for (const Case& c : cases) {
        resetImageMap();
        std::string path = writeTestFile(c.name, c.content);
        ImageError error = {};
        ASSERT_TRUE(addImage(path.c_str(), &error)) << c.name << ": " << error.text;
        EXPECT_EQ(images[0].format, c.format) << c.name;
        EXPECT_EQ(planBytes[0], 1) << c.name;
        EXPECT_EQ(images[0].fileBytes, c.content.size()) << c.name;
    }
}

// The record of a raw image: its sectors, its one range and the SHA-256 of
// its bytes; planBytes holds 0xff around it.
TEST(ImageMap, RawImageRecord) {
    resetImageMap();
    std::string path = writeTestFile("abc.bin", std::string("abc") + std::string(16384, 'z'));
    ImageError error = {};
    ASSERT_TRUE(addImage((path + "@5").c_str(), &error)) << error.text;
    const ImageRecord& image = images[0];
    EXPECT_EQ(image.format, IMAGE_FORMAT_RAW);
    EXPECT_EQ(image.startSector, 5u);
    EXPECT_EQ(image.sectorMask, 0x60);
    EXPECT_EQ(image.definedBytes, 16387u);
    ASSERT_EQ(image.rangeCount, 1u);
    EXPECT_EQ(imageRanges[image.rangeFirst].address, 5 * 16384u);
    EXPECT_EQ(imageRanges[image.rangeFirst].length, 16387u);
    EXPECT_EQ(planBytes[5 * 16384 - 1], 0xff);
    EXPECT_EQ(planBytes[5 * 16384], 'a');
    EXPECT_EQ(planBytes[6 * 16384 + 2], 'z');
    EXPECT_EQ(planBytes[6 * 16384 + 3], 0xff);
    EXPECT_STREQ(image.fileName, path.c_str());

    resetImageMap();
    path = writeTestFile("abc.bin", "abc");
    ASSERT_TRUE(addImage((path + "@0").c_str(), &error)) << error.text;
    char hex[SHA256_HEX_CHARS];
    sha256Hex(images[0].sha256, hex);
    EXPECT_STREQ(hex, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

// Raw images at any address and HEX or S-record files linked elsewhere land
// at the flash address meant, 0xff around them, owning the sectors touched.
TEST(ImageMap, ImagesLandWhereTheirPlacementSays) {
    struct Case {
        const char* name;
        std::string content;
        const char* placement;
        uint32_t flashAddress;
        uint8_t sectorMask;
    };
    const std::string bytes = "\x01\x02\x03";
    const Case cases[] = {
        {"a.bin", bytes, "@0x4001", 0x4001, 0x02},
        {"a.bin", bytes, "@0x7ffe", 0x7ffe, 0x06},
        {"a.bin", bytes, "@0x1fffd", 0x1fffd, 0x80},
        {"h.hex", hexRecord(4, 0, "0800") + "\n" + hexRecord(0, 0x7ffe, "010203") + "\n" + HEX_END,
         "@base=0x08000000", 0x7ffe, 0x06},
        {"s.srec", "S30808010000010203E8\nS70500000000FA\n", "@base=0x08000000", 0x10000, 0x10},
    };
    for (const Case& c : cases) {
        resetImageMap();
        std::string argument = writeTestFile(c.name, c.content) + c.placement;
        ImageError error = {};
        ASSERT_TRUE(addImage(argument.c_str(), &error)) << argument << ": " << error.text;
        std::string expected(FLASH_BYTES, '\xff');
        expected.replace(c.flashAddress, bytes.size(), bytes);
        EXPECT_TRUE(std::string(planBytes, planBytes + FLASH_BYTES) == expected) << argument;
        EXPECT_EQ(images[0].sectorMask, c.sectorMask) << argument;
    }
}

// A file of /proc reports size 0 and holds more: what is read decides, and
// the bound still holds.
TEST(ReadWholeFile, TrustsTheBytesNotTheReportedSize) {
    static uint8_t buffer[65536 + 1];
    uint32_t length = 0;
    uint64_t reported = 0;
    ImageError error = {};
    const char* path = "/proc/self/status";
    ASSERT_EQ(readWholeFile(path, buffer, 65536, &length, &reported, path, &error), READ_FILE_OK)
        << error.text;
    EXPECT_EQ(reported, 0u);
    ASSERT_GT(length, 16u);
    EXPECT_EQ(memcmp(buffer, "Name:", 5), 0);
    EXPECT_EQ(readWholeFile(path, buffer, 16, &length, &reported, path, &error), READ_FILE_TOO_LARGE);
    EXPECT_EQ(length, 17u);

    resetImageMap();
    ASSERT_TRUE(addImage("/proc/self/status@7", &error)) << error.text;
    EXPECT_GT(images[0].definedBytes, 16u);
}

TEST(ReadWholeFile, ExactBoundAndFolders) {
    static uint8_t buffer[100 + 1];
    uint32_t length = 0;
    uint64_t reported = 0;
    ImageError error = {};
    std::string path = writeTestFile("hundred", std::string(100, 'h'));
    EXPECT_EQ(readWholeFile(path.c_str(), buffer, 100, &length, &reported, "h", &error), READ_FILE_OK);
    EXPECT_EQ(length, 100u);
    EXPECT_EQ(readWholeFile(path.c_str(), buffer, 99, &length, &reported, "h", &error), READ_FILE_TOO_LARGE);
    EXPECT_EQ(reported, 100u);
    std::string folder = testFilePath("");
    folder.resize(folder.rfind('/') + 1);
    EXPECT_EQ(readWholeFile(folder.c_str(), buffer, 100, &length, &reported, "dir", &error),
              READ_FILE_FAILED);
    EXPECT_STREQ(error.text, "dir: is a folder, not a file");
}

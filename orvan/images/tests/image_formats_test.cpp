// Intel HEX and S-record files parsed into the map: what each record type
// places where, and every refusal with its line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "image_test_files.h"
#include "orvan/images/image_map.h"

namespace {

struct Placed {
    uint32_t address;
    const char* bytesHex;
};

struct GoodCase {
    const char* name;
    std::vector<std::string> lines;
    const char* lineEnd;
    // The defined bytes, as ranges already merged and sorted.
    std::vector<Placed> ranges;
};

struct BadCase {
    const char* name;
    std::vector<std::string> lines;
    // The whole message after the file name.
    const char* why;
};

// A file's text from its lines; "" stays a blank line.
std::string joinLines(const std::vector<std::string>& lines, const char* lineEnd) {
    std::string text;
    for (const std::string& line : lines) {
        text += line + lineEnd;
    }
    return text;
}

void expectPlaced(const std::string& what, const std::vector<Placed>& ranges) {
    ASSERT_EQ(imageCount, 1u) << what;
    const ImageRecord& image = images[0];
    ASSERT_EQ(image.rangeCount, ranges.size()) << what;
    uint32_t defined = 0;
    uint32_t mask = 0;
    for (size_t r = 0; r < ranges.size(); r++) {
        std::vector<uint8_t> bytes = bytesOfHex(ranges[r].bytesHex);
        const ImageRange& range = imageRanges[image.rangeFirst + r];
        EXPECT_EQ(range.address, ranges[r].address) << what << " range " << r;
        EXPECT_EQ(range.length, bytes.size()) << what << " range " << r;
        for (size_t i = 0; i < bytes.size(); i++) {
            EXPECT_EQ(planBytes[ranges[r].address + i], bytes[i]) << what << " at " << ranges[r].address + i;
            mask |= 1u << ((ranges[r].address + i) / SECTOR_SIZE);
        }
        defined += static_cast<uint32_t>(bytes.size());
    }
    EXPECT_EQ(image.definedBytes, defined) << what;
    EXPECT_EQ(image.sectorMask, mask) << what;
    uint32_t nonBlank = 0;
    for (uint32_t at = 0; at < FLASH_BYTES; at++) {
        nonBlank += planOwner[at] != NO_IMAGE;
    }
    EXPECT_EQ(nonBlank, defined) << what << ": bytes placed outside the ranges";
}

void runGood(const GoodCase& c, const char* extension) {
    resetImageMap();
    std::string path = writeTestFile(std::string("good") + extension, joinLines(c.lines, c.lineEnd));
    ImageError error = {};
    ASSERT_TRUE(addImage(path.c_str(), &error)) << c.name << ": " << error.text;
    expectPlaced(c.name, c.ranges);
}

void runBad(const BadCase& c, const char* extension) {
    resetImageMap();
    std::string path = writeTestFile(std::string("bad") + extension, joinLines(c.lines, "\n"));
    ImageError error = {};
    EXPECT_FALSE(addImage(path.c_str(), &error)) << c.name;
    EXPECT_EQ(std::string(error.text), path + ": " + c.why) << c.name;
    EXPECT_EQ(imageCount, 0u) << c.name;
    EXPECT_EQ(sectorOwner[0], NO_IMAGE) << c.name << ": a refused file left its bytes";
}

const std::string HEX_END = ":00000001FF";

const GoodCase HEX_GOOD[] = {
    {"a published data record",
     {":10010000214601360121470136007EFE09D2190140", HEX_END},
     "\n",
     {{0x100, "214601360121470136007EFE09D21901"}}},
    {"extended linear address",
     {hexRecord(4, 0, "0001"), hexRecord(0, 0x0100, "A1A2"), HEX_END},
     "\n",
     {{0x10100, "A1A2"}}},
    {"extended segment address",
     {hexRecord(2, 0, "1000"), hexRecord(0, 0x0010, "B1"), HEX_END},
     "\n",
     {{0x10010, "B1"}}},
    {"a segment offset wraps within its segment",
     {hexRecord(2, 0, "1000"), hexRecord(0, 0xFFFE, "01020304"), HEX_END},
     "\n",
     {{0x10000, "0304"}, {0x1FFFE, "0102"}}},
    {"a linear offset carries into the next 64 KiB",
     {hexRecord(4, 0, "0000"), hexRecord(0, 0xFFFE, "01020304"), HEX_END},
     "\n",
     {{0xFFFE, "01020304"}}},
    {"a linear base ends segment addressing",
     {hexRecord(2, 0, "1000"), hexRecord(4, 0, "0000"), hexRecord(0, 0x0020, "C1"), HEX_END},
     "\n",
     {{0x20, "C1"}}},
    {"start addresses are accepted and change nothing",
     {hexRecord(3, 0, "12345678"), hexRecord(0, 0, "AA"), hexRecord(5, 0, "00010000"), HEX_END},
     "\n",
     {{0, "AA"}}},
    {"records out of order merge",
     {hexRecord(0, 0x24, "0405"), hexRecord(0, 0x20, "00010203"), HEX_END},
     "\n",
     {{0x20, "000102030405"}}},
    {"gaps stay undefined",
     {hexRecord(0, 0x0, "11"), hexRecord(0, 0x2, "22"), HEX_END},
     "\n",
     {{0, "11"}, {2, "22"}}},
    {"CRLF, blank lines and trailing blanks",
     {"", hexRecord(0, 0x10, "FF00") + " \t", "", HEX_END, ""},
     "\r\n",
     {{0x10, "FF00"}}},
    {"lower-case digits", {":0200000012ab41", HEX_END}, "\n", {{0, "12AB"}}},
    {"an empty data record",
     {hexRecord(0, 0x40, ""), hexRecord(0, 0x41, "99"), HEX_END},
     "\n",
     {{0x41, "99"}}},
    {"the last byte of the flash",
     {hexRecord(4, 0, "0001"), hexRecord(0, 0xFFFF, "5A"), HEX_END},
     "\n",
     {{0x1FFFF, "5A"}}},
    {"across a sector border", {hexRecord(0, 0x3FFF, "0102"), HEX_END}, "\n", {{0x3FFF, "0102"}}},
};

const BadCase HEX_BAD[] = {
    {"bad checksum",
     {hexRecord(0, 0, "00"), ":0100100001EF", HEX_END},
     "line 2: bad checksum 0xEF (the record's bytes need 0xEE)"},
    {"not hex", {":01000000G0FF", HEX_END}, "line 1: 'G' at column 10 is not a hex digit"},
    {"not hex after an indent", {"  :01000000G0FF", HEX_END}, "line 1: 'G' at column 12 is not a hex digit"},
    {"a control character",
     {":01000000\x01"
      "0FF",
      HEX_END},
     "line 1: byte 0x01 at column 10 is not a hex digit"},
    {"unknown type",
     {hexRecord(0, 0, "00"), hexRecord(6, 0, "00"), HEX_END},
     "line 2: unknown record type 0x06"},
    {"length byte too large",
     {":04000000010203F3", HEX_END},
     "line 1: the record's length byte says 4 data bytes, the line holds 3"},
    {"length byte too small",
     {":0100000001020304F9", HEX_END},
     "line 1: the record's length byte says 1 data bytes, the line holds 4"},
    {"shorter than any record",
     {":000000", HEX_END},
     "line 1: 3 bytes, fewer than the 5 of the shortest record"},
    {"odd digits", {":0100000000FF0", HEX_END}, "line 1: an odd number of hex digits (13)"},
    {"an address record of the wrong size",
     {hexRecord(4, 0, "000100"), HEX_END},
     "line 1: a type 04 record holds 2 data bytes, not 3"},
    {"an end record with data",
     {hexRecord(0, 0, "00"), hexRecord(1, 0, "00")},
     "line 2: a type 01 record holds 0 data bytes, not 1"},
    {"past 128 KiB",
     {hexRecord(4, 0, "0002"), hexRecord(0, 0, "00"), HEX_END},
     "line 2: address 0x20000 is past the end of the 128 KiB flash (0x20000)"},
    {"running past 128 KiB",
     {hexRecord(4, 0, "0001"), hexRecord(0, 0xFFFE, "010203"), HEX_END},
     "line 2: address 0x20000 is past the end of the 128 KiB flash (0x20000)"},
    {"past 128 KiB by a segment",
     {hexRecord(2, 0, "F000"), hexRecord(0, 0, "00"), HEX_END},
     "line 2: address 0xF0000 is past the end of the 128 KiB flash (0x20000)"},
    {"overlapping records",
     {hexRecord(0, 0x10, "0102"), hexRecord(0, 0x20, "03"), hexRecord(0, 0x11, "04"), HEX_END},
     "line 3: address 0x00011 is defined twice (an earlier record defines it)"},
    {"no end record",
     {hexRecord(0, 0, "00"), ""},
     "line 2: the file ends without an end-of-file record (type 01)"},
    {"a record after the end",
     {hexRecord(0, 0, "00"), HEX_END, "", hexRecord(0, 1, "00")},
     "line 4: a record after the end-of-file record"},
    {"a line without ':'",
     {hexRecord(0, 0, "00"), "0100000000FF", HEX_END},
     "line 2: a record must begin with ':'"},
    {"only an end record", {HEX_END}, "the file has no data records"},
};

const GoodCase SRECORD_GOOD[] = {
    {"S0 header, S1 data, S9",
     {srecRecord('0', 0, 2, "68656C6C6F"), srecRecord('1', 0x1234, 2, "0102"), srecRecord('9', 0, 2, "")},
     "\n",
     {{0x1234, "0102"}}},
    {"S2 24-bit data and S8",
     {srecRecord('2', 0x010000, 3, "A0A1"), srecRecord('8', 0, 3, "")},
     "\n",
     {{0x10000, "A0A1"}}},
    {"S3 32-bit data and S7",
     {srecRecord('3', 0x0001FFFE, 4, "B0B1"), srecRecord('7', 0, 4, "")},
     "\n",
     {{0x1FFFE, "B0B1"}}},
    {"S5 count agrees",
     {srecRecord('1', 0, 2, "01"), srecRecord('1', 1, 2, "02"), srecRecord('5', 2, 2, ""),
      srecRecord('9', 0, 2, "")},
     "\n",
     {{0, "0102"}}},
    {"S6 count agrees",
     {srecRecord('1', 8, 2, "01"), srecRecord('6', 1, 3, ""), srecRecord('9', 0, 2, "")},
     "\n",
     {{8, "01"}}},
    {"out of order with a gap",
     {srecRecord('1', 0x20, 2, "03"), srecRecord('1', 0x10, 2, "0102"), srecRecord('1', 0x12, 2, "7F"),
      srecRecord('9', 0, 2, "")},
     "\n",
     {{0x10, "01027F"}, {0x20, "03"}}},
    {"ends on a matching S5, as srec_cat writes without a start address",
     {srecRecord('0', 0, 2, "6869"), srecRecord('2', 0x4000, 3, "0102"), srecRecord('2', 0x4002, 3, "03"),
      srecRecord('5', 2, 2, "")},
     "\n",
     {{0x4000, "010203"}}},
    {"CRLF and blank lines",
     {"", srecRecord('1', 0x4000, 2, "EE"), "", srecRecord('9', 0, 2, ""), ""},
     "\r\n",
     {{0x4000, "EE"}}},
};

const BadCase SRECORD_BAD[] = {
    {"bad checksum",
     {"S1040000017A", srecRecord('9', 0, 2, "")},
     "line 1: bad checksum 0x7A (the record's bytes need 0xFA)"},
    {"not hex", {"S10400000Z7A", srecRecord('9', 0, 2, "")}, "line 1: 'Z' at column 10 is not a hex digit"},
    {"reserved S4",
     {srecRecord('1', 0, 2, "00"), srecRecord('4', 0, 2, ""), srecRecord('9', 0, 2, "")},
     "line 2: unknown record type S4"},
    {"a letter for a type", {srecRecord('1', 0, 2, "00"), "SX030000FC"}, "line 2: unknown record type SX"},
    {"count byte too large",
     {"S1050000017A", srecRecord('9', 0, 2, "")},
     "line 1: the record's count byte says 5 bytes follow, the line holds 4"},
    {"too short for its address",
     {"S3030000FC", srecRecord('7', 0, 4, "")},
     "line 1: 4 bytes, too few for a 4-byte address and a checksum"},
    {"past 128 KiB",
     {srecRecord('2', 0x020000, 3, "00"), srecRecord('8', 0, 3, "")},
     "line 1: address 0x20000 is past the end of the 128 KiB flash (0x20000)"},
    {"a 32-bit address far past",
     {srecRecord('3', 0xFFFFFFFF, 4, "00"), srecRecord('7', 0, 4, "")},
     "line 1: address 0xFFFFFFFF is past the end of the 128 KiB flash (0x20000)"},
    {"overlapping records",
     {srecRecord('1', 0x10, 2, "0102"), srecRecord('1', 0x0F, 2, "0304"), srecRecord('9', 0, 2, "")},
     "line 2: address 0x00010 is defined twice (an earlier record defines it)"},
    {"count disagrees",
     {srecRecord('1', 0, 2, "01"), srecRecord('1', 1, 2, "02"), srecRecord('5', 3, 2, ""),
      srecRecord('9', 0, 2, "")},
     "line 3: the count record says 3 data records, 2 come before it"},
    {"neither termination nor count",
     {srecRecord('1', 0, 2, "01")},
     "line 1: the file ends without a termination record (S7, S8 or S9) or a count record (S5 or S6) "
     "after its last data record"},
    {"cut off after its count record",
     {srecRecord('1', 0, 2, "01"), srecRecord('5', 1, 2, ""), srecRecord('1', 1, 2, "02")},
     "line 3: the file ends without a termination record (S7, S8 or S9) or a count record (S5 or S6) "
     "after its last data record"},
    {"a record after the termination",
     {srecRecord('1', 0, 2, "01"), srecRecord('9', 0, 2, ""), srecRecord('1', 1, 2, "02")},
     "line 3: a record after the termination record"},
};

} // namespace

TEST(IntelHex, RecordsPlaceTheirBytes) {
    for (const GoodCase& c : HEX_GOOD) {
        runGood(c, ".hex");
        EXPECT_EQ(images[0].format, IMAGE_FORMAT_INTEL_HEX) << c.name;
    }
}

TEST(IntelHex, ErrorsNameTheLine) {
    for (const BadCase& c : HEX_BAD) {
        runBad(c, ".hex");
    }
}

TEST(Srecord, RecordsPlaceTheirBytes) {
    for (const GoodCase& c : SRECORD_GOOD) {
        runGood(c, ".s19");
        EXPECT_EQ(images[0].format, IMAGE_FORMAT_SRECORD) << c.name;
    }
}

TEST(Srecord, ErrorsNameTheLine) {
    for (const BadCase& c : SRECORD_BAD) {
        runBad(c, ".srec");
    }
}

// Reading recipes: each bad recipe gives exactly its problem lines, a good
// one gives its values, and pinning changes nothing but the hashes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "image_test_files.h"
#include "orvan/images/sha256.h"
#include "orvan/recipe/recipe.h"

namespace {

const std::string BOOT_BYTES = "boot image bytes";
const std::string TAIL_BYTES(16, '\x11');
const std::string APP_HEX = hexRecord(0, 0x4000, "0102030405") + "\n" + hexRecord(1, 0, "") + "\n";

std::string hashOf(const std::string& bytes) {
    uint8_t digest[SHA256_DIGEST_BYTES];
    char hex[SHA256_HEX_CHARS];
    sha256Of(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), digest);
    sha256Hex(digest, hex);
    return hex;
}

std::string withHashes(std::string text) {
    const std::pair<std::string, std::string> hashes[] = {
        {"@BOOT@", hashOf(BOOT_BYTES)}, {"@TAIL@", hashOf(TAIL_BYTES)}, {"@APP@", hashOf(APP_HEX)}};
    for (const auto& [mark, hash] : hashes) {
        for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark)) {
            text.replace(at, mark.size(), hash);
        }
    }
    return text;
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string readFile(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

// A folder of the case's own with the images, the table and the recipe.
std::string writeRecipe(const std::string& name, const std::string& recipe, const std::string& csv = "") {
    std::string folder = testFilePath(name);
    std::filesystem::create_directories(folder);
    writeFile(folder + "/boot.bin", BOOT_BYTES);
    writeFile(folder + "/tail.bin", TAIL_BYTES);
    writeFile(folder + "/app.hex", APP_HEX);
    writeFile(folder + "/cal.csv", csv.empty() ? "board_id,gain,label\nB1,100,first\n" : csv);
    writeFile(folder + "/recipe.toml", withHashes(recipe));
    return folder + "/recipe.toml";
}

// Lines 1 to 5: a name and one image, which writes sector 7.
const std::string TAIL_UNPINNED = "name = \"r\"\n[[image]]\nfile = \"tail.bin\"\naddress = 0x1c000\n";
const std::string TAIL_IMAGE = "[[image]]\nfile = \"tail.bin\"\naddress = 0x1c000\nsha256 = \"@TAIL@\"\n";
const std::string HEAD = "name = \"r\"\n" + TAIL_IMAGE;
const std::string PRODUCTION = "[production]\ndatabase = \"p.sqlite\"\n";
const std::string SERIAL = "[serial]\naddress = 0x1ff00\nformat = \"text\"\nfirst = 1\nlast = 9\npattern = ";
const std::string TABLE = "[table]\nfile = \"cal.csv\"\nkey = \"board_id\"\n"
                          "columns = [{ column = \"gain\", address = 0x1ff40, format = \"u32le\" },\n"
                          "{ column = \"label\", address = 0x1ff50, format = \"text\", length = 5 }]\n";

struct BadRecipe {
    const char* what;
    std::string text;
    std::string csv;
    // Each "LINE: WHAT" after the recipe's path, or after the table's
    // ("cal.csv:"); @DIR@ is the recipe's folder.
    std::vector<std::string> problems;
};

const BadRecipe BAD_RECIPES[] = {
    {"TOML syntax", "name = \"r\"\n[[image]\n", "", {"2: ..."}},
    {"no name",
     "[[image]]\nfile = \"tail.bin\"\naddress = 0x1c000\nsha256 = \"@TAIL@\"\n",
     "",
     {"1: missing key 'name'"}},
    {"no image", "name = \"r\"\n", "", {"1: missing key 'image': a recipe writes at least one [[image]]"}},
    {"unknown keys",
     HEAD + "sectr = 1\n[serail]\n",
     "",
     {"7: unknown key 'serail'", "6: unknown key 'sectr' in [[image]]"}},
    {"every top-level value wrong at once",
     "divisor = 70000\nmode = \"fast\"\nname = 3\n" + TAIL_IMAGE,
     "",
     {"3: name: a string is expected, not an integer", "1: divisor: 70000 is out of range (0 to 65535)",
      "2: mode: 'fast' is none of \"default\", \"changed\", \"full\""}},
    {"no sha256", TAIL_UNPINNED, "", {"2: tail.bin: no sha256; pin the recipe to record the image's"}},
    {"sha256 in upper case",
     TAIL_UNPINNED + "sha256 = \"" + std::string(64, 'A') + "\"\n",
     "",
     {"5: [[image]] sha256: '" + std::string(64, 'A') + "' is not 64 lower-case hex digits"}},
    {"changed image",
     TAIL_UNPINNED + "sha256 = \"" + std::string(64, '0') + "\"\n",
     "",
     {"2: tail.bin has changed since the recipe was pinned: SHA-256 " + hashOf(TAIL_BYTES) + ", pinned " +
      std::string(64, '0')}},
    {"raw image without a place",
     "name = \"r\"\n[[image]]\nfile = \"tail.bin\"\nsha256 = \"@TAIL@\"\n",
     "",
     {"2: tail.bin: a raw image needs sector = N or address = 0xADDRESS"}},
    {"sector and address", HEAD + "sector = 7\n", "", {"2: tail.bin: give sector or address, not both"}},
    {"HEX file with a sector",
     HEAD + "[[image]]\nfile = \"app.hex\"\nsector = 1\nsha256 = \"@APP@\"\n",
     "",
     {"6: app.hex: an Intel HEX or S-record file carries its own addresses; give it without sector and "
      "address "
      "(with base = 0xADDRESS when it is linked at another address)"}},
    {"sector out of range",
     HEAD + "[[image]]\nfile = \"boot.bin\"\nsector = 8\nsha256 = \"@BOOT@\"\n",
     "",
     {"8: [[image]] sector: 8 is out of range (0 to 7)"}},
    {"two images in one sector",
     HEAD + "[[image]]\nfile = \"boot.bin\"\nsector = 7\nsha256 = \"@BOOT@\"\n",
     "",
     {"6: @DIR@boot.bin@7: sector 7 is also written by @DIR@tail.bin@0x1c000; two images cannot share a "
      "sector, "
      "since each image's sectors are erased whole"}},
    {"pattern without a conversion",
     HEAD + SERIAL + "\"OR-\"\n" + PRODUCTION,
     "",
     {"11: [serial] pattern 'OR-': no conversion (%u, %d, %x or %X) for the number"}},
    {"pattern with two conversions",
     HEAD + SERIAL + "\"%u-%u\"\n" + PRODUCTION,
     "",
     {"11: [serial] pattern '%u-%u': more than one conversion; a literal % is written %%"}},
    {"pattern with %s",
     HEAD + SERIAL + "\"%s\"\n" + PRODUCTION,
     "",
     {"11: [serial] pattern '%s': '%s' is not a conversion %u, %d, %x or %X (with an optional 0 flag and "
      "width)"}},
    {"pattern too wide",
     HEAD + SERIAL + "\"%021u\"\n" + PRODUCTION,
     "",
     {"11: [serial] pattern '%021u': the width of its conversion is more than 20"}},
    {"u32 serial past 32 bits",
     HEAD + "[serial]\naddress = 0x1ff00\nformat = \"u32be\"\nfirst = 0\nlast = 0x100000000\n" + PRODUCTION,
     "",
     {"10: [serial] last: 4294967296 does not fit in 4 bytes (at most 4294967295)"}},
    {"serial first after last",
     HEAD + "[serial]\naddress = 0x1ff00\nformat = \"u32le\"\nfirst = 5\nlast = 4\n" + PRODUCTION,
     "",
     {"9: [serial]: first 5 is greater than last 4"}},
    {"serial in a sector no image writes",
     HEAD + "[serial]\naddress = 0x8000\nformat = \"u32le\"\nfirst = 0\nlast = 4\n" + PRODUCTION,
     "",
     {"7: serial (0x08000-0x08003) lies in sector 2, which no image of the recipe writes"}},
    {"serial over image bytes",
     HEAD + "[serial]\naddress = 0x1c00e\nformat = \"u32le\"\nfirst = 0\nlast = 4\n" + PRODUCTION,
     "",
     {"7: serial (0x1c00e-0x1c011) covers bytes of tail.bin that are not 0xff, the first at 0x1c00e"}},
    {"serial past the flash",
     HEAD + "[serial]\naddress = 0x1fffe\nformat = \"u32le\"\nfirst = 0\nlast = 4\n" + PRODUCTION,
     "",
     {"7: serial (0x1fffe-0x20001) runs past the end of the 128 KiB flash"}},
    {"mac with a bad last",
     HEAD + SERIAL +
         "\"OR-%u\"\n[mac]\naddress = 0x1ff20\nfirst = \"02:00:00:00:00:00\"\nlast = \"02:00:00:00:00\"\n" +
         PRODUCTION,
     "",
     {"15: [mac] last: '02:00:00:00:00' is not a MAC address as 02:00:00:00:00:00"}},
    {"mac overlapping the serial",
     HEAD + SERIAL +
         "\"OR-%u\"\n[mac]\naddress = 0x1ff03\nfirst = \"02:00:00:00:00:00\"\nlast = "
         "\"02:00:00:00:00:ff\"\n" +
         PRODUCTION,
     "",
     {"13: mac (0x1ff03-0x1ff08) overlaps serial (0x1ff00-0x1ff03)"}},
    {"per-board values without a database",
     HEAD + SERIAL + "\"%u\"\n",
     "",
     {"1: missing [production]: a database keeps the values handed out to boards"}},
    {"table file missing",
     HEAD + "[table]\nfile = \"none.csv\"\nkey = \"k\"\ncolumns = []\n" + PRODUCTION,
     "",
     {"7: [table] file: none.csv: cannot open: No such file or directory"}},
    {"table cells",
     HEAD + TABLE + PRODUCTION,
     "board_id,gain,label\nB1,0x100000000,ok\n,7,toolong\n\"B1\",-1,\"a\"\"b\"\n",
     {"cal.csv:3: the key board_id is empty", "cal.csv:4: the key board_id 'B1' is also the key of line 2",
      "cal.csv:2: gain '0x100000000' is not a number from 0 to 4294967295 (or 0x and hex digits)",
      "cal.csv:4: gain '-1' is not a number from 0 to 4294967295 (or 0x and hex digits)",
      "cal.csv:3: label 'toolong' is 7 bytes, more than its 5"}},
    {"table columns missing from the file",
     HEAD + TABLE + PRODUCTION,
     "id,gain\nB1,1\n",
     {"8: [table] key: no column board_id in cal.csv", "10: [table] columns: no column label in cal.csv"}},
    {"table row of another width",
     HEAD + TABLE + PRODUCTION,
     "board_id,gain,label\nB1,1\n",
     {"cal.csv:2: 2 fields, where the header line has 3"}},
    {"table quote never closed",
     HEAD + TABLE + PRODUCTION,
     "board_id,gain,label\nB1,1,\"open\n\n",
     {"cal.csv:2: a quoted field is never closed"}},
    {"table quote inside a field",
     HEAD + TABLE + PRODUCTION,
     "board_id,gain,label\nB1,1,a\"b\n",
     {"cal.csv:2: a double quote inside a field that does not start with one"}},
    {"slots named twice",
     HEAD + "[[slot]]\nlocation = 0x1101\n[[slot]]\nlocation = 0x1102\nname = \"0x1101\"\n"
            "[[slot]]\nlocation = 0x1102\n",
     "",
     {"8: [[slot]] name '0x1101' is also the slot's at line 6",
      "11: [[slot]] location 0x1102 is also the slot's at line 8"}},
};

// A trailing "..." in expected matches any ending.
bool matches(const std::string& problem, const std::string& expected) {
    size_t dots = expected.rfind("...");
    if (dots == std::string::npos || dots + 3 != expected.size()) {
        return problem == expected;
    }
    return problem.compare(0, dots, expected, 0, dots) == 0;
}

TEST(RecipeRead, EachBadRecipeGivesExactlyItsProblems) {
    int index = 0;
    for (const BadRecipe& bad : BAD_RECIPES) {
        SCOPED_TRACE(bad.what);
        std::string path = writeRecipe("bad" + std::to_string(index++), bad.text, bad.csv);
        std::string folder = path.substr(0, path.size() - std::string("recipe.toml").size());
        Recipe recipe;
        std::vector<std::string> problems;
        EXPECT_FALSE(readRecipe(path, &recipe, &problems));
        ASSERT_EQ(problems.size(), bad.problems.size()) << ::testing::PrintToString(problems);
        for (size_t i = 0; i < problems.size(); i++) {
            bool inTable = bad.problems[i].compare(0, 8, "cal.csv:") == 0;
            std::string expected =
                inTable ? folder + bad.problems[i] : path + ":" + withHashes(bad.problems[i]);
            for (size_t at = expected.find("@DIR@"); at != std::string::npos; at = expected.find("@DIR@")) {
                expected.replace(at, 5, folder);
            }
            EXPECT_TRUE(matches(problems[i], expected)) << problems[i] << "\nexpected " << expected;
        }
    }
}

const std::string GOOD = "name = \"sensor board\"\ndivisor = 3\nmode = \"changed\"\n"
                         "[[image]]\nfile = \"boot.bin\"\nsector = 0\nsha256 = \"@BOOT@\"\n"
                         "[[image]]\nfile = \"app.hex\"\nsha256 = \"@APP@\"\n" +
                         TAIL_IMAGE + SERIAL + "\"OR-%04u\"\n" + TABLE + PRODUCTION + "station = \"st2\"\n" +
                         "[[slot]]\nlocation = 0x1101\n";

TEST(RecipeRead, AGoodRecipeGivesItsValuesAndArguments) {
    std::string path =
        writeRecipe("good", GOOD, "board_id,gain,label\r\nB1,100,\"a,\"\"b\"\r\nB2,0x10,\"\"\r\n");
    std::string folder = path.substr(0, path.rfind('/'));
    Recipe recipe;
    std::vector<std::string> problems;
    ASSERT_TRUE(readRecipe(path, &recipe, &problems)) << ::testing::PrintToString(problems);
    EXPECT_EQ(recipe.sha256, hashOf(readFile(path)));
    EXPECT_EQ(recipe.divisor, 3u);
    EXPECT_EQ(recipe.mode, RECIPE_MODE_CHANGED);
    ASSERT_EQ(recipe.images.size(), 3u);
    EXPECT_EQ(recipe.images[0].argument, folder + "/boot.bin@0");
    EXPECT_EQ(recipe.images[1].argument, folder + "/app.hex");
    EXPECT_EQ(recipe.images[2].argument, folder + "/tail.bin@0x1c000");
    EXPECT_EQ(recipe.database, folder + "/p.sqlite");
    ASSERT_EQ(recipe.slots.size(), 1u);
    EXPECT_EQ(recipe.slots[0].name, "0x1101");
    std::vector<std::vector<std::string>> rows = {{"B1", "100", "a,\"b"}, {"B2", "0x10", ""}};
    EXPECT_EQ(recipe.table.rows, rows);
    std::vector<ValueRange> ranges = recipeRanges(recipe);
    ASSERT_EQ(ranges.size(), 2u);
    EXPECT_EQ(ranges[0].pool + " " + std::to_string(ranges[0].first) + " " + std::to_string(ranges[0].last),
              "serial 1 9");
    EXPECT_EQ(ranges[1].pool + " " + std::to_string(ranges[1].first) + " " + std::to_string(ranges[1].last),
              "table:cal.csv 0 1");
    EXPECT_EQ(valueTexts(recipe, {7, 1}), (std::vector<std::string>{"OR-0007", "B2"}));
}

// The author's layout, a stale hash and an image without one: pinning
// changes the hash values and adds the missing line, nothing else.
TEST(RecipePin, KeepsEverythingButTheHashes) {
    const struct {
        const char* what;
        std::string before;
        std::string after;
    } CASES[] = {
        {"LF",
         "# line\nname = \"r\"   # kept\n\n[[image]]\n  file   =  \"boot.bin\"  # boot\n  sector = 0\n"
         "[[image]]\n  sha256='old' # app\n  file = \"app.hex\"",
         "# line\nname = \"r\"   # kept\n\n[[image]]\n  file   =  \"boot.bin\"  # boot\n  sha256 = "
         "\"@BOOT@\"\n"
         "  sector = 0\n[[image]]\n  sha256=\"@APP@\" # app\n  file = \"app.hex\""},
        {"CRLF", "name = \"r\"\r\n[[image]]\r\nfile = \"tail.bin\"\r\naddress = 0x1c000\r\n",
         "name = \"r\"\r\n[[image]]\r\nfile = \"tail.bin\"\r\nsha256 = \"@TAIL@\"\r\naddress = 0x1c000\r\n"},
    };
    for (const auto& pin : CASES) {
        SCOPED_TRACE(pin.what);
        std::string path = writeRecipe(std::string("pin-") + pin.what, pin.before);
        std::vector<std::string> problems;
        ASSERT_TRUE(pinRecipe(path, &problems)) << ::testing::PrintToString(problems);
        EXPECT_EQ(readFile(path), withHashes(pin.after));
        Recipe recipe;
        EXPECT_TRUE(readRecipe(path, &recipe, &problems)) << ::testing::PrintToString(problems);
    }
}

TEST(RecipePin, RefusesARecipeWhoseImagesDoNotLoadAndLeavesItAlone) {
    std::string text = "name = \"r\"\n[[image]]\nfile = \"gone.bin\"\nsector = 1\n";
    std::string path = writeRecipe("pin-missing", text);
    std::vector<std::string> problems;
    EXPECT_FALSE(pinRecipe(path, &problems));
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("recipe.toml:2: "), std::string::npos) << problems[0];
    EXPECT_EQ(readFile(path), text);
}

TEST(RecipePin, AnImageChangedAfterPinningIsRefused) {
    std::string path =
        writeRecipe("pin-changed", "name = \"r\"\n[[image]]\nfile = \"boot.bin\"\nsector = 0\n");
    std::vector<std::string> problems;
    ASSERT_TRUE(pinRecipe(path, &problems));
    writeFile(path.substr(0, path.rfind('/')) + "/boot.bin", "boot image bytez");
    Recipe recipe;
    EXPECT_FALSE(readRecipe(path, &recipe, &problems));
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0], path + ":2: boot.bin has changed since the recipe was pinned: SHA-256 " +
                               hashOf("boot image bytez") + ", pinned " + hashOf(BOOT_BYTES));
}

} // namespace

// Reading a recipe: the file parsed as TOML, each section checked, the
// images loaded into the image map and compared with their pinned SHA-256s,
// and the per-board fields placed against them.
#include <stdio.h>
#include <string.h>

#include "core/platform/platform.h"
#include "orvan/images/image_formats.h"
#include "orvan/images/image_map.h"
#include "orvan/recipe/recipe_internal.h"

const uint32_t DEFAULT_DIVISOR = 8;
const int64_t MAX_DIVISOR = 65535;
const int64_t MAX_SLOT_LOCATION = 0xFFFFFFFF;
const int64_t MAX_BASE = 0xFFFFFFFF;
const uint32_t HOST_NAME_CHARS = 256;
// Enough of a file's start to tell records from raw bytes by their first character.
const uint32_t SNIFF_BYTES = 4096;
static const char* const DATABASE_URL_PREFIXES[] = {"postgresql://", "postgres://"};

static void readTopKeys(ProblemList* list, const toml::table& top, Recipe* recipe) {
    refuseUnknownKeys(list, top, "",
                      {"name", "divisor", "mode", "image", "serial", "mac", "table", "production", "slot"});
    if (readText(list, top, "", "name", true, &recipe->name) && recipe->name.empty()) {
        addProblem(list, lineOfKey(top, "name"), "name: empty");
    }
    int64_t divisor = DEFAULT_DIVISOR;
    readInteger(list, top, "", "divisor", false, 0, MAX_DIVISOR, &divisor);
    recipe->divisor = static_cast<uint32_t>(divisor);
    std::string mode = "default";
    readText(list, top, "", "mode", false, &mode);
    static const struct {
        const char* name;
        RecipeMode mode;
    } MODES[] = {
        {"default", RECIPE_MODE_DEFAULT}, {"changed", RECIPE_MODE_CHANGED}, {"full", RECIPE_MODE_FULL}};
    recipe->mode = RECIPE_MODE_DEFAULT;
    bool known = false;
    for (const auto& candidate : MODES) {
        if (mode == candidate.name) {
            recipe->mode = candidate.mode;
            known = true;
        }
    }
    if (!known) {
        addProblem(list, lineOfKey(top, "mode"),
                   "mode: '" + mode + "' is none of \"default\", \"changed\", \"full\"");
    }
}

static bool isPinnedHash(const std::string& text) {
    if (text.size() != 2 * SHA256_DIGEST_BYTES) {
        return false;
    }
    return text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// The first non-blank character tells records from raw bytes, as the image
// map itself judges; a file that cannot be read is left to the map to report.
static bool looksLikeRecords(const std::string& path) {
    std::string start;
    std::string why;
    readFileText(path, SNIFF_BYTES, &start, &why);
    ImageFormat format;
    return start.empty() || detectTextFormat(start.data(), static_cast<uint32_t>(start.size()), &format);
}

// sector, address or base, as orvan write's IMAGE argument spells them.
static bool placeImage(ProblemList* list, const toml::table& table, RecipeImage* image) {
    const char* where = "[[image]]";
    int64_t sector = 0;
    int64_t address = 0;
    int64_t base = 0;
    // Each key given is judged on its own first; one that fails says so itself.
    bool fine = readInteger(list, table, where, "sector", false, 0, SECTOR_COUNT - 1, &sector) ==
                table.contains("sector");
    fine = (readInteger(list, table, where, "address", false, 0, FLASH_BYTES - 1, &address) ==
            table.contains("address")) &&
           fine;
    fine = (readInteger(list, table, where, "base", false, 0, MAX_BASE, &base) == table.contains("base")) &&
           fine;
    if (!fine) {
        return false;
    }
    bool hasSector = table.contains("sector");
    bool hasAddress = table.contains("address");
    bool hasBase = table.contains("base");
    ImageFormat format;
    bool records = formatByExtension(image->file.c_str(), &format);
    const std::string& name = image->file;
    char placement[32] = "";
    if (hasSector && hasAddress) {
        addProblem(list, image->line, name + ": give sector or address, not both");
    } else if ((hasSector || hasAddress) && (records || hasBase)) {
        addProblem(list, image->line,
                   name + ": an Intel HEX or S-record file carries its own addresses; give it without sector "
                          "and address (with base = 0xADDRESS when it is linked at another address)");
    } else if (hasSector) {
        snprintf(placement, sizeof placement, "@%u", static_cast<unsigned>(sector));
    } else if (hasAddress) {
        snprintf(placement, sizeof placement, "@0x%x", static_cast<unsigned>(address));
    } else if (hasBase) {
        snprintf(placement, sizeof placement, "@base=0x%x", static_cast<unsigned>(base));
    } else if (!records && !looksLikeRecords(image->path)) {
        addProblem(list, image->line, name + ": a raw image needs sector = N or address = 0xADDRESS");
    } else {
        image->argument = image->path;
        return true;
    }
    image->argument = image->path + placement;
    return placement[0] != '\0';
}

static bool readImage(ProblemList* list, const toml::table& table, const std::string& folder, bool pinned,
                      RecipeImage* image) {
    const char* where = "[[image]]";
    image->line = lineOf(table);
    refuseUnknownKeys(list, table, where, {"file", "sha256", "sector", "address", "base"});
    bool fine = readText(list, table, where, "file", true, &image->file);
    if (fine && image->file.empty()) {
        addProblem(list, lineOfKey(table, "file"), "[[image]] file: empty");
        fine = false;
    }
    // A hash missing or misspelt is a problem of its own: the image is still
    // loaded, so that what it writes is checked too.
    if (pinned && !table.contains("sha256")) {
        addProblem(list, image->line, image->file + ": no sha256; pin the recipe to record the image's");
    }
    if (readText(list, table, where, "sha256", false, &image->sha256) && pinned &&
        !isPinnedHash(image->sha256)) {
        addProblem(list, lineOfKey(table, "sha256"),
                   "[[image]] sha256: '" + image->sha256 + "' is not 64 lower-case hex digits");
    }
    image->path = pathInFolder(folder, image->file);
    return fine && placeImage(list, table, image);
}

std::string pinMismatch(const RecipeImage& image, const std::string& sha256) {
    if (sha256 == image.sha256) {
        return "";
    }
    return image.file + " has changed since the recipe was pinned: SHA-256 " + sha256 + ", pinned " +
           image.sha256;
}

// Each image into the image map, in the recipe's order; true when all went in.
static bool loadImages(ProblemList* list, Recipe* recipe, bool pinned) {
    resetImageMap();
    setImageMapPurpose(IMAGES_TO_WRITE);
    bool loaded = true;
    for (const RecipeImage& image : recipe->images) {
        ImageError error;
        if (!addImage(image.argument.c_str(), &error)) {
            addProblem(list, image.line, error.text);
            loaded = false;
            continue;
        }
        char hash[SHA256_HEX_CHARS];
        sha256Hex(images[imageCount - 1].sha256, hash);
        if (pinned && isPinnedHash(image.sha256) && !pinMismatch(image, hash).empty()) {
            addProblem(list, image.line, pinMismatch(image, hash));
        }
    }
    return loaded;
}

// Whether the image map holds every image of the recipe.
static bool readImages(ProblemList* list, const toml::table& top, const std::string& folder, bool pinned,
                       Recipe* recipe) {
    const toml::node* node = top.get("image");
    if (node == nullptr) {
        addProblem(list, 1, "missing key 'image': a recipe writes at least one [[image]]");
        return false;
    }
    if (!node->is_array_of_tables()) {
        addProblem(list, lineOf(*node), "image: [[image]] tables are expected");
        return false;
    }
    bool complete = true;
    for (const toml::node& entry : *node->as_array()) {
        RecipeImage image = RecipeImage();
        if (readImage(list, *entry.as_table(), folder, pinned, &image)) {
            recipe->images.push_back(image);
        } else {
            complete = false;
        }
    }
    return loadImages(list, recipe, pinned) && complete;
}

static bool isDatabaseUrl(const std::string& text) {
    for (const char* prefix : DATABASE_URL_PREFIXES) {
        if (text.compare(0, strlen(prefix), prefix) == 0) {
            return true;
        }
    }
    return false;
}

static void readProduction(ProblemList* list, const toml::table& top, Recipe* recipe) {
    char host[HOST_NAME_CHARS];
    platformHostName(host, sizeof host);
    recipe->station = host;
    const toml::table* production = optionalTable(list, top, "production");
    bool needed = recipe->serial.given || recipe->mac.given || recipe->table.given;
    if (production == nullptr) {
        if (needed) {
            addProblem(list, 1, "missing [production]: a database keeps the values handed out to boards");
        }
        return;
    }
    const char* where = "[production]";
    refuseUnknownKeys(list, *production, where, {"database", "station"});
    std::string database;
    if (readText(list, *production, where, "database", needed, &database)) {
        recipe->database = isDatabaseUrl(database) ? database : pathInFolder(recipe->folder, database);
    }
    readText(list, *production, where, "station", false, &recipe->station);
    if (recipe->station.empty() && needed) {
        addProblem(list, lineOf(*production),
                   "[production] station: empty, and the host has no name to take");
    }
}

static void readSlot(ProblemList* list, const toml::table& table, const std::vector<uint32_t>& lines,
                     Recipe* recipe) {
    const char* where = "[[slot]]";
    refuseUnknownKeys(list, table, where, {"location", "name"});
    int64_t location = 0;
    if (!readInteger(list, table, where, "location", true, 0, MAX_SLOT_LOCATION, &location)) {
        return;
    }
    char name[16];
    snprintf(name, sizeof name, "0x%x", static_cast<unsigned>(location));
    RecipeSlot slot = {static_cast<uint32_t>(location), name};
    readText(list, table, where, "name", false, &slot.name);
    for (size_t i = 0; i < recipe->slots.size(); i++) {
        const RecipeSlot& other = recipe->slots[i];
        std::string at = " is also the slot's at line " + std::to_string(lines[i]);
        if (other.location == slot.location) {
            addProblem(list, lineOf(table), std::string("[[slot]] location ") + name + at);
        }
        if (other.name == slot.name) {
            addProblem(list, lineOf(table), "[[slot]] name '" + slot.name + "'" + at);
        }
    }
    recipe->slots.push_back(slot);
}

static void readSlots(ProblemList* list, const toml::table& top, Recipe* recipe) {
    const toml::node* node = top.get("slot");
    if (node == nullptr) {
        return;
    }
    if (!node->is_array_of_tables()) {
        addProblem(list, lineOf(*node), "slot: [[slot]] tables are expected");
        return;
    }
    std::vector<uint32_t> lines;
    for (const toml::node& entry : *node->as_array()) {
        size_t before = recipe->slots.size();
        readSlot(list, *entry.as_table(), lines, recipe);
        if (recipe->slots.size() > before) {
            lines.push_back(lineOf(entry));
        }
    }
}

static std::string folderOf(const std::string& path) {
    size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

static void readSections(ProblemList* list, const toml::table& top, bool pinned, Recipe* recipe) {
    readTopKeys(list, top, recipe);
    bool imagesLoaded = readImages(list, top, recipe->folder, pinned, recipe);
    std::vector<BoardField> fields;
    readSerialSection(list, top, &recipe->serial, &fields);
    readMacSection(list, top, &recipe->mac, &fields);
    readTableSection(list, top, recipe->folder, &recipe->table, &fields);
    readProduction(list, top, recipe);
    readSlots(list, top, recipe);
    // Without every image the sectors written are not known.
    if (imagesLoaded) {
        checkBoardFields(list, *recipe, fields);
    }
}

static bool readRecipeWith(const std::string& path, Recipe* recipe, std::vector<std::string>* problems,
                           bool pinned) {
    size_t before = problems->size();
    *recipe = Recipe();
    recipe->path = path;
    recipe->folder = folderOf(path);
    recipe->divisor = DEFAULT_DIVISOR;
    ProblemList list = {path, problems};
    std::string text;
    std::string why;
    if (!readFileText(path, MAX_RECIPE_BYTES, &text, &why)) {
        problems->push_back(path + ": " + why);
        return false;
    }
    uint8_t digest[SHA256_DIGEST_BYTES];
    char hash[SHA256_HEX_CHARS];
    sha256Of(reinterpret_cast<const uint8_t*>(text.data()), text.size(), digest);
    sha256Hex(digest, hash);
    recipe->sha256 = hash;
    try {
        toml::table top = toml::parse(text, path);
        readSections(&list, top, pinned, recipe);
    } catch (const toml::parse_error& error) {
        addProblem(&list, error.source().begin.line, std::string(error.description()));
    }
    return problems->size() == before;
}

bool readRecipe(const std::string& path, Recipe* recipe, std::vector<std::string>* problems) {
    return readRecipeWith(path, recipe, problems, true);
}

bool readRecipeUnpinned(const std::string& path, Recipe* recipe, std::vector<std::string>* problems) {
    return readRecipeWith(path, recipe, problems, false);
}

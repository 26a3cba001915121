#include "orvanwriter/command_line.h"

#include <stdio.h>
#include <string.h>

#include "core/flash/flash_protocol.h"
#include "core/platform/platform.h"
#include "core/text/number_text.h"

void printBanner() {
    printf("============ Orvan Flash Writer(%s) ============\n", VERSION_TEXT);
}

void printUsage() {
    printf("Orvan Flash Writer version (%s) \n", VERSION_TEXT);
    printf("\n");
    printf("USAGE: \n");
    printf("-q N (Freq = 30Mhz/(N+1), 9 is Max Freq, \n");
    printf("-s sector number\n");
    printf("-f FILENAME\n");
    printf("-e exit\n");
    printf("\n");
    printf("Tessaly Inc.\n");
}

void waitForKey() {
    printf("\nPlease any key....\n");
    fflush(stdout);
    platformReadKey();
    // An interruption at the prompt, or one that came before it, ends the
    // process as interrupted, whatever status the run had.
    if (platformInterrupted()) {
        platformEndInterrupted();
    }
}

void exitWithPrompt() {
    waitForKey();
    platformExit(EXIT_STATUS_ERROR);
}

bool parseNumber(const char* text, uint32_t* value) {
    if (readNumber(text, value)) {
        return true;
    }
    printf("argument is not valid\n");
    return false;
}

struct ParsedLists {
    const char* fileNames[MAX_JOBS];
    uint32_t fileCount;
    uint32_t startSectors[MAX_JOBS];
    uint32_t sectorCount;
};

// Returns false when the walk must stop with no jobs.
static bool takeStartSector(const char* text, ParsedLists* lists) {
    uint32_t sector;
    if (!parseNumber(text, &sector)) {
        return false;
    }
    if (sector >= SECTOR_COUNT) {
        printf("Error : Sector number(%d)>7 \n", static_cast<int>(sector));
        exitWithPrompt();
    }
    if (lists->sectorCount == MAX_JOBS) {
        return false;
    }
    lists->startSectors[lists->sectorCount++] = sector;
    return true;
}

static bool takeFileName(const char* name, ParsedLists* lists) {
    if (!platformFileExists(name)) {
        printf("File(%s) not found\n", name);
        exitWithPrompt();
    }
    if (lists->fileCount == MAX_JOBS) {
        return false;
    }
    lists->fileNames[lists->fileCount++] = name;
    return true;
}

// One option word and its value slot; false ends the walk with no jobs.
static bool takeOption(const char* word, const char* value, ParsedLists* lists, RunOptions* options) {
    if (strcmp(word, "-e") == 0) {
        options->noWait = true;
        return true;
    }
    bool readsValue = strcmp(word, "-q") == 0 || strcmp(word, "-s") == 0 || strcmp(word, "-f") == 0;
    if (!readsValue) {
        printf("invalid argument (%s)\n", word);
        return false;
    }
    // An option word in the last position has no value slot at all.
    if (value == nullptr) {
        return false;
    }
    if (strcmp(word, "-s") == 0) {
        return takeStartSector(value, lists);
    }
    if (strcmp(word, "-f") == 0) {
        return takeFileName(value, lists);
    }
    return parseNumber(value, &options->clockDivisor);
}

uint32_t parseCommandLine(int argumentCount, char** arguments, RunOptions* options) {
    memset(options, 0, sizeof(*options));
    options->clockDivisor = DEFAULT_CLOCK_DIVISOR;
    if (argumentCount < 3) {
        return 0;
    }
    ParsedLists lists;
    memset(&lists, 0, sizeof(lists));
    for (int i = 1; i < argumentCount; i += 2) {
        const char* value = i + 1 < argumentCount ? arguments[i + 1] : nullptr;
        if (!takeOption(arguments[i], value, &lists, options)) {
            return 0;
        }
    }
    if (lists.fileCount != lists.sectorCount) {
        return 0;
    }
    for (uint32_t i = 0; i < lists.fileCount; i++) {
        options->jobs[i].fileName = lists.fileNames[i];
        options->jobs[i].startSector = lists.startSectors[i];
    }
    options->jobCount = lists.fileCount;
    return options->jobCount;
}

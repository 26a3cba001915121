#include "orvanwriter/write_run.h"

#include <stdio.h>
#include <string.h>

#include "core/adapter/adapter_connection.h"
#include "core/flash/flash_operations.h"
#include "core/platform/platform.h"
#include "orvanwriter/writer_steps.h"

// What an interruption's message tells: the job at hand, and whether any
// erase may have reached the flash yet.
struct RunProgress {
    const ImageJob* job;
    bool flashChanged;
};

static RunProgress progress;

// Called between two library calls: an interruption ends the run here, with
// the adapter closed and one line that says what the flash may hold.
static void stopIfInterrupted() {
    if (!platformInterrupted()) {
        return;
    }
    closeAdapter();
    const char* name = progress.job->fileName;
    unsigned sector = static_cast<unsigned>(progress.job->startSector);
    if (progress.flashChanged) {
        printf("\nInterrupted while writing %s at sector %u: the flash may be incomplete\n", name, sector);
    } else {
        printf("\nInterrupted before writing %s at sector %u: the flash is unchanged\n", name, sector);
    }
    platformEndInterrupted();
}

// The file errors end at once, without the key prompt.
[[noreturn]] static void failFile() {
    closeAdapter();
    platformExit(EXIT_STATUS_ERROR);
}

// An operation that stopped for an interruption fails too; the interruption
// then tells its own story.
[[noreturn]] static void failJob(const char* message) {
    stopIfInterrupted();
    printf("%s", message);
    closeAdapter();
    exitWithPrompt();
}

[[noreturn]] static void failUnreadable(const char* fileName) {
    printf("can not read file %s\n", fileName);
    failFile();
}

// Loads the whole file into the image buffer and returns its size.
static uint32_t loadImage(const ImageJob* job) {
    PlatformFile file;
    if (!platformOpenFile(job->fileName, &file)) {
        failUnreadable(job->fileName);
    }
    uint64_t size = 0;
    if (!platformFileSize(file, &size)) {
        platformCloseFile(file);
        failUnreadable(job->fileName);
    }
    uint64_t room = static_cast<uint64_t>(SECTOR_COUNT - job->startSector) * SECTOR_SIZE;
    if (size > room) {
        printf("Error : File Size is too big, >128Kbyte\n");
        platformCloseFile(file);
        failFile();
    }
    uint32_t length = static_cast<uint32_t>(size);
    uint32_t bytesRead = 0;
    bool readOk = platformReadFile(file, imageBuffer, length, &bytesRead);
    // A file with more bytes than its size says (a /proc file, a file that
    // grows while read) is not the image its size describes.
    uint8_t beyond;
    uint32_t bytesBeyond = 0;
    readOk = readOk && platformReadFile(file, &beyond, 1, &bytesBeyond);
    platformCloseFile(file);
    if (!readOk || bytesRead != length || bytesBeyond != 0) {
        failUnreadable(job->fileName);
    }
    return length;
}

static bool isErased(const uint8_t* block) {
    for (uint32_t i = 0; i < SECTOR_SIZE; i++) {
        if (block[i] != ERASED_BYTE) {
            return false;
        }
    }
    return true;
}

static void verifyErased(uint32_t address, uint32_t sectorCount) {
    printf("Erase Verify...");
    fflush(stdout);
    for (uint32_t k = 0; k < sectorCount; k++) {
        if (!readBlock(address + k * SECTOR_SIZE, readBackBuffer) || !isErased(readBackBuffer)) {
            failJob("Error\n");
        }
    }
    printf("OK\n");
}

static void verifyImage(uint32_t address, uint32_t sectorCount, uint32_t length) {
    for (uint32_t k = 0; k < sectorCount; k++) {
        if (!readBlock(address + k * SECTOR_SIZE, readBackBuffer + k * SECTOR_SIZE)) {
            failJob("Error\n");
        }
    }
    if (memcmp(readBackBuffer, imageBuffer, length) != 0) {
        failJob("Error\n");
    }
    printf("Data verify OK\n");
}

static void writeJob(const ImageJob* job) {
    progress.job = job;
    uint32_t length = loadImage(job);
    uint32_t sectorCount = (length + SECTOR_SIZE - 1) / SECTOR_SIZE;
    uint32_t address = job->startSector << SECTOR_SHIFT;
    printf("\nFile Name : %s \n", job->fileName);
    printf("Start Sector :%d\n", static_cast<int>(job->startSector));
    stopIfInterrupted();
    progress.flashChanged = true;
    if (!eraseSectors(job->startSector, sectorCount)) {
        failJob("Error\n");
    }
    verifyErased(address, sectorCount);
    if (!programImage(length, address)) {
        failJob("Data Write Error\n");
    }
    verifyImage(address, sectorCount, length);
}

void openAdapter() {
    static AdapterDevice device;
    if (findDefaultAdapter(&device) != ADAPTER_OPENED) {
        printf("Failed to found VEXIL\n");
        exitWithPrompt();
    }
    if (openAdapterDevice(&device) != ADAPTER_OPENED) {
        printf("Failed to connect VEXIL\n");
        exitWithPrompt();
    }
}

void runWrite(const RunOptions* options) {
    progress.job = &options->jobs[0];
    openAdapter();
    if (options->clockDivisor != DEFAULT_CLOCK_DIVISOR) {
        setClockDivisor(options->clockDivisor);
    }
    stopIfInterrupted();
    if (!checkIdentity()) {
        closeAdapter();
        exitWithPrompt();
    }
    for (uint32_t i = 0; i < options->jobCount; i++) {
        writeJob(&options->jobs[i]);
    }
    printf("===== Flash Write Completed =========");
    closeAdapter();
    if (!options->noWait) {
        waitForKey();
    }
    // Every image is written, but a calling script must still learn that the
    // user interrupted it.
    if (platformInterrupted()) {
        platformEndInterrupted();
    }
    platformExit(EXIT_STATUS_OK);
}

// orvan write judged by orvanwriter: from the same flash, every mode of
// orvan write must leave the flash that orvanwriter leaves for the same job,
// byte for byte. Intel HEX and S-record images are made here from known
// bytes, and orvanwriter gets their raw equivalent: each run of sectors the
// image touches as one file of whole sectors, 0xff where no record puts a
// byte. Faults must end with a failing status and leave a flash that a
// later --changed write brings right; an interruption while comparing
// leaves the flash as it was.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <thread>
#include <vector>

#include "program_fixture.h"

namespace {

const int DONE = 0;
const int DISAGREED = 1;
const int NO_CABLE = 3;
const size_t SECTORS = FLASH_SIZE / SECTOR;
// Below the target's ready time limit (5 s), with room for a loaded machine.
const double GONE_LIMIT_SECONDS = 4.0;

// RAW is placed at its sector, RAW_AT_ADDRESS at its first byte's address.
enum Format { RAW, RAW_AT_ADDRESS, INTEL_HEX, SRECORD };

struct Piece {
    size_t address; // in the flash; a raw image's is its sector's first address
    std::string bytes;
};

struct Image {
    Format format;
    std::vector<Piece> pieces;
    // HEX and S-records: the address the file is linked at, given as @base=.
    size_t base = 0;
};

const size_t LINKED_BASE = 0x08000000;

struct Job {
    const char* name;
    std::vector<Image> images;
};

std::string withErasedRuns(std::string bytes, const std::vector<std::pair<size_t, size_t>>& runs) {
    for (const auto& run : runs) {
        bytes.replace(run.first, run.second, run.second, '\xFF');
    }
    return bytes;
}

// Runs of 0xff shorter and longer than the reopening break-even at divisors
// 0 and 8, one across a sector boundary, a whole sector of them, and the
// image's first and last bytes.
const std::string GAPPED = withErasedRuns(
    imageBytes(FLASH_SIZE, 2),
    {{0, 10}, {5000, 1000}, {9000, 3000}, {16000, 2000}, {3 * SECTOR, SECTOR}, {FLASH_SIZE - 7, 7}});

const std::vector<Job> JOBS = {
    {"raw, the whole flash with runs of 0xff", {{RAW, {{0, GAPPED}}}}},
    {"raw, part sectors at the first and last sector",
     {{RAW, {{0, imageBytes(20000, 3)}}}, {RAW, {{7 * SECTOR, "\x5a"}}}}},
    {"raw, only 0xff", {{RAW, {{5 * SECTOR, std::string(100, '\xFF')}}}}},
    {"HEX from mid-sector across a boundary, with gaps",
     {{INTEL_HEX,
       {{0x4123, imageBytes(300, 4)}, {0x4400, imageBytes(100, 5)}, {0x7FF0, imageBytes(40, 6)}}}}},
    {"HEX records in two sectors apart, above 64 KiB first",
     {{INTEL_HEX, {{0x14020, imageBytes(4000, 7)}, {0x4010, imageBytes(16, 8)}}}}},
    {"S-records over two whole sectors and the last byte",
     {{SRECORD, {{0x8000, imageBytes(2 * SECTOR, 9)}, {FLASH_SIZE - 1, std::string(1, '\0')}}}}},
    {"raw, HEX and S-records together",
     {{RAW, {{0, imageBytes(5000, 10)}}},
      {INTEL_HEX, {{0x8100, imageBytes(500, 11)}, {0xBFF8, imageBytes(16, 12)}}},
      {SRECORD, {{0x18000, imageBytes(1000, 13)}}}}},
    {"raw at addresses: mid-sector across a boundary, and to the flash's end",
     {{RAW_AT_ADDRESS, {{0x4123, imageBytes(20000, 15)}}},
      {RAW_AT_ADDRESS, {{FLASH_SIZE - 300, imageBytes(300, 20)}}}}},
    {"HEX and S-records linked at another base",
     {{INTEL_HEX, {{0x123, imageBytes(300, 16)}, {0x3FF0, imageBytes(16, 17)}}, LINKED_BASE},
      {SRECORD, {{0x10000, imageBytes(5000, 18)}}, LINKED_BASE}}},
};

std::string hexDigits(const std::string& bytes) {
    static const char DIGITS[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned char byte : bytes) {
        text += DIGITS[byte >> 4];
        text += DIGITS[byte & 0xF];
    }
    return text;
}

char byteSum(const std::string& bytes) {
    unsigned sum = 0;
    for (unsigned char byte : bytes) {
        sum += byte;
    }
    return static_cast<char>(sum);
}

std::string intelHexRecord(size_t address, int type, const std::string& data) {
    std::string bytes = {static_cast<char>(data.size()), static_cast<char>(address >> 8),
                         static_cast<char>(address), static_cast<char>(type)};
    bytes += data;
    return ":" + hexDigits(bytes + static_cast<char>(-byteSum(bytes))) + "\n";
}

// S3 and S7: four address bytes.
std::string sRecord(char type, size_t address, const std::string& data) {
    std::string bytes = {static_cast<char>(data.size() + 5), static_cast<char>(address >> 24),
                         static_cast<char>(address >> 16), static_cast<char>(address >> 8),
                         static_cast<char>(address)};
    bytes += data;
    return std::string("S") + type + hexDigits(bytes + static_cast<char>(~byteSum(bytes))) + "\n";
}

// Records of up to 16 bytes that never cross a 64 KiB boundary.
std::string recordText(const Image& image) {
    std::string text = image.format == SRECORD ? "S0030000FC\n" : "";
    size_t upper = SIZE_MAX;
    for (const Piece& piece : image.pieces) {
        for (size_t at = 0; at < piece.bytes.size();) {
            size_t address = image.base + piece.address + at;
            size_t length = std::min({piece.bytes.size() - at, size_t(16), 0x10000 - (address & 0xFFFF)});
            std::string data = piece.bytes.substr(at, length);
            if (image.format == SRECORD) {
                text += sRecord('3', address, data);
            } else {
                if (address >> 16 != upper) {
                    upper = address >> 16;
                    text += intelHexRecord(0, 4, {static_cast<char>(upper >> 8), static_cast<char>(upper)});
                }
                text += intelHexRecord(address & 0xFFFF, 0, data);
            }
            at += length;
        }
    }
    return text + (image.format == SRECORD ? sRecord('7', 0, "") : ":00000001FF\n");
}

// Taken before any run sets ORVAN_PROGRAM for itself.
const std::string WRITER = environmentValue("ORVAN_PROGRAM");
const std::string ORVAN = orvanCommandPath();

// orvanwriter's runs, "-s SECTOR -f FILE", for the job's raw equivalent.
using WriterJobs = std::vector<std::pair<size_t, std::string>>;

class OrvanWriteTest : public ProgramTest {
  protected:
    // Saves the job's files; returns orvan write's image arguments.
    std::vector<std::string> saveJob(const Job& job, WriterJobs* writerJobs) {
        std::vector<std::string> arguments;
        for (size_t i = 0; i < job.images.size(); i++) {
            const Image& image = job.images[i];
            std::string name = "image" + std::to_string(i);
            if (image.format == RAW) {
                writeFile(path(name + ".bin"), image.pieces[0].bytes);
                size_t sector = image.pieces[0].address / SECTOR;
                arguments.push_back(name + ".bin@" + std::to_string(sector));
                writerJobs->push_back({sector, name + ".bin"});
                continue;
            }
            char placement[32] = "";
            if (image.format == RAW_AT_ADDRESS) {
                name += ".bin";
                writeFile(path(name), image.pieces[0].bytes);
                snprintf(placement, sizeof placement, "@0x%zx", image.pieces[0].address);
            } else {
                name += image.format == SRECORD ? ".srec" : ".hex";
                writeFile(path(name), recordText(image));
                if (image.base != 0) {
                    snprintf(placement, sizeof placement, "@base=0x%zx", image.base);
                }
            }
            arguments.push_back(name + placement);
            std::string canvas(FLASH_SIZE, '\xFF');
            std::vector<bool> touched(SECTORS);
            for (const Piece& piece : image.pieces) {
                canvas.replace(piece.address, piece.bytes.size(), piece.bytes);
                for (size_t s = piece.address / SECTOR; s * SECTOR < piece.address + piece.bytes.size();
                     s++) {
                    touched[s] = true;
                }
            }
            for (size_t first = 0; first < SECTORS; first++) {
                size_t end = first;
                while (end < SECTORS && touched[end]) {
                    end++;
                }
                if (end > first) {
                    std::string file = name + "." + std::to_string(first) + ".bin";
                    writeFile(path(file), canvas.substr(first * SECTOR, (end - first) * SECTOR));
                    writerJobs->push_back({first, file});
                    first = end;
                }
            }
        }
        return arguments;
    }

    // The flash after orvanwriter runs the jobs from the flash given.
    std::string writerResult(const WriterJobs& jobs, const std::string& from) {
        writeFile(path("flash.bin"), from);
        setenv("ORVAN_PROGRAM", WRITER.c_str(), 1);
        for (const auto& job : jobs) {
            EXPECT_EQ(run({"-s", std::to_string(job.first), "-f", job.second, "-e"}).status, 0) << job.second;
        }
        return flash();
    }

    // orvan write in the folder, with standard error in the output: a run
    // to start, or to start several at once.
    ProgramRun orvanRun(std::vector<std::string> arguments, std::vector<std::string> environment,
                        const std::string& folder) {
        setenv("ORVAN_PROGRAM", "/bin/sh", 1);
        arguments.insert(arguments.begin(), {"-c", "exec \"$0\" \"$@\" 2>&1", ORVAN, "write"});
        environment.insert(environment.end(), {"VADAPTER_FLASH=flash.bin", "VADAPTER_TRACE=trace.txt"});
        ProgramRun programRun;
        programRun.arguments = arguments;
        programRun.environment = environment;
        programRun.directory = folder;
        return programRun;
    }

    ProgramResult orvanWrite(const std::string& from, const std::vector<std::string>& arguments,
                             const std::vector<std::string>& environment = {}, int signalNumber = 0,
                             const std::string& signalWhenOutputShows = "") {
        writeFile(path("flash.bin"), from);
        ProgramRun programRun = orvanRun(arguments, environment, directory);
        programRun.signalNumber = signalNumber;
        programRun.signalWhenOutputShows = signalWhenOutputShows;
        return run(programRun);
    }
};

// A flash that holds other data: the job's result in the even sectors,
// sector 3 off by one bit in its last byte, other bytes in sectors 1, 5, 7.
std::string otherData(const std::string& result) {
    std::string flash = result;
    for (size_t sector : {1, 5, 7}) {
        flash.replace(sector * SECTOR, SECTOR, imageBytes(SECTOR, static_cast<unsigned>(sector)));
    }
    flash[4 * SECTOR - 1] ^= 1;
    return flash;
}

TEST_F(OrvanWriteTest, EveryModeLeavesOrvanwritersFlash) {
    const std::string erased(FLASH_SIZE, '\xFF');
    for (const Job& job : JOBS) {
        WriterJobs writerJobs;
        std::vector<std::string> images = saveJob(job, &writerJobs);
        std::string onErased = writerResult(writerJobs, erased);
        std::string other = otherData(onErased);
        std::string onOther = writerResult(writerJobs, other);
        const struct {
            const char* mode;
            const std::string& from;
            const std::string& expected;
        } runs[] = {{"", other, onOther},
                    {"--changed", erased, onErased},
                    {"--changed", other, onOther},
                    {"--full", other, onOther}};
        for (const auto& mode : runs) {
            std::vector<std::string> arguments = images;
            if (mode.mode[0] != '\0') {
                arguments.push_back(mode.mode);
            }
            ProgramResult result = orvanWrite(mode.from, arguments);
            std::string what = std::string(job.name) + ", mode '" + mode.mode + "'" +
                               (&mode.from == &erased ? " onto an erased flash" : "");
            EXPECT_EQ(result.status, 0) << what << "\n" << result.output;
            EXPECT_TRUE(flash() == mode.expected) << what << ": the flash differs from orvanwriter's";
            EXPECT_TRUE(adapterClosed()) << what << ": not run through the adapter meant";
        }
    }
}

// A raw image at its sector's first address is the same job as at the
// sector: the two flashes match byte for byte, and so do their records.
TEST_F(OrvanWriteTest, AnAddressAtASectorWritesWhatTheSectorWrites) {
    writeFile(path("app.bin"), imageBytes(SECTOR + 100, 19));
    const std::string from = otherData(std::string(FLASH_SIZE, '\xFF'));
    ProgramResult bySector = orvanWrite(from, {"app.bin@1"});
    const std::string flashBySector = flash();
    ProgramResult byAddress = orvanWrite(from, {"app.bin@0x4000"});
    EXPECT_EQ(bySector.status, 0) << bySector.output;
    EXPECT_EQ(byAddress.status, 0) << byAddress.output;
    EXPECT_TRUE(flash() == flashBySector) << "app.bin@0x4000 and app.bin@1 leave different flashes";
    EXPECT_TRUE(flash() != from);
    // The place is shown before the cable is opened, in both spellings.
    EXPECT_NE(bySector.output.find("app.bin@1: 0x004000-0x008063, sectors 1-2\n"), std::string::npos)
        << bySector.output;
    EXPECT_NE(byAddress.output.find("app.bin@0x4000: 0x004000-0x008063, sectors 1-2\n"), std::string::npos)
        << byAddress.output;
}

// Two sectors and ten bytes at sector 1; from otherData, sector 2 already
// holds its bytes, so --changed leaves it alone and rewrites sectors 1 and 3.
// A target that stays busy takes the ready time limit (5 s), a cable that
// is gone does not: the faulty runs go all at once, each in a folder of its own.
TEST_F(OrvanWriteTest, FaultsFailAndAChangedWriteThenRepairs) {
    std::string image = imageBytes(2 * SECTOR + 10, 14);
    image[100] = '\x00';          // 0x4064: programmed, bit 7 clear
    image[SECTOR + 200] = '\xFF'; // 0x80c8: erased, bit 0 set
    WriterJobs writerJobs;
    std::vector<std::string> arguments = saveJob({"faults", {{RAW, {{SECTOR, image}}}}}, &writerJobs);
    const std::string from = otherData(writerResult(writerJobs, std::string(FLASH_SIZE, '\xFF')));
    const std::string expected = writerResult(writerJobs, from);
    const struct {
        const char* name;
        const char* fault;
        int defaultStatus;
        int changedStatus;
        const char* line; // in the output of every run that fails
    } faults[] = {
        {"busy after an erase", "VADAPTER_STUCK_AFTER=0x20:1", DISAGREED, DISAGREED,
         "erase of sector 1: the target stayed busy"},
        {"busy after a run is closed", "VADAPTER_STUCK_AFTER=0x34:1", DISAGREED, DISAGREED,
         "the target stayed busy"},
        {"busy mid-run", "VADAPTER_STUCK_AFTER=0xaf:5000", DISAGREED, DISAGREED, "programming at 0x"},
        {"unerased sector rewritten", "VADAPTER_UNERASED_SECTOR=3", DISAGREED, DISAGREED,
         "sector 3 is not blank after the erase"},
        {"unerased sector left alone", "VADAPTER_UNERASED_SECTOR=2", DISAGREED, DONE,
         "sector 2 is not blank after the erase"},
        {"bit stuck at 1 where 0 is programmed", "VADAPTER_STUCK_BIT=0x4064:0x80:0x80", DISAGREED, DISAGREED,
         "differs after programming at 0x4064: flash 0x80, image 0x00"},
        {"bit stuck at 0 in a sector already right", "VADAPTER_STUCK_BIT=0x80c8", DISAGREED, DISAGREED,
         "sector 2 is not blank after the erase: 0xfe at 0x80c8"},
        {"reads deliver nothing", "VADAPTER_EMPTY_READS=always", DISAGREED, DISAGREED,
         "did not answer in time"},
        {"a few empty reads", "VADAPTER_EMPTY_READS=3", DONE, DONE, ""},
        {"short reads", "VADAPTER_SHORT_READ=1000:always", DONE, DONE, ""},
        {"adapter gone before the identity", "VADAPTER_VANISH_AFTER=8", NO_CABLE, NO_CABLE,
         "cable 0x1101: stopped answering during the identity read (unplugged, or its USB link failed)"},
        {"adapter gone mid-write", "VADAPTER_VANISH_AFTER=200", NO_CABLE, NO_CABLE,
         "cable 0x1101: stopped answering during "},
        {"cable unplugged before the identity", "VUSB_UNPLUG_AFTER=14", NO_CABLE, NO_CABLE,
         "cable 0x1200000: stopped answering during the identity read"},
        {"cable unplugged mid-write", "VUSB_UNPLUG_AFTER=40", NO_CABLE, NO_CABLE,
         "cable 0x1200000: stopped answering during "},
    };
    struct FaultRun {
        std::string name;
        int status;
        const char* line;
        ProgramRun run;
        ProgramResult result;
    };
    std::vector<FaultRun> runs;
    for (const auto& fault : faults) {
        for (bool changed : {false, true}) {
            if (needsVirtualAdapter({fault.fault}) || needsEmulatedCable({fault.fault})) {
                continue;
            }
            std::string folder = path("run" + std::to_string(runs.size()));
            mkdir(folder.c_str(), 0700);
            writeFile(folder + "/flash.bin", from);
            writeFile(folder + "/" + arguments[0].substr(0, arguments[0].find('@')), image);
            std::vector<std::string> faulty = arguments;
            if (changed) {
                faulty.push_back("--changed");
            }
            runs.push_back({std::string(fault.name) + (changed ? ", --changed" : ", default"),
                            changed ? fault.changedStatus : fault.defaultStatus, fault.line,
                            orvanRun(faulty, {fault.fault}, folder), ProgramResult()});
        }
    }
    // The runs of a cable that is gone are timed: they go one at a time,
    // after the others, so that the others' load does not count.
    std::vector<std::thread> threads;
    for (FaultRun& faultRun : runs) {
        if (faultRun.status != NO_CABLE) {
            threads.emplace_back([&faultRun] { faultRun.result = runProgram(faultRun.run); });
        }
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (FaultRun& faultRun : runs) {
        if (faultRun.status == NO_CABLE) {
            faultRun.result = runProgram(faultRun.run);
        }
    }
    for (const FaultRun& faultRun : runs) {
        const ProgramResult& result = faultRun.result;
        const std::string& name = faultRun.name;
        std::string left = readWholeFile(faultRun.run.directory + "/flash.bin");
        EXPECT_EQ(result.status, faultRun.status) << name << "\n" << result.output;
        EXPECT_EQ(readWholeFile(faultRun.run.directory + "/trace.txt").find("violation:"), std::string::npos)
            << name;
        if (result.status == DONE) {
            EXPECT_TRUE(left == expected) << name << ": status 0 with another flash";
            continue;
        }
        EXPECT_NE(result.output.find(faultRun.line), std::string::npos) << name << "\n" << result.output;
        // A cable that is gone is said at once, not after the ready time limit.
        if (result.status == NO_CABLE) {
            EXPECT_LT(result.wallSeconds, GONE_LIMIT_SECONDS) << name;
        }
        std::vector<std::string> again = arguments;
        again.push_back("--changed");
        orvanWrite(left, again);
        EXPECT_TRUE(flash() == expected) << name << ": a second --changed write left another flash";
    }
}

TEST_F(OrvanWriteTest, InterruptionWhileComparingLeavesTheFlash) {
    if (programIsOverUsb()) {
        GTEST_SKIP() << "the virtual adapter's real-time mode";
    }
    writeFile(path("whole.bin"), GAPPED);
    const std::string from = imageBytes(FLASH_SIZE, 15);
    const struct {
        std::vector<std::string> arguments;
        const char* showing;
        const char* line;
        bool unchanged;
    } cases[] = {{{"whole.bin@0", "--changed"}, ": compare ", "interrupted: the flash is unchanged", true},
                 {{"whole.bin@0"}, ": program ", "interrupted: the flash may be incomplete", false}};
    for (const auto& interruption : cases) {
        ProgramResult result =
            orvanWrite(from, interruption.arguments, {"VADAPTER_REALTIME=1"}, SIGINT, interruption.showing);
        // Ended by the signal: status 130 to the shell.
        EXPECT_EQ(result.signal, SIGINT) << interruption.showing << "\n" << result.output;
        EXPECT_NE(result.output.find(interruption.line), std::string::npos) << result.output;
        EXPECT_EQ(flash() == from, interruption.unchanged) << interruption.showing;
        EXPECT_TRUE(adapterClosed()) << interruption.showing;
    }
}

} // namespace

// End-to-end tests: the built program as a process against the virtual
// adapter, comparing standard output byte for byte, the exit status, the
// virtual flash file and the adapter's trace.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "program_fixture.h"

namespace {

// ---------------------------------------------------------------- command line

struct UsageCase {
    std::vector<std::string> arguments;
    std::string messageBeforeUsage;
};

TEST_F(ProgramTest, ArgumentsThatMakeNoJobsShowTheUsage) {
    makeImage("a.bin", 10);
    const std::vector<UsageCase> cases = {
        {{}, ""},
        {{"-e"}, ""},
        {{"-q", "5"}, ""},
        {{"-s", "0", "-s", "1", "-f", "a.bin"}, ""},
        {{"-s", "0", "-f", "a.bin", "-f", "a.bin"}, ""},
        {{"-e", "-s", "0", "-f", "a.bin"}, "invalid argument (0)\n"},
        {{"-S", "0", "-f", "a.bin"}, "invalid argument (-S)\n"},
        {{"-s", "00", "-f", "a.bin"}, "argument is not valid\n"},
        {{"-q", "x", "-s", "0", "-f", "a.bin"}, "argument is not valid\n"},
        // An option word with no value slot after it.
        {{"-s", "0", "-f", "a.bin", "-q"}, ""},
        {{"-f", "a.bin", "-s", "0", "-s"}, ""},
        {{"-s", "0", "-f", "a.bin", "-f"}, ""},
        {{"-s", "0", "-f", "a.bin", "-x"}, "invalid argument (-x)\n"},
    };
    for (const UsageCase& usageCase : cases) {
        ProgramResult result = run(usageCase.arguments);
        EXPECT_EQ(result.output, BANNER + usageCase.messageBeforeUsage + USAGE + PROMPT)
            << "arguments: " << ::testing::PrintToString(usageCase.arguments);
        EXPECT_EQ(result.status, STATUS_ERROR);
    }
    EXPECT_FALSE(adapterOpened());
}

TEST_F(ProgramTest, NinthSectorOrFileShowsTheUsage) {
    makeImage("a.bin", 10);
    std::vector<std::string> eight;
    for (int i = 0; i < 8; i++) {
        eight.insert(eight.end(), {"-s", std::to_string(i), "-f", "a.bin"});
    }
    for (const char* extra : {"-s", "-f"}) {
        std::vector<std::string> arguments = eight;
        arguments.insert(arguments.end(), {extra, std::string(extra) == "-s" ? "1" : "a.bin"});
        ProgramResult result = run(arguments);
        EXPECT_EQ(result.output, BANNER + USAGE + PROMPT) << extra;
        EXPECT_EQ(result.status, STATUS_ERROR);
    }
}

TEST_F(ProgramTest, ParserErrorsStopWithoutTheUsage) {
    makeImage("a.bin", 10);
    ASSERT_EQ(mkdir(path("folder").c_str(), 0755), 0);
    const std::vector<UsageCase> cases = {
        {{"-s", "9", "-f", "a.bin"}, "Error : Sector number(9)>7 \n"},
        {{"-s", "-1", "-f", "a.bin"}, "Error : Sector number(-1)>7 \n"},
        {{"-s", "8"}, "Error : Sector number(8)>7 \n"},
        {{"-s", "0", "-f", "missing.bin"}, "File(missing.bin) not found\n"},
        {{"-s", "0", "-f", "folder"}, "File(folder) not found\n"},
    };
    for (const UsageCase& usageCase : cases) {
        ProgramResult result = run(usageCase.arguments);
        EXPECT_EQ(result.output, BANNER + usageCase.messageBeforeUsage + PROMPT)
            << ::testing::PrintToString(usageCase.arguments);
        EXPECT_EQ(result.status, STATUS_ERROR);
    }
    EXPECT_FALSE(adapterOpened());
}

TEST_F(ProgramTest, KeyPromptNeverBlocksWithoutAConsole) {
    makeImage("a.bin", 10);
    for (StdinMode mode : {STDIN_DEVNULL, STDIN_CLOSED, STDIN_BYTES}) {
        ProgramResult usage = run({}, {}, mode);
        EXPECT_EQ(usage.output, BANNER + USAGE + PROMPT);
        EXPECT_EQ(usage.status, STATUS_ERROR);
        ProgramResult written = run({"-s", "0", "-f", "a.bin"}, {}, mode);
        EXPECT_EQ(written.output, BANNER + jobText("a.bin", 0, 10) + COMPLETED + PROMPT);
        EXPECT_EQ(written.status, 0);
    }
}

TEST_F(ProgramTest, KeyPromptTakesOneKeyWithoutEchoFromATerminal) {
    if (programIsWrapped()) {
        GTEST_SKIP() << "the console of the wrapped program is not a host terminal";
    }
    ProgramRun programRun;
    programRun.directory = directory;
    programRun.stdinMode = STDIN_TERMINAL;
    programRun.input = "k"; // no Enter
    programRun.timeoutSeconds = 10;
    ProgramResult result = runProgram(programRun);
    EXPECT_TRUE(result.inputSent);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.output, BANNER + USAGE + PROMPT);
    EXPECT_EQ(result.status, STATUS_ERROR);
    EXPECT_EQ(result.terminalEcho.find('k'), std::string::npos);
    EXPECT_TRUE(result.terminalRestored);
}

TEST_F(ProgramTest, AdapterIsClosedBeforeTheKeyPrompt) {
    if (programIsWrapped()) {
        GTEST_SKIP() << "the console of the wrapped program is not a host terminal";
    }
    makeImage("a.bin", 10);
    const std::vector<std::vector<std::string>> environments = {
        {}, {"VADAPTER_IDENTITY=0xAD"}, {"VADAPTER_UNERASED_SECTOR=0"}, {"VADAPTER_QUERY_STATUS=6"}};
    for (const std::vector<std::string>& environment : environments) {
        if (needsVirtualAdapter(environment)) {
            continue;
        }
        ProgramRun programRun;
        programRun.arguments = {"-s", "0", "-f", "a.bin"};
        programRun.environment = environment;
        programRun.environment.push_back("VADAPTER_TRACE=trace.txt");
        programRun.directory = directory;
        programRun.stdinMode = STDIN_TERMINAL;
        programRun.input = "k";
        programRun.timeoutSeconds = 10;
        programRun.snapshotAtPrompt = "trace.txt";
        ProgramResult result = runProgram(programRun);
        EXPECT_TRUE(result.inputSent);
        EXPECT_NE(result.snapshot.find("\nclose "), std::string::npos) << testing::PrintToString(environment);
    }
}

// ---------------------------------------------------------------- writing

struct SizeCase {
    size_t size;
    unsigned sector;
};

TEST_F(ProgramTest, WritesImagesOfEdgeSizes) {
    const std::vector<SizeCase> cases = {
        {1, 0}, {BATCH + 1, 0}, {SECTOR, 0}, {SECTOR + 1, 6}, {FLASH_SIZE, 0}, {SECTOR, 7}, {20000, 3},
    };
    for (const SizeCase& sizeCase : cases) {
        unlink(path("flash.bin").c_str());
        makeImage("image.bin", sizeCase.size, sizeCase.sector);
        ProgramResult result = run({"-s", std::to_string(sizeCase.sector), "-f", "image.bin", "-e"});
        EXPECT_EQ(result.output, BANNER + jobText("image.bin", sizeCase.sector, sizeCase.size) + COMPLETED)
            << "size " << sizeCase.size;
        EXPECT_EQ(result.status, 0);
        expectFlash({{sizeCase.sector * SECTOR, imageBytes(sizeCase.size, sizeCase.sector)}});
        EXPECT_NE(trace().find("violations=0"), std::string::npos) << trace().substr(trace().size() - 200);
    }
}

TEST_F(ProgramTest, ProgressLinesOfAnImageOfOneSector) {
    makeImage("image.bin", SECTOR);
    ProgramResult result = run({"-s", "0", "-f", "image.bin", "-e"});
    EXPECT_EQ(result.output, BANNER +
                                 "\nFile Name : image.bin \nStart Sector :0\n\r1/1 sectors erased\n"
                                 "Erase Completed\nErase Verify...OK\n10241 / 16384  62 % \r"
                                 "16384 / 16384  100 % \nData verify OK\n" +
                                 COMPLETED);
}

TEST_F(ProgramTest, BatchesOfQueuedCommandsInTheTrace) {
    if (programIsOverUsb()) {
        GTEST_SKIP() << "call-level trace lines come from the virtual adapter only";
    }
    const std::vector<std::pair<size_t, std::vector<std::string>>> cases = {
        {1, {"execute commands=0"}},
        {BATCH + 1, {"execute commands=10240", "execute commands=0"}},
        {SECTOR, {"execute commands=10240", "execute commands=6143"}},
    };
    for (const auto& batchCase : cases) {
        makeImage("image.bin", batchCase.first);
        run({"-s", "0", "-f", "image.bin", "-e"});
        std::vector<std::string> executions;
        std::istringstream lines(trace());
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("execute ", 0) == 0) {
                executions.push_back(line.substr(0, line.find(" returned")));
            }
        }
        EXPECT_EQ(executions, batchCase.second) << "size " << batchCase.first;
    }
}

TEST_F(ProgramTest, EmptyImageProgramsNothing) {
    makeImage("empty.bin", 0);
    ProgramResult result = run({"-s", "2", "-f", "empty.bin", "-e"});
    EXPECT_EQ(result.output, BANNER +
                                 "\nFile Name : empty.bin \nStart Sector :2\n\nErase Completed\n"
                                 "Erase Verify...OK\n0 / 0  100 % \nData verify OK\n" +
                                 COMPLETED);
    EXPECT_EQ(result.status, 0);
    expectFlash({});
    if (programIsOverUsb()) {
        std::string frames = "\n" + readWholeFile(path("frames.txt"));
        for (const char* command : {"\n36", "\naf", "\n34", "\n28"}) {
            EXPECT_EQ(frames.find(command), std::string::npos) << command;
        }
        return;
    }
    std::string text = trace();
    for (const char* command : {"cmd=36", "cmd=af", "cmd=34", "cmd=28"}) {
        EXPECT_EQ(text.find(command), std::string::npos) << command;
    }
}

TEST_F(ProgramTest, JobsPairByPositionAndRunInOrder) {
    makeImage("a.bin", 100, 1);
    makeImage("b.bin", 200, 2);
    ProgramResult result = run({"-s", "1", "-s", "3", "-f", "a.bin", "-f", "b.bin"});
    EXPECT_EQ(result.output,
              BANNER + jobText("a.bin", 1, 100) + jobText("b.bin", 3, 200) + COMPLETED + PROMPT);
    EXPECT_EQ(result.status, 0);
    expectFlash({{1 * SECTOR, imageBytes(100, 1)}, {3 * SECTOR, imageBytes(200, 2)}});
    EXPECT_TRUE(adapterClosed());
}

TEST_F(ProgramTest, OverlappingJobsRewriteTheSharedSectors) {
    makeImage("a.bin", 2 * SECTOR + 5, 1);
    makeImage("b.bin", 300, 2);
    ProgramResult result = run({"-s", "0", "-f", "a.bin", "-s", "1", "-f", "b.bin", "-e"});
    EXPECT_EQ(result.output,
              BANNER + jobText("a.bin", 0, 2 * SECTOR + 5) + jobText("b.bin", 1, 300) + COMPLETED);
    std::string first = imageBytes(2 * SECTOR + 5, 1);
    expectFlash(
        {{0, first.substr(0, SECTOR)}, {SECTOR, imageBytes(300, 2)}, {2 * SECTOR, first.substr(2 * SECTOR)}});
}

TEST_F(ProgramTest, EightJobsFillTheFlash) {
    std::vector<std::string> arguments;
    std::string expectedOutput = BANNER;
    std::vector<std::pair<size_t, std::string>> placed;
    for (unsigned sector = 0; sector < 8; sector++) {
        std::string name = "part" + std::to_string(sector) + ".bin";
        makeImage(name, 1000 + sector, sector);
        arguments.insert(arguments.end(), {"-f", name, "-s", std::to_string(sector)});
        expectedOutput += jobText(name, sector, 1000 + sector);
        placed.push_back({sector * SECTOR, imageBytes(1000 + sector, sector)});
    }
    arguments.push_back("-e");
    ProgramResult result = run(arguments);
    EXPECT_EQ(result.output, expectedOutput + COMPLETED);
    EXPECT_EQ(result.status, 0);
    expectFlash(placed);
}

TEST_F(ProgramTest, ClockOverrideIsAppliedAndReported) {
    makeImage("a.bin", 10);
    struct ClockCase {
        std::vector<std::string> environment;
        std::string divisor;
        std::string line;
    };
    const std::vector<ClockCase> cases = {
        {{}, "2", "SPI Freq : 9765khz\n"},
        {{"VADAPTER_FREQUENCY=1000000"}, "2", "SPI Freq : 976khz\n"},
        {{"VADAPTER_FREQUENCY=untouched"}, "0x1d", "SPI Freq : 0khz\n"},
        {{}, "8", ""},
    };
    for (const ClockCase& clockCase : cases) {
        if (needsVirtualAdapter(clockCase.environment)) {
            continue;
        }
        ProgramResult result =
            run({"-q", clockCase.divisor, "-s", "0", "-f", "a.bin", "-e"}, clockCase.environment);
        EXPECT_EQ(result.output, BANNER + clockCase.line + jobText("a.bin", 0, 10) + COMPLETED);
        if (programIsOverUsb()) {
            continue; // the call-level lines below are the virtual adapter's
        }
        std::string text = trace();
        size_t query = text.find("\nquery ");
        size_t identity = text.find("cmd=90");
        size_t clock = text.find("\nclock divisor=", query);
        if (clockCase.line.empty()) {
            EXPECT_EQ(clock, std::string::npos);
        } else {
            ASSERT_NE(clock, std::string::npos);
            EXPECT_LT(clock, identity);
        }
    }
}

// ---------------------------------------------------------------- file errors

TEST_F(ProgramTest, ImageTooBigForItsStartSector) {
    makeImage("a.bin", 100, 1);
    makeImage("big.bin", SECTOR + 1);
    makeImage("huge.bin", FLASH_SIZE + 1);
    struct BigCase {
        std::vector<std::string> arguments;
        std::string before;
        std::vector<std::pair<size_t, std::string>> flash;
    };
    const std::vector<BigCase> cases = {
        {{"-s", "7", "-f", "big.bin"}, "", {}},
        {{"-s", "0", "-f", "huge.bin"}, "", {}},
        {{"-s", "0", "-f", "a.bin", "-s", "7", "-f", "big.bin"},
         jobText("a.bin", 0, 100),
         {{0, imageBytes(100, 1)}}},
    };
    for (const BigCase& bigCase : cases) {
        unlink(path("flash.bin").c_str());
        ProgramResult result = run(bigCase.arguments);
        EXPECT_EQ(result.output, BANNER + bigCase.before + TOO_BIG);
        EXPECT_EQ(result.status, STATUS_ERROR);
        EXPECT_TRUE(adapterClosed());
        expectFlash(bigCase.flash);
    }
}

TEST_F(ProgramTest, FileOfFourGibibytesAndMoreIsTooBig) {
    if (truncate((makeImage("sparse.bin", 0), path("sparse.bin")).c_str(), (1ll << 32) + 100) != 0) {
        GTEST_SKIP() << "no sparse file here";
    }
    ProgramResult result = run({"-s", "0", "-f", "sparse.bin"});
    EXPECT_EQ(result.output, BANNER + TOO_BIG);
    EXPECT_EQ(result.status, STATUS_ERROR);
}

TEST_F(ProgramTest, FileThatCannotBeReadAtWriteTime) {
    // Windows has no FIFOs; Wine opens one without blocking and reads it empty.
    if (!programIsWrapped()) {
        ASSERT_EQ(mkfifo(path("fifo").c_str(), 0644), 0);
        ProgramResult unopenable = run({"-s", "0", "-f", "fifo"});
        EXPECT_EQ(unopenable.output, BANNER + "can not read file fifo\n");
        EXPECT_EQ(unopenable.status, STATUS_ERROR);
        EXPECT_TRUE(adapterClosed());
    }
    // Kernel attribute files report a size larger than what a read delivers.
    const char* shortFile = "/sys/kernel/mm/transparent_hugepage/enabled";
    struct stat status;
    if (stat(shortFile, &status) != 0 || status.st_size <= 100) {
        GTEST_SKIP() << "no short kernel file here";
    }
    ProgramResult shortRead = run({"-s", "0", "-f", shortFile});
    EXPECT_EQ(shortRead.output, BANNER + "can not read file " + shortFile + "\n");
    EXPECT_EQ(shortRead.status, STATUS_ERROR);
    expectFlash({});
}

// ---------------------------------------------------------------- adapter and target

struct FailureCase {
    std::string name;
    std::vector<std::string> environment;
    std::string expectedAfterBanner;
    bool opened;
};

TEST_F(ProgramTest, AdapterAndTargetFailures) {
    makeImage("a.bin", SECTOR + 10, 3);
    const std::string job = "\nFile Name : a.bin \nStart Sector :0\n";
    const std::vector<FailureCase> cases = {
        {"no device", {"VADAPTER_DEVICES="}, "Failed to found VEXIL\n", false},
        {"count fails", {"VADAPTER_COUNT_STATUS=4"}, "Failed to found VEXIL\n", false},
        {"describe fails first",
         {"VADAPTER_DEVICES=Vexil one|A|1;Vexil two|A|2", "VADAPTER_DESCRIBE_FAIL=0:3"},
         "Failed to found VEXIL\n",
         false},
        {"lower case name", {"VADAPTER_DEVICES=vexil cable|A|1"}, "Failed to found VEXIL\n", false},
        {"two-letter channel", {"VADAPTER_DEVICES=Vexil cable|AB|1"}, "Failed to found VEXIL\n", false},
        {"open fails", {"VADAPTER_OPEN_STATUS=2"}, "Failed to connect VEXIL\n", false},
        {"line levels fail", {"VADAPTER_LINE_LEVELS_STATUS=5"}, "Failed to connect VEXIL\n", true},
        {"query fails", {"VADAPTER_QUERY_STATUS=6"}, "Failed to connect VEXIL\n", true},
        {"wrong identity", {"VADAPTER_IDENTITY=0xAD"}, "invalid Flash ID(ad)", true},
        {"identity 5", {"VADAPTER_IDENTITY=5"}, "invalid Flash ID(5)", true},
        {"unerased sector",
         {"VADAPTER_UNERASED_SECTOR=1"},
         job + eraseText(2) + "Erase Verify...Error\n",
         true},
        {"stuck bit",
         {"VADAPTER_STUCK_BIT=0x4000:0x02:1"},
         job + eraseText(2) + "Erase Verify...OK\n" + programText(SECTOR + 10) + "Error\n",
         true},
        {"reads deliver nothing",
         {"VADAPTER_EMPTY_READS=always"},
         job + eraseText(2) + "Erase Verify...Error\n",
         true},
        {"four empty reads in a row",
         {"VADAPTER_EMPTY_READS=4"},
         job + eraseText(2) + "Erase Verify...Error\n",
         true},
        {"stuck busy during erase",
         {"VADAPTER_STUCK_AFTER=0x20:2"},
         job + "\r1/2 sectors erased\r2/2 sectors erasedError\n",
         true},
        {"stuck busy after the last byte",
         {"VADAPTER_STUCK_AFTER=0xaf:16394"},
         job + eraseText(2) + "Erase Verify...OK\n" + programText(SECTOR + 10) + "Data Write Error\n",
         true},
        {"stuck busy after programming",
         {"VADAPTER_STUCK_AFTER=0x34:1"},
         job + eraseText(2) + "Erase Verify...OK\n" + programText(SECTOR + 10) + "Error\n",
         true},
    };
    for (const FailureCase& failure : cases) {
        if (needsVirtualAdapter(failure.environment)) {
            continue;
        }
        unlink(path("trace.txt").c_str());
        ProgramResult result = run({"-s", "0", "-f", "a.bin", "-e"}, failure.environment);
        EXPECT_EQ(result.output, BANNER + failure.expectedAfterBanner + PROMPT) << failure.name;
        EXPECT_EQ(result.status, STATUS_ERROR) << failure.name;
        EXPECT_EQ(adapterOpened(), failure.opened) << failure.name;
        EXPECT_EQ(adapterClosed(), failure.opened) << failure.name;
        EXPECT_EQ(trace().find("violation:"), std::string::npos) << failure.name;
    }
}

TEST_F(ProgramTest, FirstMatchingDeviceIsOpened) {
    if (programIsOverUsb()) {
        GTEST_SKIP() << "the virtual adapter's device list; the USB listing has its own test";
    }
    makeImage("a.bin", 10);
    ProgramResult result = run({"-s", "0", "-f", "a.bin", "-e"},
                               {"VADAPTER_DEVICES=Other cable|A|0x10;Vexil first|B|0x11;Vexil second|A|0x12;"
                                "Vexil third|A|0x13"});
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(trace().find("open name=\"Vexil second\" location=0x12 channel=\"A\""), std::string::npos);
}

TEST_F(ProgramTest, ShortReadsAreContinued) {
    if (programIsOverUsb()) {
        GTEST_SKIP() << "the virtual adapter's short reads; short USB reads have their own test";
    }
    makeImage("a.bin", 2 * SECTOR, 5);
    const std::vector<std::string> faults = {"VADAPTER_SHORT_READ=1000", "VADAPTER_SHORT_READ=1000:always",
                                             "VADAPTER_SHORT_READ=16383",
                                             // Fewer passes in a row than make the read give up.
                                             "VADAPTER_EMPTY_READS=3"};
    for (const std::string& shortRead : faults) {
        unlink(path("flash.bin").c_str());
        ProgramResult result = run({"-s", "4", "-f", "a.bin", "-e"}, {shortRead});
        EXPECT_EQ(result.output, BANNER + jobText("a.bin", 4, 2 * SECTOR) + COMPLETED) << shortRead;
        expectFlash({{4 * SECTOR, imageBytes(2 * SECTOR, 5)}});
    }
}

TEST_F(ProgramTest, AdapterVanishingMidRun) {
    if (programIsOverUsb()) {
        GTEST_SKIP() << "the virtual adapter's vanishing; an unplugged cable has its own test";
    }
    makeImage("a.bin", SECTOR + 10, 3);
    const std::string job = "\nFile Name : a.bin \nStart Sector :0\n";
    // The eight opening calls come first, then the identity read.
    const std::vector<FailureCase> cases = {
        {"before the identity read", {"VADAPTER_VANISH_AFTER=8"}, "invalid Flash ID(0)", true},
        {"before the erase", {"VADAPTER_VANISH_AFTER=9"}, job + "Error\n", true},
        {"while programming",
         {"VADAPTER_VANISH_AFTER=5000"},
         job + eraseText(2) + "Erase Verify...OK\n" + programText(SECTOR + 10) + "Data Write Error\n",
         true},
    };
    for (const FailureCase& failure : cases) {
        unlink(path("flash.bin").c_str());
        ProgramResult result = run({"-s", "0", "-f", "a.bin", "-e"}, failure.environment);
        EXPECT_EQ(result.output, BANNER + failure.expectedAfterBanner + PROMPT) << failure.name;
        EXPECT_EQ(result.status, STATUS_ERROR) << failure.name;
        EXPECT_NE(trace().find("\nclose "), std::string::npos) << failure.name;
    }
}

TEST_F(ProgramTest, TargetThatNeverFinishesAnErase) {
    makeImage("a.bin", 100);
    ProgramResult result = run({"-s", "3", "-f", "a.bin"}, {"VADAPTER_STUCK_AFTER=0x20:1"});
    EXPECT_EQ(result.output,
              BANNER + "\nFile Name : a.bin \nStart Sector :3\n\r1/1 sectors erasedError\n" + PROMPT);
    EXPECT_EQ(result.status, STATUS_ERROR);
    EXPECT_TRUE(adapterClosed());
}

} // namespace

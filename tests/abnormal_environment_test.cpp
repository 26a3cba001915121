// Write runs in abnormal environments (Linux, both paths): standard streams
// closed, kills while the flash file is made, a full filesystem, a flash file
// truncated by another process, an image from /proc, and signals at the key
// prompt on a terminal. Each row checks the status, the message and the
// flash file byte for byte.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <random>

#include "program_fixture.h"
#include "terminal_session.h"

namespace {

enum Environment {
    CLOSED_STREAMS,
    KILLED_WHILE_CREATING,
    FULL_FILESYSTEM,
    TRUNCATED_MID_RUN,
    PROC_IMAGE,
    SIGNAL_AT_PROMPT,
    STOP_AT_PROMPT,
};

// What the flash file holds once the run is over.
enum FlashAfter {
    FLASH_WITH_JOB,    // the job's bytes, 0xff everywhere else
    FLASH_ERASED,      // 0xff everywhere
    FLASH_ABSENT,      // no file at all
    FLASH_NOT_COMPARED // changed under the program by another process
};

struct AbnormalCase {
    const char* name;
    Environment environment;
    unsigned closedStreams; // bit n: descriptor n is closed at the start
    bool waitForKey;        // no -e: the run ends at the key prompt
    int signalNumber;
    int status;          // expected exit status; -1: ended by signalNumber
    const char* message; // expected in standard output or error
    FlashAfter flashAfter;
};

const unsigned STDIN_BIT = 1u << STDIN_FILENO;
const unsigned STDOUT_BIT = 1u << STDOUT_FILENO;
const unsigned STDERR_BIT = 1u << STDERR_FILENO;
const int KILL_ITERATIONS = 60;
const int KILL_WINDOW_US = 4000;
const int TIMEOUT_MS = 30000;
const int POLL_MS = 1;
const unsigned JOB_SECTOR = 3;
const size_t JOB_BYTES = 3000;

const AbnormalCase CASES[] = {
    {"StdoutClosed", CLOSED_STREAMS, STDOUT_BIT, false, 0, 0, "", FLASH_WITH_JOB},
    {"StderrClosed", CLOSED_STREAMS, STDERR_BIT, false, 0, 0, COMPLETED.c_str(), FLASH_WITH_JOB},
    {"StdinClosedAtTheKeyPrompt", CLOSED_STREAMS, STDIN_BIT, true, 0, 0, COMPLETED.c_str(), FLASH_WITH_JOB},
    {"AllThreeClosed", CLOSED_STREAMS, STDIN_BIT | STDOUT_BIT | STDERR_BIT, true, 0, 0, "", FLASH_WITH_JOB},
    {"KilledWhileCreatingTheFlashFile", KILLED_WHILE_CREATING, 0, false, SIGKILL, 0, COMPLETED.c_str(),
     FLASH_WITH_JOB},
    {"FullFilesystem", FULL_FILESYSTEM, 0, false, 0, STATUS_ERROR, "no room for its 131072 bytes",
     FLASH_ABSENT},
    {"FlashFileTruncatedMidRun", TRUNCATED_MID_RUN, 0, false, 0, 0, COMPLETED.c_str(), FLASH_NOT_COMPARED},
    {"ProcImage", PROC_IMAGE, 0, false, 0, STATUS_ERROR, "can not read file /proc/cpuinfo\n", FLASH_ERASED},
    {"SigquitAtTheKeyPrompt", SIGNAL_AT_PROMPT, 0, true, SIGQUIT, -1, COMPLETED.c_str(), FLASH_WITH_JOB},
    {"SigalrmAtTheKeyPrompt", SIGNAL_AT_PROMPT, 0, true, SIGALRM, -1, COMPLETED.c_str(), FLASH_WITH_JOB},
    {"Sigusr1AtTheKeyPrompt", SIGNAL_AT_PROMPT, 0, true, SIGUSR1, -1, COMPLETED.c_str(), FLASH_WITH_JOB},
    {"StopAndContinueAtTheKeyPrompt", STOP_AT_PROMPT, 0, true, SIGTSTP, 0, COMPLETED.c_str(), FLASH_WITH_JOB},
};

void PrintTo(const AbnormalCase& row, std::ostream* out) {
    *out << row.name;
}

struct Ended {
    int status = -1; // exit status, or -1 when ended by a signal
    int signal = 0;
    bool timedOut = false;
};

Ended endedBy(int waitStatus) {
    Ended ended;
    if (WIFEXITED(waitStatus)) {
        ended.status = WEXITSTATUS(waitStatus);
    } else if (WIFSIGNALED(waitStatus)) {
        ended.signal = WTERMSIG(waitStatus);
    }
    return ended;
}

Ended waitWithin(pid_t pid, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += POLL_MS) {
        int waitStatus = 0;
        if (waitpid(pid, &waitStatus, WNOHANG) == pid) {
            return endedBy(waitStatus);
        }
        usleep(POLL_MS * 1000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    Ended ended;
    ended.timedOut = true;
    return ended;
}

// Polls until the condition holds, at most timeoutMs.
template <typename Condition> bool within(int timeoutMs, Condition condition) {
    for (int waited = 0; waited < timeoutMs; waited += POLL_MS) {
        if (condition()) {
            return true;
        }
        usleep(POLL_MS * 1000);
    }
    return condition();
}

char processState(pid_t pid) {
    std::string stat = readWholeFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? '?' : stat[close + 2];
}

class AbnormalEnvironmentTest : public ProgramTest, public ::testing::WithParamInterface<AbnormalCase> {
  protected:
    std::vector<std::string> arguments(const AbnormalCase& row, const std::string& image) const {
        std::vector<std::string> words = {"-s", std::to_string(JOB_SECTOR), "-f", image};
        if (!row.waitForKey) {
            words.push_back("-e");
        }
        return words;
    }
    // The program's words and environment as runProgram would give them,
    // with the test's flash file, trace and frames.
    ProgramRun programRun(const std::vector<std::string>& words,
                          const std::string& flashPath = "flash.bin") const {
        ProgramRun run;
        run.arguments = words;
        run.environment = {"VADAPTER_FLASH=" + flashPath, "VADAPTER_TRACE=trace.txt"};
        if (programIsOverUsb()) {
            run.environment.push_back("VUSB_FRAMES=frames.txt");
        }
        return run;
    }
    // Starts the command in the test's folder: standard input from the null
    // device, output and error to out.txt and err.txt, those in closed shut.
    pid_t start(const std::vector<std::string>& command, const ProgramRun& run, unsigned closed) const {
        std::vector<std::string> words = command;
        std::vector<std::string> environment = programEnvironment(run);
        std::vector<char*> argv;
        for (std::string& word : words) {
            argv.push_back(&word[0]);
        }
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& entry : environment) {
            envp.push_back(&entry[0]);
        }
        envp.push_back(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            if (chdir(directory.c_str()) != 0) {
                _exit(126);
            }
            const char* targets[] = {"/dev/null", "out.txt", "err.txt"};
            for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; descriptor++) {
                int opened = descriptor == STDIN_FILENO
                                 ? open(targets[descriptor], O_RDONLY)
                                 : open(targets[descriptor], O_WRONLY | O_CREAT | O_TRUNC, 0644);
                dup2(opened, descriptor);
                close(opened);
            }
            for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; descriptor++) {
                if (closed & (1u << descriptor)) {
                    close(descriptor);
                }
            }
            execvpe(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        return pid;
    }
    std::string output() const {
        return readWholeFile(path("out.txt")) + readWholeFile(path("err.txt"));
    }
    std::string jobImage() const {
        return imageBytes(JOB_BYTES, 5);
    }
    void expectFlashAfter(FlashAfter after) const {
        struct stat status;
        bool exists = stat(path("flash.bin").c_str(), &status) == 0;
        if (after == FLASH_ABSENT) {
            EXPECT_FALSE(exists);
        } else if (after == FLASH_WITH_JOB) {
            expectFlash({{JOB_SECTOR * SECTOR, jobImage()}});
        } else if (after == FLASH_ERASED) {
            expectFlash({});
        }
    }

    Ended runClosedStreams(const AbnormalCase& row);
    Ended runKillsWhileCreating(const AbnormalCase& row);
    Ended runFullFilesystem(const AbnormalCase& row);
    Ended runTruncatedMidRun(const AbnormalCase& row);
    Ended runAtPrompt(const AbnormalCase& row);
};

Ended AbnormalEnvironmentTest::runClosedStreams(const AbnormalCase& row) {
    ProgramRun run = programRun(arguments(row, "job.bin"));
    Ended ended = waitWithin(start(programCommandLine(run), run, row.closedStreams), TIMEOUT_MS);
    // Console text goes nowhere else: not into the flash (compared below),
    // nor into the trace or the cable's frames.
    EXPECT_EQ(readWholeFile(path("trace.txt")).find("Flash Writer"), std::string::npos);
    EXPECT_EQ(readWholeFile(path("frames.txt")).find("Flash Writer"), std::string::npos);
    if (!(row.closedStreams & STDOUT_BIT)) {
        EXPECT_EQ(readWholeFile(path("out.txt")).find(BANNER), 0u);
    }
    return ended;
}

// Each kill leaves no flash file or a whole one: 131072 bytes, 0xff outside
// the job's sector and, inside it, each byte erased or the job's. The next
// run on whatever was left writes the job and leaves the rest erased.
Ended AbnormalEnvironmentTest::runKillsWhileCreating(const AbnormalCase& row) {
    std::mt19937 random(18);
    ProgramRun run = programRun(arguments(row, "job.bin"));
    std::vector<std::string> command = programCommandLine(run);
    const std::string image = jobImage();
    Ended ended;
    for (int iteration = 0; iteration < KILL_ITERATIONS && !HasFailure(); iteration++) {
        unlink(path("flash.bin").c_str());
        pid_t pid = start(command, run, 0);
        usleep(random() % KILL_WINDOW_US);
        kill(pid, row.signalNumber);
        waitpid(pid, nullptr, 0);
        std::string left = flash();
        struct stat status;
        if (stat(path("flash.bin").c_str(), &status) == 0) {
            EXPECT_EQ(left.size(), FLASH_SIZE) << "iteration " << iteration;
            for (size_t i = 0; i < left.size() && !HasFailure(); i++) {
                size_t inJob = i - JOB_SECTOR * SECTOR;
                bool erased = left[i] == '\xFF';
                EXPECT_TRUE(erased ||
                            (i >= JOB_SECTOR * SECTOR && inJob < image.size() && left[i] == image[inJob]))
                    << "iteration " << iteration << ", byte " << i;
            }
        }
        ended = waitWithin(start(command, run, 0), TIMEOUT_MS);
        EXPECT_EQ(ended.status, row.status) << "iteration " << iteration << ": " << output();
        expectFlashAfter(row.flashAfter);
    }
    // Nothing but the flash file is left beside it, whenever the kill came.
    EXPECT_EQ(system(("cd '" + directory + "' && ! ls -A | grep -v -x -e flash.bin -e job.bin -e trace.txt " +
                      "-e frames.txt -e out.txt -e err.txt")
                         .c_str()),
              0);
    return ended;
}

Ended AbnormalEnvironmentTest::runFullFilesystem(const AbnormalCase& row) {
    // Root of its own user and mount namespaces, the test mounts a tmpfs too
    // small for the flash on a folder of its own.
    mkdir(path("full").c_str(), 0755);
    std::string mount = "mount -t tmpfs -o size=64k tmpfs full";
    if (system(("cd '" + directory + "' && unshare -rm sh -c '" + mount + "' 2>/dev/null").c_str()) != 0) {
        return Ended();
    }
    ProgramRun run = programRun(arguments(row, "job.bin"), "full/flash.bin");
    std::vector<std::string> command = {"unshare",
                                        "-rm",
                                        "sh",
                                        "-c",
                                        mount + " || exit 99; \"$@\"; status=$?; ls -A full >listing.txt; "
                                                "exit $status",
                                        "sh"};
    for (const std::string& word : programCommandLine(run)) {
        command.push_back(word);
    }
    Ended ended = waitWithin(start(command, run, 0), TIMEOUT_MS);
    EXPECT_NE(output().find("Failed to connect VEXIL"), std::string::npos);
    EXPECT_EQ(readWholeFile(path("listing.txt")), "") << "left on the full filesystem";
    return ended;
}

// Another process truncates the flash file while the job erases.
Ended AbnormalEnvironmentTest::runTruncatedMidRun(const AbnormalCase& row) {
    writeFile(path("whole.bin"), imageBytes(FLASH_SIZE, 7));
    ProgramRun run = programRun({"-s", "0", "-f", "whole.bin", "-e"});
    run.environment.push_back("VADAPTER_REALTIME=1");
    pid_t pid = start(programCommandLine(run), run, 0);
    bool erasing = within(TIMEOUT_MS, [&] {
        return readWholeFile(path("out.txt")).find("sectors erased") != std::string::npos ||
               (!programIsOverUsb() &&
                readWholeFile(path("trace.txt")).find("cmd=20") != std::string::npos) ||
               (programIsOverUsb() && flash().size() == FLASH_SIZE);
    });
    EXPECT_TRUE(erasing);
    EXPECT_EQ(truncate(path("flash.bin").c_str(), 0), 0);
    Ended ended = waitWithin(pid, TIMEOUT_MS);
    (void)row;
    return ended;
}

// Signals at the key prompt, on a terminal as from a shell.
Ended AbnormalEnvironmentTest::runAtPrompt(const AbnormalCase& row) {
    ProgramRun run = programRun(arguments(row, "job.bin"));
    TerminalSession session;
    EXPECT_TRUE(startInTerminal(programCommandLine(run), programEnvironment(run), directory, &session));
    auto rawAtPrompt = [&] {
        drainTerminal(&session);
        return session.shown.find("Please any key....") != std::string::npos &&
               !terminalSane(session.terminal);
    };
    EXPECT_TRUE(within(TIMEOUT_MS, rawAtPrompt)) << session.shown;
    kill(session.program, row.signalNumber);
    if (row.environment == STOP_AT_PROMPT) {
        EXPECT_TRUE(within(TIMEOUT_MS, [&] { return processState(session.program) == 'T'; }));
        EXPECT_TRUE(terminalSane(session.terminal))
            << "the shell gets echo and line mode while it is stopped";
        kill(session.program, SIGCONT);
        EXPECT_TRUE(within(TIMEOUT_MS, [&] { return !terminalSane(session.terminal); }))
            << "raw once continued";
        EXPECT_EQ(write(session.master, "k", 1), 1);
    }
    int waitStatus = 0;
    Ended ended;
    ended.timedOut = !waitTerminalSession(&session, TIMEOUT_MS, &waitStatus);
    if (!ended.timedOut) {
        ended = endedBy(waitStatus);
    }
    EXPECT_TRUE(terminalSane(session.terminal)) << "echo and line mode once the program has ended";
    writeFile(path("out.txt"), session.shown);
    closeTerminalSession(&session);
    return ended;
}

TEST_P(AbnormalEnvironmentTest, EndsAsTheEnvironmentAllows) {
    const AbnormalCase& row = GetParam();
    if (programIsWrapped()) {
        GTEST_SKIP() << "Linux environments: descriptors, namespaces, terminals and signals";
    }
    writeFile(path("job.bin"), jobImage());
    Ended ended;
    switch (row.environment) {
    case CLOSED_STREAMS:
        ended = runClosedStreams(row);
        break;
    case KILLED_WHILE_CREATING:
        ended = runKillsWhileCreating(row);
        break;
    case FULL_FILESYSTEM:
        ended = runFullFilesystem(row);
        if (ended.status == -1 && ended.signal == 0 && !ended.timedOut) {
            GTEST_SKIP() << "this host allows no tmpfs in a private mount namespace (unshare -rm)";
        }
        break;
    case TRUNCATED_MID_RUN:
        ended = runTruncatedMidRun(row);
        break;
    case PROC_IMAGE: {
        ProgramRun run = programRun({"-s", "2", "-f", "/proc/cpuinfo", "-e"});
        ended = waitWithin(start(programCommandLine(run), run, 0), TIMEOUT_MS);
        EXPECT_EQ(readWholeFile(path("out.txt")), BANNER + row.message);
        break;
    }
    case SIGNAL_AT_PROMPT:
    case STOP_AT_PROMPT:
        ended = runAtPrompt(row);
        break;
    }
    EXPECT_FALSE(ended.timedOut);
    if (row.status < 0) {
        EXPECT_EQ(ended.signal, row.signalNumber) << output();
    } else {
        EXPECT_EQ(ended.signal, 0) << output();
        EXPECT_EQ(ended.status, row.status) << output();
    }
    EXPECT_NE(output().find(row.message), std::string::npos) << output();
    expectFlashAfter(row.flashAfter);
}

INSTANTIATE_TEST_SUITE_P(Linux, AbnormalEnvironmentTest, ::testing::ValuesIn(CASES),
                         [](const ::testing::TestParamInfo<AbnormalCase>& info) { return info.param.name; });

} // namespace

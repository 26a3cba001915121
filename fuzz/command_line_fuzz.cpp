// Runs parseCommandLine on an argument vector cut from the input at its NUL
// bytes (the first word is the program name; an empty input gives no words)
// and holds the outcome against a walk of its own: the job count, the jobs,
// the clock divisor, the no-wait flag, everything printed, and whether the
// process would have ended. Each word and the vector itself are allocated to
// their exact size; argv[argc] holds nullptr as main() receives it, but is
// poisoned, so any read of it or past any word is reported by the address
// sanitizer. The fuzz platform takes files starting with "img" as existing
// and turns platformExit into a jump back here.
#include <sanitizer/asan_interface.h>
#include <setjmp.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz/fuzz_platform.h"
#include "fuzz/number_model.h"
#include "orvanwriter/command_line.h"

// Inputs beyond this are skipped: they only repeat shorter ones and could
// outgrow the output capture.
static const size_t MAX_INPUT_BYTES = 64 * 1024;
static const uint32_t SECTORS_PER_DEVICE = 8;
static const char* const KEY_PROMPT_TEXT = "\nPlease any key....\n";

struct Prediction {
    bool exits;
    uint32_t count;
    // Index into the words of each job's file name.
    size_t fileWords[MAX_JOBS];
    uint32_t sectors[MAX_JOBS];
    uint32_t divisor;
    bool noWait;
    std::string output;
};

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    captureStdout();
    return 0;
}

static std::vector<std::string> splitWords(const uint8_t* data, size_t size) {
    std::vector<std::string> words;
    if (size == 0) {
        return words;
    }
    const char* text = reinterpret_cast<const char*>(data);
    size_t start = 0;
    for (size_t i = 0; i <= size; i++) {
        if (i == size || text[i] == '\0') {
            words.emplace_back(text + start, i - start);
            start = i + 1;
        }
    }
    return words;
}

// The sector as the error message shows it: a signed 32-bit decimal.
static std::string signedText(uint32_t value) {
    if (value < 0x80000000u) {
        return std::to_string(value);
    }
    return "-" + std::to_string(0x100000000ull - value);
}

static void predictExit(Prediction* prediction, const std::string& message) {
    prediction->exits = true;
    prediction->output += message + KEY_PROMPT_TEXT;
}

static Prediction predictOutcome(const std::vector<std::string>& words) {
    Prediction prediction = {};
    prediction.divisor = DEFAULT_CLOCK_DIVISOR;
    if (words.size() < 3) {
        return prediction;
    }
    std::vector<size_t> files;
    std::vector<uint32_t> sectors;
    for (size_t i = 1; i < words.size(); i += 2) {
        const std::string& option = words[i];
        if (option == "-e") {
            prediction.noWait = true;
            continue;
        }
        if (option != "-q" && option != "-s" && option != "-f") {
            prediction.output += "invalid argument (" + option + ")\n";
            return prediction;
        }
        if (i + 1 == words.size()) {
            return prediction;
        }
        const std::string& value = words[i + 1];
        if (option == "-f") {
            if (value.compare(0, strlen(FUZZ_EXISTING_FILE_PREFIX), FUZZ_EXISTING_FILE_PREFIX) != 0) {
                predictExit(&prediction, "File(" + value + ") not found\n");
                return prediction;
            }
            if (files.size() == MAX_JOBS) {
                return prediction;
            }
            files.push_back(i + 1);
            continue;
        }
        NumberReading reading = modelParseNumber(value);
        if (!reading.ok) {
            prediction.output += "argument is not valid\n";
            return prediction;
        }
        if (option == "-q") {
            prediction.divisor = reading.value;
            continue;
        }
        if (reading.value >= SECTORS_PER_DEVICE) {
            predictExit(&prediction, "Error : Sector number(" + signedText(reading.value) + ")>7 \n");
            return prediction;
        }
        if (sectors.size() == MAX_JOBS) {
            return prediction;
        }
        sectors.push_back(reading.value);
    }
    if (files.size() == sectors.size()) {
        prediction.count = static_cast<uint32_t>(files.size());
        for (uint32_t j = 0; j < prediction.count; j++) {
            prediction.fileWords[j] = files[j];
            prediction.sectors[j] = sectors[j];
        }
    }
    return prediction;
}

// Runs the parser; true when it ended the process through platformExit.
static bool parseUntilExit(int argumentCount, char** arguments, RunOptions* options, uint32_t* count) {
    jmp_buf exitJump;
    fuzzPlatform.exitJump = &exitJump;
    if (setjmp(exitJump) != 0) {
        fuzzPlatform.exitJump = nullptr;
        return true;
    }
    *count = parseCommandLine(argumentCount, arguments, options);
    fuzzPlatform.exitJump = nullptr;
    return false;
}

static void checkOutcome(const Prediction& expected, bool exited, uint32_t count, const RunOptions& options,
                         char** arguments) {
    size_t outputSize = 0;
    const char* output = capturedOutput(&outputSize);
    if (outputSize != expected.output.size() || memcmp(output, expected.output.data(), outputSize) != 0) {
        fuzzFailure("printed \"%.*s\", expected \"%s\"\n", static_cast<int>(outputSize), output,
                    expected.output.c_str());
    }
    if (exited != expected.exits) {
        fuzzFailure("process %s, expected it %s\n", exited ? "ended" : "went on",
                    expected.exits ? "ended" : "went on");
    }
    if (exited) {
        if (fuzzPlatform.exitStatus != EXIT_STATUS_ERROR || fuzzPlatform.keyReads != 1) {
            fuzzFailure("ended with status %d after %u key reads\n", fuzzPlatform.exitStatus,
                        fuzzPlatform.keyReads);
        }
        return;
    }
    if (fuzzPlatform.keyReads != 0) {
        fuzzFailure("read %u keys without ending\n", fuzzPlatform.keyReads);
    }
    if (count > MAX_JOBS || count != expected.count || options.jobCount != count) {
        fuzzFailure("job count %u (options say %u), expected %u\n", count, options.jobCount, expected.count);
    }
    for (uint32_t j = 0; j < count; j++) {
        const ImageJob& job = options.jobs[j];
        if (job.startSector >= SECTORS_PER_DEVICE || job.startSector != expected.sectors[j] ||
            job.fileName != arguments[expected.fileWords[j]]) {
            fuzzFailure("job %u is sector %u with a name other than word %zu\n", j, job.startSector,
                        expected.fileWords[j]);
        }
    }
    if (count > 0 && (options.clockDivisor != expected.divisor || options.noWait != expected.noWait)) {
        fuzzFailure("divisor %u no-wait %d, expected %u and %d\n", options.clockDivisor, options.noWait,
                    expected.divisor, expected.noWait);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > MAX_INPUT_BYTES) {
        return 0;
    }
    std::vector<std::string> words = splitWords(data, size);
    int argumentCount = static_cast<int>(words.size());
    char** arguments = new char*[words.size() + 1];
    for (size_t i = 0; i < words.size(); i++) {
        arguments[i] = new char[words[i].size() + 1];
        memcpy(arguments[i], words[i].c_str(), words[i].size() + 1);
    }
    arguments[argumentCount] = nullptr;
    ASAN_POISON_MEMORY_REGION(&arguments[argumentCount], sizeof(char*));

    Prediction expected = predictOutcome(words);
    RunOptions options;
    memset(&options, 0xA5, sizeof(options));
    resetFuzzPlatform();
    clearCapturedOutput();
    uint32_t count = 0;
    bool exited = parseUntilExit(argumentCount, arguments, &options, &count);
    checkOutcome(expected, exited, count, options, arguments);

    ASAN_UNPOISON_MEMORY_REGION(&arguments[argumentCount], sizeof(char*));
    for (int i = 0; i < argumentCount; i++) {
        delete[] arguments[i];
    }
    delete[] arguments;
    return 0;
}

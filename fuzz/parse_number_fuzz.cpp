// Holds parseNumber against the model reading: same verdict, same value, and
// "argument is not valid" printed exactly when the reading fails. The text is
// the input up to its first NUL byte, in an allocation of exactly that size
// plus the terminator, so a read past the end is reported.
#include <stdint.h>
#include <string.h>

#include <string>

#include "fuzz/fuzz_platform.h"
#include "fuzz/number_model.h"
#include "orvanwriter/command_line.h"

static const char* const NOT_VALID_MESSAGE = "argument is not valid\n";
static const uint32_t UNTOUCHED_VALUE = 0x5A5A5A5Au;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    captureStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t length = strnlen(reinterpret_cast<const char*>(data), size);
    char* text = new char[length + 1];
    memcpy(text, data, length);
    text[length] = '\0';

    NumberReading expected = modelParseNumber(std::string(text, length));
    clearCapturedOutput();
    uint32_t value = UNTOUCHED_VALUE;
    bool ok = parseNumber(text, &value);
    size_t outputSize = 0;
    const char* output = capturedOutput(&outputSize);

    if (ok != expected.ok || (ok && value != expected.value)) {
        fuzzFailure("parseNumber(\"%s\") gave ok=%d value=0x%08X, expected ok=%d value=0x%08X\n", text, ok,
                    value, expected.ok, expected.value);
    }
    const char* expectedOutput = ok ? "" : NOT_VALID_MESSAGE;
    if (outputSize != strlen(expectedOutput) || memcmp(output, expectedOutput, outputSize) != 0) {
        fuzzFailure("parseNumber(\"%s\") printed \"%.*s\"\n", text, static_cast<int>(outputSize), output);
    }
    delete[] text;
    return 0;
}

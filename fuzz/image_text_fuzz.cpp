// Fuzz target for the Intel HEX and S-record parsers: any text either parses
// or is refused with one line naming the file; never a read or write outside
// the image map (the sanitizers watch that).
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "orvan/images/image_formats.h"
#include "orvan/images/image_map.h"

static const char* const WHAT = "fuzz.hex";

// A refusal is one line that begins with the file's name.
static void checkRefusal(const ImageError& error) {
    size_t length = strnlen(error.text, sizeof(error.text));
    if (length == 0 || length == sizeof(error.text) || strncmp(error.text, WHAT, strlen(WHAT)) != 0 ||
        memchr(error.text, '\n', length) != nullptr) {
        abort();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    uint32_t length = static_cast<uint32_t>(size);
    for (int format = 0; format < 2; format++) {
        resetImageMap();
        static ImageError error;
        memset(&error, 0, sizeof(error));
        bool parsed = format == 0 ? parseIntelHex(text, length, 0, WHAT, &error)
                                  : parseSrecord(text, length, 0, WHAT, &error);
        if (!parsed) {
            checkRefusal(error);
        }
    }
    return 0;
}

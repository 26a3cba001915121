// What the platform offers on every system, built on its own calls.
#include "core/platform/platform.h"

std::string platformReadSharedFile(const char* path) {
    const uint32_t CHUNK_BYTES = 4096;
    std::string text;
    PlatformFile file;
    if (!platformOpenSharedFile(path, &file)) {
        return text;
    }
    uint8_t chunk[CHUNK_BYTES];
    uint32_t got = 0;
    while (platformReadFile(file, chunk, sizeof(chunk), &got) && got > 0) {
        text.append(reinterpret_cast<const char*>(chunk), got);
    }
    platformCloseFile(file);
    return text;
}

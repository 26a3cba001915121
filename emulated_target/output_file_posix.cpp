#include "emulated_target/output_file.h"

#include <fcntl.h>
#include <unistd.h>

int descriptorAboveStandard(int descriptor) {
    if (descriptor < 0 || descriptor > STDERR_FILENO) {
        return descriptor;
    }
    int moved = fcntl(descriptor, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(descriptor);
    return moved;
}

FILE* createOutputFile(const std::string& path) {
    int descriptor =
        descriptorAboveStandard(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (descriptor < 0) {
        return nullptr;
    }
    FILE* file = fdopen(descriptor, "w");
    if (!file) {
        close(descriptor);
    }
    return file;
}

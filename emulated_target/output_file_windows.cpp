#include "emulated_target/output_file.h"

// The files are opened by handle, never on the console's standard handles.
FILE* createOutputFile(const std::string& path) {
    return fopen(path.c_str(), "wb"); // the same bytes on every system
}

int descriptorAboveStandard(int descriptor) {
    return descriptor;
}

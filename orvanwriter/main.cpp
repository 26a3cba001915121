#include "core/platform/platform.h"
#include "orvanwriter/command_line.h"
#include "orvanwriter/write_run.h"

int main(int argumentCount, char** arguments) {
    static RunOptions options;
    platformGuardStandardStreams();
    platformCatchInterruptions();
    printBanner();
    if (parseCommandLine(argumentCount, arguments, &options) == 0) {
        printUsage();
        exitWithPrompt();
    }
    runWrite(&options);
}

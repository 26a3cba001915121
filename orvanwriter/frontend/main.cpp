#include "orvanwriter/frontend/command_line.h"
#include "orvanwriter/frontend/write_run.h"
#include "orvanwriter/platform/platform.h"

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

// The console on Linux: its events and stop requests arrive as signals.
#include "../RtOsService.h"

#include <cstdio>

#include <unistd.h>

#include "RtOsSignals.h"

namespace rtos {

bool SetConsoleHandler(ConsoleHandlerFn aHandler) { return posix::SetConsoleSignalHandler(aHandler); }

bool SetStopRequestHandler(StopRequestFn aHandler, void* aContext) {
    return posix::SetStopSignalHandler(aHandler, aContext);
}

int ConsoleReadChar() { return getchar(); }

void ConsolePause() {
    if (!isatty(STDIN_FILENO))
        return;
    fputs("Press Enter to continue . . . ", stdout);
    fflush(stdout);
    int c;
    while ((c = getchar()) != '\n' && c != EOF) {
    }
}

}  // namespace rtos

// Console events on Windows.
#include "RtOsWin32.h"

#include <cstdio>
#include <cstdlib>

#include "../RtOsService.h"

namespace rtos {
namespace {

ConsoleHandlerFn g_console = nullptr;

BOOL WINAPI ConsoleEntry(DWORD aEvent) { return g_console && g_console(aEvent) ? TRUE : FALSE; }

}  // namespace

bool SetConsoleHandler(ConsoleHandlerFn aHandler) {
    g_console = aHandler;
    return SetConsoleCtrlHandler(ConsoleEntry, TRUE) != FALSE;
}

// A console process is stopped only by ending it.
bool SetStopRequestHandler(StopRequestFn, void*) { return false; }

int ConsoleReadChar() { return getchar(); }

void ConsolePause() { system("pause"); }

}  // namespace rtos

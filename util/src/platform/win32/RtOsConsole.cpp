// Console events and the instance mutex on Windows.
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

InstanceMutex CreateInstanceMutex(const char* aName, void** aHandle) {
    if (aHandle)
        *aHandle = nullptr;
    HANDLE h = CreateMutexA(nullptr, FALSE, aName);
    if (!h)
        return InstanceMutex::kFailed;
    InstanceMutex result =
        GetLastError() == ERROR_ALREADY_EXISTS ? InstanceMutex::kAlreadyExists : InstanceMutex::kCreated;
    if (aHandle)
        *aHandle = h;
    return result;
}

void ReleaseInstanceMutex(void* aHandle) {
    if (aHandle)
        CloseHandle(static_cast<HANDLE>(aHandle));
}

}  // namespace rtos

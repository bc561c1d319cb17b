#include "../RtOs.h"

#include <cstdio>
#include <cstring>

#include "RtOsWin32.h"
#include <psapi.h>
#include <shlobj.h>

namespace rtos {

uint32_t ProcessId() { return static_cast<uint32_t>(GetCurrentProcessId()); }

uint32_t ThreadId() { return static_cast<uint32_t>(GetCurrentThreadId()); }

void SleepMs(uint32_t ms) { Sleep(ms); }

unsigned ProcessorCount() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors > 0 ? static_cast<unsigned>(info.dwNumberOfProcessors) : 1u;
}

uint64_t ThreadCpuTimeUs() {
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user))
        return 0;
    // FILETIME counts 100 ns units.
    auto units = [](const FILETIME& ft) { return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime; };
    return (units(kernel) + units(user)) / 10u;
}

long OpenHandleCount() {
    DWORD count = 0;
    return GetProcessHandleCount(GetCurrentProcess(), &count) ? static_cast<long>(count) : -1;
}

bool ExecutablePath(char* buf, size_t size) {
    if (!buf || size == 0)
        return false;
    DWORD cap = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
    DWORD n = GetModuleFileNameA(nullptr, buf, cap);
    // A cut name comes back as n == cap: terminated on Vista and later, not
    // terminated on XP. Either way the path is unusable.
    if (n == 0 || n >= cap) {
        buf[0] = '\0';
        return false;
    }
    return true;
}

bool AppDataDir(char* buf, size_t size) {
    if (!buf || size == 0)
        return false;
    buf[0] = '\0';
    // The shell function assumes a MAX_PATH buffer and cannot be bounded.
    char path[MAX_PATH];
    if (!SHGetSpecialFolderPathA(nullptr, path, CSIDL_APPDATA, FALSE))
        return false;
    size_t len = strlen(path);
    if (len >= size)
        return false;
    memcpy(buf, path, len + 1);
    return true;
}

const char* FallbackDataDir() { return "C:"; }

bool QueryProcessMemory(ProcessMemory* out) {
    if (!out)
        return false;
    // Psapi is loaded on first use and kept for the process lifetime, so
    // that the executable does not depend on it at start.
    using GetInfoFn = BOOL(WINAPI*)(HANDLE, PPROCESS_MEMORY_COUNTERS, DWORD);
    static const GetInfoFn s_getInfo = []() -> GetInfoFn {
        HMODULE psapi = LoadLibraryA("Psapi.dll");
        if (!psapi)
            return nullptr;
        return reinterpret_cast<GetInfoFn>(reinterpret_cast<void*>(GetProcAddress(psapi, "GetProcessMemoryInfo")));
    }();
    if (!s_getInfo)
        return false;
    PROCESS_MEMORY_COUNTERS pmc;
    memset(&pmc, 0, sizeof pmc);
    pmc.cb = sizeof pmc;
    if (!s_getInfo(GetCurrentProcess(), &pmc, sizeof pmc))
        return false;
    out->residentBytes = pmc.WorkingSetSize;
    out->virtualBytes = pmc.PagefileUsage;
    out->peakResidentBytes = pmc.PeakWorkingSetSize;
    return true;
}

}  // namespace rtos

#include "../RtOsThread.h"

#include <process.h>

#include "RtOsWin32.h"

namespace rtos {

namespace {
// WaitForSingleObject takes a 32-bit count in which all bits set means
// INFINITE; longer limits are cut just below it rather than wrapped.
DWORD ToWaitMs(uint64_t aTimeoutMs) {
    if (aTimeoutMs == kWaitInfinite)
        return INFINITE;
    return aTimeoutMs >= 0xFFFFFFFEull ? 0xFFFFFFFEul : static_cast<DWORD>(aTimeoutMs);
}

WaitResult Wait(HANDLE aHandle, uint64_t aTimeoutMs) {
    switch (WaitForSingleObject(aHandle, ToWaitMs(aTimeoutMs))) {
    case WAIT_OBJECT_0:
        return WaitResult::kSignaled;
    case WAIT_TIMEOUT:
        return WaitResult::kTimeout;
    default:
        return WaitResult::kFailed;
    }
}

struct ThreadStart {
    ThreadEntry entry;
    void* arg;
};

unsigned __stdcall ThreadMain(void* aArg) {
    ThreadStart start = *static_cast<ThreadStart*>(aArg);
    delete static_cast<ThreadStart*>(aArg);
    return start.entry(start.arg);
}
}  // namespace

EventHandle EventCreate(bool aManualReset, bool aInitialState, const char* aName) {
    return CreateEventA(nullptr, aManualReset ? TRUE : FALSE, aInitialState ? TRUE : FALSE, aName);
}

bool EventClose(EventHandle aEvent) { return aEvent && CloseHandle(aEvent) != FALSE; }
bool EventSet(EventHandle aEvent) { return SetEvent(aEvent) != FALSE; }
bool EventReset(EventHandle aEvent) { return ResetEvent(aEvent) != FALSE; }
bool EventPulse(EventHandle aEvent) { return PulseEvent(aEvent) != FALSE; }
WaitResult EventWait(EventHandle aEvent, uint64_t aTimeoutMs) { return Wait(aEvent, aTimeoutMs); }

SemaphoreHandle SemaphoreCreate(int32_t aInitial, int32_t aMaximum, const char* aName) {
    return CreateSemaphoreA(nullptr, aInitial, aMaximum, aName);
}

bool SemaphoreClose(SemaphoreHandle aSem) { return aSem && CloseHandle(aSem) != FALSE; }
bool SemaphoreRelease(SemaphoreHandle aSem, int32_t aCount) {
    // Windows refuses a count below 1; Wine accepts 0, so it is checked here.
    if (aCount < 1) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return ReleaseSemaphore(aSem, aCount, nullptr) != FALSE;
}
WaitResult SemaphoreWait(SemaphoreHandle aSem, uint64_t aTimeoutMs) { return Wait(aSem, aTimeoutMs); }

ThreadHandle ThreadCreate(ThreadEntry aEntry, void* aArg) {
    ThreadStart* start = new ThreadStart{aEntry, aArg};
    unsigned id = 0;
    uintptr_t handle = _beginthreadex(nullptr, 0, ThreadMain, start, 0, &id);
    if (handle == 0) {
        delete start;
        return nullptr;
    }
    return reinterpret_cast<HANDLE>(handle);
}

WaitResult ThreadJoin(ThreadHandle aThread, uint64_t aTimeoutMs) { return Wait(aThread, aTimeoutMs); }

bool ThreadCanTerminate() { return true; }

void ThreadTerminate(ThreadHandle aThread, unsigned aExitCode) { TerminateThread(aThread, aExitCode); }

void ThreadClose(ThreadHandle aThread) {
    if (aThread)
        CloseHandle(aThread);
}

bool ThreadPreferBatches() { return true; }

void ThreadSetName(const char* aName) {
    // SetThreadDescription exists from Windows 10 1607 on; older systems
    // (and Wine) may lack it, so it is looked up at run time.
    typedef HRESULT(WINAPI * SetDescription)(HANDLE, PCWSTR);
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    if (!kernel || !aName)
        return;
    auto fn = reinterpret_cast<SetDescription>(reinterpret_cast<void*>(GetProcAddress(kernel, "SetThreadDescription")));
    if (!fn)
        return;
    wchar_t wide[64];
    int n = MultiByteToWideChar(CP_ACP, 0, aName, -1, wide, 64);
    if (n > 0) {
        wide[63] = L'\0';
        fn(GetCurrentThread(), wide);
    }
}

}  // namespace rtos

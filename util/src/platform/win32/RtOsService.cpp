// The Service Control Manager, passed through.
#include "RtOsWin32.h"

#include "../RtOs.h"
#include "../RtOsService.h"

namespace rtos {
namespace {

SC_HANDLE Sc(SvcHandle aHandle) { return reinterpret_cast<SC_HANDLE>(aHandle); }
SvcHandle Wrap(SC_HANDLE aHandle) { return reinterpret_cast<SvcHandle>(aHandle); }

template <class T>
T Failed(uint32_t* aErr, T aValue) {
    if (aErr)
        *aErr = GetLastError();
    return aValue;
}

void CopyStatus(const SERVICE_STATUS& aIn, ServiceStatus* aOut) {
    aOut->serviceType = aIn.dwServiceType;
    aOut->currentState = aIn.dwCurrentState;
    aOut->controlsAccepted = aIn.dwControlsAccepted;
    aOut->win32ExitCode = aIn.dwWin32ExitCode;
    aOut->serviceSpecificExitCode = aIn.dwServiceSpecificExitCode;
    aOut->checkPoint = aIn.dwCheckPoint;
    aOut->waitHint = aIn.dwWaitHint;
}

SvcMainFn g_main = nullptr;

void WINAPI ServiceMainEntry(DWORD aArgc, LPSTR* aArgv) {
    if (g_main)
        g_main(static_cast<int>(aArgc), aArgv);
}

struct ControlTarget {
    SvcControlFn handler;
    void* context;
};
ControlTarget g_control = {nullptr, nullptr};

DWORD WINAPI ControlEntry(DWORD aControl, DWORD, LPVOID, LPVOID aContext) {
    auto* target = static_cast<ControlTarget*>(aContext);
    return target && target->handler ? target->handler(aControl, target->context) : NO_ERROR;
}

}  // namespace

SvcHandle SvcOpenManager(uint32_t aAccess, uint32_t* aErr) {
    SC_HANDLE h = OpenSCManagerA(nullptr, nullptr, aAccess);
    return h ? Wrap(h) : Failed(aErr, SvcHandle());
}

SvcHandle SvcOpenService(SvcHandle aManager, const char* aName, uint32_t aAccess, uint32_t* aErr) {
    SC_HANDLE h = OpenServiceA(Sc(aManager), aName, aAccess);
    return h ? Wrap(h) : Failed(aErr, SvcHandle());
}

SvcHandle SvcCreateService(SvcHandle aManager, const char* aName, const char* aBinaryPath, const char*,
                           uint32_t aAccess, uint32_t* aErr) {
    // No load order group, tag, dependencies, account (local system) or
    // password.
    SC_HANDLE h = CreateServiceA(Sc(aManager), aName, aName, aAccess, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                 SERVICE_ERROR_NORMAL, aBinaryPath, nullptr, nullptr, nullptr, nullptr, nullptr);
    return h ? Wrap(h) : Failed(aErr, SvcHandle());
}

bool SvcDelete(SvcHandle aService, uint32_t* aErr) { return DeleteService(Sc(aService)) || Failed(aErr, false); }

bool SvcStart(SvcHandle aService, uint32_t* aErr) {
    return StartServiceA(Sc(aService), 0, nullptr) || Failed(aErr, false);
}

bool SvcControl(SvcHandle aService, uint32_t aControl, ServiceStatus* aStatus, uint32_t* aErr) {
    SERVICE_STATUS st = {};
    BOOL ok = ControlService(Sc(aService), aControl, &st);
    if (!ok)
        Failed(aErr, false);
    if (aStatus)
        CopyStatus(st, aStatus);
    return ok != FALSE;
}

bool SvcQueryStatus(SvcHandle aService, ServiceStatus* aStatus, uint32_t* aErr) {
    SERVICE_STATUS_PROCESS st = {};
    DWORD needed = 0;
    static_assert(sizeof st == 36, "the process status record is 36 bytes");
    if (!QueryServiceStatusEx(Sc(aService), SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&st), sizeof st, &needed))
        return Failed(aErr, false);
    SERVICE_STATUS plain = {
        st.dwServiceType, st.dwCurrentState, st.dwControlsAccepted, st.dwWin32ExitCode, st.dwServiceSpecificExitCode,
        st.dwCheckPoint,  st.dwWaitHint};
    CopyStatus(plain, aStatus);
    return true;
}

void SvcClose(SvcHandle aHandle) {
    if (aHandle)
        CloseServiceHandle(Sc(aHandle));
}

bool SvcRunDispatcher(const char* aName, SvcMainFn aMain, uint32_t* aErr) {
    g_main = aMain;
    SERVICE_TABLE_ENTRYA table[2] = {{const_cast<char*>(aName), ServiceMainEntry}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) || Failed(aErr, false);
}

SvcStatusHandle SvcRegisterControlHandler(const char* aName, SvcControlFn aHandler, void* aContext) {
    g_control = ControlTarget{aHandler, aContext};
    return reinterpret_cast<SvcStatusHandle>(RegisterServiceCtrlHandlerExA(aName, ControlEntry, &g_control));
}

bool SvcReportStatus(SvcStatusHandle aHandle, const ServiceStatus& aStatus) {
    SERVICE_STATUS st = {aStatus.serviceType,
                         aStatus.currentState,
                         aStatus.controlsAccepted,
                         aStatus.win32ExitCode,
                         aStatus.serviceSpecificExitCode,
                         aStatus.checkPoint,
                         aStatus.waitHint};
    return SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(aHandle), &st) != FALSE;
}

void SvcErrorText(uint32_t aErr, char* aBuf, size_t aSize) { ErrorText(static_cast<int>(aErr), aBuf, aSize); }

}  // namespace rtos

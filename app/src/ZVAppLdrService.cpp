#include "ZVAppLdrService.h"

#include <cstdio>

#include "AppTrace.h"
#include "ClientManager.h"
#include "RtOs.h"
#include "RtOsInstance.h"
#include "RtOsService.h"
#include "RtThread.h"
#include "RtThreadManager.h"
#include "RtThreadSwitch.h"

namespace {

const char kServiceName[] = "ZVAppLdrSvc";

// Constructing it makes it the process's thread manager; at exit its
// destructor releases the framework.
CRtThreadManager g_ThreadManager;
CClientManager g_ClientManager;
CZVAppLdrService g_Service;
// AppMain leaves this empty: the instance mutex stays open until the process
// ends, so that a second instance always finds it.
void* g_hInstanceMutex = nullptr;

// Console events neither end nor stop the service: each waits for a key.
bool ConsoleCtrlHandler(uint32_t) {
    rtos::ConsoleReadChar();
    return true;
}

}  // namespace

CZVAppLdrService::~CZVAppLdrService() {
    if (g_hInstanceMutex) {
        rtos::ReleaseInstanceMutex(g_hInstanceMutex);
        g_hInstanceMutex = nullptr;
    }
}

int CZVAppLdrService::Run(int, char**) { return AppMain(); }

void CZVAppLdrService::OnExit() {
    AppTrace("OnExit() begin");
    if (g_hInstanceMutex) {
        rtos::ReleaseInstanceMutex(g_hInstanceMutex);
        g_hInstanceMutex = nullptr;
    }
    g_ClientManager.Uninit();
    rtos::SleepMs(3000);
    CRtSignalStop::Instance()->Launch(0, nullptr);
    AppTrace("OnExit() end");
}

int AppMain() {
    void* mutex = nullptr;
    switch (rtos::CreateInstanceMutex(kServiceName, &mutex)) {
    case rtos::InstanceMutex::kFailed:
        AppTrace("CreateMutex.Instance error:-1");
        return -1;
    case rtos::InstanceMutex::kAlreadyExists:
        AppTrace("CreateMutex.Instance error:ERROR_ALREADY_EXISTS");
        return -2;
    case rtos::InstanceMutex::kCreated:
        break;
    }
    rtos::SetConsoleHandler(ConsoleCtrlHandler);

    AppTrace("Initialize");
    g_ThreadManager.Initialize(1, false);
    RtResult rv = g_ClientManager.Init();
    if (rv != RT_OK) {
        AppTraceError("Init() failed");
        return rv;
    }
    g_Service.ReportRunning();
    AppTrace("start listen port 5161");
    g_ThreadManager.GetMainThread()->OnThreadRun();
    return 0;
}

namespace {

bool IsArg(const char* aArg, char aLetter) {
    return aArg[0] == '-' && (aArg[1] == aLetter || aArg[1] == aLetter - 'a' + 'A') && aArg[2] == '\0';
}

// "-i" and "-u" say what failed, on one line, and end with 1.
int Failed(const char* aWhat) {
    char reason[512];
    g_Service.GetLastErrorText(reason, sizeof reason);
    fprintf(stderr, "%s: cannot %s the service: %s\n", kServiceName, aWhat, reason);
    return 1;
}

int Install() {
    if (!g_Service.IsServiceInstalled() && !g_Service.InstallService())
        return Failed("install");
    AppTrace("start services");
    if (!g_Service.StartInstalledService())
        return Failed("start");
    return 0;
}

int Uninstall() {
    // Removal goes ahead even when the stop failed, as the manager removes a
    // running service once it stops.
    bool stopped = g_Service.StopInstalledService();
    char stopReason[512];
    g_Service.GetLastErrorText(stopReason, sizeof stopReason);
    if (!g_Service.RemoveService())
        return Failed("remove");
    if (!stopped) {
        fprintf(stderr, "%s: the service was removed but did not stop: %s\n", kServiceName, stopReason);
        return 1;
    }
    return 0;
}

// Runs the service body in the console; a system stop request (SIGTERM on
// Linux) shuts it down in order.
int RunInConsole() {
    g_Service.WatchStopRequest();
    int rv = AppMain();
    g_Service.WaitForStopWork();
    return rv;
}

}  // namespace

int ServiceEntry(int aArgc, char** aArgv) {
    g_Service.SetServiceName(kServiceName);
    if (aArgc == 2) {
        const char* arg = aArgv[1];
        if (IsArg(arg, 'i'))
            return Install();
        if (IsArg(arg, 'u'))
            return Uninstall();
        if (IsArg(arg, 'd')) {
            if (RunInConsole() != 0)
                rtos::ConsolePause();
            return 0;
        }
        return 0;
    }
    if (g_Service.StartNTService())
        return 0;
    int rv = RunInConsole();
    if (rv != 0)
        rtos::ConsolePause();
    return rv;
}

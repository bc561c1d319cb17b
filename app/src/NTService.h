// A program that runs as a system service: installs, starts, stops and
// removes itself through the service manager, and, once started by it,
// reports its state and takes the manager's stop control.
//
// Three threads meet here when the manager runs the service: the process's
// main thread inside the dispatcher, the service thread that runs Run, and
// the thread that delivers controls and runs OnExit.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "RtOsService.h"

class CNTService {
public:
    // Last errors of our own, beside the system's numbers.
    static const uint32_t kErrNoName = 40001;   // the service name is empty
    static const uint32_t kErrTimeout = 40002;  // a state change did not finish in time

    CNTService();
    virtual ~CNTService();

    // The service body; its result is the service's exit code.
    virtual int Run(int aArgc, char** aArgv);
    // Stops the service body; called once, from the control thread.
    virtual void OnExit();

    void SetServiceName(const char* aName);
    const char* GetServiceName() const { return m_szServiceName; }
    uint32_t GetLastErrorCode() const { return m_dwLastError; }
    // The last error as a sentence.
    void GetLastErrorText(char* aBuf, size_t aSize) const;

    bool IsServiceInstalled();
    bool InstallService();
    bool RemoveService();
    bool StartInstalledService();
    bool StopInstalledService();

    // Hands the process to the service manager; returns when the service
    // has ended, or false at once when the manager did not start us.
    bool StartNTService();
    // Tells the manager the service runs (only when it started us).
    void ReportRunning();
    // A console run: the system's stop request (SIGTERM on Linux) stops the
    // service body the way the manager's stop control does.
    void WatchStopRequest();
    // Returns once a stop that began has done its work (at most 30 s).
    void WaitForStopWork();

protected:
    char m_szServiceName[512];
    char m_szBinaryPath[512];
    rtos::SvcStatusHandle m_hServiceStatus;
    rtos::ServiceStatus m_Status;
    uint32_t m_dwLastError;

private:
    static CNTService* s_pService;

    static void ServiceMain(int aArgc, char** aArgv);
    static uint32_t ServiceCtrlHandler(uint32_t aControl, void* aContext);
    static void OnStopRequest(void* aContext);

    void RegisterHandler();
    void SetState(uint32_t aState, uint32_t aWin32Exit, uint32_t aSpecificExit, uint32_t aWaitHint);
    bool CheckName();
    // Opens the manager and the service with the given rights; false with
    // m_dwLastError set. The caller closes what was opened.
    bool OpenServiceHandles(rtos::SvcHandle* aManager, rtos::SvcHandle* aService, uint32_t aManagerAccess,
                            uint32_t aServiceAccess);
    // The same, then queries the service's status.
    bool OpenAndQuery(rtos::SvcHandle* aManager, rtos::SvcHandle* aService, uint32_t aAccess,
                      rtos::ServiceStatus* aStatus);
    // Waits while the service stays in aPending, as its wait hint and check
    // point advise.
    bool WaitWhilePending(rtos::SvcHandle aService, rtos::ServiceStatus* aStatus, uint32_t aPending);
    // Polls until the service has stopped (true), a query fails or 30 s
    // have passed since aStartMs (false); with aOnlyWhilePending it also
    // returns true once the service leaves stop pending.
    bool WaitForStopped(rtos::SvcHandle aService, rtos::ServiceStatus* aStatus, uint64_t aStartMs,
                        bool aOnlyWhilePending);
    void Stop();

    enum class StopStage { kNone, kRunning, kDone };
    std::mutex m_StopLock;
    std::condition_variable m_StopDone;
    StopStage m_eStop = StopStage::kNone;
};

#include "NTService.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "AppTrace.h"
#include "RtOs.h"
#include "ServiceUnit.h"

CNTService* CNTService::s_pService = nullptr;

namespace {

// Manager and service access rights.
const uint32_t kManagerAllAccess = 0xF003F;
const uint32_t kManagerCreateService = 2;
const uint32_t kServiceAllAccess = 0xF01FF;
const uint32_t kServiceQueryConfig = 1;
const uint32_t kServiceDelete = 0x10000;

const uint32_t kStopLimitMs = 30000;
// How long a stop may take once the stop control arrived: the clients go,
// then three seconds pass before the main loop ends.
const uint32_t kStopWaitHintMs = 10000;

// A tenth of the wait hint, but 1 to 10 seconds.
uint32_t PendingSleep(uint32_t aWaitHint) {
    uint32_t ms = aWaitHint / 10;
    return ms < 1000 ? 1000 : ms > 10000 ? 10000 : ms;
}

// Closes the handles a Service Control Manager operation opened.
struct Handles {
    rtos::SvcHandle manager = nullptr;
    rtos::SvcHandle service = nullptr;
    ~Handles() {
        rtos::SvcClose(service);
        rtos::SvcClose(manager);
    }
};

}  // namespace

CNTService::CNTService() : m_hServiceStatus(nullptr), m_Status(), m_dwLastError(0) {
    m_szServiceName[0] = '\0';
    m_szBinaryPath[0] = '\0';
    s_pService = this;
}

CNTService::~CNTService() {
    m_hServiceStatus = nullptr;
    if (s_pService == this)
        s_pService = nullptr;
}

int CNTService::Run(int, char**) { return 0; }

void CNTService::OnExit() {}

void CNTService::SetServiceName(const char* aName) {
    snprintf(m_szServiceName, sizeof m_szServiceName, "%s", aName ? aName : "");
}

void CNTService::GetLastErrorText(char* aBuf, size_t aSize) const {
    if (m_dwLastError == kErrNoName)
        snprintf(aBuf, aSize, "the service name is empty");
    else if (m_dwLastError == kErrTimeout)
        snprintf(aBuf, aSize, "the service did not change its state in time");
    else
        rtos::SvcErrorText(m_dwLastError, aBuf, aSize);
}

bool CNTService::CheckName() {
    m_dwLastError = 0;
    if (m_szServiceName[0])
        return true;
    m_dwLastError = kErrNoName;
    return false;
}

bool CNTService::OpenServiceHandles(rtos::SvcHandle* aManager, rtos::SvcHandle* aService, uint32_t aManagerAccess,
                                    uint32_t aServiceAccess) {
    if (!CheckName())
        return false;
    *aManager = rtos::SvcOpenManager(aManagerAccess, &m_dwLastError);
    if (*aManager)
        *aService = rtos::SvcOpenService(*aManager, m_szServiceName, aServiceAccess, &m_dwLastError);
    return *aService != nullptr;
}

bool CNTService::IsServiceInstalled() {
    Handles h;
    return OpenServiceHandles(&h.manager, &h.service, kManagerAllAccess, kServiceQueryConfig);
}

bool CNTService::InstallService() {
    if (!CheckName())
        return false;
    Handles h;
    h.manager = rtos::SvcOpenManager(kManagerCreateService, &m_dwLastError);
    if (!h.manager)
        return false;
    if (!m_szBinaryPath[0]) {
        // A path cut short would name another file: leave it empty, which
        // the manager refuses.
        char path[rtos::kMaxPath];
        size_t len = rtos::ExecutablePath(path, sizeof path) ? strlen(path) : 0;
        if (len > 0 && len < sizeof m_szBinaryPath)
            memcpy(m_szBinaryPath, path, len + 1);
    }
    std::string unit = BuildServiceUnit(m_szBinaryPath);
    h.service = rtos::SvcCreateService(h.manager, m_szServiceName, m_szBinaryPath, unit.c_str(), kServiceAllAccess,
                                       &m_dwLastError);
    return h.service != nullptr;
}

bool CNTService::RemoveService() {
    Handles h;
    return OpenServiceHandles(&h.manager, &h.service, kManagerAllAccess, kServiceDelete) &&
           rtos::SvcDelete(h.service, &m_dwLastError);
}

bool CNTService::OpenAndQuery(rtos::SvcHandle* aManager, rtos::SvcHandle* aService, uint32_t aAccess,
                              rtos::ServiceStatus* aStatus) {
    return OpenServiceHandles(aManager, aService, kManagerAllAccess, aAccess) &&
           rtos::SvcQueryStatus(*aService, aStatus, &m_dwLastError);
}

bool CNTService::WaitWhilePending(rtos::SvcHandle aService, rtos::ServiceStatus* aStatus, uint32_t aPending) {
    uint64_t since = rtos::MonotonicMs();
    uint32_t checkPoint = aStatus->checkPoint;
    while (aStatus->currentState == aPending) {
        rtos::SleepMs(PendingSleep(aStatus->waitHint));
        if (!rtos::SvcQueryStatus(aService, aStatus, &m_dwLastError))
            return false;
        if (aStatus->currentState != aPending)
            break;
        if (aStatus->checkPoint > checkPoint) {
            // Progress: the wait hint counts again from now.
            since = rtos::MonotonicMs();
            checkPoint = aStatus->checkPoint;
        } else if (rtos::MonotonicMs() - since > aStatus->waitHint) {
            m_dwLastError = kErrTimeout;
            return false;
        }
    }
    return true;
}

bool CNTService::StartInstalledService() {
    Handles h;
    rtos::ServiceStatus st = {};
    if (!OpenAndQuery(&h.manager, &h.service, kServiceAllAccess, &st))
        return false;
    if (st.currentState != rtos::kSvcStopped && st.currentState != rtos::kSvcStopPending)
        return true;  // running or starting already
    if (!WaitWhilePending(h.service, &st, rtos::kSvcStopPending))
        return false;
    if (!rtos::SvcStart(h.service, &m_dwLastError))
        return false;
    if (!rtos::SvcQueryStatus(h.service, &st, &m_dwLastError))
        return false;
    if (!WaitWhilePending(h.service, &st, rtos::kSvcStartPending))
        return false;
    return st.currentState == rtos::kSvcRunning;
}

bool CNTService::WaitForStopped(rtos::SvcHandle aService, rtos::ServiceStatus* aStatus, uint64_t aStartMs,
                                bool aOnlyWhilePending) {
    for (;;) {
        if (aStatus->currentState == rtos::kSvcStopped)
            return true;
        if (aOnlyWhilePending && aStatus->currentState != rtos::kSvcStopPending)
            return true;
        if (rtos::MonotonicMs() - aStartMs > kStopLimitMs) {
            m_dwLastError = kErrTimeout;
            return false;
        }
        rtos::SleepMs(PendingSleep(aStatus->waitHint));
        if (!rtos::SvcQueryStatus(aService, aStatus, &m_dwLastError))
            return false;
    }
}

bool CNTService::StopInstalledService() {
    Handles h;
    rtos::ServiceStatus st = {};
    if (!OpenAndQuery(&h.manager, &h.service, kServiceAllAccess, &st))
        return false;
    uint64_t since = rtos::MonotonicMs();
    // A stop under way: wait for it before sending another.
    if (!WaitForStopped(h.service, &st, since, true))
        return false;
    if (st.currentState == rtos::kSvcStopped)
        return true;
    if (!rtos::SvcControl(h.service, rtos::kSvcControlStop, &st, &m_dwLastError))
        return m_dwLastError == rtos::kSvcErrBrokenPipe;
    return WaitForStopped(h.service, &st, since, false);
}

// ---- Running as a service ----------------------------------------------------

bool CNTService::StartNTService() {
    uint32_t err = 0;
    bool ok = rtos::SvcRunDispatcher(m_szServiceName, ServiceMain, &err);
    m_dwLastError = ok ? 0 : err;
    AppTrace("StartNTService() ret = %d", ok ? 1 : 0);
    return ok;
}

void CNTService::ServiceMain(int aArgc, char** aArgv) {
    CNTService* service = s_pService;
    if (!service)
        return;
    service->RegisterHandler();
    int result = service->Run(aArgc, aArgv);
    // The manager ends the process once it hears "stopped": say it only when
    // the stop work is done, and say why when the service failed to start.
    service->WaitForStopWork();
    if (result != 0)
        service->SetState(rtos::kSvcStopped, rtos::kSvcErrServiceSpecific, static_cast<uint32_t>(result), 0);
    else
        service->SetState(rtos::kSvcStopped, 0, 0, 0);
}

void CNTService::RegisterHandler() {
    m_Status =
        rtos::ServiceStatus{rtos::kSvcTypeOwnProcess, rtos::kSvcStartPending, rtos::kSvcAcceptStopShutdown, 0, 0, 0, 0};
    m_hServiceStatus = rtos::SvcRegisterControlHandler(m_szServiceName, ServiceCtrlHandler, this);
    if (m_hServiceStatus)
        rtos::SvcReportStatus(m_hServiceStatus, m_Status);
}

void CNTService::SetState(uint32_t aState, uint32_t aWin32Exit, uint32_t aSpecificExit, uint32_t aWaitHint) {
    if (!m_hServiceStatus)
        return;
    m_Status = rtos::ServiceStatus{
        rtos::kSvcTypeOwnProcess, aState, rtos::kSvcAcceptStopShutdown, aWin32Exit, aSpecificExit, 0, aWaitHint};
    rtos::SvcReportStatus(m_hServiceStatus, m_Status);
}

void CNTService::ReportRunning() { SetState(rtos::kSvcRunning, 0, 0, 0); }

uint32_t CNTService::ServiceCtrlHandler(uint32_t aControl, void* aContext) {
    if ((aControl == rtos::kSvcControlStop || aControl == rtos::kSvcControlShutdown) && aContext) {
        auto* service = static_cast<CNTService*>(aContext);
        service->SetState(rtos::kSvcStopPending, 0, 0, kStopWaitHintMs);
        service->Stop();
    }
    return 0;
}

void CNTService::WatchStopRequest() { rtos::SetStopRequestHandler(OnStopRequest, this); }

void CNTService::OnStopRequest(void* aContext) { static_cast<CNTService*>(aContext)->Stop(); }

void CNTService::Stop() {
    {
        std::lock_guard<std::mutex> guard(m_StopLock);
        if (m_eStop != StopStage::kNone)
            return;  // a repeated control while stopping
        m_eStop = StopStage::kRunning;
    }
    OnExit();
    std::lock_guard<std::mutex> guard(m_StopLock);
    m_eStop = StopStage::kDone;
    m_StopDone.notify_all();
}

void CNTService::WaitForStopWork() {
    std::unique_lock<std::mutex> guard(m_StopLock);
    m_StopDone.wait_for(guard, std::chrono::milliseconds(kStopLimitMs),
                        [this] { return m_eStop != StopStage::kRunning; });
}

#include "RtThreadManager.h"

#include <atomic>

#include <cerrno>
#include <cstdlib>
#include <mutex>

#include "RtOs.h"
#include "RtOsSocket.h"
#include "RtReactor.h"
#include "RtReactorWin32Message.h"
#include "RtThread.h"
#include "RtThreadReactor.h"
#include "RtThreadTask.h"
#include "RtUtilTemplates.h"

namespace {
std::atomic<CRtThreadManager*> thr_mgr_{nullptr};
// Set when Instance, not the application, made the manager.
std::atomic<bool> s_bCreatedByInstance{false};
std::mutex s_instanceMutex;
bool s_bSocketStarted = false;
}  // namespace

CRtThreadManager::CRtThreadManager() {
    CRtThreadManager* expected = nullptr;
    bool first = thr_mgr_.compare_exchange_strong(expected, this, std::memory_order_acq_rel);
    RT_INFO_TRACE_THIS("CRtThreadManager version[20190121]");
    RT_ASSERTE(first);
}

CRtThreadManager::~CRtThreadManager() {
    RT_INFO_TRACE("~CRtThreadManager begin!");
    Release();
    RT_INFO_TRACE("~CRtThreadManager end!");
    CRtThreadManager* expected = this;
    thr_mgr_.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
}

CRtThreadManager* CRtThreadManager::Instance() {
    CRtThreadManager* mgr = thr_mgr_.load(std::memory_order_acquire);
    if (mgr)
        return mgr;
    std::lock_guard<std::mutex> lock(s_instanceMutex);
    mgr = thr_mgr_.load(std::memory_order_acquire);
    if (mgr)
        return mgr;
    RT_INFO_TRACE("CRtThreadManager::Instance, new CRtThreadManager.");
    mgr = new CRtThreadManager;
    if (RT_FAILED(mgr->Initialize(1, false))) {
        delete mgr;
        return nullptr;
    }
    s_bCreatedByInstance = true;
    if (atexit(&CRtThreadManager::CleanupOnlyOne) != 0)
        RT_ERROR_TRACE("CRtThreadManager::Instance, atexit() failed. err=" << errno);
    return mgr;
}

void CRtThreadManager::CleanupOnlyOne() {
    if (!s_bCreatedByInstance.exchange(false))
        return;
    delete thr_mgr_.load(std::memory_order_acquire);
    thr_mgr_ = nullptr;
}

RtResult CRtThreadManager::Initialize(unsigned short aNetworkThreadNum, bool aFlag) {
    if (m_bInitialized) {
        RT_ERROR_TRACE("CRtThreadManager::Initialize, already initialized!");
        return RT_ERROR_ALREADY_INITIALIZED;
    }
    RT_INFO_TRACE("CRtThreadManager::Initialize, network thread num=" << aNetworkThreadNum);
    m_bInitialized = true;
    m_bFlag = aFlag;

    RtResult rv = SocketStartup();
    if (RT_FAILED(rv))
        return rv;
    CRtThread* main = nullptr;
    rv = AttachReactorThread(TT_MAIN, new CRtReactor(CreateReactor(TT_MAIN)), main);
    if (RT_FAILED(rv))
        return rv;
    if (RT_FAILED(SpawnNetworkThread_i(aNetworkThreadNum))) {
        main->Destory(RT_ERROR_UNEXPECTED);
        return RT_ERROR_UNEXPECTED;
    }
    m_pThreadMain = main;
    main->OnThreadInit();
    return RT_OK;
}

RtResult CRtThreadManager::SocketStartup() {
    if (s_bSocketStarted)
        return RT_OK;
    if (!rtos::SocketStartup()) {
        RT_ERROR_TRACE("CRtThreadManager::SocketStartup, WSAStartup() failed! err=" << rtos::LastSocketError());
        return RT_ERROR_FAILURE;
    }
    s_bSocketStarted = true;
    return RT_OK;
}

RtResult CRtThreadManager::SocketCleanup() {
    if (s_bSocketStarted) {
        s_bSocketStarted = false;
        rtos::SocketCleanup();
    }
    return RT_OK;
}

CRtReactorImp* CRtThreadManager::CreateReactor(int aType) {
    CRtReactorImp* imp = nullptr;
    if (aType == TT_MAIN)
        imp = new CRtReactorWin32Message;
    else if (aType == TT_NETWORK)
        imp = new CRtReactorWin32AsyncSelect;
    if (!imp) {
        RT_ERROR_TRACE("Create Reactor failed, unknow parameter, TType" << aType);
        return nullptr;
    }
    return imp;
}

RtResult CRtThreadManager::AttachReactorThread(int aType, IRtReactor* aReactor, CRtThread*& aThread) {
    RT_ASSERTE_RETURN(aReactor, RT_ERROR_INVALID_ARG);
    RT_ASSERTE(!aThread);
    CRtThreadReactor* thread = new CRtThreadReactor;
    thread->AttachReactor(aReactor);
    RtResult rv = thread->Create(aType, "netThread", CRtThread::TF_JOINABLE);
    if (RT_FAILED(rv)) {
        thread->Destory(rv);
        return rv;
    }
    aThread = thread;
    return RT_OK;
}

RtResult CRtThreadManager::SpawnNetworkThread_i(unsigned short aNum) {
    for (unsigned short i = 0; i < aNum; ++i) {
        CRtThread* thread = nullptr;
        RtResult rv = AttachReactorThread(TT_NETWORK, new CRtReactor(CreateReactor(TT_NETWORK)), thread);
        if (RT_FAILED(rv))
            return rv;
        if (!m_pThreadDefaultNetwork) {
            m_pThreadDefaultNetwork = thread;
            RT_INFO_TRACE("CRtThreadManager::SpawnNetworkThread_i, "
                          << "default network threadid =" << thread->GetThreadId());
        }
    }
    return RT_OK;
}

uint32_t CRtThreadManager::GetThreadSelfId() { return rtos::ThreadId(); }

void CRtThreadManager::SleepMs(uint32_t aMs) { rtos::SleepMs(aMs); }

unsigned CRtThreadManager::GetNProcessors() { return rtos::ProcessorCount(); }

CRtThread* CRtThreadManager::Find(const ThreadsType& aThreads, uint32_t aThreadId) {
    CRtMutexGuardT<CRtMutexThread> guard(m_RegistryMutex);
    auto found = aThreads.find(aThreadId);
    return found == aThreads.end() ? nullptr : found->second;
}

std::vector<CRtThread*> CRtThreadManager::Snapshot(const ThreadsType& aThreads) {
    CRtMutexGuardT<CRtMutexThread> guard(m_RegistryMutex);
    std::vector<CRtThread*> threads;
    threads.reserve(aThreads.size());
    for (const auto& item : aThreads)
        threads.push_back(item.second);
    return threads;
}

CRtThread* CRtThreadManager::GetThread(uint32_t aThreadId) {
    CRtThreadManager* mgr = Instance();
    return mgr ? mgr->Find(mgr->m_AllThreads, aThreadId) : nullptr;
}

CRtThread* CRtThreadManager::GetCurrentThread() {
    CRtThread* pThread = Find(m_AllThreads, GetThreadSelfId());
    RT_ASSERTE(pThread != NULL);
    return pThread;
}

char* CRtThreadManager::GetTSL() {
    CRtThread* pThread = Find(m_AllThreads, GetThreadSelfId());
    return pThread ? pThread->GetTSL() : nullptr;
}

CRtThread* CRtThreadManager::GetNetworkThread(uint32_t aThreadId) { return Find(m_NetworkThreads, aThreadId); }

CRtThread* CRtThreadManager::GetTaskThread(uint32_t aThreadId) { return Find(m_TaskThreads, aThreadId); }

RtResult CRtThreadManager::GetNetworkThreadList(std::vector<CRtThread*>& outThreadList) {
    RT_ASSERTE(outThreadList.empty());
    outThreadList = Snapshot(m_NetworkThreads);
    return RT_OK;
}

RtResult CRtThreadManager::CreateUserTaskThread(CRtThread*& outThread, bool aWithTimerQueue, unsigned long aFlag,
                                                const char* aName) {
    RT_ASSERTE(!outThread);
    CRtThread* pThread = aWithTimerQueue ? static_cast<CRtThread*>(new CRtThreadTask)
                                         : static_cast<CRtThread*>(new CRtThreadTaskWithEventQueueOnly);
    RtResult rv = pThread->Create(TT_TASK, aName, aFlag);
    if (RT_FAILED(rv)) {
        pThread->Destory(rv);
        return rv;
    }
    outThread = pThread;
    RT_INFO_TRACE("CRtThreadManager::CreateUserTaskThread, threadid=" << pThread->GetThreadId());
    return RT_OK;
}

RtResult CRtThreadManager::RegisterThread(CRtThread* aThread) {
    RT_ASSERTE_RETURN(aThread, RT_ERROR_INVALID_ARG);
    CRtMutexGuardT<CRtMutexThread> guard(m_RegistryMutex);
    uint32_t id = aThread->GetThreadId();
    ThreadsType* typed = aThread->GetThreadType() == TT_TASK      ? &m_TaskThreads
                         : aThread->GetThreadType() == TT_NETWORK ? &m_NetworkThreads
                                                                  : nullptr;
    if (typed) {
        if (typed->count(id)) {
            RT_ASSERTE(false);
            return RT_ERROR_FOUND;
        }
        (*typed)[id] = aThread;
    }
    m_AllThreads[id] = aThread;
    return RT_OK;
}

RtResult CRtThreadManager::UnregisterThread(CRtThread* aThread) {
    RT_ASSERTE_RETURN(aThread, RT_ERROR_INVALID_ARG);
    RT_DEBUG_TRACE_THIS("CRtThreadManager::UnregisterThread, thread=" << static_cast<const void*>(aThread));
    CRtMutexGuardT<CRtMutexThread> guard(m_RegistryMutex);
    if (aThread->GetThreadType() == TT_MAIN)
        return RT_OK;
    ThreadsType& typed = aThread->GetThreadType() == TT_TASK ? m_TaskThreads : m_NetworkThreads;
    uint32_t id = aThread->GetThreadId();
    auto all = m_AllThreads.find(id);
    if (all != m_AllThreads.end() && all->second == aThread)
        m_AllThreads.erase(all);
    auto found = typed.find(id);
    if (found == typed.end() || found->second != aThread)
        return RT_ERROR_NOT_FOUND;
    typed.erase(found);
    return RT_OK;
}

void CRtThreadManager::StopAllThreads() {
    for (CRtThread* t : Snapshot(m_TaskThreads))
        t->Stop();
    for (CRtThread* t : Snapshot(m_NetworkThreads))
        t->Stop();
}

void CRtThreadManager::JoinAllThreads() {
    for (CRtThread* t : Snapshot(m_NetworkThreads))
        t->Join(500);
    for (CRtThread* t : Snapshot(m_TaskThreads))
        t->Join(500);
}

RtResult CRtThreadManager::Release() {
    if (!m_bInitialized)
        return RT_OK;
    CRtCleanUpBase::CleanupAll();
    StopAllThreads();
    JoinAllThreads();
    for (CRtThread* t : Snapshot(m_TaskThreads))
        t->Destory(RT_OK);
    for (CRtThread* t : Snapshot(m_NetworkThreads))
        t->Destory(RT_OK);
    if (m_pThreadMain) {
        m_pThreadMain->Destory(RT_OK);
        // The main thread stays registered until it is destroyed: a lookup
        // must not find it afterwards.
        CRtMutexGuardT<CRtMutexThread> guard(m_RegistryMutex);
        for (auto it = m_AllThreads.begin(); it != m_AllThreads.end();) {
            if (it->second == m_pThreadMain)
                it = m_AllThreads.erase(it);
            else
                ++it;
        }
    }
    if (!CRtReactorWin32Message::UnregisterWindowClass())
        RT_ERROR_TRACE("CRtThreadManager::~CRtThreadManager, UnregisterClass() failed! err=" << rtos::LastError());
    SocketCleanup();
    m_pThreadMain = nullptr;
    m_pThreadDefaultNetwork = nullptr;
    m_bInitialized = false;
    return RT_OK;
}

RtResult CRtThreadManager::GetSingletonMutex(CRtMutexThreadRecursive*& aMutex) {
    aMutex = &m_SingletonMutex;
    return RT_OK;
}

RtResult CRtThreadManager::GetReferenceControlMutex(CRtMutexThread*& aMutex) {
    aMutex = &m_ReferenceControlMutex;
    return RT_OK;
}

IRtTimerQueue* RtTimerQueueOfCurrentThread() {
    CRtThread* pThread = CRtThreadManager::Instance()->GetCurrentThread();
    return pThread ? pThread->GetTimerQueue() : nullptr;
}

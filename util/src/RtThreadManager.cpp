#include "RtThreadManager.h"

#include <atomic>

#include "RtOs.h"
#include "RtThread.h"
#include "RtThreadTask.h"
#include "RtUtilTemplates.h"

namespace {
std::atomic<CRtThreadManager*> thr_mgr_{nullptr};
}  // namespace

CRtThreadManager::CRtThreadManager() {
    CRtThreadManager* expected = nullptr;
    thr_mgr_.compare_exchange_strong(expected, this, std::memory_order_acq_rel);
}

CRtThreadManager::~CRtThreadManager() {
    Release();
    CRtThreadManager* expected = this;
    thr_mgr_.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
}

CRtThreadManager* CRtThreadManager::Instance() {
    CRtThreadManager* mgr = thr_mgr_.load(std::memory_order_acquire);
    if (mgr)
        return mgr;
    // Two first callers may race: the constructor publishes only the first
    // manager; the loser deletes its own.
    CRtThreadManager* created = new CRtThreadManager;
    mgr = thr_mgr_.load(std::memory_order_acquire);
    if (mgr != created)
        delete created;
    return mgr;
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
    CRtCleanUpBase::CleanupAll();
    StopAllThreads();
    JoinAllThreads();
    for (CRtThread* t : Snapshot(m_TaskThreads))
        t->Destory(RT_OK);
    for (CRtThread* t : Snapshot(m_NetworkThreads))
        t->Destory(RT_OK);
    if (m_pThreadMain)
        m_pThreadMain->Destory(RT_OK);
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

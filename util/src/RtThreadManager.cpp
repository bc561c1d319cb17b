#include "RtThreadManager.h"

#include <atomic>

#include "RtOs.h"
#include "RtUtilTemplates.h"

namespace {
std::atomic<CRtThreadManager*> thr_mgr_{nullptr};
// Set when Instance, not the application, created the manager.
bool s_bInstanceCreated = false;
}  // namespace

CRtThreadManager::CRtThreadManager() {
    CRtThreadManager* expected = nullptr;
    thr_mgr_.compare_exchange_strong(expected, this, std::memory_order_acq_rel);
}

CRtThreadManager::~CRtThreadManager() {
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
    if (mgr != created) {
        delete created;
        return mgr;
    }
    s_bInstanceCreated = true;
    return mgr;
}

uint32_t CRtThreadManager::GetThreadSelfId() { return rtos::ThreadId(); }

void CRtThreadManager::SleepMs(uint32_t aMs) { rtos::SleepMs(aMs); }

unsigned CRtThreadManager::GetNProcessors() { return rtos::ProcessorCount(); }

RtResult CRtThreadManager::GetSingletonMutex(CRtMutexThreadRecursive*& aMutex) {
    aMutex = &m_SingletonMutex;
    return RT_OK;
}

RtResult CRtThreadManager::GetReferenceControlMutex(CRtMutexThread*& aMutex) {
    aMutex = &m_ReferenceControlMutex;
    return RT_OK;
}

// No framework thread owns a timer queue until the execution model
// registers its threads here; a deferred delete meanwhile logs its failure.
IRtTimerQueue* RtTimerQueueOfCurrentThread() { return nullptr; }

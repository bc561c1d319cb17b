// Blocking waits with framework result codes: a counting semaphore, a
// kernel-style event and a condition variable built from them.
// All operations may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "RtError.h"
#include "RtMutex.h"
#include "RtTimeValue.h"

// A wait limit as milliseconds: null waits without limit, a negative value
// polls. Never wraps, however long the limit.
uint64_t RtTimeoutToMs(const CRtTimeValue* aTimeout);

class CRtSemaphore {
public:
    explicit CRtSemaphore(int32_t aInitialCount = 0, const char* aName = nullptr, int32_t aMaximumCount = 0x7FFFFFFF);
    ~CRtSemaphore();

    CRtSemaphore(const CRtSemaphore&) = delete;
    CRtSemaphore& operator=(const CRtSemaphore&) = delete;

    RtResult Lock();
    RtResult UnLock() { return PostN(1); }
    RtResult PostN(int32_t aCount);
    // Takes one unit within the time limit; RT_ERROR_TIMEOUT when none came.
    RtResult Wait(const CRtTimeValue* aTimeout);

private:
    void* m_Semaphore;
};

class CRtEventThread {
public:
    explicit CRtEventThread(bool aManualReset = false, bool aInitialSignaled = false, const char* aName = nullptr);
    ~CRtEventThread();

    CRtEventThread(const CRtEventThread&) = delete;
    CRtEventThread& operator=(const CRtEventThread&) = delete;

    RtResult Wait(const CRtTimeValue* aTimeout = nullptr);
    RtResult Signal();
    RtResult Pulse();
    RtResult Reset();

private:
    void* m_Event;
};

// Waits must be made holding the external mutex; they return holding it.
class CRtConditionVariableThread {
public:
    explicit CRtConditionVariableThread(CRtMutexThread& aMutex);
    ~CRtConditionVariableThread();

    CRtConditionVariableThread(const CRtConditionVariableThread&) = delete;
    CRtConditionVariableThread& operator=(const CRtConditionVariableThread&) = delete;

    RtResult Wait(const CRtTimeValue* aTimeout = nullptr);
    // Wakes one waiter; lost when nobody waits.
    RtResult Signal();
    // Wakes every current waiter and returns once all have left Wait.
    RtResult Broadcast();
    CRtMutexThread& GetUnderlyingMutex() { return m_MutexExternal; }

private:
    CRtMutexThread& m_MutexExternal;
    // Changed under m_MutexWaiters; Signal may read it without the lock.
    std::atomic<int32_t> m_nWaiters{0};
    CRtMutexThread m_MutexWaiters;
    CRtSemaphore m_Sema;
    void* m_WaitersDone;
    int32_t m_nWasBroadcast = 0;
};

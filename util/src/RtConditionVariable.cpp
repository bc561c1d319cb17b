#include "RtConditionVariable.h"

#include "RtDebug.h"
#include "RtOs.h"
#include "RtOsThread.h"

uint64_t RtTimeoutToMs(const CRtTimeValue* aTimeout) {
    if (!aTimeout)
        return rtos::kWaitInfinite;
    int64_t ms = aTimeout->GetTotalInMsec();
    return ms < 0 ? 0 : static_cast<uint64_t>(ms);
}

namespace {
RtResult MapWait(rtos::WaitResult aResult) {
    switch (aResult) {
    case rtos::WaitResult::kSignaled:
        return RT_OK;
    case rtos::WaitResult::kTimeout:
        return RT_ERROR_TIMEOUT;
    default:
        return RT_ERROR_FAILURE;
    }
}

int WaitCode(rtos::WaitResult aResult) {
    // Reported as the kernel's wait results are.
    return aResult == rtos::WaitResult::kSignaled ? 0 : aResult == rtos::WaitResult::kTimeout ? 258 : -1;
}
}  // namespace

CRtSemaphore::CRtSemaphore(int32_t aInitialCount, const char* aName, int32_t aMaximumCount)
    : m_Semaphore(rtos::SemaphoreCreate(aInitialCount, aMaximumCount, aName)) {
    if (!m_Semaphore) {
        RT_ERROR_TRACE("CRtSemaphore::CRtSemaphore, CreateSemaphoreA() failed! err=" << rtos::LastError());
        RT_ASSERTE(false);
    }
}

CRtSemaphore::~CRtSemaphore() {
    if (m_Semaphore && !rtos::SemaphoreClose(m_Semaphore))
        RT_ERROR_TRACE("CRtSemaphore::~CRtSemaphore, CloseHandle() failed! err=" << rtos::LastError());
}

RtResult CRtSemaphore::Lock() {
    if (!m_Semaphore)
        return RT_ERROR_FAILURE;
    rtos::WaitResult rv = rtos::SemaphoreWait(m_Semaphore, rtos::kWaitInfinite);
    if (rv == rtos::WaitResult::kSignaled)
        return RT_OK;
    RT_ERROR_TRACE("CRtSemaphore::Lock, WaitForSingleObject() failed! dwRet=" << WaitCode(rv)
                                                                              << " err=" << rtos::LastError());
    return RT_ERROR_FAILURE;
}

RtResult CRtSemaphore::Wait(const CRtTimeValue* aTimeout) {
    if (!m_Semaphore)
        return RT_ERROR_FAILURE;
    return MapWait(rtos::SemaphoreWait(m_Semaphore, RtTimeoutToMs(aTimeout)));
}

RtResult CRtSemaphore::PostN(int32_t aCount) {
    RT_ASSERTE(aCount >= 1);
    if (!m_Semaphore || !rtos::SemaphoreRelease(m_Semaphore, aCount)) {
        RT_ERROR_TRACE("CRtSemaphore::UnLock, ReleaseSemaphore() failed! err=" << rtos::LastError());
        return RT_ERROR_FAILURE;
    }
    return RT_OK;
}

CRtEventThread::CRtEventThread(bool aManualReset, bool aInitialSignaled, const char* aName)
    : m_Event(rtos::EventCreate(aManualReset, aInitialSignaled, aName)) {
    if (!m_Event) {
        RT_ERROR_TRACE("CRtEventThread::CRtEventThread, CreateEventA() failed! err=" << rtos::LastError());
        RT_ASSERTE(false);
    }
}

CRtEventThread::~CRtEventThread() {
    if (m_Event && !rtos::EventClose(m_Event))
        RT_ERROR_TRACE("CRtEventThread::~CRtEventThread, CloseHandle() failed! err=" << rtos::LastError());
}

RtResult CRtEventThread::Wait(const CRtTimeValue* aTimeout) {
    if (!m_Event)
        return RT_ERROR_FAILURE;
    rtos::WaitResult rv = rtos::EventWait(m_Event, RtTimeoutToMs(aTimeout));
    if (rv == rtos::WaitResult::kFailed)
        RT_ERROR_TRACE("CRtEventThread::Wait, WaitForSingleObject() failed! result=" << WaitCode(rv)
                                                                                     << " err=" << rtos::LastError());
    return MapWait(rv);
}

RtResult CRtEventThread::Signal() {
    if (!m_Event || !rtos::EventSet(m_Event)) {
        RT_ERROR_TRACE("CRtEventThread::Signal, SetEvent failed! err=" << rtos::LastError());
        return RT_ERROR_FAILURE;
    }
    return RT_OK;
}

RtResult CRtEventThread::Pulse() {
    if (!m_Event || !rtos::EventPulse(m_Event)) {
        RT_ERROR_TRACE("CRtEventThread::Pulse, PulseEvent failed! err=" << rtos::LastError());
        return RT_ERROR_FAILURE;
    }
    return RT_OK;
}

RtResult CRtEventThread::Reset() {
    if (!m_Event || !rtos::EventReset(m_Event)) {
        RT_ERROR_TRACE("CRtEventThread::Reset, ResetEvent failed! err=" << rtos::LastError());
        return RT_ERROR_FAILURE;
    }
    return RT_OK;
}

CRtConditionVariableThread::CRtConditionVariableThread(CRtMutexThread& aMutex)
    : m_MutexExternal(aMutex), m_Sema(0, nullptr, 0x7FFFFFFF), m_WaitersDone(rtos::EventCreate(false, false, nullptr)) {
    if (!m_WaitersDone) {
        RT_ERROR_TRACE(
            "CRtConditionVariableThread::CRtConditionVariableThread, CreateEventA() failed! err=" << rtos::LastError());
        RT_ASSERTE(false);
    }
}

CRtConditionVariableThread::~CRtConditionVariableThread() {
    if (m_WaitersDone && !rtos::EventClose(m_WaitersDone))
        RT_ERROR_TRACE(
            "CRtConditionVariableThread::~CRtConditionVariableThread, CloseHandle() failed! err=" << rtos::LastError());
}

RtResult CRtConditionVariableThread::Wait(const CRtTimeValue* aTimeout) {
    {
        CRtMutexGuardT<CRtMutexThread> guard(m_MutexWaiters);
        ++m_nWaiters;
    }
    RtResult rv = m_MutexExternal.UnLock();
    if (RT_FAILED(rv)) {
        CRtMutexGuardT<CRtMutexThread> guard(m_MutexWaiters);
        --m_nWaiters;
        RT_ASSERTE(RT_SUCCEEDED(rv));
        return rv;
    }

    rv = m_Sema.Wait(aTimeout);

    bool lastWaiter;
    {
        CRtMutexGuardT<CRtMutexThread> guard(m_MutexWaiters);
        --m_nWaiters;
        lastWaiter = m_nWasBroadcast && m_nWaiters == 0;
    }
    if (rv == RT_ERROR_FAILURE)
        RT_ERROR_TRACE(
            "CRtConditionVariableThread::Wait, WaitForSingleObject() failed! result=-1 err=" << rtos::LastError());
    if (lastWaiter && !rtos::EventSet(m_WaitersDone))
        RT_ERROR_TRACE("CRtConditionVariableThread::Wait, SetEvent() failed! err=" << rtos::LastError());
    m_MutexExternal.Lock();
    return rv;
}

RtResult CRtConditionVariableThread::Signal() {
    // A waiter counts itself before it lets go of the external mutex, and a
    // signaller changes the predicate under that mutex before signalling,
    // so a plain read cannot miss a waiter that needs waking.
    if (m_nWaiters.load(std::memory_order_acquire) < 1)
        return RT_OK;
    return m_Sema.UnLock();
}

RtResult CRtConditionVariableThread::Broadcast() {
    int32_t waiters;
    {
        CRtMutexGuardT<CRtMutexThread> guard(m_MutexWaiters);
        waiters = m_nWaiters.load();
        if (waiters > 0)
            m_nWasBroadcast = 1;
    }
    if (waiters <= 0)
        return RT_OK;
    RtResult rv = m_Sema.PostN(waiters);
    rtos::WaitResult wait = rtos::EventWait(m_WaitersDone, rtos::kWaitInfinite);
    if (wait != rtos::WaitResult::kSignaled) {
        RT_ERROR_TRACE("CRtConditionVariableThread::Broadcast, WaitForSingleObject() failed! result="
                       << WaitCode(wait) << " err=" << rtos::LastError());
        rv = RT_ERROR_FAILURE;
    }
    {
        CRtMutexGuardT<CRtMutexThread> guard(m_MutexWaiters);
        m_nWasBroadcast = 0;
    }
    return rv;
}

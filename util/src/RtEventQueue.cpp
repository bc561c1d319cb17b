#include "RtEventQueue.h"

#include "RtDebug.h"
#include "RtThreadManager.h"

const CRtTimeValue CRtEventQueueBase::s_tvReportInterval(0, 100000);

namespace {
// A backlog above this is reported, at most once per kBacklogReportSeconds.
constexpr uint32_t kBacklogThreshold = 100;
constexpr int64_t kBacklogReportSeconds = 3;
constexpr uint32_t kBacklogCheckMask = 63;
}  // namespace

CRtEventQueueBase::CRtEventQueueBase() : m_tvReportSize(CRtTimeValue::GetMonotonicTime()) {}

CRtEventQueueBase::~CRtEventQueueBase() { CRtEventQueueBase::DestoryPendingEvents(); }

RtResult CRtEventQueueBase::PostEvent(IRtEvent* aEvent, EPriority) {
    RT_ASSERTE_RETURN(aEvent, RT_ERROR_INVALID_ARG);
    if (m_bIsStopped) {
        RT_ERROR_TRACE_THIS("CRtEventQueueBase::PostEvent, has been stopped.");
        aEvent->OnDestorySelf();
        return RT_ERROR_NOT_INITIALIZED;
    }
    m_Events.push_back(aEvent);
    ++m_dwSize;

    // Only a backlog is worth a look at the clock, and then every so many
    // posts: a report is due at most once per few seconds anyway.
    if (m_dwSize > kBacklogThreshold && (++m_nPostsSinceCheck & kBacklogCheckMask) == 0) {
        CRtTimeValue now = CRtTimeValue::GetMonotonicTime();
        if (now - m_tvReportSize > CRtTimeValue(kBacklogReportSeconds)) {
            RT_ERROR_TRACE_THIS("CRtEventQueueBase::PostEvent, m_dwSize=" << m_dwSize << " m_Tid=" << m_Tid.load());
            m_tvReportSize = now;
        }
    }
    return RT_OK;
}

RtResult CRtEventQueueBase::SendEvent(IRtEvent* aEvent) {
    RT_ASSERTE_RETURN(aEvent, RT_ERROR_INVALID_ARG);
    if (m_bIsStopped) {
        RT_ERROR_TRACE_THIS("CRtEventQueueBase::SendEvent, has been stopped.");
        aEvent->OnDestorySelf();
        return RT_ERROR_NOT_INITIALIZED;
    }
    if (CRtThreadManager::IsEqualCurrentThread(m_Tid)) {
        RtResult rv = aEvent->OnEventFire();
        aEvent->OnDestorySelf();
        return rv;
    }
    CRtEventSync* sync = new CRtEventSync(aEvent, this);
    CRtEventSync::Outcome* outcome = sync->GetOutcome();
    // Through the virtual PostEvent, so a subclass's lock and wake-up apply.
    RtResult rv = PostEvent(sync, EPRIORITY_NORMAL);
    if (RT_FAILED(rv)) {
        outcome->Release();
        return rv;
    }
    return CRtEventSync::WaitResultAndDeleteThis(outcome);
}

void CRtEventQueueBase::DestoryPendingEvents() { DestoryPendingEventsUnder(nullptr); }

void CRtEventQueueBase::DestoryPendingEventsUnder(CRtMutexThread* aMutex) {
    EventsType events;
    if (aMutex)
        aMutex->Lock();
    events.swap(m_Events);
    m_dwSize = 0;
    if (aMutex)
        aMutex->UnLock();
    // Disposed of outside the lock: a disposal may post again.
    for (IRtEvent* ev : events)
        ev->OnDestorySelf();
}

void CRtEventQueueBase::Reset2CurrentThreadId() { m_Tid = CRtThreadManager::GetThreadSelfId(); }

RtResult CRtEventQueueBase::ProcessEvents(const EventsType& aEvents) {
    // One clock reading per event: each event's end is the next one's start.
    CRtTimeValue start = CRtTimeValue::GetCoarseMonotonicTime();
    for (IRtEvent* ev : aEvents)
        start = RunOneEvent(ev, start);
    return RT_OK;
}

RtResult CRtEventQueueBase::ProcessOneEvent(IRtEvent* aEvent) {
    RT_ASSERTE_RETURN(aEvent, RT_ERROR_INVALID_ARG);
    RunOneEvent(aEvent, CRtTimeValue::GetCoarseMonotonicTime());
    return RT_OK;
}

CRtTimeValue CRtEventQueueBase::RunOneEvent(IRtEvent* aEvent, const CRtTimeValue& aStart) {
    RT_ASSERTE_RETURN(aEvent, aStart);
    aEvent->OnEventFire();
    aEvent->OnDestorySelf();
    CRtTimeValue end = CRtTimeValue::GetCoarseMonotonicTime();
    CRtTimeValue spent = end - aStart;
    if (spent > s_tvReportInterval) {
        RT_ERROR_TRACE_THIS("CRtEventQueueBase::ProcessOneEvent, report, sec="
                            << spent.GetSec() << " usec=" << spent.GetUsec() << " aEvent="
                            << static_cast<const void*>(aEvent) << " m_dwSize=" << GetPendingEventsCount());
    }
    return end;
}

RtResult CRtEventQueueBase::PopPendingEvents(EventsType& aEvents, unsigned long aMaxCount,
                                             unsigned long* aRemainCount) {
    if (m_dwSize == 0)
        return RT_ERROR_NOT_FOUND;
    if (m_dwSize > aMaxCount) {
        for (unsigned long i = 0; i < aMaxCount; ++i) {
            aEvents.push_back(m_Events.front());
            m_Events.pop_front();
        }
        m_dwSize -= static_cast<uint32_t>(aMaxCount);
        RT_ASSERTE(!m_Events.empty());
    } else {
        aEvents.swap(m_Events);
        m_dwSize = 0;
        RT_ASSERTE(m_Events.empty());
    }
    if (aRemainCount)
        *aRemainCount = m_dwSize;
    return RT_OK;
}

RtResult CRtEventQueueBase::PopOnePendingEvent(IRtEvent*& aEvent, unsigned long* aRemainCount) {
    RT_ASSERTE(!aEvent);
    if (m_dwSize == 0)
        return RT_ERROR_NOT_FOUND;
    aEvent = m_Events.front();
    m_Events.pop_front();
    --m_dwSize;
    if (aRemainCount)
        *aRemainCount = m_dwSize;
    return RT_OK;
}

CRtEventQueueUsingMutex::~CRtEventQueueUsingMutex() { CRtEventQueueUsingMutex::DestoryPendingEvents(); }

RtResult CRtEventQueueUsingMutex::PostEvent(IRtEvent* aEvent, EPriority aPriority) {
    CRtMutexGuardT<CRtMutexThread> guard(m_Mutex);
    return CRtEventQueueBase::PostEvent(aEvent, aPriority);
}

uint32_t CRtEventQueueUsingMutex::GetPendingEventsCount() {
    CRtMutexGuardT<CRtMutexThread> guard(m_Mutex);
    return m_dwSize;
}

RtResult CRtEventQueueUsingMutex::PostEventWithOldSize(IRtEvent* aEvent, EPriority aPriority, unsigned long* aOldSize) {
    CRtMutexGuardT<CRtMutexThread> guard(m_Mutex);
    if (aOldSize)
        *aOldSize = m_dwSize;
    return CRtEventQueueBase::PostEvent(aEvent, aPriority);
}

RtResult CRtEventQueueUsingMutex::PopPendingEventsWithoutWait(EventsType& aEvents, unsigned long aMaxCount,
                                                              unsigned long* aRemainCount) {
    CRtMutexGuardT<CRtMutexThread> guard(m_Mutex);
    return PopPendingEvents(aEvents, aMaxCount, aRemainCount);
}

RtResult CRtEventQueueUsingMutex::PopOnePendingEventWithoutWait(IRtEvent*& aEvent, unsigned long* aRemainCount) {
    CRtMutexGuardT<CRtMutexThread> guard(m_Mutex);
    return PopOnePendingEvent(aEvent, aRemainCount);
}

void CRtEventQueueUsingMutex::DestoryPendingEvents() { DestoryPendingEventsUnder(&m_Mutex); }

CRtEventQueueUsingConditionVariable::CRtEventQueueUsingConditionVariable() : m_Condition(m_Mutex) {}

CRtEventQueueUsingConditionVariable::~CRtEventQueueUsingConditionVariable() {
    CRtEventQueueUsingConditionVariable::DestoryPendingEvents();
}

RtResult CRtEventQueueUsingConditionVariable::PostEvent(IRtEvent* aEvent, EPriority aPriority) {
    if (aEvent) {
        CRtMutexGuardT<CRtMutexThread> guard(m_Mutex);
        RtResult rv = CRtEventQueueBase::PostEvent(aEvent, aPriority);
        if (RT_FAILED(rv))
            return rv;
    }
    m_Condition.Signal();
    return RT_OK;
}

uint32_t CRtEventQueueUsingConditionVariable::GetPendingEventsCount() {
    CRtMutexGuardT<CRtMutexThread> guard(m_Mutex);
    return m_dwSize;
}

RtResult CRtEventQueueUsingConditionVariable::PopOrWaitPendingEvents(EventsType& aEvents, CRtTimeValue* aTimeout,
                                                                     unsigned long aMaxCount) {
    CRtMutexGuardT<CRtMutexThread> guard(m_Mutex);
    if (m_dwSize == 0) {
        RtResult rv = m_Condition.Wait(aTimeout);
        if (rv != RT_OK && rv != RT_ERROR_TIMEOUT) {
            RT_ERROR_TRACE("CRtEventQueueUsingConditionVariable::PopOrWaitPendingEvents,m_Events is not empty. nSize="
                           << m_dwSize << " rv=" << rv);
        }
    }
    return PopPendingEvents(aEvents, aMaxCount, nullptr);
}

void CRtEventQueueUsingConditionVariable::DestoryPendingEvents() { DestoryPendingEventsUnder(&m_Mutex); }

CRtEventSync::CRtEventSync(IRtEvent* aEvent, CRtEventQueueBase* aQueue)
    : m_pEventPost(aEvent), m_pEventQueue(aQueue), m_pOutcome(new Outcome) {
    RT_ASSERTE(m_pEventPost);
    RT_ASSERTE(m_pEventQueue);
}

CRtEventSync::~CRtEventSync() {}

RtResult CRtEventSync::OnEventFire() {
    RtResult rv = m_pEventPost ? m_pEventPost->OnEventFire() : RT_ERROR_NULL_POINTER;
    m_bFired = true;
    m_pOutcome->nResult = rv;
    m_pOutcome->evDone.Signal();
    return rv;
}

void CRtEventSync::OnDestorySelf() {
    if (m_pEventPost) {
        m_pEventPost->OnDestorySelf();
        m_pEventPost = nullptr;
    }
    if (!m_bFired) {
        // Disposed of unrun (a stopped or destroyed queue): release the sender.
        m_pOutcome->nResult = RT_ERROR_NOT_INITIALIZED;
        m_pOutcome->evDone.Signal();
    }
    m_pOutcome->Release();
    delete this;
}

RtResult CRtEventSync::WaitResultAndDeleteThis(Outcome* aOutcome) {
    RtResult rv = aOutcome->evDone.Wait(nullptr);
    if (RT_FAILED(rv))
        RT_ERROR_TRACE("CRtEventSync::WaitResultAndDeleteThis, m_SendEvent.Wait() failed!");
    else
        rv = aOutcome->nResult;
    aOutcome->Release();
    return rv;
}

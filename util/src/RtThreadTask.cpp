#include "RtThreadTask.h"

#include "RtDebug.h"

void CRtThreadTaskWithEventQueueOnly::OnThreadInit() {
    CRtThread::OnThreadInit();
    m_EventQueue.Reset2CurrentThreadId();
    m_Est.Reset2CurrentThreadId();
    SetStartFlag();
}

void CRtThreadTaskWithEventQueueOnly::OnThreadRun() {
    RT_INFO_TRACE_THIS("CRtThreadTaskWithEventQueueOnly::OnThreadRun, Begin.");
    CRtEventQueueBase::EventsType events;
    while (!IsFlagStopped()) {
        events.clear();
        if (m_EventQueue.PopOrWaitPendingEvents(events, nullptr, 0xFFFFFFFF) == RT_OK)
            m_EventQueue.ProcessEvents(events);
    }
    m_EventQueue.DestoryPendingEvents();
    RT_INFO_TRACE_THIS("CRtThreadTaskWithEventQueueOnly::OnThreadRun, End.");
}

RtResult CRtThreadTaskWithEventQueueOnly::Stop() {
    RT_INFO_TRACE_THIS("CRtThreadTaskWithEventQueueOnly::Stop");
    RtResult rv = m_EventQueue.PostEvent(new CRtEventStopT<CRtThreadTaskWithEventQueueOnly>(this),
                                         IRtEventQueue::EPRIORITY_NORMAL);
    m_EventQueue.Stop();
    m_bStopped = true;
    return rv;
}

CRtThreadTask::~CRtThreadTask() { delete m_pTimerQueue; }

void CRtThreadTask::OnThreadInit() {
    RT_ASSERTE(!m_pTimerQueue);
    if (!m_pTimerQueue)
        m_pTimerQueue = new CRtTimerQueueOrderedList(this);
    CRtThreadTaskWithEventQueueOnly::OnThreadInit();
}

void CRtThreadTask::OnThreadRun() {
    RT_INFO_TRACE_THIS("CRtThreadTask::OnThreadRun, Begin.");
    CRtEventQueueBase::EventsType events;
    while (!IsFlagStopped()) {
        CRtTimeValue remain;
        m_pTimerQueue->CheckExpire(&remain);
        CRtTimeValue limit;
        CRtTimeValue* pLimit = nullptr;
        if (remain != CRtTimeValue::s_tvMax) {
            int64_t ms = remain.GetTotalInMsec();
            // A timer due within the millisecond: look again right after it.
            if (ms == 0 && remain > CRtTimeValue::s_tvZero)
                limit = CRtTimeValue(0, 1000);
            else if (ms > 0)
                limit = remain;
            pLimit = &limit;
        }
        events.clear();
        if (m_EventQueue.PopOrWaitPendingEvents(events, pLimit, 5) == RT_OK)
            m_EventQueue.ProcessEvents(events);
    }
    m_EventQueue.DestoryPendingEvents();
    RT_INFO_TRACE_THIS("CRtThreadTask::OnThreadRun, End.");
}

void CRtThreadTask::OnObserve(const char*, void*) { m_EventQueue.PostEvent(nullptr); }

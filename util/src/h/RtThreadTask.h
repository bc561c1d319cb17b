// Task threads: no message loop; they sleep on a condition-variable event
// queue, and CRtThreadTask also on its next timer.
#pragma once

#include "RtEventQueue.h"
#include "RtObserver.h"
#include "RtStopFlag.h"
#include "RtThread.h"
#include "RtTimerQueue.h"

// Ends the loop of the thread it is posted to.
template <class ThreadType>
class CRtEventStopT : public IRtEvent {
public:
    explicit CRtEventStopT(ThreadType* aThread) : m_pQueue(aThread) { RT_ASSERTE(m_pQueue); }
    RtResult OnEventFire() override {
        if (m_pQueue)
            m_pQueue->SetStopFlag();
        return RT_OK;
    }

private:
    ThreadType* m_pQueue;
};

class CRtThreadTaskWithEventQueueOnly : public CRtThread, public CRtStopFlag {
public:
    void OnThreadInit() override;
    void OnThreadRun() override;
    // Any thread: events posted before the stop still run, later posts
    // are refused.
    RtResult Stop() override;
    IRtEventQueue* GetEventQueue() override { return &m_EventQueue; }

protected:
    CRtEventQueueUsingConditionVariable m_EventQueue;
};

class CRtThreadTask : public CRtThreadTaskWithEventQueueOnly, public IRtObserver {
public:
    ~CRtThreadTask() override;

    void OnThreadInit() override;
    void OnThreadRun() override;
    IRtTimerQueue* GetTimerQueue() override { return m_pTimerQueue; }
    // The first timer of an empty queue: wake the loop so that it
    // recomputes how long to sleep.
    void OnObserve(const char* aTopic, void* aData) override;

protected:
    CRtTimerQueueOrderedList* m_pTimerQueue = nullptr;
};

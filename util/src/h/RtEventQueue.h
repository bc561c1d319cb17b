// Units of work and the queues that run them on their owning thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>

#include "RtConditionVariable.h"
#include "RtError.h"
#include "RtMutex.h"
#include "RtTimeValue.h"

class IRtEvent {
public:
    // Runs on the queue's owning thread.
    virtual RtResult OnEventFire() = 0;
    // Called exactly once per accepted or refused event, after OnEventFire or
    // instead of it.
    //
    // Handing an event to a queue (PostEvent, SendEvent, CThreadSwitch, the
    // proxies' posts) gives it away, whatever the call returns: a refused
    // hand-over (no thread, no queue, a stopped queue) has already disposed
    // of it here, so the caller neither touches nor frees it afterwards.
    virtual void OnDestorySelf() { delete this; }

protected:
    virtual ~IRtEvent() {}
};

class IRtEventQueue {
public:
    // Accepted but not used: events always run first in, first out.
    enum EPriority { EPRIORITY_HIGH = 0, EPRIORITY_NORMAL = 1, EPRIORITY_LOW = 2 };

    // Both take the event over, refused or not (see IRtEvent::OnDestorySelf).
    virtual RtResult PostEvent(IRtEvent* aEvent, EPriority aPriority = EPRIORITY_NORMAL) = 0;
    // Runs the event on the owning thread and returns its result; blocks a
    // caller on another thread until then.
    virtual RtResult SendEvent(IRtEvent* aEvent) = 0;
    virtual uint32_t GetPendingEventsCount() = 0;
    virtual ~IRtEventQueue() {}
};

// Pending events and their dispatch; takes no lock itself.
class CRtEventQueueBase : public IRtEventQueue {
public:
    typedef std::deque<IRtEvent*> EventsType;

    CRtEventQueueBase();
    ~CRtEventQueueBase() override;

    RtResult PostEvent(IRtEvent* aEvent, EPriority aPriority = EPRIORITY_NORMAL) override;
    RtResult SendEvent(IRtEvent* aEvent) override;
    uint32_t GetPendingEventsCount() override { return m_dwSize; }

    bool IsEmpty() const { return m_dwSize == 0; }
    void Stop() { m_bIsStopped = true; }
    bool IsStopped() const { return m_bIsStopped; }
    // Disposes of every pending event without running it.
    virtual void DestoryPendingEvents();
    void Reset2CurrentThreadId();
    uint32_t GetOwnerThreadId() const { return m_Tid; }

    RtResult ProcessEvents(const EventsType& aEvents);
    RtResult ProcessOneEvent(IRtEvent* aEvent);

    // One event's run above this is reported.
    static const CRtTimeValue s_tvReportInterval;

protected:
    // Empties the queue under aMutex (when given) and disposes of the
    // events outside it.
    void DestoryPendingEventsUnder(CRtMutexThread* aMutex);
    // Runs and disposes of one event that started at aStart; returns when
    // it ended, and reports it when it took too long.
    CRtTimeValue RunOneEvent(IRtEvent* aEvent, const CRtTimeValue& aStart);
    RtResult PopPendingEvents(EventsType& aEvents, unsigned long aMaxCount, unsigned long* aRemainCount);
    RtResult PopOnePendingEvent(IRtEvent*& aEvent, unsigned long* aRemainCount);

    CRtTimeValue m_tvReportSize;
    EventsType m_Events;
    uint32_t m_dwSize = 0;
    uint32_t m_nPostsSinceCheck = 0;
    std::atomic<uint32_t> m_Tid{0};
    std::atomic<bool> m_bIsStopped{false};
};

// The reactor's queue: every access under one mutex; events run unlocked.
class CRtEventQueueUsingMutex : public CRtEventQueueBase {
public:
    ~CRtEventQueueUsingMutex() override;

    RtResult PostEvent(IRtEvent* aEvent, EPriority aPriority = EPRIORITY_NORMAL) override;
    uint32_t GetPendingEventsCount() override;
    // Reports the count before the post, so that a poster can wake the
    // owner only when the queue stops being empty.
    RtResult PostEventWithOldSize(IRtEvent* aEvent, EPriority aPriority, unsigned long* aOldSize);
    RtResult PopPendingEventsWithoutWait(EventsType& aEvents, unsigned long aMaxCount, unsigned long* aRemainCount);
    RtResult PopOnePendingEventWithoutWait(IRtEvent*& aEvent, unsigned long* aRemainCount);
    void DestoryPendingEvents() override;

private:
    CRtMutexThread m_Mutex;
};

// The task threads' queue: the consumer sleeps until an event or its time
// limit arrives.
class CRtEventQueueUsingConditionVariable : public CRtEventQueueBase {
public:
    CRtEventQueueUsingConditionVariable();
    ~CRtEventQueueUsingConditionVariable() override;

    // A null event posts nothing but wakes the consumer.
    RtResult PostEvent(IRtEvent* aEvent, EPriority aPriority = EPRIORITY_NORMAL) override;
    uint32_t GetPendingEventsCount() override;
    // RT_ERROR_NOT_FOUND when the wait ended with nothing pending.
    RtResult PopOrWaitPendingEvents(EventsType& aEvents, CRtTimeValue* aTimeout, unsigned long aMaxCount);
    void DestoryPendingEvents() override;

private:
    CRtMutexThread m_Mutex;
    CRtConditionVariableThread m_Condition;
};

// Carries a SendEvent across threads. The sender and the queued wrapper
// share an outcome; whichever lets go last frees it. The sender never
// touches the wrapper after posting it (the owning thread may already have
// freed it), and it is released even when the wrapper is disposed of
// without running: the result is then RT_ERROR_NOT_INITIALIZED.
class CRtEventSync : public IRtEvent {
public:
    struct Outcome {
        CRtEventThread evDone;
        RtResult nResult = RT_ERROR_NOT_AVAILABLE;
        std::atomic<int> nRefs{2};
        void Release() {
            if (nRefs.fetch_sub(1, std::memory_order_acq_rel) == 1)
                delete this;
        }
    };

    CRtEventSync(IRtEvent* aEvent, CRtEventQueueBase* aQueue);

    RtResult OnEventFire() override;
    void OnDestorySelf() override;

    // The sender's reference to the outcome; take it before posting.
    Outcome* GetOutcome() const { return m_pOutcome; }
    // The sender's side: waits for the outcome and lets go of it.
    static RtResult WaitResultAndDeleteThis(Outcome* aOutcome);

private:
    ~CRtEventSync() override;

    IRtEvent* m_pEventPost;
    CRtEventQueueBase* m_pEventQueue;
    Outcome* m_pOutcome;
    bool m_bFired = false;
};

// Running a call on another framework thread, and the process-wide stop of
// the main thread's loop.
#pragma once

#include "RtEventQueue.h"
#include "RtTimerHandler.h"

class CRtThread;

namespace Function {

// An event that performs a stored call.
class Functor : public IRtEvent {
public:
    RtResult OnEventFire() override = 0;
};

template <class ObjectType, class MemberType, class Arg1, class Arg2>
class MemFunctor2 : public Functor {
public:
    MemFunctor2(ObjectType* aObject, MemberType aMember, Arg1 aFirst, Arg2 aSecond)
        : m_pObject(aObject), m_pMember(aMember), m_First(aFirst), m_Second(aSecond) {}

    RtResult OnEventFire() override { return (m_pObject->*m_pMember)(m_First, m_Second); }

private:
    ObjectType* m_pObject;
    MemberType m_pMember;
    Arg1 m_First;
    Arg2 m_Second;
};

}  // namespace Function

// Hands work to a framework thread. Each call takes the event over, as
// IRtEventQueue does: refused (RT_ERROR_NULL_POINTER when there is no such
// thread or it has no queue, the queue's own failure otherwise), the event
// has been disposed of before the call returns.
class CThreadSwitch {
public:
    // Runs the functor on the thread and returns its result, blocking a
    // caller on another thread.
    static RtResult SwitchToThreadSyn(Function::Functor* pFunctor, unsigned long aThreadId);
    // Queues the functor on the thread; returns the post's result.
    static RtResult SwitchToThreadAsyn(Function::Functor* pFunctor, unsigned long aThreadId);

    // The same for a thread at hand (null is refused).
    static RtResult SendToThread(CRtThread* aThread, IRtEvent* aEvent);
    static RtResult PostToThread(CRtThread* aThread, IRtEvent* aEvent,
                                 IRtEventQueue::EPriority aPriority = IRtEventQueue::EPRIORITY_NORMAL);
};

// Stops the main thread's loop, at once or after a delay. Never deleted, so
// it may be posted as an event any number of times.
class CRtSignalStop : public IRtEvent, public IRtTimerHandler {
public:
    static CRtSignalStop* Instance();

    // Any thread without a delay; with a delay a one-shot timer on the main
    // thread's queue calls it again.
    RtResult Launch(int aSig, CRtTimeValue* aDelay);

    RtResult OnEventFire() override;
    void OnDestorySelf() override {}
    void OnTimeout(const CRtTimeValue& aCurTime, void* aArg) override;

    CRtSignalStop() = default;
    ~CRtSignalStop() override = default;

private:
    int m_nSig = 0;
};

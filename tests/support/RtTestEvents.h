// Events made from lambdas, for the suites that drive threads.
#pragma once

#include "RtEventQueue.h"
#include "RtThread.h"

namespace rttest {

template <class Fn>
class CallEvent : public IRtEvent {
public:
    explicit CallEvent(Fn aFn) : m_Fn(aFn) {}
    RtResult OnEventFire() override { return m_Fn(); }

private:
    Fn m_Fn;
};

// An event running aFn (returning RtResult) on the thread that fires it.
template <class Fn>
IRtEvent* MakeCall(Fn aFn) {
    return new CallEvent<Fn>(aFn);
}

// Runs aFn on aThread and waits for it.
template <class Fn>
RtResult RunOn(CRtThread* aThread, Fn aFn) {
    return aThread->GetEventQueue()->SendEvent(MakeCall(aFn));
}

}  // namespace rttest

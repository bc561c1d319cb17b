// Events made from lambdas, for the suites that drive threads.
#pragma once

#include "RtEventQueue.h"
#include "RtReactor.h"
#include "RtThread.h"
#include "RtThreadManager.h"

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

// Lets the events that a stop or release left on aUser and the default
// network thread run (proxies hand their last steps back and forth), so a
// test ends with nothing of them still queued.
inline void DrainThreads(CRtThread* aUser, CRtThread* aNetwork) {
    auto nothing = [] { return RT_OK; };
    for (int i = 0; i < 3; ++i) {
        RunOn(aNetwork, nothing);
        RunOn(aUser, nothing);
    }
}

// Starts a network thread of the test's own beside the manager's (the
// test stops, joins and destroys it); null on failure.
inline CRtThread* StartNetworkThread() {
    struct Net : public CRtThreadManager {
        using CRtThreadManager::AttachReactorThread;
        using CRtThreadManager::CreateReactor;
    };
    Net* mgr = static_cast<Net*>(CRtThreadManager::Instance());
    CRtThread* thread = nullptr;
    if (mgr->AttachReactorThread(CRtThreadManager::TT_NETWORK,
                                 new CRtReactor(mgr->CreateReactor(CRtThreadManager::TT_NETWORK)), thread) != RT_OK)
        return nullptr;
    return thread;
}

}  // namespace rttest

// Events made from lambdas, for the suites that drive threads.
//   MakeCall(fn)              an event running fn (returning RtResult)
//   RunOn(thread, fn)         runs fn on a framework thread and waits for it
//   Drain(thread)             what was posted to the thread has run, and what
//                             that posted to it as well
//   DrainThreads(user, net)   the same for two threads that post to each other
//   HoldThread(thread)        holds the thread in an event until the flag it
//                             returns is set (to line up a race)
//   StartNetworkThread()      a network thread of the test's own
//   TaskThread                a user task thread owned by the test: stopped,
//                             joined and destroyed when it goes
// A "nothing else happened" check drains instead of sleeping.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "RtEventQueue.h"
#include "RtReactor.h"
#include "RtThread.h"
#include "RtTestSupport.h"
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

// Twice: an event that was queued may itself post another one.
inline void Drain(CRtThread* aThread) {
    for (int i = 0; i < 2; ++i)
        RunOn(aThread, [] { return RT_OK; });
}

// Lets the events that a stop or release left on aUser (may be null) and
// aNetwork run (proxies hand their last steps back and forth), so a test
// ends with nothing of them still queued.
inline void DrainThreads(CRtThread* aUser, CRtThread* aNetwork) {
    auto nothing = [] { return RT_OK; };
    for (int i = 0; i < 3; ++i) {
        RunOn(aNetwork, nothing);
        if (aUser)
            RunOn(aUser, nothing);
    }
}

// Holds aThread (what is posted to it waits) until the returned flag is set.
inline std::shared_ptr<std::atomic<bool>> HoldThread(CRtThread* aThread) {
    auto gate = std::make_shared<std::atomic<bool>>(false);
    auto entered = std::make_shared<std::atomic<bool>>(false);
    aThread->GetEventQueue()->PostEvent(MakeCall([gate, entered] {
        *entered = true;
        WaitUntil([&] { return gate->load(); }, 30000);
        return RT_OK;
    }));
    WaitUntil([&] { return entered->load(); });
    return gate;
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

// A thread owned by a test (by default a new user task thread): stopped,
// joined and destroyed when the object goes.
class TaskThread {
public:
    explicit TaskThread(bool aWithTimers = true, unsigned long aFlag = CRtThread::TF_JOINABLE) {
        EXPECT_EQ(RT_OK, CRtThreadManager::Instance()->CreateUserTaskThread(m_pThread, aWithTimers, aFlag, "test"));
    }
    explicit TaskThread(CRtThread* aThread) : m_pThread(aThread) {}
    ~TaskThread() {
        if (!m_pThread)
            return;
        m_pThread->Stop();
        m_pThread->Join();
        m_pThread->Destory(RT_OK);
    }
    TaskThread(const TaskThread&) = delete;
    TaskThread& operator=(const TaskThread&) = delete;
    CRtThread* operator->() const { return m_pThread; }
    CRtThread* Get() const { return m_pThread; }
    template <class Fn>
    RtResult RunSync(Fn aFn) {
        return RunOn(m_pThread, aFn);
    }

private:
    CRtThread* m_pThread = nullptr;
};

}  // namespace rttest

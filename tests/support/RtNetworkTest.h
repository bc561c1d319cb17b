// The fixture of the network suites. It hands out the default network
// thread and, on request, a user task thread of the test's own (OnNet and
// OnUser run code there and wait; Settle drains both; BlockNetwork holds the
// network thread to line up a race); TearDown
// (after the subclass released what it made) drains the threads through
// their queues and fails when anything is left: a handler still
// registered in a network thread's reactor, a live TCP transport, thread
// proxy or scripted transport, or an event still queued.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "RtReactor.h"
#include "RtReactorWin32Message.h"
#include "RtScriptedTransport.h"
#include "RtTestEvents.h"
#include "RtTestSupport.h"
#include "RtThread.h"
#include "RtThreadManager.h"
#include "RtThreadProxy.h"
#include "RtTransportTcp.h"

namespace rttest {

// The reactor implementation of a reactor thread.
inline CRtReactorWin32Message* ReactorOf(CRtThread* aThread) {
    return static_cast<CRtReactorWin32Message*>(static_cast<CRtReactor*>(aThread->GetReactor())->GetImp());
}

class NetworkTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_pNetwork = CRtThreadManager::Instance()->GetDefaultNetworkThread();
        ASSERT_NE(nullptr, m_pNetwork);
    }
    void TearDown() override {
        ExpectNothingLeft();
        m_User.reset();
        m_pUser = nullptr;
    }

    // A user task thread (not a network thread), stopped at teardown.
    CRtThread* StartUserThread() {
        m_User.reset(new TaskThread);
        m_pUser = m_User->Get();
        return m_pUser;
    }
    template <class Fn>
    RtResult OnNet(Fn aFn) {
        return RunOn(m_pNetwork, aFn);
    }
    template <class Fn>
    RtResult OnUser(Fn aFn) {
        return RunOn(m_pUser, aFn);
    }
    // Holds the network thread (what is posted to it waits) until the
    // returned flag is set.
    std::shared_ptr<std::atomic<bool>> BlockNetwork() { return HoldThread(m_pNetwork); }
    void PostToNetwork(std::function<void()> aFn) {
        m_pNetwork->GetEventQueue()->PostEvent(MakeCall([aFn] {
            aFn();
            return RT_OK;
        }));
    }
    // Everything posted so far has run, and what it posted in turn too.
    void Settle() { DrainThreads(m_pUser, m_pNetwork); }

    void ExpectNothingLeft() {
        Settle();
        // Transports and proxies are deleted on a later timer pass of their
        // thread, so they get a bounded while to go.
        EXPECT_TRUE(WaitUntil([] {
            return CRtTransportTcp::GetLiveCount() == 0 && CRtTransportThreadProxy::GetLiveCountForTest() == 0 &&
                   ScriptedTransport::Live() == 0;
        })) << "left alive: "
            << CRtTransportTcp::GetLiveCount() << " TCP transports, " << CRtTransportThreadProxy::GetLiveCountForTest()
            << " transport proxies, " << ScriptedTransport::Live() << " scripted transports";
        Settle();
        std::vector<CRtThread*> threads;
        CRtThreadManager::Instance()->GetNetworkThreadList(threads);
        for (CRtThread* net : threads) {
            size_t handlers = 0;
            uint32_t queued = 0;
            RunOn(net, [&] {
                handlers = ReactorOf(net)->GetHandlerCount();
                queued = net->GetEventQueue()->GetPendingEventsCount();
                return RT_OK;
            });
            EXPECT_EQ(0u, handlers) << "handlers still registered on network thread " << net->GetThreadId();
            EXPECT_EQ(0u, queued) << "events still queued on network thread " << net->GetThreadId();
        }
        if (m_pUser) {
            EXPECT_EQ(0u, m_pUser->GetEventQueue()->GetPendingEventsCount())
                << "events still queued on the user thread";
        }
    }

    CRtThread* m_pNetwork = nullptr;
    CRtThread* m_pUser = nullptr;

private:
    std::unique_ptr<TaskThread> m_User;
};

}  // namespace rttest

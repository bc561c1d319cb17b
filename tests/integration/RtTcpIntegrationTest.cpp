// TCP over loopback through the connection manager and the thread proxies,
// with a thread manager of two network threads.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "RtEchoServer.h"
#include "RtLoopback.h"
#include "RtNetworkTest.h"
#include "RtNetworkThreadManager.h"
#include "RtOsSocket.h"
#include "RtTestEvents.h"
#include "RtTestSupport.h"
#include "RtThread.h"
#include "RtThreadManager.h"
#include "RtTransportTcp.h"

using rttest::EchoServer;
using rttest::RecvExactly;
using rttest::RunOn;
using rttest::SendAll;
using rttest::WaitUntil;

namespace {

rtos::SocketHandle Connect(uint16_t aPort) {
    bool connected = false;
    rtos::SocketHandle s = rttest::ConnectLoopback(aPort, &connected);
    EXPECT_TRUE(connected);
    return s;
}

// An echo server started on a thread of the test's choice; teardown stops it
// there and checks that nothing is left on any network thread.
class TcpIntegration : public rttest::NetworkTest {
protected:
    void SetUp() override {
        NetworkTest::SetUp();
        CRtThreadManager::Instance()->GetNetworkThreadList(m_Threads);
        ASSERT_EQ(2u, m_Threads.size());
    }
    void TearDown() override {
        if (m_pOwner) {
            RunOn(m_pOwner, [&] {
                m_Server.Stop();
                return RT_OK;
            });
        }
        for (CRtThread* network : m_Threads)
            rttest::DrainThreads(m_pUser, network);
        NetworkTest::TearDown();
    }
    // Starts the server on aOwner (null: a user thread of the test's own).
    void Start(CRtThread* aOwner, ThreadStrategy aStrategy, LBStrategy aLb) {
        m_pOwner = aOwner ? aOwner : StartUserThread();
        ASSERT_EQ(RT_OK, RunOn(m_pOwner, [&] { return m_Server.Start(aStrategy, aLb, m_nPort); }));
    }
    // The server ends up owned by aOwner (a transport moved there).
    void OwnedBy(CRtThread* aOwner) { m_pOwner = aOwner; }

    EchoServer m_Server;
    CRtThread* m_pOwner = nullptr;
    uint16_t m_nPort = 0;
    std::vector<CRtThread*> m_Threads;
};

}  // namespace

TEST_F(TcpIntegration, ServerTypesAreChecked) {
    IRtAcceptor* acceptor = nullptr;
    size_t before = rttest::ReadProcessLog().size();
    EXPECT_EQ(RT_ERROR_INVALID_ARG, CRtConnectionManager::Instance()->CreateConnectionServer(3, acceptor));
    EXPECT_EQ(RT_ERROR_INVALID_ARG, CRtConnectionManager::Instance()->CreateConnectionServer(0x8000, acceptor));
    EXPECT_TRUE(rttest::ProcessLogHasSince(before, "CRtConnectionManager::CreateConnectionServer, wrong type=3"));
    EXPECT_EQ(nullptr, acceptor);
    ASSERT_EQ(RT_OK, CRtConnectionManager::Instance()->CreateConnectionServer(CTYPE_TCP, acceptor));
    EXPECT_FALSE(acceptor->IsConnector());
    acceptor->ReleaseReference();
}

TEST_F(TcpIntegration, SingleThreadCallbacksArriveOnTheUserThread) {
    Start(nullptr, TS_SINGLE_THREAD, LB_CURRENT_THREAD);
    rtos::SocketHandle client = Connect(m_nPort);
    ASSERT_TRUE(SendAll(client, "hello", 5));
    EXPECT_EQ("hello", RecvExactly(client, 5));
    EXPECT_EQ(m_pUser->GetThreadId(), m_Server.m_nIndicationThread.load());
    EXPECT_EQ(m_pUser->GetThreadId(), m_Server.m_nReceiveThread.load());
    rtos::SocketClose(client);
    ASSERT_TRUE(WaitUntil([&] { return m_Server.m_nDisconnects == 1; }));
}

TEST_F(TcpIntegration, MultiThreadSpreadsConnectionsByLoad) {
    Start(m_pNetwork, TS_MULTI_THREAD, LB_LEAST_LOAD);
    std::vector<CRtThread*>& threads = m_Threads;
    int32_t before0 = 0, before1 = 0;
    CRtNetworkThreadManager::Instance()->GetThreadLoad(threads[0]->GetThreadId(), before0);
    CRtNetworkThreadManager::Instance()->GetThreadLoad(threads[1]->GetThreadId(), before1);

    std::vector<rtos::SocketHandle> clients;
    std::vector<uint32_t> receivers;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(Connect(m_nPort));
        ASSERT_TRUE(SendAll(clients.back(), "ab", 2));
        ASSERT_EQ("ab", RecvExactly(clients.back(), 2));
        receivers.push_back(m_Server.m_nReceiveThread.load());
    }
    int32_t after0 = 0, after1 = 0;
    CRtNetworkThreadManager::Instance()->GetThreadLoad(threads[0]->GetThreadId(), after0);
    CRtNetworkThreadManager::Instance()->GetThreadLoad(threads[1]->GetThreadId(), after1);
    EXPECT_EQ(before0 + before1 + 4, after0 + after1);
    EXPECT_EQ(after0 - before0, after1 - before1) << "least load spreads evenly";
    for (uint32_t id : receivers)
        EXPECT_TRUE(id == threads[0]->GetThreadId() || id == threads[1]->GetThreadId());
    for (auto s : clients)
        rtos::SocketClose(s);
    ASSERT_TRUE(WaitUntil([&] { return m_Server.m_nDisconnects == 4; }));
}

// A reader that falls behind: the client keeps at most a window of data in
// flight, the echo holds what the socket refuses, and every byte comes back
// in order.
TEST_F(TcpIntegration, EchoOfManyMegabytesWithASlowReader) {
    Start(nullptr, TS_SINGLE_THREAD, LB_CURRENT_THREAD);
    rtos::SocketHandle client = Connect(m_nPort);
    const size_t kTotal = size_t(100) << 20;
    const size_t kWindow = size_t(4) << 20;
    std::atomic<size_t> received{0};
    std::atomic<bool> ordered{true};
    std::thread reader([&] {
        std::vector<char> buf(16384);
        size_t at = 0;
        while (at < kTotal) {
            long n = rtos::SocketRecv(client, buf.data(), buf.size());
            if (n <= 0)
                break;
            for (long i = 0; i < n; ++i) {
                if (buf[static_cast<size_t>(i)] != static_cast<char>((at + static_cast<size_t>(i)) % 251))
                    ordered = false;
            }
            at += static_cast<size_t>(n);
            received = at;
        }
    });
    std::vector<char> chunk(65536);
    size_t sent = 0;
    while (sent < kTotal) {
        if (sent - received.load() > kWindow) {
            WaitUntil([&] { return sent - received.load() <= kWindow; }, 10000);
            continue;
        }
        for (size_t i = 0; i < chunk.size(); ++i)
            chunk[i] = static_cast<char>((sent + i) % 251);
        ASSERT_TRUE(SendAll(client, chunk.data(), chunk.size()));
        sent += chunk.size();
    }
    reader.join();
    EXPECT_EQ(kTotal, received.load());
    EXPECT_TRUE(ordered.load());
    EXPECT_EQ(m_Server.m_nRefusals.load(), m_Server.m_nOnSends.load()) << "one OnSend per refusal";
    rtos::SocketClose(client);
    WaitUntil([&] { return m_Server.m_nDisconnects == 1; });
}

// A transport moved to the other network thread while data flows loses
// nothing and keeps the order.
TEST_F(TcpIntegration, BindThreadMoveLosesNoByte) {
    std::vector<CRtThread*>& threads = m_Threads;
    Start(threads[0], TS_MULTI_THREAD, LB_CURRENT_THREAD);
    rtos::SocketHandle client = Connect(m_nPort);
    ASSERT_TRUE(SendAll(client, "x", 1));
    ASSERT_EQ("x", RecvExactly(client, 1));
    ASSERT_EQ(threads[0]->GetThreadId(), m_Server.m_nReceiveThread.load());

    std::string first, second;
    for (int i = 0; i < 20000; ++i)
        first += std::to_string(i) + ",";
    for (int i = 0; i < 20000; ++i)
        second += std::to_string(i) + ";";
    // Part of the stream is in flight while the transport moves; the rest
    // is sent once it has moved.
    std::thread writer([&] { SendAll(client, first.data(), first.size()); });
    RtResult moved = RT_ERROR_FAILURE;
    RunOn(threads[0], [&] {
        m_Server.ForEachTransport([&](IRtTransport* aProxy) {
            CRtTransportBindThreadParam param;
            param.m_thread = threads[1];
            moved = aProxy->SetOption(RT_OPT_BIND_THREAD, &param);
        });
        return RT_OK;
    });
    EXPECT_EQ(RT_OK, moved);
    std::string echoed = RecvExactly(client, first.size());
    writer.join();
    EXPECT_EQ(first, echoed);
    ASSERT_TRUE(SendAll(client, second.data(), second.size()));
    EXPECT_EQ(second, RecvExactly(client, second.size()));
    EXPECT_EQ(threads[1]->GetThreadId(), m_Server.m_nReceiveThread.load());
    rtos::SocketClose(client);
    WaitUntil([&] { return m_Server.m_nDisconnects == 1; });
    OwnedBy(threads[1]);
}

TEST_F(TcpIntegration, ThousandsOfConnectionsLeaveNothingBehind) {
    Start(nullptr, TS_SINGLE_THREAD, LB_CURRENT_THREAD);
    // One round first, so that lazily made objects exist before counting.
    rtos::SocketClose(Connect(m_nPort));
    ASSERT_TRUE(WaitUntil([&] { return m_Server.m_nDisconnects == 1; }));
    long handlesBefore = rtos::OpenHandleCount();
    const int kCycles = 10000;
    for (int i = 0; i < kCycles; ++i)
        rtos::SocketClose(Connect(m_nPort));
    ASSERT_TRUE(WaitUntil([&] { return m_Server.m_nDisconnects == kCycles + 1; }, 60000));
    // Transports go on a later timer pass of their thread.
    EXPECT_TRUE(WaitUntil([&] { return CRtTransportTcp::GetLiveCount() == 0; }, 5000))
        << CRtTransportTcp::GetLiveCount() << " transports still alive";
    long handlesAfter = rtos::OpenHandleCount();
    if (handlesBefore >= 0) {
        EXPECT_LE(handlesAfter, handlesBefore + 2) << "open handles " << handlesBefore << " -> " << handlesAfter;
    }
}

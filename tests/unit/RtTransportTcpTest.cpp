#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "RtAcceptorTcp.h"
#include "RtLoopback.h"
#include "RtNetworkThreadManager.h"
#include "RtTestEvents.h"
#include "RtTestSupport.h"
#include "RtThread.h"
#include "RtThreadManager.h"
#include "RtTransportTcp.h"

using rttest::MakeCall;

namespace {

// Records what a transport tells its sink; runs on the network thread.
class Sink : public IRtTransportSink {
public:
    void OnReceive(CRtMessageBlock& aData, IRtTransport*) override {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_strData += aData.FlattenChained();
    }
    void OnSend(IRtTransport*) override { ++m_nSends; }
    void OnDisconnect(RtResult aReason, IRtTransport*) override {
        m_nReason = aReason;
        ++m_nDisconnects;
    }
    std::string Data() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_strData;
    }
    std::mutex m_Mutex;
    std::string m_strData;
    std::atomic<int> m_nSends{0}, m_nDisconnects{0};
    std::atomic<RtResult> m_nReason{0};
};

// Keeps the accepted transports and opens them with one sink.
class Acceptance : public IRtAcceptorConnectorSink {
public:
    void OnConnectIndication(RtResult aReason, IRtTransport* aTrpt, IRtAcceptorConnectorId* aId) override {
        EXPECT_EQ(RT_OK, aReason);
        EXPECT_FALSE(aId->IsConnector());
        if (m_bOpen) {
            EXPECT_EQ(RT_OK, aTrpt->OpenWithSink(&m_Sink));
        }
        if (m_bKeep)
            m_Transports.push_back(aTrpt);
        ++m_nIndications;
    }
    bool m_bOpen = true;
    bool m_bKeep = true;
    Sink m_Sink;
    std::vector<CRtAutoPtr<IRtTransport>> m_Transports;
    std::atomic<int> m_nIndications{0};
};

using rttest::Loopback;

class TcpTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_pThread = CRtThreadManager::Instance()->GetDefaultNetworkThread();
        m_pAcceptor = new CRtAcceptorTcp;
        m_pAcceptor->AddReference();
        CRtInetAddr addr("127.0.0.1", 1);
        addr.SetPortA(0);
        ASSERT_EQ(RT_OK, Run([&] { return m_pAcceptor->StartListen(&m_Accept, addr); }));
        rtos::SocketAddress bound;
        rtos::SocketLocalAddress(m_pAcceptor->GetHandle(), &bound);
        m_nPort = bound.port;
    }
    void TearDown() override {
        Run([&] {
            for (auto& t : m_Accept.m_Transports)
                t->Disconnect(RT_OK);
            m_Accept.m_Transports.clear();
            m_pAcceptor->StopListen(RT_OK);
            m_pAcceptor->ReleaseReference();
            return RT_OK;
        });
        for (rtos::SocketHandle s : m_Clients)
            rtos::SocketClose(s);
    }
    template <class Fn>
    RtResult Run(Fn aFn) {
        return m_pThread->GetEventQueue()->SendEvent(MakeCall(aFn));
    }
    rtos::SocketHandle Connect() {
        rtos::SocketHandle s = rtos::SocketOpen(rtos::kAfInet, rtos::SocketType::kStream);
        EXPECT_EQ(0, rtos::SocketConnect(s, Loopback(m_nPort)));
        rtos::SocketSetNonBlocking(s, false);
        m_Clients.push_back(s);
        return s;
    }
    IRtTransport* Accepted(int aCount = 1) {
        EXPECT_TRUE(rttest::WaitUntil([&] { return m_Accept.m_nIndications >= aCount; }));
        IRtTransport* t = nullptr;
        Run([&] {
            t = m_Accept.m_Transports.empty() ? nullptr : m_Accept.m_Transports.back().Get();
            return RT_OK;
        });
        return t;
    }
    std::string ReadAll(rtos::SocketHandle aSock, size_t aBytes) {
        std::string got;
        char buf[65536];
        while (got.size() < aBytes) {
            long n = rtos::SocketRecv(aSock, buf, sizeof buf);
            if (n <= 0)
                break;
            got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }

    CRtThread* m_pThread = nullptr;
    CRtAcceptorTcp* m_pAcceptor = nullptr;
    Acceptance m_Accept;
    uint16_t m_nPort = 0;
    std::vector<rtos::SocketHandle> m_Clients;
};

}  // namespace

TEST_F(TcpTest, ReceivesSendsAndCountsBytes) {
    rtos::SocketHandle client = Connect();
    IRtTransport* t = Accepted();
    ASSERT_NE(nullptr, t);
    rtos::SocketSend(client, "ping", 4);
    ASSERT_TRUE(rttest::WaitUntil([&] { return m_Accept.m_Sink.Data() == "ping"; }));

    // A chain of 100 blocks goes out whole, in order.
    std::string expected;
    Run([&] {
        std::vector<std::unique_ptr<CRtMessageBlock>> pieces;
        for (int i = 0; i < 100; ++i) {
            std::string piece = "<" + std::to_string(i) + ">";
            expected += piece;
            pieces.emplace_back(new CRtMessageBlock(static_cast<unsigned long>(piece.size())));
            pieces.back()->Write(piece.data(), static_cast<unsigned long>(piece.size()));
            if (i > 0)
                pieces[0]->Append(pieces.back().get());
        }
        // Handed over with destroy: the transport frees the copy once sent.
        EXPECT_EQ(RT_OK, t->SendData(*pieces[0]->DuplicateChained(), true, true));
        uint32_t sent = 1, recv = 0;
        t->GetOption(RT_OPT_TRANSPORT_SND_BYTES, &sent);
        EXPECT_EQ(expected.size(), sent);
        t->GetOption(RT_OPT_TRANSPORT_SND_BYTES, &sent);
        EXPECT_EQ(0u, sent);
        t->GetOption(RT_OPT_TRANSPORT_RCV_BYTES, &recv);
        EXPECT_EQ(4u, recv);
        uint32_t type = 0;
        t->GetOption(RT_OPT_TRANSPORT_TRAN_TYPE, &type);
        EXPECT_EQ(1u, type);
        return RT_OK;
    });
    EXPECT_EQ(expected, ReadAll(client, expected.size()));
}

TEST_F(TcpTest, RefusedSendWaitsForExactlyOneOnSend) {
    rtos::SocketHandle client = Connect();
    IRtTransport* t = Accepted();
    ASSERT_NE(nullptr, t);
    std::string chunk(65536, 'q');
    size_t accepted = 0;
    // Fill the socket: the client does not read yet.
    Run([&] {
        for (int i = 0; i < 1000; ++i) {
            CRtMessageBlock mb(static_cast<unsigned long>(chunk.size()), chunk.data(), CRtMessageBlock::DONT_DELETE,
                               static_cast<unsigned long>(chunk.size()));
            RtResult rv = t->SendData(mb);
            // A complete send leaves the chain as it was; a partial one
            // moves it to the first unsent byte.
            accepted += rv == RT_OK ? chunk.size() : chunk.size() - mb.GetChainedLength();
            if (rv == RT_ERROR_PARTIAL_DATA) {
                CRtMessageBlock again(4, "more", CRtMessageBlock::DONT_DELETE, 4);
                EXPECT_EQ(RT_ERROR_PARTIAL_DATA, t->SendData(again));  // at once, touching nothing
                EXPECT_EQ(4u, again.GetChainedLength());
                return RT_OK;
            }
        }
        return RT_ERROR_FAILURE;
    });
    EXPECT_EQ(0, m_Accept.m_Sink.m_nSends.load());
    std::string got = ReadAll(client, accepted);
    EXPECT_EQ(accepted, got.size());
    ASSERT_TRUE(rttest::WaitUntil([&] { return m_Accept.m_Sink.m_nSends == 1; }));
    rtos::SleepMs(50);
    EXPECT_EQ(1, m_Accept.m_Sink.m_nSends.load());
}

TEST_F(TcpTest, PeerCloseReportsSocketErrorButDisconnectIsSilent) {
    rtos::SocketHandle client = Connect();
    ASSERT_NE(nullptr, Accepted());
    rtos::SocketClose(client);
    m_Clients.clear();
    ASSERT_TRUE(rttest::WaitUntil([&] { return m_Accept.m_Sink.m_nDisconnects == 1; }));
    EXPECT_EQ(RT_ERROR_NETWORK_SOCKET_ERROR, m_Accept.m_Sink.m_nReason.load());

    Connect();
    IRtTransport* second = Accepted(2);
    Run([&] { return second->Disconnect(RT_OK); });
    rtos::SleepMs(50);
    EXPECT_EQ(1, m_Accept.m_Sink.m_nDisconnects.load());
    CRtMessageBlock mb(1, "x", CRtMessageBlock::DONT_DELETE, 1);
    EXPECT_EQ(RT_ERROR_NOT_AVAILABLE, Run([&] { return second->SendData(mb); }));
}

// The peer's FIN ends the connection for the sink, but what is sent after
// it still reaches the peer, and the socket closes when the transport does.
TEST_F(TcpTest, PeerThatOnlyFinishedSendingStillGetsLaterSends) {
    rtos::SocketHandle client = Connect();
    IRtTransport* server = Accepted();
    ASSERT_NE(nullptr, server);
    ASSERT_EQ(1, rtos::SocketSend(client, "q", 1));
    ASSERT_EQ(0, rtos::SocketShutdown(client, rtos::ShutdownHow::kSend));
    ASSERT_TRUE(rttest::WaitUntil([&] { return m_Accept.m_Sink.m_nDisconnects == 1; }));
    EXPECT_EQ("q", m_Accept.m_Sink.Data());
    EXPECT_EQ(RT_ERROR_NETWORK_SOCKET_ERROR, m_Accept.m_Sink.m_nReason.load());
    CRtMessageBlock mb(6, "answer", CRtMessageBlock::DONT_DELETE, 6);
    EXPECT_EQ(RT_OK, Run([&] { return server->SendData(mb); }));
    EXPECT_EQ("answer", ReadAll(client, 6));
    Run([&] { return server->Disconnect(RT_OK); });
    char buf[4];
    EXPECT_EQ(0, rtos::SocketRecv(client, buf, sizeof buf)) << "closed once disconnected";
    EXPECT_EQ(1, m_Accept.m_Sink.m_nDisconnects.load());
}

TEST_F(TcpTest, PeerResetClosesTheTransportAtOnce) {
    rtos::SocketHandle client = Connect();
    IRtTransport* server = Accepted();
    ASSERT_NE(nullptr, server);
    ASSERT_EQ(0, rtos::SocketResetOnClose(client));
    rtos::SocketClose(client);
    m_Clients.clear();
    ASSERT_TRUE(rttest::WaitUntil([&] { return m_Accept.m_Sink.m_nDisconnects == 1; }));
    CRtMessageBlock mb(1, "x", CRtMessageBlock::DONT_DELETE, 1);
    EXPECT_EQ(RT_ERROR_NOT_AVAILABLE, Run([&] { return server->SendData(mb); }));
}

TEST_F(TcpTest, UnopenedUnkeptTransportClosesTheConnection) {
    m_Accept.m_bOpen = false;
    m_Accept.m_bKeep = false;
    rtos::SocketHandle client = Connect();
    ASSERT_TRUE(rttest::WaitUntil([&] { return m_Accept.m_nIndications == 1; }));
    rtos::SocketSetNonBlocking(client, false);
    char buf[4];
    EXPECT_EQ(0, rtos::SocketRecv(client, buf, sizeof buf));  // the server side went away
}

TEST_F(TcpTest, OptionsAndOpenRules) {
    Connect();
    IRtTransport* t = Accepted();
    ASSERT_NE(nullptr, t);
    Run([&] {
        EXPECT_EQ(RT_ERROR_INVALID_ARG, t->OpenWithSink(nullptr));
        Sink other;
        EXPECT_EQ(RT_OK, t->OpenWithSink(&other));
        EXPECT_EQ(&other, t->GetSink());
        EXPECT_EQ(RT_OK, t->OpenWithSink(&m_Accept.m_Sink));

        CRtInetAddr fake("10.9.8.7", 4321), peer;
        EXPECT_EQ(RT_OK, t->SetOption(RT_OPT_TRANSPORT_PEER_ADDR, &fake));
        EXPECT_EQ(RT_OK, t->GetOption(RT_OPT_TRANSPORT_PEER_ADDR, &peer));
        EXPECT_EQ("10.9.8.7:4321", peer.GetIpAndPort());

        uint32_t keepalive = 0;
        EXPECT_EQ(RT_OK, t->SetOption(RT_OPT_TRANSPORT_KEEPALIVE, &keepalive));
        keepalive = 30;
        EXPECT_EQ(RT_OK, t->SetOption(RT_OPT_TRANSPORT_KEEPALIVE, &keepalive));
        uint32_t alive = 0;
        EXPECT_EQ(RT_OK, t->GetOption(RT_OPT_TRANSPORT_SOCK_ALIVE, &alive));
        EXPECT_EQ(1u, alive);
        uint32_t unknown = 0;
        EXPECT_EQ(RT_ERROR_INVALID_ARG, t->SetOption(999, &unknown));
        EXPECT_EQ(RT_ERROR_INVALID_ARG, t->GetOption(999, &unknown));

        // Binding to the thread it is on counts it without moving it.
        int32_t load = -1, loadAfter = -1;
        CRtNetworkThreadManager::Instance()->GetThreadLoad(m_pThread->GetThreadId(), load);
        CRtTransportBindThreadParam param;
        param.m_thread = m_pThread;
        EXPECT_EQ(RT_OK, t->SetOption(RT_OPT_BIND_THREAD, &param));
        CRtNetworkThreadManager::Instance()->GetThreadLoad(m_pThread->GetThreadId(), loadAfter);
        EXPECT_EQ(load + 1, loadAfter);
        uint32_t bound = 0;
        t->GetOption(RT_OPT_BIND_THREAD, &bound);
        EXPECT_EQ(m_pThread->GetThreadId(), bound);
        return RT_OK;
    });
}

TEST_F(TcpTest, ListenerRefusesASecondStartAndABusyAddress) {
    CRtInetAddr addr("127.0.0.1", m_nPort);
    EXPECT_EQ(RT_ERROR_ALREADY_INITIALIZED, Run([&] { return m_pAcceptor->StartListen(&m_Accept, addr); }));
    size_t before = rttest::ReadProcessLog().size();
    CRtAutoPtr<CRtAcceptorTcp> other(new CRtAcceptorTcp);
    EXPECT_EQ(RT_ERROR_NETWORK_SOCKET_ERROR, Run([&] { return other->StartListen(&m_Accept, addr); }));
    EXPECT_TRUE(rttest::ProcessLogHasSince(before, "CRtAcceptorTcp::StartListen, bind() failed! addr=127.0.0.1 port=" +
                                                       std::to_string(m_nPort)));
    EXPECT_EQ(RT_OK, Run([&] { return other->StopListen(RT_OK); }));
    // Two clients at once: two indications, two transports.
    Connect();
    Connect();
    EXPECT_TRUE(rttest::WaitUntil([&] { return m_Accept.m_nIndications == 2; }));
}

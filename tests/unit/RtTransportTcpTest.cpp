#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "RtAcceptorTcp.h"
#include "RtLoopback.h"
#include "RtNetworkTest.h"
#include "RtNetworkThreadManager.h"
#include "RtRecordingSinks.h"
#include "RtTransportTcp.h"

namespace {

using rttest::Loopback;
using rttest::RecvExactly;

// A TCP acceptor listening on a loopback port of the default network
// thread; the accepted transports are opened with one recording sink.
class TcpTest : public rttest::NetworkTest {
protected:
    void SetUp() override {
        NetworkTest::SetUp();
        m_Accept.ExpectThread(m_pNetwork);
        m_pAcceptor = new CRtAcceptorTcp;
        m_pAcceptor->AddReference();
        ASSERT_EQ(RT_OK, OnNet([&] { return m_pAcceptor->StartListen(&m_Accept, rttest::LoopbackAddr(0)); }));
        rtos::SocketAddress bound;
        rtos::SocketLocalAddress(m_pAcceptor->GetHandle(), &bound);
        m_nPort = bound.port;
    }
    void TearDown() override {
        OnNet([&] {
            m_Accept.DropAll();
            m_pAcceptor->StopListen(RT_OK);
            m_pAcceptor->ReleaseReference();
            return RT_OK;
        });
        for (rtos::SocketHandle s : m_Clients)
            rtos::SocketClose(s);
        EXPECT_EQ(0, m_Accept.WrongThread());
        EXPECT_EQ(0, m_Accept.m_nOpenFailures.load());
        for (RtResult reason : m_Accept.Reasons("indication"))
            EXPECT_EQ(RT_OK, reason);
        NetworkTest::TearDown();
    }
    rtos::SocketHandle Connect() {
        bool connected = false;
        rtos::SocketHandle s = rttest::ConnectLoopback(m_nPort, &connected);
        EXPECT_TRUE(connected);
        m_Clients.push_back(s);
        return s;
    }
    IRtTransport* Accepted(int aCount = 1) {
        EXPECT_TRUE(rttest::WaitUntil([&] { return m_Accept.Count("indication") >= aCount; }));
        EXPECT_FALSE(m_Accept.m_pId.load()->IsConnector());
        return m_Accept.Last();
    }
    rttest::RecordingSink& Sink() { return m_Accept.m_Sink; }

    CRtAcceptorTcp* m_pAcceptor = nullptr;
    rttest::RecordingAcceptorSink m_Accept;
    uint16_t m_nPort = 0;
    std::vector<rtos::SocketHandle> m_Clients;
};

}  // namespace

TEST_F(TcpTest, ReceivesSendsAndCountsBytes) {
    rtos::SocketHandle client = Connect();
    IRtTransport* t = Accepted();
    ASSERT_NE(nullptr, t);
    rtos::SocketSend(client, "ping", 4);
    ASSERT_TRUE(rttest::WaitUntil([&] { return Sink().Data() == "ping"; }));

    // A chain of 100 blocks goes out whole, in order.
    std::string expected;
    OnNet([&] {
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
    EXPECT_EQ(expected, RecvExactly(client, expected.size()));
}

TEST_F(TcpTest, RefusedSendWaitsForExactlyOneOnSend) {
    rtos::SocketHandle client = Connect();
    IRtTransport* t = Accepted();
    ASSERT_NE(nullptr, t);
    std::string chunk(65536, 'q');
    size_t accepted = 0;
    // Fill the socket: the client does not read yet.
    OnNet([&] {
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
    EXPECT_EQ(0, Sink().Count("send"));
    std::string got = RecvExactly(client, accepted);
    EXPECT_EQ(accepted, got.size());
    ASSERT_TRUE(rttest::WaitUntil([&] { return Sink().Count("send") == 1; }));
    Settle();
    EXPECT_EQ(1, Sink().Count("send"));
}

TEST_F(TcpTest, PeerCloseReportsSocketErrorButDisconnectIsSilent) {
    rtos::SocketHandle client = Connect();
    ASSERT_NE(nullptr, Accepted());
    rtos::SocketClose(client);
    m_Clients.clear();
    ASSERT_TRUE(rttest::WaitUntil([&] { return Sink().Count("disconnect") == 1; }));
    EXPECT_EQ((std::vector<RtResult>{RT_ERROR_NETWORK_SOCKET_ERROR}), Sink().Reasons());

    Connect();
    IRtTransport* second = Accepted(2);
    OnNet([&] { return second->Disconnect(RT_OK); });
    Settle();
    EXPECT_EQ(1, Sink().Count("disconnect"));
    CRtMessageBlock mb(1, "x", CRtMessageBlock::DONT_DELETE, 1);
    EXPECT_EQ(RT_ERROR_NOT_AVAILABLE, OnNet([&] { return second->SendData(mb); }));
}

// The peer's FIN ends the connection for the sink, but what is sent after
// it still reaches the peer, and the socket closes when the transport does.
TEST_F(TcpTest, PeerThatOnlyFinishedSendingStillGetsLaterSends) {
    rtos::SocketHandle client = Connect();
    IRtTransport* server = Accepted();
    ASSERT_NE(nullptr, server);
    ASSERT_EQ(1, rtos::SocketSend(client, "q", 1));
    ASSERT_EQ(0, rtos::SocketShutdown(client, rtos::ShutdownHow::kSend));
    ASSERT_TRUE(rttest::WaitUntil([&] { return Sink().Count("disconnect") == 1; }));
    EXPECT_EQ("q", Sink().Data());
    EXPECT_EQ((std::vector<RtResult>{RT_ERROR_NETWORK_SOCKET_ERROR}), Sink().Reasons());
    CRtMessageBlock mb(6, "answer", CRtMessageBlock::DONT_DELETE, 6);
    EXPECT_EQ(RT_OK, OnNet([&] { return server->SendData(mb); }));
    EXPECT_EQ("answer", RecvExactly(client, 6));
    OnNet([&] { return server->Disconnect(RT_OK); });
    char buf[4];
    EXPECT_EQ(0, rtos::SocketRecv(client, buf, sizeof buf)) << "closed once disconnected";
    EXPECT_EQ(1, Sink().Count("disconnect"));
}

TEST_F(TcpTest, PeerResetClosesTheTransportAtOnce) {
    rtos::SocketHandle client = Connect();
    IRtTransport* server = Accepted();
    ASSERT_NE(nullptr, server);
    ASSERT_EQ(0, rtos::SocketResetOnClose(client));
    rtos::SocketClose(client);
    m_Clients.clear();
    ASSERT_TRUE(rttest::WaitUntil([&] { return Sink().Count("disconnect") == 1; }));
    CRtMessageBlock mb(1, "x", CRtMessageBlock::DONT_DELETE, 1);
    EXPECT_EQ(RT_ERROR_NOT_AVAILABLE, OnNet([&] { return server->SendData(mb); }));
}

TEST_F(TcpTest, UnopenedUnkeptTransportClosesTheConnection) {
    m_Accept.m_bOpen = false;
    m_Accept.m_bKeep = false;
    rtos::SocketHandle client = Connect();
    ASSERT_TRUE(rttest::WaitUntil([&] { return m_Accept.Count("indication") == 1; }));
    rtos::SocketSetNonBlocking(client, false);
    char buf[4];
    EXPECT_EQ(0, rtos::SocketRecv(client, buf, sizeof buf));  // the server side went away
}

TEST_F(TcpTest, OptionsAndOpenRules) {
    Connect();
    IRtTransport* t = Accepted();
    ASSERT_NE(nullptr, t);
    OnNet([&] {
        EXPECT_EQ(RT_ERROR_INVALID_ARG, t->OpenWithSink(nullptr));
        rttest::RecordingSink other;
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
        CRtNetworkThreadManager::Instance()->GetThreadLoad(m_pNetwork->GetThreadId(), load);
        CRtTransportBindThreadParam param;
        param.m_thread = m_pNetwork;
        EXPECT_EQ(RT_OK, t->SetOption(RT_OPT_BIND_THREAD, &param));
        CRtNetworkThreadManager::Instance()->GetThreadLoad(m_pNetwork->GetThreadId(), loadAfter);
        EXPECT_EQ(load + 1, loadAfter);
        uint32_t bound = 0;
        t->GetOption(RT_OPT_BIND_THREAD, &bound);
        EXPECT_EQ(m_pNetwork->GetThreadId(), bound);
        return RT_OK;
    });
}

TEST_F(TcpTest, ListenerRefusesASecondStartAndABusyAddress) {
    CRtInetAddr addr = rttest::LoopbackAddr(m_nPort);
    EXPECT_EQ(RT_ERROR_ALREADY_INITIALIZED, OnNet([&] { return m_pAcceptor->StartListen(&m_Accept, addr); }));
    size_t before = rttest::ReadProcessLog().size();
    CRtAutoPtr<CRtAcceptorTcp> other(new CRtAcceptorTcp);
    EXPECT_EQ(RT_ERROR_NETWORK_SOCKET_ERROR, OnNet([&] { return other->StartListen(&m_Accept, addr); }));
    EXPECT_TRUE(rttest::ProcessLogHasSince(
        before, "CRtAcceptorTcp::StartListen, bind() failed! addr=127.0.0.1 port=" + std::to_string(m_nPort)));
    EXPECT_EQ(RT_OK, OnNet([&] { return other->StopListen(RT_OK); }));
    // Two clients at once: two indications, two transports.
    Connect();
    Connect();
    EXPECT_TRUE(rttest::WaitUntil([&] { return m_Accept.Count("indication") == 2; }));
}

// A server connection against a raw socket that writes hand-made units:
// framing, splits, the acknowledgement rules and every refusal.
#include "RtConnRlbTcpFixture.h"

namespace {

class RlbTcpRawTest : public RlbTcpTest {
protected:
    // A raw client past its handshake with the server of kReliable.
    std::unique_ptr<RawPeer> Established(RawUnit* aResp = nullptr) {
        size_t before = m_Server.ConnCount();
        std::unique_ptr<RawPeer> peer(new RawPeer(m_nPort));
        RawUnit b = peer->Hello(0x1E);
        EXPECT_EQ(0u, b.pdu.result);
        EXPECT_TRUE(WaitUntil([&] { return m_Server.ConnCount() == before + 1; }));
        if (aResp)
            *aResp = b;
        return peer;
    }
    // The connection below the thread proxy the user holds.
    CRtConnRlbTcp* ServerConn(size_t aIndex = 0) {
        IRtTransport* lower = nullptr;
        m_Server.Conn(aIndex)->GetOption(RT_OPT_LOWER_TRANSPORT, &lower);
        return static_cast<CRtConnRlbTcp*>(lower);
    }
};

}  // namespace

// A 10-byte 'G' leaves as 0x47, the ack, the length 10 and the bytes; units
// split at every byte boundary, or several in one input, reach the user
// the same, one delivery per unit.
TEST_F(RlbTcpRawTest, FramingAndSplitsAtEveryByte) {
    StartServer(kReliable);
    auto peer = Established();
    ASSERT_EQ(RT_OK, Send(ServerConn(), m_pNet, "0123456789"));
    RawUnit g;
    ASSERT_TRUE(peer->Next(g));
    EXPECT_EQ(RT_RLBTCP_PDU_DATA_KEPT, g.pdu.type);
    EXPECT_EQ(0, g.pdu.ack);
    EXPECT_EQ(10u, g.pdu.length);
    EXPECT_EQ("0123456789", g.payload);

    // Each carries the ack of the server's one 'G'.
    const std::string stream = RawPeer::Data('G', "abc", 1) + RawPeer::Data('E', "defg") + RawPeer::Data('F', "h", 1);
    std::vector<std::string> expected;
    for (size_t cut = 1; cut <= stream.size(); ++cut) {
        ASSERT_TRUE(peer->Send(stream.substr(0, cut)));
        rtos::SleepMs(2);
        ASSERT_TRUE(peer->Send(stream.substr(cut)));
        expected.insert(expected.end(), {"abc", "defg", "h"});
    }
    EXPECT_TRUE(WaitUntil([&] { return m_Server.Messages().size() >= expected.size(); }));
    EXPECT_EQ(expected, m_Server.Messages());
    EXPECT_TRUE(m_Server.Disconnects().empty());
}

// An unknown type, a payload above the maximum, an 'A' once established
// (without taking its fields), a 'B' sent to a server and data before the
// handshake all end the connection with RT_ERROR_NETWORK_INVALID_PDU.
TEST_F(RlbTcpRawTest, InvalidUnitsFailWithInvalidPdu) {
    StartServer(kReliable);
    {
        auto peer = Established();
        ASSERT_TRUE(peer->Send(std::string(1, '\x50')));
        EXPECT_TRUE(peer->WaitClosed());
    }
    {
        auto peer = Established();
        CRtRlbTcpPdu huge = RawPeer::Unit('G');
        huge.length = 0xFFFFFFF0u;
        ASSERT_TRUE(peer->Send(RawPeer::Encode(huge)));
        EXPECT_TRUE(peer->WaitClosed());
    }
    {
        auto peer = Established();
        // Kept past the close, to look at its type afterwards.
        CRtAutoPtr<CRtConnRlbTcp> conn(ServerConn(2));
        ASSERT_TRUE(peer->Send(RawPeer::Request(0x06, 9, 1234)));
        EXPECT_TRUE(peer->WaitClosed());
        uint32_t type = 0;
        RunOn(m_pNet, [&] {
            type = conn->GetType();
            conn = nullptr;
            return RT_OK;
        });
        EXPECT_EQ(kReliable, type);
    }
    {
        // A connection response is never a server's to take.
        auto peer = Established();
        CRtRlbTcpPdu resp = RawPeer::Unit('B');
        ASSERT_TRUE(peer->Send(RawPeer::Encode(resp)));
        EXPECT_TRUE(peer->WaitClosed());
    }
    EXPECT_TRUE(WaitUntil([&] { return m_Server.Disconnects().size() == 4; }));
    EXPECT_EQ(std::vector<RtResult>(4, RT_ERROR_NETWORK_INVALID_PDU), m_Server.Disconnects());

    RawPeer early(m_nPort);
    ASSERT_TRUE(early.Send(RawPeer::Data('G', "too soon")));
    EXPECT_TRUE(early.WaitClosed());
    EXPECT_EQ(4u, m_Server.Indications().size());
}

// Three small 'G' units are acknowledged by one 'D' about 90 ms later with
// an ack three higher; a 'G' above 4096 bytes is acknowledged at once.
TEST_F(RlbTcpRawTest, AcksFollowTheDelayAndSizeRules) {
    StartServer(kReliable);
    auto peer = Established();
    const std::string hundred(100, 'x');
    ASSERT_TRUE(peer->Send(RawPeer::Data('G', hundred) + RawPeer::Data('G', hundred) + RawPeer::Data('G', hundred)));
    RawUnit d;
    ASSERT_TRUE(peer->Next(d, 5000, true));
    while (d.pdu.type == RT_RLBTCP_PDU_RTT)
        ASSERT_TRUE(peer->Next(d, 5000, true));
    EXPECT_EQ(RT_RLBTCP_PDU_KEEPALIVE, d.pdu.type);
    EXPECT_EQ(3, d.pdu.ack);
    ASSERT_TRUE(peer->Send(RawPeer::Data('G', std::string(5000, 'y'))));
    ASSERT_TRUE(peer->Next(d, 5000, true));
    EXPECT_EQ(RT_RLBTCP_PDU_KEEPALIVE, d.pdu.type);
    EXPECT_EQ(4, d.pdu.ack);
}

// Beyond the send limit SendData answers RT_ERROR_PARTIAL_DATA until an ack
// frees room, then OnSend follows; an ack for more units than were sent
// ends the connection with RT_ERROR_NETWORK_INVALID_PDU.
TEST_F(RlbTcpRawTest, SendLimitOnSendAndAckBeyondWhatWasSent) {
    StartServer(kReliable);
    auto peer = Established();
    CRtConnRlbTcp* conn = ServerConn();
    uint32_t limit = 1000;
    RunOn(m_pNet, [&] { return conn->SetOption(RT_OPT_CONN_MAX_SEND_BUF, &limit); });
    const std::string part(600, 'p');
    EXPECT_EQ(RT_OK, Send(conn, m_pNet, part));
    EXPECT_EQ(RT_OK, Send(conn, m_pNet, part));
    EXPECT_EQ(RT_ERROR_PARTIAL_DATA, Send(conn, m_pNet, part));
    EXPECT_EQ(RT_ERROR_PARTIAL_DATA, Send(conn, m_pNet, "x"));
    EXPECT_EQ(0, m_Server.m_nOnSends.load());
    RawUnit g;
    ASSERT_TRUE(peer->Next(g));
    ASSERT_TRUE(peer->Next(g));
    CRtRlbTcpPdu ack = RawPeer::Unit('D');
    ack.ack = 2;
    ASSERT_TRUE(peer->Send(RawPeer::Encode(ack)));
    EXPECT_TRUE(WaitUntil([&] { return m_Server.m_nOnSends == 1; }));
    EXPECT_EQ(RT_OK, Send(conn, m_pNet, part));
    EXPECT_EQ(RT_OK, Send(conn, m_pNet, part));
    ack.ack = 2 + 5;
    ASSERT_TRUE(peer->Send(RawPeer::Encode(ack)));
    EXPECT_TRUE(WaitUntil([&] { return !m_Server.Disconnects().empty(); }));
    EXPECT_EQ(std::vector<RtResult>{RT_ERROR_NETWORK_INVALID_PDU}, m_Server.Disconnects());
}

// An 'I' of 0 is ignored; one of 3 s gives a 1 s keep-alive interval, so
// 'D' units keep coming, and a silent peer is then dropped with the
// connect timeout.
TEST_F(RlbTcpRawTest, IdleTimeoutFromThePeer) {
    StartServer(kReliable);
    auto peer = Established();
    CRtRlbTcpPdu idle = RawPeer::Unit('I');
    idle.idleTimeout = 0;
    ASSERT_TRUE(peer->Send(RawPeer::Encode(idle)));
    idle.idleTimeout = 3;
    ASSERT_TRUE(peer->Send(RawPeer::Encode(idle)));
    int keepAlives = 0;
    RawUnit d;
    while (peer->Next(d, 6000, true))
        keepAlives += d.pdu.type == RT_RLBTCP_PDU_KEEPALIVE;
    EXPECT_GE(keepAlives, 2);
    EXPECT_TRUE(WaitUntil([&] { return !m_Server.Disconnects().empty(); }));
    EXPECT_EQ(std::vector<RtResult>{RT_ERROR_NETWORK_CONNECT_TIMEOUT}, m_Server.Disconnects());
}

// Handshake refusals answer a 'B' with the reason and close: a type the
// acceptor does not offer, a channel without the reconnect bit (20021), an
// unknown channel (20002), a wrong or forged ticket (20027). The session
// whose channel was named goes on.
TEST_F(RlbTcpRawTest, HandshakeRefusals) {
    StartServer(kReliable);
    RawUnit hello;
    auto owner = Established(&hello);
    const uint16_t channel = hello.pdu.channel;
    ASSERT_NE(0, channel);

    // What a ticket made of the peer's address and port would be.
    rtos::SocketAddress local;
    rtos::SocketLocalAddress(owner->m_Sock, &local);
    uint32_t ip = static_cast<uint32_t>(local.addr[0]) | (static_cast<uint32_t>(local.addr[1]) << 8) |
                  (static_cast<uint32_t>(local.addr[2]) << 16) | (static_cast<uint32_t>(local.addr[3]) << 24);
    uint32_t forged = ip + static_cast<uint16_t>((local.port >> 8) | (local.port << 8));
    EXPECT_NE(forged, hello.pdu.ticket);

    struct Case {
        std::string request;
        uint32_t result;
    };
    const Case cases[] = {
        {RawPeer::Request(0x1E, 7777, hello.pdu.ticket), RT_ERROR_NETWORK_CONNECTION_RESET},
        {RawPeer::Request(0x1E, channel, hello.pdu.ticket + 1), RT_ERROR_NETWORK_TICKET_MISMATCH},
        {RawPeer::Request(0x1E, channel, forged), RT_ERROR_NETWORK_TICKET_MISMATCH},
        {RawPeer::Request(0x1E, channel, 0), RT_ERROR_NETWORK_TICKET_MISMATCH},
        {RawPeer::Request(0x16, channel, hello.pdu.ticket), RT_ERROR_NETWORK_HANDSHAKE_FAILED},
        {RawPeer::Request(0x3E), RT_ERROR_NETWORK_HANDSHAKE_FAILED},
    };
    for (const Case& c : cases) {
        RawPeer peer(m_nPort);
        ASSERT_TRUE(peer.Send(c.request));
        RawUnit b;
        ASSERT_TRUE(peer.Next(b));
        EXPECT_EQ(RT_RLBTCP_PDU_CONN_RESP, b.pdu.type);
        EXPECT_EQ(c.result, b.pdu.result);
        EXPECT_TRUE(peer.WaitClosed());
    }
    EXPECT_EQ(1u, m_Server.Indications().size());
    ASSERT_TRUE(owner->Send(RawPeer::Data('G', "still mine")));
    EXPECT_TRUE(WaitUntil([&] { return m_Server.Joined() == "still mine"; }));
    EXPECT_TRUE(m_Server.Disconnects().empty());
}

// Every way a connection ends frees its channel: with a list of two, new
// clients keep getting channels; a third at once gets 20026, a
// reconnection to a closed channel 20002. A client that says nothing is
// dropped after its handshake limit.
TEST_F(RlbTcpRawTest, ChannelsComeBackAfterEveryClose) {
    typedef CConnAcceptorT<CRtConnRlbTcpServer> Acceptor;
    Acceptor* acceptor = nullptr;
    CRtAcceptorTcp* base = new CRtAcceptorTcp;
    m_nPort = rttest::FreeLoopbackPort();
    ASSERT_EQ(RT_OK, RunOn(m_pNet, [&] {
                  CRtAutoPtr<CRtConnRlbTcpServer::ServerList> list(new CRtConnRlbTcpServer::ServerList(true, 2));
                  acceptor = new Acceptor(base, list.Get(), kReliable, LB_CURRENT_THREAD, true);
                  acceptor->AddReference();
                  acceptor->SetHandshakeLimit(1);
                  return acceptor->StartListen(&m_Server, CRtInetAddr("127.0.0.1", m_nPort));
              }));

    uint16_t lastChannel = 0;
    uint32_t lastTicket = 0;
    for (int round = 0; round < 9; ++round) {
        RawUnit b1, b2;
        auto one = Established(&b1);
        auto two = Established(&b2);
        {
            RawPeer third(m_nPort);
            ASSERT_TRUE(third.Send(RawPeer::Request(0x1E)));
            RawUnit b;
            ASSERT_TRUE(third.Next(b));
            EXPECT_EQ(static_cast<uint32_t>(RT_ERROR_NETWORK_TOO_MANY_CONNECTIONS), b.pdu.result);
        }
        lastChannel = b1.pdu.channel;
        lastTicket = b1.pdu.ticket;
        // Three ways to end, in turn: the peer's 'C', the user's
        // Disconnect, an invalid unit.
        switch (round % 3) {
        case 0:
            ASSERT_TRUE(one->Send(std::string(1, 'C')));
            ASSERT_TRUE(two->Send(std::string(1, 'C')));
            break;
        case 1:
            RunOn(m_pNet, [&] {
                m_Server.CloseAll();
                return RT_OK;
            });
            break;
        case 2:
            ASSERT_TRUE(one->Send(std::string(1, 'Z')));
            ASSERT_TRUE(two->Send(std::string(1, 'Z')));
            break;
        }
        EXPECT_TRUE(one->WaitClosed());
        EXPECT_TRUE(two->WaitClosed());
        RunOn(m_pNet, [&] {
            m_Server.CloseAll();
            return RT_OK;
        });
        EXPECT_TRUE(WaitUntil([&] { return acceptor->GetServerList()->GetCount() == 0; }));
    }
    RawPeer late(m_nPort);
    ASSERT_TRUE(late.Send(RawPeer::Request(0x1E, lastChannel, lastTicket)));
    RawUnit b;
    ASSERT_TRUE(late.Next(b));
    EXPECT_EQ(static_cast<uint32_t>(RT_ERROR_NETWORK_CONNECTION_RESET), b.pdu.result);

    RawPeer silent(m_nPort);
    EXPECT_TRUE(silent.WaitClosed(4000));
    RunOn(m_pNet, [&] {
        EXPECT_EQ(0u, acceptor->GetPendingCount());
        acceptor->StopListen(RT_OK);
        acceptor->ReleaseReference();
        return RT_OK;
    });
}

// While encoded bytes wait (here held back by a 1 KiB/s upload limit), the
// peer's probes get no echo and its 'G' units no 'D' of their own: one 'D'
// with the newest ack follows the data once it is out.
TEST_F(RlbTcpRawTest, ControlUnitsDoNotPileUpBehindWaitingBytes) {
    StartServer(kReliable);
    auto peer = Established();
    CRtConnRlbTcp* conn = ServerConn();
    uint32_t slow = 1024;
    RunOn(m_pNet, [&] { return conn->SetOption(RT_OPT_CONN_UPLOAD_LIMIT, &slow); });
    // The new limit takes effect with the next second.
    rtos::SleepMs(1100);
    ASSERT_EQ(RT_OK, Send(conn, m_pNet, std::string(2000, 'd')));
    uint32_t before = 0;
    RunOn(m_pNet, [&] {
        before = conn->GetSendBufferForTest().GetEncodedSize();
        return RT_OK;
    });
    ASSERT_GT(before, 0u);
    std::string flood;
    for (int i = 0; i < 100; ++i) {
        CRtRlbTcpPdu probe = RawPeer::Unit('H');
        probe.probe = static_cast<uint32_t>(i);
        flood += RawPeer::Encode(probe) + RawPeer::Data('G', "0123456789");
    }
    ASSERT_TRUE(peer->Send(flood));
    ASSERT_TRUE(WaitUntil([&] { return m_Server.Messages().size() == 100; }));
    uint32_t after = 0;
    RunOn(m_pNet, [&] {
        after = conn->GetSendBufferForTest().GetEncodedSize();
        return RT_OK;
    });
    EXPECT_LE(after, before);

    RawUnit u;
    int echoes = 0;
    uint16_t lastAck = 0;
    std::string data;
    // The data leaves at about 1 KiB/s, then the ack.
    while (peer->Next(u, data.size() < 2000 ? 5000 : 800, true)) {
        echoes += u.pdu.type == RT_RLBTCP_PDU_RTT;
        if (u.pdu.type == RT_RLBTCP_PDU_KEEPALIVE)
            lastAck = u.pdu.ack;
        data += u.payload;
    }
    EXPECT_EQ(std::string(2000, 'd'), data);
    EXPECT_EQ(0, echoes);
    EXPECT_EQ(100, lastAck);
}

// The ack count has 16 bits: with 65535 'G' units unacknowledged SendData
// answers RT_ERROR_PARTIAL_DATA, and the ack that frees them (wrapping
// past 65535 afterwards) brings OnSend.
TEST_F(RlbTcpRawTest, AckWrapLimitsUnitsInFlight) {
    StartServer(kReliable);
    auto peer = Established();
    CRtConnRlbTcp* conn = ServerConn();
    int sent = 0;
    RtResult last = RT_OK;
    RunOn(m_pNet, [&] {
        for (;;) {
            CRtMessageBlock mb(1, "x", CRtMessageBlock::DONT_DELETE, 1);
            last = conn->SendData(mb);
            if (last != RT_OK || sent > 70000)
                break;
            ++sent;
        }
        return RT_OK;
    });
    EXPECT_EQ(RT_ERROR_PARTIAL_DATA, last);
    EXPECT_EQ(65535, sent);
    RawUnit u;
    int units = 0;
    while (units < sent && peer->Next(u, 5000))
        ++units;
    ASSERT_EQ(sent, units);
    CRtRlbTcpPdu ack = RawPeer::Unit('D');
    ack.ack = 65535;
    ASSERT_TRUE(peer->Send(RawPeer::Encode(ack)));
    EXPECT_TRUE(WaitUntil([&] { return m_Server.m_nOnSends == 1; }));
    // Two more, acknowledged across the wrap.
    EXPECT_EQ(RT_OK, Send(conn, m_pNet, "a"));
    EXPECT_EQ(RT_OK, Send(conn, m_pNet, "b"));
    ASSERT_TRUE(peer->Next(u));
    EXPECT_EQ("a", u.payload);
    ASSERT_TRUE(peer->Next(u));
    ack.ack = 1;
    ASSERT_TRUE(peer->Send(RawPeer::Encode(ack)));
    EXPECT_TRUE(WaitUntil([&] {
        size_t kept = 1;
        RunOn(m_pNet, [&] {
            kept = conn->GetSendBufferForTest().GetKeptCount();
            return RT_OK;
        });
        return kept == 0;
    }));
    EXPECT_TRUE(m_Server.Disconnects().empty());
}

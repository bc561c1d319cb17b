// A server connection against a raw socket that writes hand-made units:
// framing, splits, the acknowledgement rules and every refusal.
#include "RtConnRlbTcpFixture.h"

namespace {

class RlbTcpRawTest : public RlbTcpTest {
protected:
    void SetUp() override {
        RlbTcpTest::SetUp();
        StartServer(kReliable);
    }
    // A raw client past its handshake with the server of kReliable.
    std::unique_ptr<RawPeer> Established(RawUnit* aResp = nullptr) {
        const int before = m_Server.Count("indication");
        std::unique_ptr<RawPeer> peer(new RawPeer(m_nPort));
        RawUnit b = peer->Hello(0x1E);
        EXPECT_EQ(0u, b.pdu.result);
        EXPECT_TRUE(WaitUntil([&] { return m_Server.Count("indication") == before + 1; }));
        if (aResp)
            *aResp = b;
        return peer;
    }
    // The connection below the thread proxy the user holds (the newest).
    CRtConnRlbTcp* ServerConn() {
        IRtTransport* lower = nullptr;
        m_Server.Last()->GetOption(RT_OPT_LOWER_TRANSPORT, &lower);
        return static_cast<CRtConnRlbTcp*>(lower);
    }
    size_t Kept(CRtConnRlbTcp* aConn) {
        return OnNetGet([&] { return aConn->GetSendBufferForTest().GetKeptCount(); });
    }
    static std::string Ack(uint16_t aAck) {
        CRtRlbTcpPdu d = RawPeer::Unit('D');
        d.ack = aAck;
        return RawPeer::Encode(d);
    }
};

}  // namespace

// One session through the rules in turn:
// - handshake refusals answer a 'B' with the reason and close: an unknown
//   channel (20002), a wrong or forged ticket (20027), a channel without
//   the reconnect bit (20021), a type the acceptor does not offer; the
//   session whose channel was named goes on;
// - three small 'G' units are acknowledged by one 'D' a little later with
//   an ack three higher, a 'G' above 4096 bytes at once;
// - a 10-byte 'G' leaves as 0x47, the ack of what came, the length 10 and
//   the bytes;
// - units split at every byte boundary, or several in one input, reach the
//   user the same, one delivery per unit;
// - beyond the send limit SendData answers RT_ERROR_PARTIAL_DATA until an
//   ack frees room, then OnSend follows;
// - an 'I' of 0 is ignored; one of 3 s gives a 1 s keep-alive interval, so
//   'D' units keep coming, and a silent peer is then dropped with the
//   connect timeout.
TEST_F(RlbTcpRawTest, OneSessionThroughRefusalsAcksSplitsSendLimitAndIdleTimeout) {
    RawUnit hello;
    auto peer = Established(&hello);
    const uint16_t channel = hello.pdu.channel;
    ASSERT_NE(0, channel);
    // What a ticket made of the peer's address and port would be.
    rtos::SocketAddress local;
    rtos::SocketLocalAddress(peer->m_Sock, &local);
    uint32_t ip = static_cast<uint32_t>(local.addr[0]) | (static_cast<uint32_t>(local.addr[1]) << 8) |
                  (static_cast<uint32_t>(local.addr[2]) << 16) | (static_cast<uint32_t>(local.addr[3]) << 24);
    uint32_t forged = ip + static_cast<uint16_t>((local.port >> 8) | (local.port << 8));
    EXPECT_NE(forged, hello.pdu.ticket);
    const struct {
        std::string request;
        uint32_t result;
    } refusals[] = {
        {RawPeer::Request(0x1E, 7777, hello.pdu.ticket), RT_ERROR_NETWORK_CONNECTION_RESET},
        {RawPeer::Request(0x1E, channel, hello.pdu.ticket + 1), RT_ERROR_NETWORK_TICKET_MISMATCH},
        {RawPeer::Request(0x1E, channel, forged), RT_ERROR_NETWORK_TICKET_MISMATCH},
        {RawPeer::Request(0x1E, channel, 0), RT_ERROR_NETWORK_TICKET_MISMATCH},
        {RawPeer::Request(0x16, channel, hello.pdu.ticket), RT_ERROR_NETWORK_HANDSHAKE_FAILED},
        {RawPeer::Request(0x3E), RT_ERROR_NETWORK_HANDSHAKE_FAILED},
    };
    for (const auto& r : refusals) {
        SCOPED_TRACE(r.result);
        RawPeer refused(m_nPort);
        ASSERT_TRUE(refused.Send(r.request));
        RawUnit b;
        ASSERT_TRUE(refused.Next(b));
        EXPECT_EQ(RT_RLBTCP_PDU_CONN_RESP, b.pdu.type);
        EXPECT_EQ(r.result, b.pdu.result);
        EXPECT_TRUE(refused.WaitClosed());
    }
    EXPECT_EQ(1u, m_Server.Reasons("indication").size());

    const std::string hundred(100, 'x');
    ASSERT_TRUE(peer->Send(RawPeer::Data('G', hundred) + RawPeer::Data('G', hundred) + RawPeer::Data('G', hundred)));
    RawUnit d;
    do
        ASSERT_TRUE(peer->Next(d, 5000, true));
    while (d.pdu.type == RT_RLBTCP_PDU_RTT);
    EXPECT_EQ(RT_RLBTCP_PDU_KEEPALIVE, d.pdu.type);
    EXPECT_EQ(3, d.pdu.ack);
    ASSERT_TRUE(peer->Send(RawPeer::Data('G', std::string(5000, 'y'))));
    ASSERT_TRUE(peer->Next(d, 5000, true));
    EXPECT_EQ(RT_RLBTCP_PDU_KEEPALIVE, d.pdu.type);
    EXPECT_EQ(4, d.pdu.ack);

    CRtConnRlbTcp* conn = ServerConn();
    ASSERT_EQ(RT_OK, Send(conn, m_pNet, "0123456789"));
    RawUnit g;
    ASSERT_TRUE(peer->Next(g));
    EXPECT_EQ(RT_RLBTCP_PDU_DATA_KEPT, g.pdu.type);
    EXPECT_EQ(4, g.pdu.ack);
    EXPECT_EQ(10u, g.pdu.length);
    EXPECT_EQ("0123456789", g.payload);

    // Each carries the ack of the server's one 'G'.
    const std::string stream = RawPeer::Data('G', "abc", 1) + RawPeer::Data('E', "defg") + RawPeer::Data('F', "h", 1);
    std::vector<std::string> expected{hundred, hundred, hundred, std::string(5000, 'y')};
    for (size_t cut = 1; cut <= stream.size(); ++cut) {
        ASSERT_TRUE(peer->Send(stream.substr(0, cut)));
        rtos::SleepMs(2);
        ASSERT_TRUE(peer->Send(stream.substr(cut)));
        expected.insert(expected.end(), {"abc", "defg", "h"});
    }
    EXPECT_TRUE(WaitUntil([&] { return m_Server.m_Sink.Received().size() >= expected.size(); }));
    EXPECT_EQ(expected, m_Server.m_Sink.Received());
    EXPECT_EQ(0u, Kept(conn));

    uint32_t limit = 1000;
    RunOn(m_pNet, [&] { return conn->SetOption(RT_OPT_CONN_MAX_SEND_BUF, &limit); });
    const std::string part(600, 'p');
    EXPECT_EQ(RT_OK, Send(conn, m_pNet, part));
    EXPECT_EQ(RT_OK, Send(conn, m_pNet, part));
    EXPECT_EQ(RT_ERROR_PARTIAL_DATA, Send(conn, m_pNet, part));
    EXPECT_EQ(RT_ERROR_PARTIAL_DATA, Send(conn, m_pNet, "x"));
    EXPECT_EQ(0, m_Server.m_Sink.Count("send"));
    ASSERT_TRUE(peer->Next(g));
    ASSERT_TRUE(peer->Next(g));
    ASSERT_TRUE(peer->Send(Ack(3)));
    EXPECT_TRUE(WaitUntil([&] { return m_Server.m_Sink.Count("send") == 1; }));
    EXPECT_EQ(RT_OK, Send(conn, m_pNet, part));

    CRtRlbTcpPdu idle = RawPeer::Unit('I');
    idle.idleTimeout = 0;
    ASSERT_TRUE(peer->Send(RawPeer::Encode(idle)));
    idle.idleTimeout = 3;
    ASSERT_TRUE(peer->Send(RawPeer::Encode(idle)));
    int keepAlives = 0;
    while (peer->Next(d, 6000, true))
        keepAlives += d.pdu.type == RT_RLBTCP_PDU_KEEPALIVE;
    EXPECT_GE(keepAlives, 2);
    EXPECT_TRUE(WaitUntil([&] { return !m_Server.m_Sink.Reasons().empty(); }));
    EXPECT_EQ(std::vector<RtResult>{RT_ERROR_NETWORK_CONNECT_TIMEOUT}, m_Server.m_Sink.Reasons());
}

// An unknown type, a payload above the maximum, an 'A' once established
// (without taking its fields), a 'B' sent to a server, an ack for more
// units than were sent and data before the handshake all end the
// connection with RT_ERROR_NETWORK_INVALID_PDU.
TEST_F(RlbTcpRawTest, InvalidUnitsFailWithInvalidPdu) {
    CRtRlbTcpPdu huge = RawPeer::Unit('G');
    huge.length = 0xFFFFFFF0u;
    const std::string invalid[] = {std::string(1, '\x50'), RawPeer::Encode(huge), RawPeer::Request(0x06, 9, 1234),
                                   RawPeer::Encode(RawPeer::Unit('B')), Ack(5)};
    for (size_t i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        auto peer = Established();
        // Kept past the close, to look at its type afterwards.
        CRtAutoPtr<CRtConnRlbTcp> conn(ServerConn());
        ASSERT_TRUE(peer->Send(invalid[i]));
        EXPECT_TRUE(peer->WaitClosed());
        EXPECT_EQ(kReliable, OnNetGet([&] {
                      uint32_t type = conn->GetType();
                      conn = nullptr;
                      return type;
                  }));
    }
    EXPECT_TRUE(WaitUntil([&] { return m_Server.m_Sink.Reasons().size() == 5; }));
    EXPECT_EQ(std::vector<RtResult>(5, RT_ERROR_NETWORK_INVALID_PDU), m_Server.m_Sink.Reasons());

    RawPeer early(m_nPort);
    ASSERT_TRUE(early.Send(RawPeer::Data('G', "too soon")));
    EXPECT_TRUE(early.WaitClosed());
    EXPECT_EQ(5u, m_Server.Reasons("indication").size());
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
    auto closeAll = [&] {
        RunOn(m_pNet, [&] {
            m_Server.DropAll();
            return RT_OK;
        });
    };

    RawUnit b1, b2, b;
    for (int round = 0; round < 9; ++round) {
        auto one = Established(&b1);
        auto two = Established(&b2);
        {
            RawPeer third(m_nPort);
            ASSERT_TRUE(third.Send(RawPeer::Request(0x1E)));
            ASSERT_TRUE(third.Next(b));
            EXPECT_EQ(static_cast<uint32_t>(RT_ERROR_NETWORK_TOO_MANY_CONNECTIONS), b.pdu.result);
        }
        // Three ways to end, in turn: the peer's 'C', the user's
        // Disconnect, an invalid unit.
        if (round % 3 == 1) {
            closeAll();
        } else {
            const std::string end(1, round % 3 ? 'Z' : 'C');
            ASSERT_TRUE(one->Send(end));
            ASSERT_TRUE(two->Send(end));
        }
        EXPECT_TRUE(one->WaitClosed());
        EXPECT_TRUE(two->WaitClosed());
        closeAll();
        EXPECT_TRUE(WaitUntil([&] { return acceptor->GetServerList()->GetCount() == 0; }));
    }
    RawPeer late(m_nPort);
    ASSERT_TRUE(late.Send(RawPeer::Request(0x1E, b1.pdu.channel, b1.pdu.ticket)));
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

// One session:
// - the ack count has 16 bits: with 65535 'G' units unacknowledged
//   SendData answers RT_ERROR_PARTIAL_DATA, and the ack that frees them
//   (wrapping past 65535 afterwards) brings OnSend;
// - while encoded bytes wait (here held back by a 1 KiB/s upload limit),
//   the peer's probes get no echo and its 'G' units no 'D' of their own:
//   one 'D' with the newest ack follows the data once it is out.
TEST_F(RlbTcpRawTest, AckCountWrapsAndControlUnitsWaitBehindData) {
    auto peer = Established();
    CRtConnRlbTcp* conn = ServerConn();
    int sent = 0;
    const RtResult last = OnNetGet([&] {
        for (;; ++sent) {
            CRtMessageBlock mb(1, "x", CRtMessageBlock::DONT_DELETE, 1);
            RtResult rv = conn->SendData(mb);
            if (rv != RT_OK || sent > 70000)
                return rv;
        }
    });
    EXPECT_EQ(RT_ERROR_PARTIAL_DATA, last);
    EXPECT_EQ(65535, sent);
    RawUnit u;
    int units = 0;
    while (units < sent && peer->Next(u, 5000))
        ++units;
    ASSERT_EQ(sent, units);
    ASSERT_TRUE(peer->Send(Ack(65535)));
    EXPECT_TRUE(WaitUntil([&] { return m_Server.m_Sink.Count("send") == 1; }));
    // Two more, acknowledged across the wrap.
    EXPECT_EQ(RT_OK, Send(conn, m_pNet, "a"));
    EXPECT_EQ(RT_OK, Send(conn, m_pNet, "b"));
    ASSERT_TRUE(peer->Next(u));
    EXPECT_EQ("a", u.payload);
    ASSERT_TRUE(peer->Next(u));
    ASSERT_TRUE(peer->Send(Ack(1)));
    EXPECT_TRUE(WaitUntil([&] { return Kept(conn) == 0; }));
    EXPECT_TRUE(m_Server.m_Sink.Reasons().empty());

    uint32_t slow = 1024;
    RunOn(m_pNet, [&] { return conn->SetOption(RT_OPT_CONN_UPLOAD_LIMIT, &slow); });
    // The new limit takes effect with the next second.
    rtos::SleepMs(1100);
    ASSERT_EQ(RT_OK, Send(conn, m_pNet, std::string(2000, 'd')));
    auto encoded = [&] { return OnNetGet([&] { return conn->GetSendBufferForTest().GetEncodedSize(); }); };
    const uint32_t before = encoded();
    ASSERT_GT(before, 0u);
    std::string flood;
    for (int i = 0; i < 100; ++i) {
        CRtRlbTcpPdu probe = RawPeer::Unit('H');
        probe.probe = static_cast<uint32_t>(i);
        flood += RawPeer::Encode(probe) + RawPeer::Data('G', "0123456789", 1);  // the ack where it stood
    }
    ASSERT_TRUE(peer->Send(flood));
    ASSERT_TRUE(WaitUntil([&] { return m_Server.m_Sink.Received().size() == 100; }));
    EXPECT_LE(encoded(), before);

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

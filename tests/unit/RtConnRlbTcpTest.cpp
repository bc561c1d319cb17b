// The reliable TCP connection over loopback between its two ends: servers
// made through the connection manager, clients through CConnConnectorT.
#include "RtConnRlbTcpFixture.h"

// ---- Peers made through the manager and CConnConnectorT -----------------------------

// The handshake gives a channel (reconnecting types only) and a ticket,
// data goes both ways in order, and in acknowledged mode the acks free
// what the client kept.
class RlbTcpLoopbackTest : public RlbTcpTest {
public:
    void HandshakeAndData(uint32_t aType, ThreadStrategy aStrategy) {
        StartServer(aType, aStrategy);
        ASSERT_TRUE(Connect(aType));
        EXPECT_EQ(std::vector<RtResult>{RT_OK}, m_Client.Indications());
        CRtConnRlbTcp* client = ClientConn();
        uint16_t channel = 0;
        uint32_t ticket = 0;
        RunOn(m_pNet, [&] {
            channel = client->GetChannel();
            ticket = client->GetTicket();
            EXPECT_EQ(CS_ESTABLISHED, client->GetStatus());
            return RT_OK;
        });
        EXPECT_EQ(aType == kReliable, channel != 0);
        EXPECT_NE(0u, ticket);

        std::string toServer, toClient;
        for (int i = 0; i < 20; ++i) {
            ASSERT_EQ(RT_OK, Send(client, m_pNet, Indexed(i)));
            ASSERT_EQ(RT_OK, Send(m_Server.Conn(), m_pUserThread, Indexed(100 + i)));
            toServer += Indexed(i);
            toClient += Indexed(100 + i);
        }
        EXPECT_TRUE(WaitUntil([&] { return m_Server.Joined() == toServer && m_Client.Joined() == toClient; }));
        EXPECT_EQ(20u, m_Server.Messages().size());
        EXPECT_EQ(20u, m_Client.Messages().size());
        if (aType == kReliable) {
            EXPECT_TRUE(WaitUntil([&] {
                size_t kept = 1;
                RunOn(m_pNet, [&] {
                    kept = client->GetSendBufferForTest().GetKeptCount();
                    return RT_OK;
                });
                return kept == 0;
            }));
        }
        EXPECT_TRUE(m_Client.Disconnects().empty());
        EXPECT_TRUE(m_Server.Disconnects().empty());
    }
};

TEST_F(RlbTcpLoopbackTest, AcknowledgedModeUsersOnTheNetworkThread) { HandshakeAndData(kReliable, TS_MULTI_THREAD); }
TEST_F(RlbTcpLoopbackTest, PlainModeUserOnAThreadOfItsOwn) { HandshakeAndData(kPackage, TS_SINGLE_THREAD); }
TEST_F(RlbTcpLoopbackTest, AcknowledgedModeUserOnAThreadOfItsOwn) { HandshakeAndData(kReliable, TS_SINGLE_THREAD); }

// A 'C' ends the other side with RT_ERROR_NETWORK_CONNECTION_CLOSED, in
// either direction; the side that disconnected hears nothing.
TEST_F(RlbTcpLoopbackTest, DisconnectSendsC) {
    StartServer(kReliable);
    ASSERT_TRUE(Connect(kReliable));
    RunOn(m_pNet, [&] { return ClientConn()->Disconnect(RT_OK); });
    EXPECT_TRUE(WaitUntil([&] { return !m_Server.Disconnects().empty(); }));
    EXPECT_EQ(std::vector<RtResult>{RT_ERROR_NETWORK_CONNECTION_CLOSED}, m_Server.Disconnects());
    EXPECT_TRUE(m_Client.Disconnects().empty());
    m_Client.CloseAll();
    m_Server.CloseAll();

    ASSERT_EQ(RT_OK, RunOn(m_pNet, [&] {
                  m_pConnector->CancelConnect(RT_OK);
                  CRtTimeValue limit(5, 0);
                  return m_pConnector->AsycConnect(&m_Client, CRtInetAddr("127.0.0.1", m_nPort), &limit);
              }));
    ASSERT_TRUE(WaitUntil([&] { return m_Client.ConnCount() == 1 && m_Server.ConnCount() == 1; }));
    RunOn(m_pNet, [&] { return m_Server.Conn()->Disconnect(RT_OK); });
    EXPECT_TRUE(WaitUntil([&] { return !m_Client.Disconnects().empty(); }));
    EXPECT_EQ(std::vector<RtResult>{RT_ERROR_NETWORK_CONNECTION_CLOSED}, m_Client.Disconnects());
}

// With application keep-alive an idle pair stays up past its idle
// timeout: each side's 'D' keeps the other's idle time at zero.
TEST_F(RlbTcpLoopbackTest, KeepAliveHoldsAnIdleConnection) {
    StartServer(kReliable);
    ASSERT_TRUE(Connect(kReliable));
    uint16_t idle = 2;
    RunOn(m_pNet, [&] {
        EXPECT_EQ(RT_OK, ClientConn()->SetOption(RT_OPT_CONN_IDLE_TIMEOUT, &idle));
        return m_Server.Conn()->SetOption(RT_OPT_CONN_IDLE_TIMEOUT, &idle);
    });
    rtos::SleepMs(4500);
    EXPECT_TRUE(m_Client.Disconnects().empty());
    EXPECT_TRUE(m_Server.Disconnects().empty());
    ASSERT_EQ(RT_OK, Send(ClientConn(), m_pNet, "still here"));
    EXPECT_TRUE(WaitUntil([&] { return m_Server.Joined() == "still here"; }));
}

// Option 145 sets the keep-alive interval to a third of the idle timeout,
// at least 1 and at most 50 seconds; 0 is refused and changes nothing.
TEST_F(RlbTcpLoopbackTest, IdleTimeoutOptionSetsTheInterval) {
    StartServer(kReliable);
    ASSERT_TRUE(Connect(kReliable));
    RunOn(m_pNet, [&] {
        CRtConnRlbTcp* conn = ClientConn();
        const uint16_t cases[][2] = {{60, 20}, {300, 50}, {2, 1}, {1, 1}};
        for (const auto& c : cases) {
            uint16_t t = c[0];
            EXPECT_EQ(RT_OK, conn->SetOption(RT_OPT_CONN_IDLE_TIMEOUT, &t));
            EXPECT_EQ(c[1], conn->GetKeepAliveIntervalForTest()) << c[0];
        }
        uint16_t zero = 0;
        EXPECT_EQ(RT_ERROR_INVALID_ARG, conn->SetOption(RT_OPT_CONN_IDLE_TIMEOUT, &zero));
        uint16_t now = 0;
        conn->GetOption(RT_OPT_CONN_IDLE_TIMEOUT, &now);
        EXPECT_EQ(1, now);
        EXPECT_EQ(1, conn->GetKeepAliveIntervalForTest());
        return RT_OK;
    });
}

// The first handshake has the AsycConnect limit: a listener that never
// answers the 'A' makes the client fail with the connect timeout.
TEST_F(RlbTcpLoopbackTest, FirstHandshakeHasTheConnectLimit) {
    // A plain TCP listener: it accepts and says nothing.
    CRtAcceptorTcp* plain = new CRtAcceptorTcp;
    plain->AddReference();
    m_nPort = rttest::FreeLoopbackPort();
    RecordingUser accepted;
    ASSERT_EQ(RT_OK, RunOn(m_pNet, [&] { return plain->StartListen(&accepted, CRtInetAddr("127.0.0.1", m_nPort)); }));
    EXPECT_FALSE(Connect(kReliable, 1));
    EXPECT_EQ(std::vector<RtResult>{RT_ERROR_NETWORK_CONNECT_TIMEOUT}, m_Client.Indications());
    RunOn(m_pNet, [&] {
        plain->StopListen(RT_OK);
        plain->ReleaseReference();
        accepted.CloseAll();
        return RT_OK;
    });
}

// Both ends made through the connection manager, their users on one user
// thread (TS_SINGLE_THREAD): the client's connector proxy, the reliable
// connector over the TCP connector wrapper, and data both ways.
TEST_F(RlbTcpLoopbackTest, BothEndsThroughTheManager) {
    StartServer(kReliable, TS_SINGLE_THREAD);
    IRtConnector* connector = nullptr;
    ASSERT_EQ(RT_OK, RunOn(m_pUserThread, [&] {
                  RtResult rv =
                      CRtConnectionManager::Instance()->CreateConnectionClient(kReliable, connector, TS_SINGLE_THREAD);
                  if (RT_FAILED(rv))
                      return rv;
                  CRtTimeValue limit(5, 0);
                  return connector->AsycConnect(&m_Client, CRtInetAddr("127.0.0.1", m_nPort), &limit);
              }));
    ASSERT_TRUE(WaitUntil([&] { return m_Client.ConnCount() == 1 && m_Server.ConnCount() == 1; }));
    EXPECT_EQ(std::vector<RtResult>{RT_OK}, m_Client.Indications());
    std::string toServer, toClient;
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(RT_OK, Send(m_Client.Conn(), m_pUserThread, Indexed(i)));
        ASSERT_EQ(RT_OK, Send(m_Server.Conn(), m_pUserThread, Indexed(200 + i)));
        toServer += Indexed(i);
        toClient += Indexed(200 + i);
    }
    EXPECT_TRUE(WaitUntil([&] { return m_Server.Joined() == toServer && m_Client.Joined() == toClient; }));
    RunOn(m_pUserThread, [&] {
        m_Client.CloseAll();
        connector->ReleaseReference();
        return RT_OK;
    });
    EXPECT_TRUE(WaitUntil([&] { return !m_Server.Disconnects().empty(); }));
    EXPECT_EQ(std::vector<RtResult>{RT_ERROR_NETWORK_CONNECTION_CLOSED}, m_Server.Disconnects());
}

// ---- Through a relay that cuts and stalls -------------------------------------------------

class RlbTcpRelayTest : public RlbTcpTest {
protected:
    void SetUp() override {
        RlbTcpTest::SetUp();
        StartServer(kReliable);
        m_nServerPort = m_nPort;
        m_nPort = rttest::FreeLoopbackPort();
        ASSERT_EQ(RT_OK, RunOn(m_pNet, [&] { return m_Relay.Start(m_nPort, m_nServerPort); }));
    }
    void TearDown() override {
        RunOn(m_pNet, [&] {
            m_Relay.Stop();
            return RT_OK;
        });
        RlbTcpTest::TearDown();
    }
    template <class Fn>
    void OnRelay(Fn aFn) {
        RunOn(m_pNet, [&] {
            aFn();
            return RT_OK;
        });
    }

    rttest::TcpRelay m_Relay;
    uint16_t m_nServerPort = 0;
};

// Indexed messages both ways while the relay cuts both sides in the middle
// of a unit three times and holds everything back for a second: each
// message arrives once, in order, and neither user hears of a loss.
TEST_F(RlbTcpRelayTest, CutsAndStallsWithinTheWindowLoseNothing) {
    ASSERT_TRUE(Connect(kReliable));
    CRtConnRlbTcp* client = ClientConn();
    IRtTransport* server = m_Server.Conn();
    std::vector<std::string> toServer, toClient;
    const long cuts[] = {1001, 2357, 40};
    int next = 0;
    for (int i = 0; i < 400; ++i) {
        if (i % 100 == 50 && next < 3) {
            // The next cut once the last reconnection is done.
            ASSERT_TRUE(WaitUntil([&] { return m_Relay.Accepted() == next + 1; }));
            const long budget = cuts[next++];
            OnRelay([&] { m_Relay.CutAfter(budget); });
        }
        if (i == 380)
            OnRelay([&] { m_Relay.Stall(true); });
        ASSERT_EQ(RT_OK, Send(client, m_pNet, Indexed(i)));
        ASSERT_EQ(RT_OK, Send(server, m_pNet, Indexed(1000 + i)));
        toServer.push_back(Indexed(i));
        toClient.push_back(Indexed(1000 + i));
    }
    rtos::SleepMs(1000);
    OnRelay([&] { m_Relay.Stall(false); });
    EXPECT_TRUE(
        WaitUntil([&] { return m_Server.Messages().size() >= 400 && m_Client.Messages().size() >= 400; }, 15000));
    EXPECT_EQ(toServer, m_Server.Messages());
    EXPECT_EQ(toClient, m_Client.Messages());
    EXPECT_EQ(3, m_Relay.Cuts());
    EXPECT_GE(m_pTestConnector->Attempts(), 4);
    EXPECT_EQ(1u, m_Server.Indications().size());
    // The last reconnection's 4 s limit ended with it.
    rtos::SleepMs(4500);
    EXPECT_TRUE(m_Client.Disconnects().empty());
    EXPECT_TRUE(m_Server.Disconnects().empty());
    uint16_t status = 0;
    RunOn(m_pNet, [&] {
        status = client->GetStatus();
        return RT_OK;
    });
    EXPECT_EQ(CS_ESTABLISHED, status);
}

// Cut while the relay refuses new connections: the client gives up with
// RT_ERROR_NETWORK_RECONNECT_TIMEOUT, the server with the connect timeout.
TEST_F(RlbTcpRelayTest, CutWithNoWayBackFailsAfterTheWindow) {
    ASSERT_TRUE(Connect(kReliable));
    OnRelay([&] {
        m_Relay.Refuse(true);
        m_Relay.CutAll();
    });
    EXPECT_TRUE(WaitUntil([&] { return !m_Client.Disconnects().empty() && !m_Server.Disconnects().empty(); }, 8000));
    EXPECT_EQ(std::vector<RtResult>{RT_ERROR_NETWORK_RECONNECT_TIMEOUT}, m_Client.Disconnects());
    EXPECT_EQ(std::vector<RtResult>{RT_ERROR_NETWORK_CONNECT_TIMEOUT}, m_Server.Disconnects());
}

// A Disconnect while reconnecting stops the attempts; the user hears
// nothing more.
TEST_F(RlbTcpRelayTest, DisconnectWhileReconnectingStopsTheAttempts) {
    ASSERT_TRUE(Connect(kReliable));
    OnRelay([&] {
        m_Relay.Refuse(true);
        m_Relay.CutAll();
    });
    EXPECT_TRUE(WaitUntil([&] { return m_pTestConnector->Attempts() >= 2; }));
    int attempts = 0;
    RunOn(m_pNet, [&] {
        attempts = m_pTestConnector->Attempts();
        return ClientConn()->Disconnect(RT_OK);
    });
    rtos::SleepMs(1500);
    EXPECT_EQ(attempts, m_pTestConnector->Attempts());
    EXPECT_TRUE(m_Client.Disconnects().empty());
}

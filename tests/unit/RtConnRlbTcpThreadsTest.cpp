// Reliable TCP connections on two network threads: the acceptor spreads
// them by load, and option 143 moves an established connection with its
// timers, its pending data and its user's events.
#include "RtConnRlbTcpFixture.h"
#include "RtNetworkThreadManager.h"

namespace {

CRtThreadManager* g_manager = nullptr;

class RlbTcpThreadsTest : public RlbTcpTest {
protected:
    CRtThread* Other(CRtThread* aThread) {
        std::vector<CRtThread*> threads;
        g_manager->GetNetworkThreadList(threads);
        return threads[0] == aThread ? threads[1] : threads[0];
    }
    // The thread the connection below a user's proxy is bound to.
    uint32_t BoundThread(IRtTransport* aConn) {
        uint32_t id = 0;
        aConn->GetOption(RT_OPT_BIND_THREAD, &id);
        return id;
    }
};

}  // namespace

// Least load puts the second connection on the other network thread; a
// client moved to the other thread by option 143 goes on sending,
// receiving and keeping the connection alive there.
TEST_F(RlbTcpThreadsTest, MovedConnectionsKeepWorking) {
    std::vector<CRtThread*> threads;
    g_manager->GetNetworkThreadList(threads);
    ASSERT_EQ(2u, threads.size());
    StartServer(kReliable, TS_MULTI_THREAD, LB_LEAST_LOAD);
    ASSERT_TRUE(Connect(kReliable));
    CRtConnRlbTcp* client = ClientConn();

    // The client moves to the other thread, with the keep-alive it needs.
    CRtThread* target = Other(m_pNet);
    uint16_t idle = 2;
    ASSERT_EQ(RT_OK, RunOn(m_pNet, [&] {
                  client->SetOption(RT_OPT_CONN_IDLE_TIMEOUT, &idle);
                  CRtTransportBindThreadParam param;
                  param.m_thread = target;
                  return RtProxyBindTransport(client, param);
              }));
    EXPECT_EQ(target, client->GetBindThread());
    // The server side: the server user moves its connection as well.
    IRtTransport* server = m_Server.Last();
    uint32_t serverThread = BoundThread(server);
    CRtThread* serverTarget = Other(CRtThreadManager::GetThread(serverThread));
    RunOn(CRtThreadManager::GetThread(serverThread), [&] {
        server->SetOption(RT_OPT_CONN_IDLE_TIMEOUT, &idle);
        CRtTransportBindThreadParam param;
        param.m_thread = serverTarget;
        return server->SetOption(RT_OPT_BIND_THREAD, &param);
    });
    EXPECT_TRUE(WaitUntil([&] { return BoundThread(server) == serverTarget->GetThreadId(); }));

    std::string toServer, toClient;
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(RT_OK, Send(client, target, Indexed(i)));
        ASSERT_EQ(RT_OK, Send(server, serverTarget, Indexed(500 + i)));
        toServer += Indexed(i);
        toClient += Indexed(500 + i);
    }
    EXPECT_TRUE(WaitUntil([&] { return m_Server.m_Sink.Data() == toServer && m_Client.m_Sink.Data() == toClient; }));
    // Idle past the idle timeout: the keep-alive ticks run on the new threads.
    rtos::SleepMs(4000);
    EXPECT_TRUE(m_Client.m_Sink.Reasons().empty());
    EXPECT_TRUE(m_Server.m_Sink.Reasons().empty());

    // Closing happens on the thread each now lives on.
    RunOn(target, [&] {
        m_Client.DropAll();
        return RT_OK;
    });
    RunOn(serverTarget, [&] {
        m_Server.DropAll();
        return RT_OK;
    });
    rttest::DrainThreads(target, serverTarget);
}

// A connection still in its handshake refuses to move.
TEST_F(RlbTcpThreadsTest, OnlyEstablishedConnectionsMove) {
    RunOn(m_pNet, [&] {
        CRtConnRlbTcpClient* fresh = new CRtConnRlbTcpClient(kReliable, new rttest::TestTcpConnector, m_pNet);
        fresh->AddReference();
        CRtTransportBindThreadParam param;
        param.m_thread = Other(m_pNet);
        EXPECT_EQ(RT_ERROR_INVALID_STATE, fresh->SetOption(RT_OPT_BIND_THREAD, &param));
        EXPECT_EQ(m_pNet, fresh->GetBindThread());
        fresh->ReleaseReference();
        return RT_OK;
    });
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Made before anything asks for the manager: two network threads.
    static CRtThreadManager manager;
    manager.Initialize(2, false);
    g_manager = &manager;
    return RUN_ALL_TESTS();
}

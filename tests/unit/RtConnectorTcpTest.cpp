#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "RtAcceptorTcp.h"
#include "RtConnectionManager.h"
#include "RtConnectorTcp.h"
#include "RtDnsManager.h"
#include "RtLoopback.h"
#include "RtRecordingSinks.h"
#include "RtTestEvents.h"
#include "RtTestSupport.h"
#include "RtThreadManager.h"
#include "RtTransportTcp.h"

using rttest::RunOn;

namespace {

// Names ending in ".test" resolve to 127.0.0.1, "fail.*" names fail, and
// while the gate is closed every lookup waits.
std::atomic<bool> g_gateOpen{true};
int ResolveTestNames(const char* aHost, rtos::SocketAddress* aOut, size_t aMax, size_t* aCount) {
    rttest::WaitUntil([] { return g_gateOpen.load(); }, 10000);
    *aCount = 0;
    if (std::string(aHost).rfind("fail.", 0) == 0)
        return 11001;
    if (aMax > 0) {
        aOut[0] = rttest::Loopback(0);
        *aCount = 1;
    }
    return 0;
}

// A name the DNS manager has not cached yet.
std::string Unique(const char* aPrefix) {
    static std::atomic<int> s_counter{0};
    return std::string(aPrefix) + std::to_string(s_counter++) + ".test";
}

class Upper;
using Connector = CRtConnectorTcpT<Upper, CRtTransportTcp, CRtSocketStream>;

// What the connector tells the connector above it, on the network thread.
class Upper {
public:
    void OnConnectIndication(RtResult aReason, IRtTransport* aTrpt, IRtConnectorInternal* aId) {
        EXPECT_EQ(m_pExpectedId, aId);
        m_nReason = aReason;
        m_Transport = aTrpt;
        ++m_nIndications;
    }
    IRtConnectorInternal* m_pExpectedId = nullptr;
    std::atomic<int> m_nIndications{0};
    std::atomic<RtResult> m_nReason{-1};
    CRtAutoPtr<IRtTransport> m_Transport;
};

class ConnectorTcpTest : public ::testing::Test {
protected:
    void SetUp() override {
        CRtDnsManager::SetResolverForTest(&ResolveTestNames);
        m_pThread = CRtThreadManager::Instance()->GetDefaultNetworkThread();
        m_pAcceptor = new CRtAcceptorTcp;
        m_pAcceptor->AddReference();
        ASSERT_EQ(RT_OK, RunOn(m_pThread, [&] {
                      m_pConnector = new Connector(m_pThread, m_Upper);
                      m_Upper.m_pExpectedId = m_pConnector;
                      CRtInetAddr addr("127.0.0.1", 0);
                      return m_pAcceptor->StartListen(&m_Accepted, addr);
                  }));
        rtos::SocketAddress bound;
        rtos::SocketLocalAddress(m_pAcceptor->GetHandle(), &bound);
        m_nPort = bound.port;
    }
    void TearDown() override {
        g_gateOpen = true;
        RunOn(m_pThread, [&] {
            delete m_pConnector;
            DropUpper();
            m_Accepted.DropAll();
            m_pAcceptor->StopListen(RT_OK);
            m_pAcceptor->ReleaseReference();
            return RT_OK;
        });
        CRtDnsManager::SetResolverForTest(nullptr);
    }
    int Connect(const CRtInetAddr& aPeer, CRtInetAddr* aLocal = nullptr) {
        int rc = 0;
        RunOn(m_pThread, [&] {
            rc = m_pConnector->Connect(aPeer, aLocal);
            return RT_OK;
        });
        return rc;
    }
    void DropUpper() {
        if (m_Upper.m_Transport)
            m_Upper.m_Transport->Disconnect(RT_OK);
        m_Upper.m_Transport = nullptr;
    }
    // Twice through the network thread and once through the DNS manager's
    // answer path: whatever was due has been told.
    void Drain() {
        for (int i = 0; i < 3; ++i)
            RunOn(m_pThread, [] { return RT_OK; });
    }

    CRtThread* m_pThread = nullptr;
    CRtAcceptorTcp* m_pAcceptor = nullptr;
    Connector* m_pConnector = nullptr;
    Upper m_Upper;
    rttest::RecordingSink m_ClientSink;
    rttest::RecordingAcceptorSink m_Accepted;
    uint16_t m_nPort = 0;
};

}  // namespace

// Each attempt is told once. The connected socket arrives inside an
// unopened transport that works once its receiver opens it, and a local
// address given is the one used; a refused connect brings the socket error
// and no transport. A host name goes through the DNS manager first, and an
// unknown name fails from the answer, never from inside Connect.
TEST_F(ConnectorTcpTest, EachAttemptIsToldOnce) {
    const uint16_t free = rttest::FreeLoopbackPort();
    CRtInetAddr local("127.0.0.1", free);
    ASSERT_EQ(0, Connect(CRtInetAddr("127.0.0.1", m_nPort), &local));
    ASSERT_TRUE(rttest::WaitUntil([&] { return m_Upper.m_nIndications == 1 && m_Accepted.Count("indication") == 1; }));
    EXPECT_EQ(RT_OK, m_Upper.m_nReason.load());
    ASSERT_TRUE(m_Upper.m_Transport);
    RunOn(m_pThread, [&] {
        EXPECT_EQ(RT_OK, m_Upper.m_Transport->OpenWithSink(&m_ClientSink));
        CRtInetAddr peer, mine;
        m_Upper.m_Transport->GetOption(RT_OPT_TRANSPORT_PEER_ADDR, &peer);
        m_Upper.m_Transport->GetOption(RT_OPT_TRANSPORT_LOCAL_ADDR, &mine);
        EXPECT_EQ(m_nPort, peer.GetPort());
        EXPECT_EQ(free, mine.GetPort());
        CRtMessageBlock mb(4, "ping", CRtMessageBlock::DONT_DELETE, 4);
        EXPECT_EQ(RT_OK, m_Upper.m_Transport->SendData(mb));
        return RT_OK;
    });
    ASSERT_TRUE(rttest::WaitUntil([&] { return m_Accepted.m_Sink.Data() == "ping"; }));
    Drain();
    EXPECT_EQ(1, m_Upper.m_nIndications.load());
    RunOn(m_pThread, [&] {
        DropUpper();
        return RT_OK;
    });

    ASSERT_EQ(0, Connect(CRtInetAddr("127.0.0.1", rttest::FreeLoopbackPort())));
    ASSERT_TRUE(rttest::WaitUntil([&] { return m_Upper.m_nIndications == 2; }));
    EXPECT_EQ(RT_ERROR_NETWORK_SOCKET_ERROR, m_Upper.m_nReason.load());
    EXPECT_FALSE(m_Upper.m_Transport);
    Drain();
    EXPECT_EQ(2, m_Upper.m_nIndications.load());

    g_gateOpen = false;
    ASSERT_EQ(0, Connect(CRtInetAddr(Unique("peer").c_str(), m_nPort)));
    bool resolving = false;
    RunOn(m_pThread, [&] {
        resolving = m_pConnector->IsResolvingForTest();
        return RT_OK;
    });
    EXPECT_TRUE(resolving);
    EXPECT_EQ(2, m_Upper.m_nIndications.load());
    g_gateOpen = true;
    ASSERT_TRUE(rttest::WaitUntil([&] { return m_Upper.m_nIndications == 3; }));
    EXPECT_EQ(RT_OK, m_Upper.m_nReason.load());
    ASSERT_TRUE(rttest::WaitUntil([&] { return m_Accepted.Count("indication") == 2; }));
    RunOn(m_pThread, [&] {
        DropUpper();
        return RT_OK;
    });

    ASSERT_EQ(0, Connect(CRtInetAddr(Unique("fail.").c_str(), m_nPort)));
    ASSERT_TRUE(rttest::WaitUntil([&] { return m_Upper.m_nIndications == 4; }));
    EXPECT_EQ(RT_ERROR_NETWORK_DNS_FAILURE, m_Upper.m_nReason.load());
}

// Closed during the lookup or during the connect: nothing is told, and the
// lookup's late answer and the socket's late readiness are ignored.
TEST_F(ConnectorTcpTest, CloseStopsEveryStageSilently) {
    g_gateOpen = false;
    const std::string late = Unique("late");
    ASSERT_EQ(0, Connect(CRtInetAddr(late.c_str(), m_nPort)));
    RunOn(m_pThread, [&] {
        m_pConnector->Close(RT_OK);
        return RT_OK;
    });
    g_gateOpen = true;
    // The lookup finishes and its record is cached: resolve it again to know
    // it has, then let any stray answer reach the network thread.
    CRtDnsRecord* record = nullptr;
    ASSERT_EQ(RT_OK, CRtDnsManager::Instance()->SyncResolve(record, CRtString(late)));
    record->ReleaseReference();
    Drain();

    RunOn(m_pThread, [&] {
        EXPECT_EQ(0, m_pConnector->Connect(CRtInetAddr("127.0.0.1", m_nPort)));
        m_pConnector->Close(RT_OK);
        return RT_OK;
    });
    // The listener sees the connection come and go; the connector says nothing.
    ASSERT_TRUE(rttest::WaitUntil([&] { return m_Accepted.Count("indication") == 1; }));
    Drain();
    EXPECT_EQ(0, m_Upper.m_nIndications.load());
}

// Through the connection manager, from a user thread: one indication on
// that thread, whichever way the attempt ends, and never from inside
// AsycConnect; 4, 8 and 12 are refused when the connector is made.
TEST_F(ConnectorTcpTest, ManagerConnectorsTellTheirUserOnce) {
    rttest::TaskThread user;
    CRtConnectionManager* mgr = CRtConnectionManager::Instance();
    for (uint32_t type : {4u, 8u, 12u}) {
        IRtConnector* refused = nullptr;
        EXPECT_EQ(RT_ERROR_INVALID_ARG, mgr->CreateConnectionClient(type, refused)) << type;
        EXPECT_EQ(nullptr, refused);
    }

    const uint16_t closed = rttest::FreeLoopbackPort();
    g_gateOpen = false;
    const std::string held = Unique("held");

    struct Case {
        const char* what;
        CRtInetAddr peer;
        bool limit;
        bool bindBusy;
        RtResult expected;
    } cases[] = {
        {"connected", CRtInetAddr("127.0.0.1", m_nPort), false, false, RT_OK},
        {"refused", CRtInetAddr("127.0.0.1", closed), false, false, RT_ERROR_NETWORK_SOCKET_ERROR},
        {"failed at once", CRtInetAddr("127.0.0.1", m_nPort), false, true, RT_ERROR_NETWORK_CONNECT_FAILED},
        {"time limit", CRtInetAddr(held.c_str(), m_nPort), true, false, RT_ERROR_NETWORK_CONNECT_TIMEOUT},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        rttest::RecordingAcceptorSink sink;
        sink.ExpectThread(user.Get());
        IRtConnector* connector = nullptr;
        bool inside = true;
        ASSERT_EQ(RT_OK, RunOn(user.Get(), [&] {
                      RtResult rv = mgr->CreateConnectionClient(CTYPE_TCP, connector);
                      if (RT_FAILED(rv))
                          return rv;
                      CRtTimeValue limit(0, 200000);
                      // The listener's own address is taken: the bind fails.
                      CRtInetAddr busy("127.0.0.1", m_nPort);
                      rv = connector->AsycConnect(&sink, c.peer, c.limit ? &limit : nullptr,
                                                  c.bindBusy ? &busy : nullptr);
                      inside = sink.Count("indication") > 0;
                      return rv;
                  }));
        EXPECT_FALSE(inside);
        ASSERT_TRUE(rttest::WaitUntil([&] { return sink.Count("indication") > 0; }));
        EXPECT_TRUE(sink.m_pId.load()->IsConnector());
        EXPECT_EQ(c.expected == RT_OK, sink.Last() != nullptr);
        // Let anything late arrive: nothing more is told.
        for (int i = 0; i < 3; ++i) {
            RunOn(m_pThread, [] { return RT_OK; });
            RunOn(user.Get(), [] { return RT_OK; });
        }
        EXPECT_EQ(std::vector<RtResult>{c.expected}, sink.Reasons("indication"));
        EXPECT_EQ(0, sink.WrongThread());
        RunOn(user.Get(), [&] {
            sink.DropAll();
            connector->CancelConnect(RT_OK);
            connector->ReleaseReference();
            return RT_OK;
        });
    }
    g_gateOpen = true;
}

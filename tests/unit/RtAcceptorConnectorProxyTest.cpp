// The acceptor and connector thread proxies over scripted base acceptors
// and connectors: the user task thread listens or connects, the default
// network thread runs the base and its indications.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "RtLoopback.h"
#include "RtNetworkTest.h"
#include "RtRecordingSinks.h"
#include "RtScriptedTransport.h"
#include "RtTestEvents.h"
#include "RtThreadProxy.h"

using rttest::MakeCall;
using rttest::ScriptedTransport;
using rttest::WaitUntil;

namespace {

class FakeAcceptor : public IRtAcceptor, public CRtReferenceControlT<CRtMutexThread> {
public:
    uint32_t AddReference() override { return CRtReferenceControlT::AddReference(); }
    uint32_t ReleaseReference() override { return CRtReferenceControlT::ReleaseReference(); }
    bool IsConnector() override { return false; }
    RtResult StartListen(IRtAcceptorConnectorSink* aSink, const CRtInetAddr&) override {
        if (RT_FAILED(m_nStartResult))
            return m_nStartResult;
        m_nStartThread = CRtThreadManager::GetThreadSelfId();
        m_pSink = aSink;
        return RT_OK;
    }
    RtResult StopListen(RtResult) override {
        m_nStopThread = CRtThreadManager::GetThreadSelfId();
        m_pSink = nullptr;
        return RT_OK;
    }
    std::atomic<IRtAcceptorConnectorSink*> m_pSink{nullptr};
    std::atomic<RtResult> m_nStartResult{RT_OK};
    std::atomic<uint32_t> m_nStartThread{0}, m_nStopThread{0};
};

class FakeConnector : public IRtConnector, public CRtReferenceControlT<CRtMutexThread> {
public:
    uint32_t AddReference() override { return CRtReferenceControlT::AddReference(); }
    uint32_t ReleaseReference() override { return CRtReferenceControlT::ReleaseReference(); }
    bool IsConnector() override { return true; }
    RtResult AsycConnect(IRtAcceptorConnectorSink* aSink, const CRtInetAddr&, CRtTimeValue*, CRtInetAddr*) override {
        m_nConnectThread = CRtThreadManager::GetThreadSelfId();
        m_pSink = aSink;
        return RT_OK;
    }
    RtResult CancelConnect(RtResult) override {
        ++m_nCancels;
        m_pSink = nullptr;
        return RT_OK;
    }
    std::atomic<IRtAcceptorConnectorSink*> m_pSink{nullptr};
    std::atomic<uint32_t> m_nConnectThread{0};
    std::atomic<int> m_nCancels{0};
};

// An acceptor proxy over a fake base acceptor, a connector proxy over a fake
// base connector, and the scripted transport either indicates.
class AcceptorConnectorProxyTest : public rttest::NetworkTest {
protected:
    void SetUp() override {
        NetworkTest::SetUp();
        ASSERT_NE(nullptr, StartUserThread());
        m_Ind.ExpectThread(m_pUser);
        m_pLower = new ScriptedTransport(m_pNetwork);
        m_pLower->AddReference();
        m_pAcceptor = new FakeAcceptor;
        m_pAcceptor->AddReference();
        m_pProxyAcc = new CRtAcceptorThreadProxy(CTYPE_TCP, TS_SINGLE_THREAD, LB_CURRENT_THREAD, m_pAcceptor);
        m_pProxyAcc->AddReference();
        m_pConnector = new FakeConnector;
        m_pConnector->AddReference();
        m_pProxyConn = new CRtConnectorThreadProxy(CTYPE_TCP, TS_SINGLE_THREAD, m_pConnector);
        m_pProxyConn->AddReference();
    }
    void TearDown() override {
        OnUser([&] {
            m_Ind.DropAll(false);
            m_pProxyAcc->StopListen(RT_OK);
            m_pProxyAcc->ReleaseReference();
            m_pProxyConn->ReleaseReference();
            return RT_OK;
        });
        EXPECT_TRUE(WaitUntil([&] {
            return m_pAcceptor->GetReference() == 1 && m_pConnector->GetReference() == 1 &&
                   m_pLower->GetReference() == 1;
        })) << "a proxy kept its base or the transport";
        EXPECT_EQ(0, m_Ind.WrongThread()) << "the user was called off its thread";
        EXPECT_EQ(0, m_pLower->m_nOffThread.load()) << "the transport was called off its thread";
        m_pAcceptor->ReleaseReference();
        m_pConnector->ReleaseReference();
        m_pLower->ReleaseReference();
        NetworkTest::TearDown();
    }
    // The base indicates the scripted transport on the network thread.
    void Indicate(IRtAcceptorConnectorSink* aSink, IRtAcceptorConnectorId* aFrom) {
        OnNet([&] {
            aSink->OnConnectIndication(RT_OK, m_pLower, aFrom);
            return RT_OK;
        });
    }
    RtResult Listen() {
        return OnUser([&] { return m_pProxyAcc->StartListen(&m_Ind, m_Addr); });
    }
    RtResult Connect() {
        return OnUser([&] { return m_pProxyConn->AsycConnect(&m_Ind, m_Addr); });
    }

    CRtInetAddr m_Addr = rttest::LoopbackAddr(1);
    ScriptedTransport* m_pLower = nullptr;
    FakeAcceptor* m_pAcceptor = nullptr;
    CRtAcceptorThreadProxy* m_pProxyAcc = nullptr;
    FakeConnector* m_pConnector = nullptr;
    CRtConnectorThreadProxy* m_pProxyConn = nullptr;
    rttest::RecordingAcceptorSink m_Ind;
};

}  // namespace

// ---- Acceptor proxy ------------------------------------------------------------------------------

TEST_F(AcceptorConnectorProxyTest, IndicationReachesTheUserThreadWithABoundTransportProxy) {
    ASSERT_EQ(RT_OK, Listen());
    EXPECT_EQ(m_pNetwork->GetThreadId(), m_pAcceptor->m_nStartThread.load());
    EXPECT_EQ(RT_ERROR_ALREADY_INITIALIZED, Listen());
    Indicate(m_pAcceptor->m_pSink.load(), m_pAcceptor);
    ASSERT_TRUE(WaitUntil([&] { return m_Ind.Count("indication") == 1; }));
    EXPECT_EQ(static_cast<IRtAcceptorConnectorId*>(m_pProxyAcc), m_Ind.m_pId.load());
    // The base transport counts on its network thread and reports to the proxy.
    EXPECT_EQ(m_pNetwork, m_pLower->m_pBoundTo.load());
    EXPECT_NE(nullptr, m_pLower->m_pSink);
    OnNet([&] {
        m_pLower->Deliver("request");
        return RT_OK;
    });
    ASSERT_TRUE(WaitUntil([&] { return m_Ind.m_Sink.Data() == "request"; }));
    EXPECT_EQ(RT_OK, OnUser([&] {
                  CRtMessageBlock mb(5, "reply", CRtMessageBlock::DONT_DELETE, 5);
                  return m_Ind.Last()->SendData(mb);
              }));
    ASSERT_TRUE(WaitUntil([&] { return m_pLower->Sent() == "reply"; }));
}

TEST_F(AcceptorConnectorProxyTest, ConnectionIndicatedAfterStopListenIsDisconnectedWithNotInitialized) {
    ASSERT_EQ(RT_OK, Listen());
    // The user thread stops listening while the indication waits behind it.
    std::atomic<bool> indicated{false};
    m_pUser->GetEventQueue()->PostEvent(MakeCall([&] {
        WaitUntil([&] { return indicated.load(); });
        return m_pProxyAcc->StopListen(RT_OK);
    }));
    Indicate(m_pAcceptor->m_pSink.load(), m_pAcceptor);
    indicated = true;
    ASSERT_TRUE(WaitUntil([&] { return m_pLower->m_nDisconnects.load() >= 1; }));
    EXPECT_EQ(RT_ERROR_NOT_INITIALIZED, m_pLower->m_nReason.load());
    Settle();
    EXPECT_EQ(0, m_Ind.Count("indication"));
    EXPECT_EQ(m_pNetwork->GetThreadId(), m_pAcceptor->m_nStopThread.load());
    EXPECT_EQ(nullptr, m_pAcceptor->m_pSink.load());
}

TEST_F(AcceptorConnectorProxyTest, FailedStartLeavesTheProxyStoppedAndStartable) {
    m_pAcceptor->m_nStartResult = RT_ERROR_NETWORK_SOCKET_ERROR;
    EXPECT_EQ(RT_ERROR_NETWORK_SOCKET_ERROR, Listen());
    EXPECT_TRUE(m_pProxyAcc->IsStopped());
    m_pAcceptor->m_nStartResult = RT_OK;
    EXPECT_EQ(RT_OK, Listen());
}

// ---- Connector proxy ---------------------------------------------------------------------------------

TEST_F(AcceptorConnectorProxyTest, ConnectorIndicatesOnceOnTheUserThread) {
    ASSERT_EQ(RT_OK, Connect());
    ASSERT_TRUE(WaitUntil([&] { return m_pConnector->m_pSink.load() != nullptr; }));
    EXPECT_EQ(m_pNetwork->GetThreadId(), m_pConnector->m_nConnectThread.load());
    Indicate(m_pConnector->m_pSink.load(), m_pConnector);
    ASSERT_TRUE(WaitUntil([&] { return m_Ind.Count("indication") == 1; }));
    EXPECT_EQ((std::vector<RtResult>{RT_OK}), m_Ind.Reasons("indication"));
    EXPECT_EQ(m_pNetwork, m_pLower->m_pBoundTo.load());
    // Indicated: a cancel has nothing left to stop.
    EXPECT_EQ(RT_OK, OnUser([&] { return m_pProxyConn->CancelConnect(RT_OK); }));
    Settle();
    EXPECT_EQ(0, m_pConnector->m_nCancels.load());
}

TEST_F(AcceptorConnectorProxyTest, ConnectionAfterCancelIsDisconnectedAndNotIndicated) {
    ASSERT_EQ(RT_OK, Connect());
    ASSERT_TRUE(WaitUntil([&] { return m_pConnector->m_pSink.load() != nullptr; }));
    IRtAcceptorConnectorSink* proxySink = m_pConnector->m_pSink;
    {
        // The connection completes just before the cancel reaches the base.
        auto gate = BlockNetwork();
        EXPECT_EQ(RT_OK, OnUser([&] { return m_pProxyConn->CancelConnect(RT_OK); }));
        *gate = true;
    }
    Indicate(proxySink, m_pConnector);
    ASSERT_TRUE(WaitUntil([&] { return m_pLower->m_nDisconnects.load() >= 1; }));
    EXPECT_EQ(RT_ERROR_NOT_INITIALIZED, m_pLower->m_nReason.load());
    Settle();
    EXPECT_EQ(1, m_pConnector->m_nCancels.load());
    EXPECT_EQ(0, m_Ind.Count("indication"));
}

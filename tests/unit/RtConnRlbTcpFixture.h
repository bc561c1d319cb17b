// Loopback fixtures of the reliable TCP connection suites.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RtAcceptorTcp.h"
#include "RtConnAcceptor.h"
#include "RtConnConnector.h"
#include "RtConnRlbTcpClient.h"
#include "RtConnRlbTcpServer.h"
#include "RtConnectionManager.h"
#include "RtEchoServer.h"
#include "RtNetworkTest.h"
#include "RtRecordingSinks.h"
#include "RtRlbTcpPeers.h"
#include "RtTcpRelay.h"
#include "RtTestEvents.h"
#include "RtThreadProxyBase.h"

using rttest::RawPeer;
using rttest::RawUnit;
using rttest::RecordingAcceptorSink;
using rttest::RunOn;
using rttest::WaitUntil;

inline constexpr uint32_t kReliable = 0x1E0001;  // acknowledged, reconnecting, application keep-alive
inline constexpr uint32_t kPackage = 0x60001;    // plain units, application keep-alive
using Connector = CConnConnectorT<CRtConnRlbTcpClient>;

inline std::string Indexed(int aIndex) {
    return "message-" + std::to_string(aIndex) + std::string(static_cast<size_t>(aIndex % 50), '.');
}

// On the kit's fixture: its teardown fails a test that leaves a transport,
// a proxy, a registered handler or a queued event behind.
class RlbTcpTest : public rttest::NetworkTest {
protected:
    void SetUp() override {
        NetworkTest::SetUp();
        m_pNet = m_pNetwork;
        m_pUserThread = m_pClientThread = m_pNet;
    }
    void TearDown() override {
        RunOn(m_pClientThread, [&] {
            if (m_pConnector) {
                m_pConnector->CancelConnect(RT_OK);
                m_pConnector->ReleaseReference();
            }
            m_Client.DropAll();
            return RT_OK;
        });
        RunOn(m_pUserThread, [&] {
            m_Server.DropAll();
            if (m_pAcceptor) {
                m_pAcceptor->StopListen(RT_OK);
                m_pAcceptor->ReleaseReference();
            }
            return RT_OK;
        });
        rttest::DrainThreads(m_pUserThread, m_pNet);
        NetworkTest::TearDown();
    }

    // A server of aType through the manager; its user runs on the network
    // thread (TS_MULTI_THREAD) or on a thread of its own (TS_SINGLE_THREAD).
    void StartServer(uint32_t aType, ThreadStrategy aStrategy = TS_MULTI_THREAD,
                     LBStrategy aBalance = LB_CURRENT_THREAD) {
        if (aStrategy == TS_SINGLE_THREAD)
            m_pUserThread = StartUserThread();
        m_nPort = rttest::FreeLoopbackPort();
        ASSERT_EQ(RT_OK, RunOn(m_pUserThread, [&] {
                      RtResult rv = CRtConnectionManager::Instance()->CreateConnectionServer(aType, m_pAcceptor,
                                                                                             aStrategy, aBalance);
                      if (RT_FAILED(rv))
                          return rv;
                      return m_pAcceptor->StartListen(&m_Server, CRtInetAddr("127.0.0.1", m_nPort));
                  }));
    }
    // A client of aType; true once its handshake succeeded. Made through
    // CConnConnectorT over the test connector on the network thread, or
    // through the manager on the user thread, with the server's strategy.
    bool Connect(uint32_t aType, int aLimitSeconds = 5, bool aViaManager = false) {
        m_pClientThread = aViaManager ? m_pUserThread : m_pNet;
        RunOn(m_pClientThread, [&] {
            if (aViaManager) {
                RtResult rv = CRtConnectionManager::Instance()->CreateConnectionClient(
                    aType, m_pConnector, m_pUserThread == m_pNet ? TS_MULTI_THREAD : TS_SINGLE_THREAD);
                if (RT_FAILED(rv))
                    return rv;
            } else {
                m_pConnector = new Connector(m_pTestConnector = new rttest::TestTcpConnector, aType, false);
                m_pConnector->AddReference();
            }
            CRtTimeValue limit(static_cast<int64_t>(aLimitSeconds), 0);
            return m_pConnector->AsycConnect(&m_Client, CRtInetAddr("127.0.0.1", m_nPort), &limit);
        });
        WaitUntil([&] { return !m_Client.Reasons("indication").empty(); }, (aLimitSeconds + 2) * 1000);
        return m_Client.Last() && WaitUntil([&] { return m_Server.Last() != nullptr; });
    }
    CRtConnRlbTcp* ClientConn() { return static_cast<CRtConnRlbTcp*>(m_Client.Last()); }
    // What aFn returns when run on the network thread.
    template <class Fn>
    auto OnNetGet(Fn aFn) -> decltype(aFn()) {
        decltype(aFn()) value{};
        RunOn(m_pNet, [&] {
            value = aFn();
            return RT_OK;
        });
        return value;
    }

    RtResult Send(IRtTransport* aConn, CRtThread* aThread, const std::string& aText) {
        return RunOn(aThread, [&] {
            CRtMessageBlock mb(static_cast<unsigned long>(aText.size()), aText.data(), CRtMessageBlock::DONT_DELETE,
                               static_cast<unsigned long>(aText.size()));
            return aConn->SendData(mb);
        });
    }

    CRtThread* m_pNet = nullptr;
    CRtThread* m_pUserThread = nullptr;
    IRtAcceptor* m_pAcceptor = nullptr;
    CRtThread* m_pClientThread = nullptr;
    IRtConnector* m_pConnector = nullptr;
    rttest::TestTcpConnector* m_pTestConnector = nullptr;
    RecordingAcceptorSink m_Server;
    RecordingAcceptorSink m_Client;
    uint16_t m_nPort = 0;
};

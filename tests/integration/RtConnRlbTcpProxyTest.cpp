// The reliable TCP client made by the connection manager for the proxy
// chain (0x68000 bits) reaches a reliable server on loopback through the
// rig's SOCKS5 proxy. (The rig's HTTP proxies CONNECT only to web ports.)
#include "../unit/RtConnRlbTcpFixture.h"
#include "RtHttpProxyManager.h"
#include "RtPeerRig.h"

namespace {

constexpr uint32_t kReliableViaProxy = 0x1E8000;  // acknowledged, reconnecting, keep-alive, through a proxy

class RlbTcpProxyTest : public RlbTcpTest {
protected:
    void SetUp() override {
        RlbTcpTest::SetUp();
        CRtHttpProxyManager::Instance()->ClearCacheProxy();
    }
    void TearDown() override {
        RunOn(m_pNet, [&] {
            m_Client.CloseAll();
            if (m_pViaProxy) {
                m_pViaProxy->CancelConnect(RT_OK);
                m_pViaProxy->ReleaseReference();
            }
            return RT_OK;
        });
        RlbTcpTest::TearDown();
        CRtHttpProxyManager::Instance()->ClearCacheProxy();
    }
    IRtConnector* m_pViaProxy = nullptr;
};

}  // namespace

TEST_F(RlbTcpProxyTest, ReliableClientThroughSocks5) {
    const uint16_t socks = rttest::Port("SOCKS_NOAUTH");
    NEED_PEER(socks);
    CRtHttpProxyInfo* info = nullptr;
    ASSERT_TRUE(CRtHttpProxyManager::Instance()->CreateProxyInfo("127.0.0.1:" + std::to_string(socks),
                                                                 CRtHttpProxyInfo::SOCK5_PROXY, info));
    info->ReleaseReference();
    StartServer(kReliable);
    ASSERT_EQ(RT_OK, RunOn(m_pNet, [&] {
                  RtResult rv = CRtConnectionManager::Instance()->CreateConnectionClient(kReliableViaProxy, m_pViaProxy,
                                                                                         TS_MULTI_THREAD);
                  if (RT_FAILED(rv))
                      return rv;
                  CRtTimeValue limit(10, 0);
                  return m_pViaProxy->AsycConnect(&m_Client, CRtInetAddr("127.0.0.1", m_nPort), &limit);
              }));
    ASSERT_TRUE(WaitUntil([&] { return !m_Client.Indications().empty() && m_Server.ConnCount() == 1; }, 15000));
    EXPECT_EQ(std::vector<RtResult>{RT_OK}, m_Client.Indications());
    std::string toServer, toClient;
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(RT_OK, Send(m_Client.Conn(), m_pNet, Indexed(i)));
        ASSERT_EQ(RT_OK, Send(m_Server.Conn(), m_pNet, Indexed(500 + i)));
        toServer += Indexed(i);
        toClient += Indexed(500 + i);
    }
    EXPECT_TRUE(WaitUntil([&] { return m_Server.Joined() == toServer && m_Client.Joined() == toClient; }));
    EXPECT_TRUE(m_Client.Disconnects().empty());
    EXPECT_TRUE(m_Server.Disconnects().empty());
}

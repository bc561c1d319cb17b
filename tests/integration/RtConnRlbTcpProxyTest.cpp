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
        RlbTcpTest::TearDown();
        CRtHttpProxyManager::Instance()->ClearCacheProxy();
    }
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
    ASSERT_TRUE(Connect(kReliableViaProxy, 10, true));
    EXPECT_EQ(std::vector<RtResult>{RT_OK}, m_Client.Reasons("indication"));
    std::string toServer, toClient;
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(RT_OK, Send(m_Client.Last(), m_pNet, Indexed(i)));
        ASSERT_EQ(RT_OK, Send(m_Server.Last(), m_pNet, Indexed(500 + i)));
        toServer += Indexed(i);
        toClient += Indexed(500 + i);
    }
    EXPECT_TRUE(WaitUntil([&] { return m_Server.m_Sink.Data() == toServer && m_Client.m_Sink.Data() == toClient; }));
    EXPECT_TRUE(m_Client.m_Sink.Reasons().empty());
    EXPECT_TRUE(m_Server.m_Sink.Reasons().empty());
}

// The SOCKS tunnel against dante and ssh -D from the peer rig, and against
// a scripted proxy on a plain socket for what real proxies do not show:
// replies in pieces and a close in the middle of the handshake.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "RtConnectorSocksProxy.h"
#include "RtHttpProxyManager.h"
#include "RtLoopback.h"
#include "RtPeerRig.h"
#include "RtTestEvents.h"
#include "RtTestSupport.h"
#include "RtThreadManager.h"
#include "RtTransportTcp.h"

using rttest::Port;
using rttest::RunOn;
using rttest::Setting;

namespace {

class Tunnel;
using Socks = CRtConnectorSocksProxyT<Tunnel, CRtTransportTcp, CRtSocketStream>;

// Takes the tunnel as the proxy connector above a SOCKS connector does:
// the socket moves into a new transport whose peer is the target.
class Tunnel : public IRtTransportSink {
public:
    void OnConnectIndication(RtResult aReason, IRtTransport* aTrpt, IRtConnectorInternal*) {
        m_nReason = aReason;
        if (RT_SUCCEEDED(aReason)) {
            RT_HANDLE handle = RT_INVALID_HANDLE;
            aTrpt->GetOption(RT_OPT_TRANSPORT_FD, &handle);
            RT_HANDLE none = RT_INVALID_HANDLE;
            aTrpt->SetOption(RT_OPT_TRANSPORT_FD, &none);
            CRtTransportTcp* moved = new CRtTransportTcp(CRtThreadManager::Instance()->GetCurrentThread());
            moved->GetPeer().SetHandle(handle);
            m_Transport = moved;
            EXPECT_EQ(RT_OK, m_Transport->OpenWithSink(this));
        }
        ++m_nIndications;
    }
    void OnReceive(CRtMessageBlock& aData, IRtTransport*) override { m_strData += aData.FlattenChained(); }
    void OnSend(IRtTransport*) override {}
    void OnDisconnect(RtResult, IRtTransport*) override { m_bClosed = true; }

    std::atomic<int> m_nIndications{0};
    std::atomic<RtResult> m_nReason{-1};
    std::atomic<bool> m_bClosed{false};
    std::string m_strData;
    CRtAutoPtr<IRtTransport> m_Transport;
};

class SocksTest : public ::testing::Test {
protected:
    void SetUp() override { m_pThread = CRtThreadManager::Instance()->GetDefaultNetworkThread(); }
    void TearDown() override { Reset(); }
    // Ends the attempt and the tunnel, for the next Open.
    void Reset() {
        RunOn(m_pThread, [&] {
            delete m_pSocks;
            m_pSocks = nullptr;
            if (m_Tunnel.m_Transport)
                m_Tunnel.m_Transport->Disconnect(RT_OK);
            m_Tunnel.m_Transport = nullptr;
            m_Tunnel.m_strData.clear();
            m_Tunnel.m_bClosed = false;
            m_Tunnel.m_nIndications = 0;
            m_Tunnel.m_nReason = -1;
            return RT_OK;
        });
        if (m_pProxy)
            m_pProxy->ReleaseReference();
        m_pProxy = nullptr;
    }

    // Starts a tunnel through the proxy at aPort to aTarget; false when the
    // outcome is not the expected one.
    void Open(CRtHttpProxyInfo::PROXY_TYPE aType, uint16_t aPort, const CRtInetAddr& aTarget,
              const std::string& aUser = "", const std::string& aPass = "") {
        m_pProxy = new CRtHttpProxyInfo;
        m_pProxy->AddReference();
        ASSERT_EQ(RT_OK, m_pProxy->Init(CRtString("127.0.0.1"), aPort, aType));
        m_pProxy->SetUserName(CRtString(aUser));
        m_pProxy->SetPasswd(CRtString(aPass));
        int rc = -2;
        RunOn(m_pThread, [&] {
            m_pSocks = new Socks(m_pThread, m_Tunnel, m_pProxy);
            rc = m_pSocks->Connect(aTarget);
            return RT_OK;
        });
        ASSERT_EQ(0, rc);
        ASSERT_TRUE(rttest::WaitUntil([&] { return m_Tunnel.m_nIndications > 0; }, 10000));
    }

    // An HTTP request through the tunnel; the answer's first line.
    std::string StatusLineThroughTunnel() {
        RunOn(m_pThread, [&] {
            std::string req = "GET /open/ HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
            CRtMessageBlock mb(static_cast<unsigned long>(req.size()), req.data(), CRtMessageBlock::DONT_DELETE,
                               static_cast<unsigned long>(req.size()));
            return m_Tunnel.m_Transport->SendData(mb);
        });
        rttest::WaitUntil([&] { return m_Tunnel.m_bClosed.load(); }, 10000);
        std::string data;
        RunOn(m_pThread, [&] {
            data = m_Tunnel.m_strData;
            return RT_OK;
        });
        return data.substr(0, data.find("\r\n"));
    }

    CRtInetAddr Origin() const { return CRtInetAddr("127.0.0.1", Port("ORIGIN_HTTP")); }

    CRtThread* m_pThread = nullptr;
    CRtHttpProxyInfo* m_pProxy = nullptr;
    Socks* m_pSocks = nullptr;
    Tunnel m_Tunnel;
};

// A proxy that answers with the given bytes, one piece per request it
// reads, then closes.
class ScriptedProxy {
public:
    explicit ScriptedProxy(std::vector<std::string> aReplies) : m_Replies(std::move(aReplies)) {
        m_Listener = rttest::ListenLoopback(&m_nPort);
        m_Thread = std::thread([this] { Serve(); });
    }
    ~ScriptedProxy() {
        Join();
        rtos::SocketClose(m_Listener);
    }
    void Join() {
        if (m_Thread.joinable())
            m_Thread.join();
    }
    uint16_t Port() const { return m_nPort; }
    // What the client sent; read after Join.
    std::string Requests() const { return m_strRequests; }

private:
    void Serve() {
        rtos::SocketHandle s = rtos::SocketAccept(m_Listener, nullptr);
        rtos::SocketSetNonBlocking(s, false);
        for (const std::string& reply : m_Replies) {
            char buf[512];
            long n = rtos::SocketRecv(s, buf, sizeof buf);
            if (n <= 0)
                break;
            m_strRequests.append(buf, static_cast<size_t>(n));
            // In pieces a byte apart in time, as a slow proxy may send them.
            for (char c : reply) {
                rtos::SocketSend(s, &c, 1);
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        }
        rtos::SocketClose(s);
    }
    std::vector<std::string> m_Replies;
    rtos::SocketHandle m_Listener;
    uint16_t m_nPort = 0;
    std::thread m_Thread;
    std::string m_strRequests;
};

}  // namespace

TEST_F(SocksTest, Socks5WithoutCredentials) {
    NEED_PEER(Port("SOCKS_NOAUTH"));
    Open(CRtHttpProxyInfo::SOCK5_PROXY, Port("SOCKS_NOAUTH"), Origin());
    ASSERT_EQ(RT_OK, m_Tunnel.m_nReason.load());
    EXPECT_EQ("HTTP/1.1 200 OK", StatusLineThroughTunnel());
}

TEST_F(SocksTest, Socks5WithUserNameAndPassword) {
    NEED_PEER(Port("SOCKS_USER"));
    Open(CRtHttpProxyInfo::SOCK5_PROXY, Port("SOCKS_USER"), Origin(), Setting("PEER_USER"), Setting("PEER_PASS"));
    ASSERT_EQ(RT_OK, m_Tunnel.m_nReason.load());
    EXPECT_EQ("HTTP/1.1 200 OK", StatusLineThroughTunnel());
}

TEST_F(SocksTest, Socks5RefusalsFailOnce) {
    NEED_PEER(Port("SOCKS_USER"));
    // A wrong password: the proxy then accepts no method at all.
    Open(CRtHttpProxyInfo::SOCK5_PROXY, Port("SOCKS_USER"), Origin(), Setting("PEER_USER"), "bad");
    EXPECT_EQ(RT_ERROR_NETWORK_SOCKET_ERROR, m_Tunnel.m_nReason.load());
    Reset();
    // Offering credentials to a proxy that wants none.
    Open(CRtHttpProxyInfo::SOCK5_PROXY, Port("SOCKS_NOAUTH"), Origin(), "alice", "x");
    EXPECT_EQ(RT_ERROR_NETWORK_SOCKET_ERROR, m_Tunnel.m_nReason.load());
    Reset();
    // A target the proxy may not reach.
    Open(CRtHttpProxyInfo::SOCK5_PROXY, Port("SOCKS_NOAUTH"), CRtInetAddr("10.255.255.1", 80));
    EXPECT_EQ(RT_ERROR_NETWORK_SOCKET_ERROR, m_Tunnel.m_nReason.load());
    RunOn(m_pThread, [] { return RT_OK; });
    EXPECT_EQ(1, m_Tunnel.m_nIndications.load());
}

TEST_F(SocksTest, Socks4ToAnAddress) {
    NEED_PEER(Port("SOCKS_NOAUTH"));
    Open(CRtHttpProxyInfo::SOCK4_PROXY, Port("SOCKS_NOAUTH"), Origin());
    ASSERT_EQ(RT_OK, m_Tunnel.m_nReason.load());
    EXPECT_EQ("HTTP/1.1 200 OK", StatusLineThroughTunnel());
}

// A name this host has not resolved goes to the proxy as a name.
TEST_F(SocksTest, NamesGoToTheProxyUnresolved) {
    NEED_PEER(Port("SOCKS_SSH"));
    Open(CRtHttpProxyInfo::SOCK4_PROXY, Port("SOCKS_SSH"), CRtInetAddr("localhost", Port("ORIGIN_HTTP")));
    ASSERT_EQ(RT_OK, m_Tunnel.m_nReason.load());
    EXPECT_EQ("HTTP/1.1 200 OK", StatusLineThroughTunnel());
    Reset();
    Open(CRtHttpProxyInfo::SOCK5_PROXY, Port("SOCKS_SSH"), CRtInetAddr("localhost", Port("ORIGIN_HTTP")));
    ASSERT_EQ(RT_OK, m_Tunnel.m_nReason.load());
    EXPECT_EQ("HTTP/1.1 200 OK", StatusLineThroughTunnel());
}

// Replies that arrive a byte at a time still make whole replies, and the
// requests on the wire are the protocol's.
TEST_F(SocksTest, RepliesInPiecesAndTheBytesOnTheWire) {
    ScriptedProxy proxy({std::string("\x05\x02", 2), std::string("\x01\x00", 2),
                         std::string("\x05\x00\x00\x01\x7f\x00\x00\x01\x1f\x90", 10)});
    Open(CRtHttpProxyInfo::SOCK5_PROXY, proxy.Port(), CRtInetAddr("127.0.0.1", 8080), "al", "pw");
    EXPECT_EQ(RT_OK, m_Tunnel.m_nReason.load());
    proxy.Join();
    EXPECT_EQ(std::string("\x05\x01\x02"
                          "\x01\x02"
                          "al"
                          "\x02"
                          "pw"
                          "\x05\x01\x00\x01\x7f\x00\x00\x01\x1f\x90",
                          20),
              proxy.Requests());
}

// A proxy that closes during the handshake fails the attempt, once.
TEST_F(SocksTest, CloseDuringTheHandshakeFailsOnce) {
    {
        ScriptedProxy proxy({std::string("\x05", 1)});  // half a reply, then the close
        Open(CRtHttpProxyInfo::SOCK5_PROXY, proxy.Port(), CRtInetAddr("127.0.0.1", 8080));
        proxy.Join();
        EXPECT_EQ(std::string("\x05\x01\x00", 3), proxy.Requests());
    }
    EXPECT_EQ(RT_ERROR_NETWORK_SOCKET_ERROR, m_Tunnel.m_nReason.load());
    RunOn(m_pThread, [] { return RT_OK; });
    RunOn(m_pThread, [] { return RT_OK; });
    EXPECT_EQ(1, m_Tunnel.m_nIndications.load());
}

// The SOCKS tunnel against dante and ssh -D from the peer rig, and against
// a scripted proxy on a plain socket for what real proxies do not show:
// replies in pieces and a close in the middle of the handshake.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "RtConnectorSocksProxy.h"
#include "RtHttpProxyManager.h"
#include "RtLoopback.h"
#include "RtPeerRig.h"
#include "RtScriptedPeer.h"
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
    void OnConnectIndication(RtResult aReason, IRtTransport* aTrpt, IRtConnectorInternal* aTunnel) {
        m_nReason = aReason;
        if (RT_SUCCEEDED(aReason)) {
            // What the target sent along with the proxy's reply comes first.
            m_strData = aTunnel->TakeUnreadData();
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

}  // namespace

// Every SOCKS form against dante and ssh -D: each tunnel that opens carries
// an HTTP exchange with the origin and, to the rig's sshd, its banner (the
// target speaks first); each refusal fails once and cleanly.
TEST_F(SocksTest, RealProxiesTable) {
    NEED_PEER(Port("SOCKS_SSH"));
    const auto s4 = CRtHttpProxyInfo::SOCK4_PROXY, s5 = CRtHttpProxyInfo::SOCK5_PROXY;
    const std::string user = Setting("PEER_USER"), pass = Setting("PEER_PASS");
    // Made before the name is looked up, it stays a name, so the name goes
    // to the proxy (SOCKS4a, a SOCKS5 domain); copies keep that.
    const CRtInetAddr byName("localhost", Port("ORIGIN_HTTP"));
    ASSERT_FALSE(byName.IsResolved()) << "looked up before the test";
    auto target = [&](const char* aHost, uint16_t aPort) {
        CRtInetAddr addr = strcmp(aHost, "localhost") == 0 ? byName : CRtInetAddr(aHost, aPort);
        addr.SetPortA(aPort);
        return addr;
    };
    struct Case {
        const char* name;
        CRtHttpProxyInfo::PROXY_TYPE type;
        const char* port;
        const char* host;  // of the target, an address or a name
        std::string user, pass;
        bool opens;
    };
    const Case cases[] = {
        {"dante SOCKS5 by address", s5, "SOCKS_NOAUTH", "127.0.0.1", "", "", true},
        {"dante SOCKS5 by name", s5, "SOCKS_NOAUTH", "localhost", "", "", true},
        {"dante SOCKS4", s4, "SOCKS_NOAUTH", "127.0.0.1", "", "", true},
        {"dante SOCKS4a refused", s4, "SOCKS_NOAUTH", "localhost", "", "", false},
        {"dante credentials it does not want", s5, "SOCKS_NOAUTH", "127.0.0.1", "alice", "x", false},
        {"dante user and password", s5, "SOCKS_USER", "127.0.0.1", user, pass, true},
        {"dante wrong password", s5, "SOCKS_USER", "127.0.0.1", user, "bad", false},
        {"dante credentials not offered", s5, "SOCKS_USER", "127.0.0.1", "", "", false},
        {"ssh -D SOCKS4", s4, "SOCKS_SSH", "127.0.0.1", "", "", true},
        {"ssh -D SOCKS4a", s4, "SOCKS_SSH", "localhost", "", "", true},
        {"ssh -D SOCKS5 by name", s5, "SOCKS_SSH", "localhost", "", "", true},
        {"ssh -D credentials offered", s5, "SOCKS_SSH", "127.0.0.1", user, pass, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Open(c.type, Port(c.port), target(c.host, Port("ORIGIN_HTTP")), c.user, c.pass);
        if (!c.opens) {
            EXPECT_EQ(RT_ERROR_NETWORK_SOCKET_ERROR, m_Tunnel.m_nReason.load());
            rttest::DrainThreads(m_pThread, m_pThread);
            EXPECT_EQ(1, m_Tunnel.m_nIndications.load());
            Reset();
            continue;
        }
        ASSERT_EQ(RT_OK, m_Tunnel.m_nReason.load());
        EXPECT_EQ("HTTP/1.1 200 OK", StatusLineThroughTunnel());
        Reset();
        Open(c.type, Port(c.port), target(c.host, Port("SSHD_PORT")), c.user, c.pass);
        ASSERT_EQ(RT_OK, m_Tunnel.m_nReason.load());
        EXPECT_TRUE(rttest::WaitUntil([&] {
            std::string data;
            RunOn(m_pThread, [&] {
                data = m_Tunnel.m_strData;
                return RT_OK;
            });
            return data.compare(0, 8, "SSH-2.0-") == 0;
        }));
        Reset();
    }
    // A target the proxy may not reach.
    Open(s5, Port("SOCKS_NOAUTH"), CRtInetAddr("10.255.255.1", 80));
    EXPECT_EQ(RT_ERROR_NETWORK_SOCKET_ERROR, m_Tunnel.m_nReason.load());
    RunOn(m_pThread, [] { return RT_OK; });
    EXPECT_EQ(1, m_Tunnel.m_nIndications.load());
}

// Replies that arrive a byte at a time still make whole replies, and the
// requests on the wire are the protocol's.
TEST_F(SocksTest, RepliesInPiecesAndTheBytesOnTheWire) {
    auto bytes = [](const std::string& aReply) {
        rttest::ScriptedPeer::Reply reply;
        for (char c : aReply)
            reply.pieces.push_back(std::string(1, c));
        return reply;
    };
    rttest::ScriptedPeer proxy(rttest::ScriptedPeer::Framing::kRaw,
                               {bytes(std::string("\x05\x02", 2)), bytes(std::string("\x01\x00", 2)),
                                bytes(std::string("\x05\x00\x00\x01\x7f\x00\x00\x01\x1f\x90", 10))});
    Open(CRtHttpProxyInfo::SOCK5_PROXY, proxy.Port(), CRtInetAddr("127.0.0.1", 8080), "al", "pw");
    EXPECT_EQ(RT_OK, m_Tunnel.m_nReason.load());
    std::string sent;
    for (const auto& request : proxy.WaitRequests(3))
        sent += request.bytes;
    EXPECT_EQ(std::string("\x05\x01\x02"
                          "\x01\x02"
                          "al"
                          "\x02"
                          "pw"
                          "\x05\x01\x00\x01\x7f\x00\x00\x01\x1f\x90",
                          20),
              sent);
}

// A proxy that closes during the handshake fails the attempt, once.
TEST_F(SocksTest, CloseDuringTheHandshakeFailsOnce) {
    {
        // Half a reply, then the close.
        rttest::ScriptedPeer proxy(rttest::ScriptedPeer::Framing::kRaw, {{{std::string("\x05", 1)}, true}});
        Open(CRtHttpProxyInfo::SOCK5_PROXY, proxy.Port(), CRtInetAddr("127.0.0.1", 8080));
        ASSERT_EQ(1u, proxy.WaitRequests(1).size());
        EXPECT_EQ(std::string("\x05\x01\x00", 3), proxy.Requests()[0].bytes);
    }
    EXPECT_EQ(RT_ERROR_NETWORK_SOCKET_ERROR, m_Tunnel.m_nReason.load());
    RunOn(m_pThread, [] { return RT_OK; });
    RunOn(m_pThread, [] { return RT_OK; });
    EXPECT_EQ(1, m_Tunnel.m_nIndications.load());
}

// The proxy connector and the detection connector against squid, tinyproxy,
// dante and ssh -D from the peer rig: CONNECT tunnels (with the channel's own
// 407 rounds), every SOCKS form, refusals, and the detection connector's
// items and timing; and against a scripted proxy on a plain socket for what
// real proxies do not show: answers cut anywhere, a close in the middle of
// the handshake, the bytes on the wire.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "RtConnectionManager.h"
#include "RtConnectionManagerTypes.h"
#include "RtConnectorProxy.h"
#include "RtDetectionConnector.h"
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

// Whoever gets a connection: opens it, asks the origin for /open/ over it,
// and keeps what comes back. On the test's network thread.
class Receiver : public IRtTransportSink, public IRtAcceptorConnectorSink {
public:
    // From the proxy connector.
    void OnConnectIndication(RtResult aReason, IRtTransport* aTrpt, IRtConnectorInternal*) { Take(aReason, aTrpt); }
    // From the detection connector.
    void OnConnectIndication(RtResult aReason, IRtTransport* aTrpt, IRtAcceptorConnectorId*) override {
        Take(aReason, aTrpt);
    }
    void OnReceive(CRtMessageBlock& aData, IRtTransport*) override { m_strData += aData.FlattenChained(); }
    void OnSend(IRtTransport*) override {}
    void OnDisconnect(RtResult, IRtTransport*) override { m_bClosed = true; }

    void Take(RtResult aReason, IRtTransport* aTrpt) {
        m_nReason = aReason;
        m_nThread = CRtThreadManager::GetThreadSelfId();
        m_tEnd = std::chrono::steady_clock::now();
        if (RT_SUCCEEDED(aReason) && aTrpt) {
            m_Transport = aTrpt;
            EXPECT_EQ(RT_OK, m_Transport->OpenWithSink(this));
            aTrpt->GetOption(RT_OPT_TRANSPORT_PEER_ADDR, &m_addrPeer);
            const std::string req = "GET /open/ HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
            CRtMessageBlock mb(static_cast<unsigned long>(req.size()), req.data(), CRtMessageBlock::DONT_DELETE,
                               static_cast<unsigned long>(req.size()));
            EXPECT_EQ(RT_OK, m_Transport->SendData(mb));
        }
        ++m_nIndications;
    }

    std::atomic<int> m_nIndications{0};
    std::atomic<RtResult> m_nReason{-1};
    std::atomic<uint32_t> m_nThread{0};
    std::atomic<bool> m_bClosed{false};
    std::string m_strData;
    CRtInetAddr m_addrPeer;
    CRtAutoPtr<IRtTransport> m_Transport;
    std::chrono::steady_clock::time_point m_tEnd;
};

using Proxy = CRtConnectorProxyT<Receiver, CRtTransportTcp, CRtSocketStream>;

class ConnectorProxyTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_pThread = CRtThreadManager::Instance()->GetDefaultNetworkThread();
        CRtHttpProxyManager::Instance()->ClearCacheProxy();
    }
    void TearDown() override {
        RunOn(m_pThread, [&] {
            delete m_pProxy;
            m_pProxy = nullptr;
            if (m_pDetection)
                m_pDetection->CancelConnect(RT_OK);
            m_pDetection = nullptr;
            if (m_Receiver.m_Transport)
                m_Receiver.m_Transport->Disconnect(RT_OK);
            m_Receiver.m_Transport = nullptr;
            return RT_OK;
        });
        rttest::DrainThreads(m_pThread, m_pThread);
        CRtHttpProxyManager::Instance()->ClearCacheProxy();
    }

    // Ready for the next attempt of the same test.
    void Reset() {
        TearDown();
        m_Receiver.m_nIndications = 0;
        m_Receiver.m_nReason = -1;
        m_Receiver.m_bClosed = false;
        m_Receiver.m_strData.clear();
    }

    // Lists the proxy at aPort in the manager, as the one to use.
    void UseProxy(uint16_t aPort, CRtHttpProxyInfo::PROXY_TYPE aType = CRtHttpProxyInfo::HTTP_PROXY,
                  const std::string& aUser = "", const std::string& aPass = "") {
        CRtHttpProxyInfo* info = nullptr;
        ASSERT_TRUE(
            CRtHttpProxyManager::Instance()->CreateProxyInfo("127.0.0.1:" + std::to_string(aPort), aType, info));
        info->SetUserName(aUser);
        info->SetPasswd(aPass);
        info->ReleaseReference();
    }

    // A tunnel to aTarget through the manager's proxy; the outcome.
    RtResult Tunnel(const CRtInetAddr& aTarget) {
        int rc = -2;
        RunOn(m_pThread, [&] {
            m_pProxy = new Proxy(m_pThread, m_Receiver);
            rc = m_pProxy->Connect(aTarget);
            return RT_OK;
        });
        if (rc != 0)
            return RT_ERROR_FAILURE;
        EXPECT_TRUE(rttest::WaitUntil([&] { return m_Receiver.m_nIndications > 0; }, 15000));
        return m_Receiver.m_nReason.load();
    }

    // The status line the origin sent through the connection.
    std::string StatusLine() {
        rttest::WaitUntil([&] { return m_Receiver.m_bClosed.load(); }, 10000);
        std::string data = Data();
        return data.substr(0, data.find("\r\n"));
    }
    uint16_t PeerPort() {
        uint16_t port = 0;
        RunOn(m_pThread, [&] {
            port = m_Receiver.m_addrPeer.GetPort();
            return RT_OK;
        });
        return port;
    }

    CRtInetAddr Origin() const { return CRtInetAddr("127.0.0.1", Port("ORIGIN_HTTP")); }
    std::string Data() {
        std::string data;
        RunOn(m_pThread, [&] {
            data = m_Receiver.m_strData;
            return RT_OK;
        });
        return data;
    }

    // A detection connector made on aThread with items of aTypes, connecting
    // to aTarget; waits for its one indication.
    void Detect(CRtThread* aThread, std::vector<uint32_t> aTypes, const CRtInetAddr& aTarget, long aLimitSeconds = 0) {
        ASSERT_EQ(RT_OK, RunOn(aThread, [&] {
                      IRtDetectionConnector* detection = nullptr;
                      EXPECT_EQ(RT_OK, CRtConnectionManager::Instance()->CreateDetectionConnectionClient(detection));
                      m_pDetection = detection;
                      detection->ReleaseReference();
                      for (uint32_t type : aTypes)
                          EXPECT_EQ(RT_OK, m_pDetection->AddConnection(type, CRtInetAddr()));
                      CRtTimeValue limit(aLimitSeconds, 0);
                      return m_pDetection->AsycConnect(&m_Receiver, aTarget, aLimitSeconds ? &limit : nullptr);
                  }));
        ASSERT_TRUE(rttest::WaitUntil([&] { return m_Receiver.m_nIndications > 0; }, 15000));
    }

    CRtThread* m_pThread = nullptr;
    Receiver m_Receiver;
    Proxy* m_pProxy = nullptr;
    CRtAutoPtr<IRtDetectionConnector> m_pDetection;
};

}  // namespace

// Bytes the target sends at once (more than any reply holds) arrive with
// the proxy's answer, in the same read or behind any cut of it: the new
// transport's sink still gets them, first and whole.
TEST_F(ConnectorProxyTest, TheTargetsFirstBytesSurviveEverySplitOfTheAnswer) {
    using Reply = rttest::ScriptedPeer::Reply;
    const std::string banner = "BANNER" + std::string(1000, 'b');
    const std::string http = "HTTP/1.1 200 Connection established\r\n\r\n";
    const std::string socks5 = std::string("\x05\x00\x00\x01\x7f\x00\x00\x01\x00\x07", 10);
    struct Case {
        CRtHttpProxyInfo::PROXY_TYPE type;
        std::string answer;
    };
    for (const Case& c : {Case{CRtHttpProxyInfo::HTTP_PROXY, http}, Case{CRtHttpProxyInfo::SOCK5_PROXY, socks5}}) {
        for (size_t cut = 1; cut < c.answer.size(); ++cut) {
            SCOPED_TRACE(c.answer.substr(0, cut));
            std::vector<Reply> script;
            if (c.type == CRtHttpProxyInfo::SOCK5_PROXY)
                script.push_back(Reply{{std::string("\x05\x00", 2)}});
            script.push_back(Reply{{c.answer.substr(0, cut), c.answer.substr(cut) + banner}});
            rttest::ScriptedPeer proxy(c.type == CRtHttpProxyInfo::HTTP_PROXY ? rttest::ScriptedPeer::Framing::kHttp
                                                                              : rttest::ScriptedPeer::Framing::kRaw,
                                       script);
            UseProxy(proxy.Port(), c.type);
            ASSERT_EQ(RT_OK, Tunnel(CRtInetAddr("127.0.0.1", 7)));
            EXPECT_TRUE(rttest::WaitUntil([&] { return Data() == banner; }));
            Reset();
        }
    }
}

// What the protocol cannot carry (a user name, password or host name over
// 255 bytes, an IPv6 target for SOCKS4) fails the attempt as the caller's
// error, once, before anything is sent; the proxy stays listed.
TEST_F(ConnectorProxyTest, WhatSocksCannotCarryFailsBeforeSending) {
    const std::string longName = std::string(300, 'n') + ".test";
    struct Case {
        CRtHttpProxyInfo::PROXY_TYPE type;
        std::string user, pass;
        CRtInetAddr target;
    };
    const Case cases[] = {
        {CRtHttpProxyInfo::SOCK5_PROXY, std::string(256, 'u'), "pw", CRtInetAddr("127.0.0.1", 7)},
        {CRtHttpProxyInfo::SOCK5_PROXY, "alice", std::string(256, 'p'), CRtInetAddr("127.0.0.1", 7)},
        {CRtHttpProxyInfo::SOCK5_PROXY, "", "", CRtInetAddr(longName.c_str(), 7)},
        {CRtHttpProxyInfo::SOCK4_PROXY, "", "", CRtInetAddr(longName.c_str(), 7)},
        {CRtHttpProxyInfo::SOCK4_PROXY, "", "", CRtInetAddr("::1", 7)},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        SCOPED_TRACE(i);
        const Case& c = cases[i];
        rttest::ScriptedPeer proxy(rttest::ScriptedPeer::Framing::kRaw, {{{std::string("\x05\x02", 2)}}});
        UseProxy(proxy.Port(), c.type, c.user, c.pass);
        EXPECT_EQ(RT_ERROR_INVALID_ARG, Tunnel(c.target));
        EXPECT_TRUE(rttest::WaitUntil([&] { return proxy.Connections() == 1; }));
        RunOn(m_pThread, [] { return RT_OK; });
        EXPECT_TRUE(proxy.Requests().empty());
        EXPECT_EQ(1, m_Receiver.m_nIndications.load());
        EXPECT_EQ(1u, CRtHttpProxyManager::Instance()->GetProxyCountForTest());
        Reset();
    }
}

// Without a proxy the proxy connector does not connect at all. A refused
// connect to the proxy is told later, never inside Connect; a proxy that
// takes the connection and stays silent gives exactly one timeout through
// the detection connector's time limit.
TEST_F(ConnectorProxyTest, MissingRefusedAndSilentProxiesFailOnce) {
    EXPECT_EQ(RT_ERROR_FAILURE, Tunnel(CRtInetAddr("127.0.0.1", 9)));
    EXPECT_EQ(0, m_Receiver.m_nIndications.load());
    Reset();

    UseProxy(rttest::FreeLoopbackPort());
    int inside = -1;
    RunOn(m_pThread, [&] {
        m_pProxy = new Proxy(m_pThread, m_Receiver);
        EXPECT_EQ(0, m_pProxy->Connect(CRtInetAddr("127.0.0.1", 7)));
        inside = m_Receiver.m_nIndications.load();
        return RT_OK;
    });
    EXPECT_EQ(0, inside);
    ASSERT_TRUE(rttest::WaitUntil([&] { return m_Receiver.m_nIndications > 0; }));
    EXPECT_TRUE(RT_FAILED(m_Receiver.m_nReason.load()));
    Reset();

    rttest::ScriptedPeer silent(rttest::ScriptedPeer::Framing::kRaw, {});
    UseProxy(silent.Port());
    Detect(m_pThread, {CTYPE_PROXY}, CRtInetAddr("127.0.0.1", 7), 1);
    EXPECT_EQ(RT_ERROR_NETWORK_CONNECT_TIMEOUT, m_Receiver.m_nReason.load());
    rttest::DrainThreads(m_pThread, m_pThread);
    EXPECT_EQ(1, m_Receiver.m_nIndications.load());
}

// SOCKS5 replies that arrive a byte at a time still make whole replies, and
// the requests on the wire are the protocol's; a proxy that closes in the
// middle of a reply fails the attempt, once.
TEST_F(ConnectorProxyTest, SocksRepliesInPiecesAndACloseInTheHandshake) {
    auto bytes = [](const std::string& aReply) {
        rttest::ScriptedPeer::Reply reply;
        for (char c : aReply)
            reply.pieces.push_back(std::string(1, c));
        return reply;
    };
    rttest::ScriptedPeer proxy(rttest::ScriptedPeer::Framing::kRaw,
                               {bytes(std::string("\x05\x02", 2)), bytes(std::string("\x01\x00", 2)),
                                bytes(std::string("\x05\x00\x00\x01\x7f\x00\x00\x01\x1f\x90", 10))});
    UseProxy(proxy.Port(), CRtHttpProxyInfo::SOCK5_PROXY, "al", "pw");
    EXPECT_EQ(RT_OK, Tunnel(CRtInetAddr("127.0.0.1", 8080)));
    const auto requests = proxy.WaitRequests(3);
    ASSERT_LE(3u, requests.size());
    EXPECT_EQ(std::string("\x05\x01\x02"
                          "\x01\x02"
                          "al"
                          "\x02"
                          "pw"
                          "\x05\x01\x00\x01\x7f\x00\x00\x01\x1f\x90",
                          20),
              requests[0].bytes + requests[1].bytes + requests[2].bytes);
    Reset();

    {
        rttest::ScriptedPeer halfReply(rttest::ScriptedPeer::Framing::kRaw, {{{std::string("\x05", 1)}, true}});
        UseProxy(halfReply.Port(), CRtHttpProxyInfo::SOCK5_PROXY);
        EXPECT_EQ(RT_ERROR_NETWORK_SOCKET_ERROR, Tunnel(CRtInetAddr("127.0.0.1", 8080)));
        ASSERT_EQ(1u, halfReply.WaitRequests(1).size());
        EXPECT_EQ(std::string("\x05\x01\x00", 3), halfReply.Requests()[0].bytes);
    }
    rttest::DrainThreads(m_pThread, m_pThread);
    EXPECT_EQ(1, m_Receiver.m_nIndications.load());
}

// Moving a tunnel's socket into a new transport leaves the network
// thread's load as it was once the connections are gone.
TEST_F(ConnectorProxyTest, HundredTunnelsLeaveTheThreadLoadAsItWas) {
    const int kTunnels = 100;
    // Each tunnel: the answer to CONNECT, then the target's to the GET.
    std::vector<rttest::ScriptedPeer::Reply> script;
    for (int i = 0; i < kTunnels; ++i) {
        script.push_back({{"HTTP/1.1 200 Connection established\r\n\r\n"}});
        script.push_back({{"HTTP/1.0 200 OK\r\n\r\n"}, true});
    }
    rttest::ScriptedPeer proxy(rttest::ScriptedPeer::Framing::kHttp, script);
    int32_t before = 0, after = 0;
    ASSERT_EQ(RT_OK, CRtConnectionManager::Instance()->GetThreadLoad(m_pThread->GetThreadId(), before));
    for (int i = 0; i < kTunnels; ++i) {
        UseProxy(proxy.Port());
        ASSERT_EQ(RT_OK, Tunnel(CRtInetAddr("127.0.0.1", 7)));
        EXPECT_EQ("HTTP/1.0 200 OK", StatusLine());
        Reset();
    }
    ASSERT_EQ(RT_OK, CRtConnectionManager::Instance()->GetThreadLoad(m_pThread->GetThreadId(), after));
    EXPECT_EQ(before, after);
    EXPECT_EQ(kTunnels, proxy.Connections());
}

// Tunnels through the rig's proxies. CONNECT through squid and tinyproxy,
// with and without the channel's own 407 rounds, and every SOCKS form
// through dante and ssh -D: the transport carries the origin's connection
// and names the origin as its peer, and a SOCKS tunnel to the rig's sshd
// carries its banner (the target speaks first). Wrong credentials for an
// HTTP proxy end as "proxy authentication required" and the proxy stays
// listed; a refusal (403 for a port the proxy does not tunnel to, or any
// SOCKS refusal) fails once, and the proxy is forgotten.
TEST_F(ConnectorProxyTest, TunnelsThroughRealProxiesTable) {
    NEED_PEER(Port("SOCKS_SSH"));
    const auto http = CRtHttpProxyInfo::HTTP_PROXY, s4 = CRtHttpProxyInfo::SOCK4_PROXY,
               s5 = CRtHttpProxyInfo::SOCK5_PROXY;
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
    const RtResult refused = RT_ERROR_NETWORK_SOCKET_ERROR;
    struct Case {
        const char* name;
        CRtHttpProxyInfo::PROXY_TYPE type;
        const char* proxy;
        const char* host;  // of the target, an address or a name
        const char* port;  // of the target
        std::string user, pass;
        RtResult result;
    };
    const Case cases[] = {
        {"squid", http, "SQUID_NOAUTH", "127.0.0.1", "ORIGIN_HTTP", "", "", RT_OK},
        {"tinyproxy", http, "TINY_NOAUTH", "127.0.0.1", "ORIGIN_HTTP", "", "", RT_OK},
        {"squid Basic", http, "SQUID_BASIC", "127.0.0.1", "ORIGIN_HTTP", user, pass, RT_OK},
        {"squid NTLM", http, "SQUID_NTLM", "127.0.0.1", "ORIGIN_HTTP", user, pass, RT_OK},
        {"squid wrong password", http, "SQUID_BASIC", "127.0.0.1", "ORIGIN_HTTP", user, "bad",
         RT_ERROR_NETWORK_PROXY_AUTH_REQUIRED},
        {"squid 403", http, "SQUID_NOAUTH", "127.0.0.1", "SSHD_PORT", "", "", RT_ERROR_NETWORK_PROXY_FAILED},
        {"dante SOCKS5 by address", s5, "SOCKS_NOAUTH", "127.0.0.1", "ORIGIN_HTTP", "", "", RT_OK},
        {"dante SOCKS5 by name", s5, "SOCKS_NOAUTH", "localhost", "ORIGIN_HTTP", "", "", RT_OK},
        {"dante SOCKS4", s4, "SOCKS_NOAUTH", "127.0.0.1", "ORIGIN_HTTP", "", "", RT_OK},
        {"dante SOCKS4a refused", s4, "SOCKS_NOAUTH", "localhost", "ORIGIN_HTTP", "", "", refused},
        {"dante credentials it does not want", s5, "SOCKS_NOAUTH", "127.0.0.1", "ORIGIN_HTTP", "alice", "x", refused},
        {"dante user and password", s5, "SOCKS_USER", "127.0.0.1", "ORIGIN_HTTP", user, pass, RT_OK},
        {"dante wrong password", s5, "SOCKS_USER", "127.0.0.1", "ORIGIN_HTTP", user, "bad", refused},
        {"dante credentials not offered", s5, "SOCKS_USER", "127.0.0.1", "ORIGIN_HTTP", "", "", refused},
        {"dante target it may not reach", s5, "SOCKS_NOAUTH", "10.255.255.1", "ORIGIN_HTTP", "", "", refused},
        {"ssh -D SOCKS4", s4, "SOCKS_SSH", "127.0.0.1", "ORIGIN_HTTP", "", "", RT_OK},
        {"ssh -D SOCKS4a", s4, "SOCKS_SSH", "localhost", "ORIGIN_HTTP", "", "", RT_OK},
        {"ssh -D SOCKS5 by name", s5, "SOCKS_SSH", "localhost", "ORIGIN_HTTP", "", "", RT_OK},
        {"ssh -D credentials offered", s5, "SOCKS_SSH", "127.0.0.1", "ORIGIN_HTTP", user, pass, refused},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UseProxy(Port(c.proxy), c.type, c.user, c.pass);
        rttest::LogWatch log;
        ASSERT_EQ(c.result, Tunnel(target(c.host, Port(c.port))));
        rttest::DrainThreads(m_pThread, m_pThread);
        EXPECT_EQ(1, m_Receiver.m_nIndications.load());
        EXPECT_EQ(c.result == RT_OK || c.result == RT_ERROR_NETWORK_PROXY_AUTH_REQUIRED ? 1u : 0u,
                  CRtHttpProxyManager::Instance()->GetProxyCountForTest());
        if (c.result == RT_ERROR_NETWORK_PROXY_FAILED) {
            EXPECT_TRUE(log.Has("CRtConnectorHttpProxyT::OnReceive, content: \nstatus=403"));
        }
        if (c.result != RT_OK) {
            Reset();
            continue;
        }
        EXPECT_EQ("HTTP/1.1 200 OK", StatusLine());
        EXPECT_EQ(Port(c.port), PeerPort());
        Reset();
        if (c.type == http)
            continue;
        UseProxy(Port(c.proxy), c.type, c.user, c.pass);
        ASSERT_EQ(RT_OK, Tunnel(target(c.host, Port("SSHD_PORT"))));
        EXPECT_TRUE(rttest::WaitUntil([&] { return Data().compare(0, 8, "SSH-2.0-") == 0; }));
        Reset();
    }
}

// A UDP connector (type 2) from the connection manager to a socat echo:
// one indication with a transport, and a datagram comes back as it went.
TEST_F(ConnectorProxyTest, UdpConnectorEchoes) {
    CRtAutoPtr<IRtConnector> connector;
    RunOn(m_pThread, [&] {
        IRtConnector* made = nullptr;
        EXPECT_EQ(RT_OK, CRtConnectionManager::Instance()->CreateConnectionClient(CTYPE_UDP, made));
        connector = made;
        made->ReleaseReference();
        CRtTimeValue limit(5, 0);
        return connector->AsycConnect(&m_Receiver, CRtInetAddr("127.0.0.1", RT_UDP_ECHO_PORT), &limit);
    });
    ASSERT_TRUE(rttest::WaitUntil([&] { return m_Receiver.m_nIndications > 0; }));
    ASSERT_EQ(RT_OK, m_Receiver.m_nReason.load());
    // The receiver sent its GET line as one datagram; the echo returns it.
    const bool echoed =
        rttest::WaitUntil([&] { return Data() == "GET /open/ HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"; }, 3000);
    RunOn(m_pThread, [&] {
        connector->CancelConnect(RT_OK);
        connector = nullptr;
        return RT_OK;
    });
    if (!echoed && !rttest::PeersRequired())
        GTEST_SKIP() << "no UDP echo on 127.0.0.1:" << RT_UDP_ECHO_PORT << " (socat, started with the peers)";
    EXPECT_TRUE(echoed);
}

// The detection connector, made on a user task thread as programs may: a
// 0x8000 item through the listed proxy wins at once, and that thread hears
// the indication and uses the transport; with a proxy that never answers,
// the direct item starts a second later and wins.
TEST_F(ConnectorProxyTest, DetectionThroughTheProxyOrDirect) {
    NEED_PEER(Port("SQUID_NOAUTH"));
    UseProxy(Port("SQUID_NOAUTH"));
    rttest::LogWatch log;
    {
        rttest::TaskThread user;
        Detect(user.Get(), {CTYPE_PROXY, CTYPE_TCP}, Origin());
        EXPECT_EQ(RT_OK, m_Receiver.m_nReason.load());
        EXPECT_EQ(user->GetThreadId(), m_Receiver.m_nThread.load());
        rttest::WaitUntil([&] { return m_Receiver.m_bClosed.load(); }, 10000);
        std::string data;
        uint16_t peer = 0;
        RunOn(user.Get(), [&] {
            data = m_Receiver.m_strData;
            peer = m_Receiver.m_addrPeer.GetPort();
            if (m_Receiver.m_Transport)
                m_Receiver.m_Transport->Disconnect(RT_OK);
            m_Receiver.m_Transport = nullptr;
            m_pDetection->CancelConnect(RT_OK);
            m_pDetection = nullptr;
            return RT_OK;
        });
        EXPECT_EQ("HTTP/1.1 200 OK", data.substr(0, data.find("\r\n")));
        EXPECT_EQ(Port("ORIGIN_HTTP"), peer);
        rttest::DrainThreads(user.Get(), m_pThread);
    }
    EXPECT_TRUE(log.Has("CRtDetectionConnector::OnConnectIndication, winner type=32768"));
    Reset();

    rttest::ScriptedPeer silent(rttest::ScriptedPeer::Framing::kRaw, {});
    UseProxy(silent.Port());
    auto start = std::chrono::steady_clock::now();
    Detect(m_pThread, {CTYPE_PROXY, CTYPE_TCP}, Origin());
    ASSERT_EQ(RT_OK, m_Receiver.m_nReason.load());
    EXPECT_EQ("HTTP/1.1 200 OK", StatusLine());
    // Loosely: the direct item waited for the timer, and not for long.
    double waited = std::chrono::duration<double>(m_Receiver.m_tEnd - start).count();
    EXPECT_GE(waited, 0.8);
    EXPECT_LT(waited, 5.0);
    EXPECT_TRUE(log.Has("CRtDetectionConnector::OnConnectIndication, winner type=1"));
}

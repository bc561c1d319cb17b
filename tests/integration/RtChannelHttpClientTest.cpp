// The HTTP client channel against real servers from the peer rig (apache
// directly; squid and tinyproxy as proxies; Basic, Digest and NTLM
// challenges) and against a scripted server on a plain socket for the
// bytes on the wire and the framing real servers do not show on demand.
// Channels live on the default network thread, as the framework's own
// users of them do.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "RtChannelHttpClient.h"
#include "RtChannelManager.h"
#include "RtHttpProxyManager.h"
#include "RtLoopback.h"
#include "RtOs.h"
#include "RtPeerRig.h"
#include "RtScriptedPeer.h"
#include "RtTestEvents.h"
#include "RtTestSupport.h"
#include "RtThreadManager.h"

using rttest::Port;
using rttest::RunOn;
using rttest::Setting;

namespace {

const char kOpenBody[] = "rtpeers open ok\n";

// What one channel told its sink, in order. Written on the channel's
// thread; read by the test after RunOn, which orders the two.
struct Heard {
    std::vector<RtResult> connects;
    std::vector<std::string> bodies;
    std::vector<int32_t> statuses;
    std::vector<uint16_t> localPorts;  // of the connection each response came on
    uint16_t connectPort = 0;
    RtResult disconnect = -1;
};

// Opens a channel, sends the queued requests one after the other (each
// after the previous response) and records what comes back.
class Client : public IRtChannelSink {
public:
    explicit Client(CRtThread* aThread) : m_pThread(aThread) {}
    ~Client() override { Close(); }

    // aPaths: the request URIs in order (empty: the URL's own).
    // aBodies: what each request carries (none: nothing).
    void Open(const std::string& aUrl, std::vector<std::string> aPaths = {""}, CRtHttpProxyInfo* aProxy = nullptr,
              const char* aMethod = nullptr, uint32_t aFlag = 0, std::vector<std::string> aBodies = {},
              int32_t aBodyLimit = -1, bool aNoBodyOption = false) {
        m_Paths = std::move(aPaths);
        m_Bodies = std::move(aBodies);
        RunOn(m_pThread, [&] {
            CRtHttpUrl* url = nullptr;
            EXPECT_EQ(RT_OK, CRtChannelManager::Instance()->CreateUrl(url, aUrl));
            IRtChannelHttpClient* channel = nullptr;
            RtResult rv = aProxy ? CRtChannelManager::Instance()->CreateChannelHttpClientWithProxy(channel, url, aProxy)
                                 : CRtChannelManager::Instance()->CreateChannelHttpClient(channel, url, aFlag);
            url->ReleaseReference();
            EXPECT_EQ(RT_OK, rv);
            m_pChannel = channel;
            channel->ReleaseReference();
            if (aMethod) {
                EXPECT_EQ(RT_OK, m_pChannel->SetRequestMethod(aMethod));
            }
            if (aNoBodyOption) {
                EXPECT_EQ(RT_OK, m_pChannel->SetOption(RT_OPT_CHANNEL_HTTP_NO_BODY, &aNoBodyOption));
            }
            if (aBodyLimit >= 0) {
                EXPECT_EQ(RT_OK, m_pChannel->SetOption(RT_OPT_CHANNEL_HTTP_MAX_CONTENT_LENGTH, &aBodyLimit));
            }
            m_nOpenResult = m_pChannel->AsyncOpen(this);
            return m_nOpenResult;
        });
    }
    bool WaitResponses(size_t aCount, int aMs = 15000) {
        return rttest::WaitUntil([&] { return m_nEvents.load() >= aCount || m_bEnded.load(); }, aMs) &&
               m_nEvents.load() >= aCount;
    }
    bool WaitEnded(int aMs = 15000) {
        return rttest::WaitUntil([&] { return m_bEnded.load(); }, aMs);
    }
    Heard Snapshot() {
        Heard copy;
        RunOn(m_pThread, [&] {
            copy = m_Heard;
            return RT_OK;
        });
        return copy;
    }
    // One more request on the channel, after the queued ones were answered.
    void SendMore(const std::string& aPath) {
        RunOn(m_pThread, [&] {
            m_Paths.push_back(aPath);
            SendNext();
            return RT_OK;
        });
    }
    void Close() {
        RunOn(m_pThread, [&] {
            if (m_pChannel)
                m_pChannel->Disconnect(RT_OK);
            m_pChannel = nullptr;
            return RT_OK;
        });
    }
    CRtChannelHttpClient* Channel() { return static_cast<CRtChannelHttpClient*>(m_pChannel.Get()); }
    RtResult m_nOpenResult = -1;  // AsyncOpen's

    void OnConnect(RtResult aReason, IRtChannel*) override {
        m_Heard.connects.push_back(aReason);
        if (RT_FAILED(aReason)) {
            m_bEnded = true;
            return;
        }
        m_Heard.connectPort = LocalPort();
        SendNext();
    }
    void OnReceive(CRtMessageBlock& aData, IRtTransport*) override {
        m_Heard.bodies.push_back(aData.FlattenChained());
        int32_t status = -1;
        m_pChannel->GetResponseStatus(status);
        m_Heard.statuses.push_back(status);
        m_Heard.localPorts.push_back(LocalPort());
        ++m_nEvents;
        SendNext();
    }
    void OnSend(IRtTransport*) override {}
    void OnDisconnect(RtResult aReason, IRtTransport*) override {
        m_Heard.disconnect = aReason;
        m_bEnded = true;
    }

private:
    uint16_t LocalPort() {
        CRtInetAddr local;
        return m_pChannel->GetOption(RT_OPT_TRANSPORT_LOCAL_ADDR, &local) == RT_OK ? local.GetPort() : 0;
    }
    void SendNext() {
        if (m_nNext >= m_Paths.size())
            return;
        const std::string body = m_nNext < m_Bodies.size() ? m_Bodies[m_nNext] : std::string();
        const std::string& path = m_Paths[m_nNext++];
        if (!path.empty()) {
            m_pChannel->SetPath(path);
        }
        CRtMessageBlock data(static_cast<unsigned long>(body.size()), body.data(), CRtMessageBlock::DONT_DELETE,
                             static_cast<unsigned long>(body.size()));
        EXPECT_EQ(RT_OK, m_pChannel->SendData(data));
    }

    CRtThread* m_pThread;
    CRtAutoPtr<IRtChannelHttpClient> m_pChannel;
    std::vector<std::string> m_Paths;
    std::vector<std::string> m_Bodies;
    size_t m_nNext = 0;
    Heard m_Heard;
    std::atomic<size_t> m_nEvents{0};
    std::atomic<bool> m_bEnded{false};
};

class ChannelHttpClientTest : public ::testing::Test {
protected:
    void SetUp() override { m_pThread = CRtThreadManager::Instance()->GetDefaultNetworkThread(); }
    void TearDown() override {
        // Settings a test left in the manager would answer the next test's
        // challenges.
        CRtHttpProxyManager::Instance()->ClearCacheProxy();
        rttest::DrainThreads(m_pThread, m_pThread);
    }
    std::string Origin(const char* aPath, const char* aPort = "ORIGIN_HTTP") {
        return "http://127.0.0.1:" + std::to_string(Port(aPort)) + aPath;
    }
    // The settings that answer the server at aPort (made for its host and
    // port, as the channel asks for them).
    void ServerCredentials(uint16_t aPort, const std::string& aUser, const std::string& aPass) {
        CRtHttpProxyInfo* info = nullptr;
        ASSERT_TRUE(CRtHttpProxyManager::Instance()->CreateProxyInfo("127.0.0.1:" + std::to_string(aPort),
                                                                     CRtHttpProxyInfo::HTTP_PROXY, info));
        info->SetUserName(aUser);
        info->SetPasswd(aPass);
        info->ReleaseReference();
    }
    CRtAutoPtr<CRtHttpProxyInfo> Proxy(const char* aPort, const std::string& aUser = "",
                                       const std::string& aPass = "") {
        CRtAutoPtr<CRtHttpProxyInfo> info(new CRtHttpProxyInfo);
        EXPECT_EQ(RT_OK, info->Init(CRtString("127.0.0.1"), Port(aPort), CRtHttpProxyInfo::HTTP_PROXY));
        info->SetUserName(aUser);
        info->SetPasswd(aPass);
        return info;
    }

    CRtThread* m_pThread = nullptr;
};

// A server that answers the first request with aPieces, then keeps the
// connection (aKeepOpen) or closes it.
std::unique_ptr<rttest::ScriptedPeer> Serve(std::vector<std::string> aPieces, bool aKeepOpen = false) {
    rttest::ScriptedPeer::Reply reply{std::move(aPieces), !aKeepOpen};
    return std::unique_ptr<rttest::ScriptedPeer>(
        new rttest::ScriptedPeer(rttest::ScriptedPeer::Framing::kHttp, {reply}));
}
std::string FirstRequest(rttest::ScriptedPeer& aPeer) {
    auto requests = aPeer.WaitRequests(1);
    return requests.empty() ? std::string() : requests[0].bytes;
}

}  // namespace

// ---- On the wire (no peers needed) -------------------------------------------------------------

// The first request's exact bytes; a 404 is delivered like a 200.
TEST_F(ChannelHttpClientTest, FirstRequestBytesAndA404) {
    auto server = Serve({"HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n\r\nnop"}, true);
    rttest::LogWatch log;
    Client client(m_pThread);
    client.Open("http://127.0.0.1:" + std::to_string(server->Port()) + "/a/b?x=1#frag");
    ASSERT_TRUE(client.WaitResponses(1));
    EXPECT_EQ("GET /a/b?x=1 HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server->Port()) +
                  "\r\nAccept: */*\r\nUser-Agent: zorvane httpclient\r\nConnection: keep-alive\r\n\r\n",
              FirstRequest(*server));
    Heard heard = client.Snapshot();
    EXPECT_EQ(std::vector<std::string>{"nop"}, heard.bodies);
    EXPECT_EQ(std::vector<int32_t>{404}, heard.statuses);
    EXPECT_TRUE(log.Has("CRtChannelHttpClient::ParserHttpProtocol_t status=404 text=Not Found"));
}

// A 1xx answer is taken as the final one (no body); a 503 leaves no rounds
// for a later challenge.
TEST_F(ChannelHttpClientTest, InformationalAnswersAndA503) {
    {
        auto server = Serve({"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"}, true);
        Client client(m_pThread);
        client.Open("http://127.0.0.1:" + std::to_string(server->Port()) + "/");
        ASSERT_TRUE(client.WaitResponses(2));
        Heard heard = client.Snapshot();
        EXPECT_EQ((std::vector<int32_t>{100, 200}), heard.statuses);
        EXPECT_EQ((std::vector<std::string>{"", "ok"}), heard.bodies);
    }
    auto server =
        Serve({"HTTP/1.1 503 Busy\r\nContent-Length: 0\r\n\r\n",
               "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"x\"\r\nContent-Length: 0\r\n\r\n"},
              true);
    ServerCredentials(server->Port(), "alice", "pw");
    rttest::LogWatch log;
    Client client(m_pThread);
    client.Open("http://127.0.0.1:" + std::to_string(server->Port()) + "/");
    ASSERT_TRUE(client.WaitEnded());
    Heard heard = client.Snapshot();
    EXPECT_EQ(std::vector<int32_t>{503}, heard.statuses);
    EXPECT_EQ(RT_ERROR_FAILURE, heard.disconnect);
    EXPECT_TRUE(log.Has("CRtChannelHttpClient::ProcessAuthorization, exceed auth times."));
}

// Through a proxy the request line names the whole URL (without its
// fragment) and the connection header is the proxy's.
TEST_F(ChannelHttpClientTest, ThroughAProxyTheRequestNamesTheUrl) {
    auto proxy = Serve({"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"}, true);
    CRtAutoPtr<CRtHttpProxyInfo> info(new CRtHttpProxyInfo);
    ASSERT_EQ(RT_OK, info->Init(CRtString("127.0.0.1"), proxy->Port(), CRtHttpProxyInfo::HTTP_PROXY));
    Client client(m_pThread);
    client.Open("http://origin.invalid:81/p?q#f", {""}, info.Get(), "GET");
    ASSERT_TRUE(client.WaitResponses(1));
    EXPECT_EQ(
        "GET http://origin.invalid:81/p?q HTTP/1.1\r\nHost: origin.invalid:81\r\nAccept: */*\r\nUser-Agent: "
        "zorvane httpclient\r\nProxy-Connection: keep-alive\r\n\r\n",
        FirstRequest(*proxy));
    EXPECT_EQ(std::vector<std::string>{"ok"}, client.Snapshot().bodies);
}

// A body without a length runs to the close, however it is cut.
TEST_F(ChannelHttpClientTest, CloseDelimitedBodyInPieces) {
    const std::string part(10 * 1024, 'x');
    auto server = Serve({"HTTP/1.0 200 OK\r\n\r\n", part, part, part});
    Client client(m_pThread);
    client.Open("http://127.0.0.1:" + std::to_string(server->Port()) + "/");
    ASSERT_TRUE(client.WaitEnded());
    Heard heard = client.Snapshot();
    ASSERT_EQ(1u, heard.bodies.size());
    EXPECT_EQ(part + part + part, heard.bodies[0]);
    EXPECT_NE(-1, heard.disconnect);
}

// The answer to CONNECT has no body; bytes behind it belong to the tunnel.
TEST_F(ChannelHttpClientTest, ConnectAnswerKeepsTheTunnelsBytes) {
    auto proxy = Serve({"HTTP/1.1 200 Connection established\r\n\r\nBANNER"}, true);
    CRtAutoPtr<CRtHttpProxyInfo> info(new CRtHttpProxyInfo);
    ASSERT_EQ(RT_OK, info->Init(CRtString("127.0.0.1"), proxy->Port(), CRtHttpProxyInfo::HTTP_PROXY));
    Client client(m_pThread);
    client.Open("http://127.0.0.1:18080/", {""}, info.Get(), "Connect");
    ASSERT_TRUE(client.WaitResponses(1));
    EXPECT_EQ(0u, FirstRequest(*proxy).find("CONNECT 127.0.0.1:18080 HTTP/1.1\r\n"));
    Heard heard = client.Snapshot();
    EXPECT_EQ(std::vector<std::string>{""}, heard.bodies);
    std::string unread;
    RunOn(m_pThread, [&] {
        unread = client.Channel()->TakeUnreadData();
        return RT_OK;
    });
    EXPECT_EQ("BANNER", unread);
}

// The browser-proxy channel goes direct first, then through the proxy the
// manager lists; with none listed the sink hears one failure.
TEST_F(ChannelHttpClientTest, BrowserProxyChannelFallsBackToTheListedProxy) {
    rtos::SocketHandle probe = rtos::SocketOpen(rtos::kAfInet, rtos::SocketType::kStream);
    rtos::SocketBind(probe, rttest::Loopback(0));
    rtos::SocketAddress bound;
    rtos::SocketLocalAddress(probe, &bound);
    rtos::SocketClose(probe);  // nothing listens there now
    const std::string url = "http://127.0.0.1:" + std::to_string(bound.port) + "/x";
    {
        Client client(m_pThread);
        client.Open(url, {""}, nullptr, nullptr, CRtChannelManager::CFLAG_WITH_BROWER_PROXY);
        ASSERT_TRUE(client.WaitEnded());
        RunOn(m_pThread, [] { return RT_OK; });
        EXPECT_EQ(std::vector<RtResult>{RT_ERROR_FAILURE}, client.Snapshot().connects);
    }
    auto proxy = Serve({"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"}, true);
    CRtHttpProxyInfo* info = nullptr;
    ASSERT_TRUE(CRtHttpProxyManager::Instance()->CreateProxyInfo("127.0.0.1:" + std::to_string(proxy->Port()),
                                                                 CRtHttpProxyInfo::HTTP_PROXY, info));
    info->ReleaseReference();
    Client client(m_pThread);
    client.Open(url, {""}, nullptr, nullptr, CRtChannelManager::CFLAG_WITH_BROWER_PROXY);
    ASSERT_TRUE(client.WaitResponses(1));
    EXPECT_EQ(0u, FirstRequest(*proxy).find("GET " + url + " HTTP/1.1\r\n"));
    Heard heard = client.Snapshot();
    EXPECT_EQ(std::vector<RtResult>{RT_OK}, heard.connects);
    EXPECT_EQ(std::vector<std::string>{"ok"}, heard.bodies);
}

TEST_F(ChannelHttpClientTest, RefusedOperationsAndAFailedConnect) {
    rtos::SocketHandle probe = rtos::SocketOpen(rtos::kAfInet, rtos::SocketType::kStream);
    rtos::SocketBind(probe, rttest::Loopback(0));
    rtos::SocketAddress bound;
    rtos::SocketLocalAddress(probe, &bound);
    rtos::SocketClose(probe);  // nothing listens there now

    Client client(m_pThread);
    client.Open("http://127.0.0.1:" + std::to_string(bound.port) + "/");
    ASSERT_TRUE(client.WaitEnded());
    Heard heard = client.Snapshot();
    ASSERT_EQ(1u, heard.connects.size());
    EXPECT_NE(RT_OK, heard.connects[0]);
    RunOn(m_pThread, [&] {
        EXPECT_EQ(RT_ERROR_UNEXPECTED, client.Channel()->OpenWithSink(&client));
        EXPECT_EQ(RT_ERROR_NOT_FOUND, client.Channel()->SetRequestMethod("BREW"));
        EXPECT_EQ(RT_OK, client.Channel()->SetRequestMethod("post"));
        CRtString method;
        client.Channel()->GetRequestMethod(method);
        EXPECT_EQ("POST", method);
        int32_t status = 0;
        EXPECT_EQ(RT_ERROR_FAILURE, client.Channel()->GetResponseStatus(status));
        return RT_OK;
    });
}

namespace {

using Reply = rttest::ScriptedPeer::Reply;

std::string Challenge(const char* aExtra = "") {
    return std::string("HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"r\"\r\n") + aExtra +
           "Content-Length: 0\r\n\r\n";
}
std::string Ok(const std::string& aBody) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(aBody.size()) + "\r\n\r\n" + aBody;
}
std::string BodyOf(const std::string& aRequest) { return aRequest.substr(aRequest.find("\r\n\r\n") + 4); }

}  // namespace

// Rounds and the saved body belong to the request in flight: a kept-alive
// channel that met two challenges on its first request still has three
// for the second, which resends its own body, not the first one's.
TEST_F(ChannelHttpClientTest, RoundsAndTheSavedBodyBelongToTheRequest) {
    rttest::ScriptedPeer server(
        {Challenge(), Challenge(), Ok("one"), Challenge(), Challenge(), Challenge(), Ok("two")});
    ServerCredentials(server.Port(), "alice", "pw");
    Client client(m_pThread);
    client.Open(server.Url(), {"", ""}, nullptr, "POST", 0, {"first body", "second body"});
    ASSERT_TRUE(client.WaitResponses(2));
    EXPECT_EQ((std::vector<std::string>{"one", "two"}), client.Snapshot().bodies);
    std::vector<std::string> bodies;
    for (const auto& request : server.Requests()) {
        bodies.push_back(BodyOf(request.bytes));
        EXPECT_EQ(0, request.connection);
    }
    EXPECT_EQ((std::vector<std::string>{"first body", "first body", "first body", "second body", "second body",
                                        "second body", "second body"}),
              bodies);
}

// A challenge on a connection the server ends (Connection: close, or
// HTTP/1.0 without keep-alive) is answered on a new connection; wrong
// credentials get three rounds, then one OnDisconnect with a failure.
TEST_F(ChannelHttpClientTest, ChallengeRoundsAcrossClosesAndTheirEnd) {
    const std::string http10 = "HTTP/1.0 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"r\"\r\n\r\n";
    for (const Reply& challenge : {Reply{{Challenge("Connection: close\r\n")}, true}, Reply{{http10}, true}}) {
        rttest::ScriptedPeer server(rttest::ScriptedPeer::Framing::kHttp, {challenge, Reply{{Ok("in")}}});
        ServerCredentials(server.Port(), "alice", "pw");
        Client client(m_pThread);
        client.Open(server.Url());
        ASSERT_TRUE(client.WaitResponses(1));
        EXPECT_EQ(std::vector<std::string>{"in"}, client.Snapshot().bodies);
        const auto requests = server.Requests();
        ASSERT_EQ(2u, requests.size());
        EXPECT_EQ(1, requests[1].connection);
        EXPECT_NE(std::string::npos, requests[1].bytes.find("\r\nAuthorization: Basic "));
        CRtHttpProxyManager::Instance()->ClearCacheProxy();
    }
    rttest::ScriptedPeer server(std::vector<std::string>(6, Challenge()));
    ServerCredentials(server.Port(), "alice", "wrong");
    Client client(m_pThread);
    client.Open(server.Url());
    ASSERT_TRUE(client.WaitEnded());
    rttest::DrainThreads(m_pThread, m_pThread);
    Heard heard = client.Snapshot();
    EXPECT_TRUE(heard.bodies.empty());
    EXPECT_EQ(RT_ERROR_FAILURE, heard.disconnect);
    EXPECT_EQ(4u, server.WaitRequests(5, 300).size());
}

// A server that ends every NTLM handshake after its first leg: each new
// connection takes a round, so the channel gives up with one failure.
TEST_F(ChannelHttpClientTest, NtlmRestartsTakeRounds) {
    const Reply ntlm{{"HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: NTLM\r\nContent-Length: 0\r\n\r\n"}};
    const Reply hangUp{{}, true};
    rttest::ScriptedPeer server(rttest::ScriptedPeer::Framing::kHttp, {ntlm, hangUp, ntlm, hangUp, ntlm, hangUp});
    ServerCredentials(server.Port(), "alice", "pw");
    Client client(m_pThread);
    client.Open(server.Url());
    ASSERT_TRUE(client.WaitEnded());
    const auto requests = server.Requests();
    if (requests.size() < 2 || requests[1].bytes.find("Authorization: NTLM ") == std::string::npos)
        GTEST_SKIP() << "no NTLM package here to start a handshake with";
    EXPECT_TRUE(client.Snapshot().bodies.empty());
    EXPECT_TRUE(RT_FAILED(client.Snapshot().disconnect));
    EXPECT_EQ(2, server.Connections());
}

// Responses past the bounds end the connection with a failure, whatever
// their framing: an endless head line, endless header lines, a chunk size
// of more digits than any body, a length or chunk over option 314, and a
// 100 MB body up to the close over it (memory stays flat meanwhile).
TEST_F(ChannelHttpClientTest, ResponsesPastTheBoundsFail) {
    const size_t kHuge = 100u * 1024 * 1024;
    const int32_t kLimit = 1024 * 1024;
    struct Case {
        const char* name;
        Reply reply;
    };
    const Case cases[] = {
        {"endless line", Reply{{"HTTP/1.1 200 OK\r\nX-Long: "}, true, kHuge}},
        {"endless head", Reply{{"HTTP/1.1 200 OK\r\n"}, true, kHuge, "X-More: yes\r\n"}},
        {"huge chunk", Reply{{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFF\r\n"}, true, kHuge}},
        {"long length", Reply{{"HTTP/1.1 200 OK\r\nContent-Length: 2097152\r\n\r\n"}, true, 2097152}},
        {"long chunk", Reply{{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n200000\r\n"}, true, 2097152}},
        {"up to the close", Reply{{"HTTP/1.0 200 OK\r\n\r\n"}, true, kHuge}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        rttest::ScriptedPeer server(rttest::ScriptedPeer::Framing::kHttp, {c.reply});
        rtos::ProcessMemory start;
        ASSERT_TRUE(rtos::QueryProcessMemory(&start));
        Client client(m_pThread);
        client.Open(server.Url(), {""}, nullptr, nullptr, 0, {}, kLimit);
        uint64_t peak = start.residentBytes;
        ASSERT_TRUE(rttest::WaitUntil(
            [&] {
            rtos::ProcessMemory now;
            if (rtos::QueryProcessMemory(&now) && now.residentBytes > peak)
                peak = now.residentBytes;
            return client.WaitEnded(0);
            },
            30000));
        Heard heard = client.Snapshot();
        EXPECT_TRUE(heard.bodies.empty());
        EXPECT_TRUE(RT_FAILED(heard.disconnect));
        EXPECT_LT(peak - start.residentBytes, 32u * 1024 * 1024);
    }
}

// ---- Against apache directly -------------------------------------------------------------------

// Two requests on one kept-alive connection; then the framings.
TEST_F(ChannelHttpClientTest, OriginKeepAliveAndFramings) {
    NEED_PEER(Port("ORIGIN_HTTP"));
    {
        Client client(m_pThread);
        client.Open(Origin("/open/"), {"", "/open/"});
        ASSERT_TRUE(client.WaitResponses(2));
        Heard heard = client.Snapshot();
        EXPECT_EQ((std::vector<std::string>{kOpenBody, kOpenBody}), heard.bodies);
        ASSERT_EQ(2u, heard.localPorts.size());
        EXPECT_EQ(heard.connectPort, heard.localPorts[0]);
        EXPECT_EQ(heard.connectPort, heard.localPorts[1]);
    }
    {
        Client client(m_pThread);
        client.Open(Origin("/chunked"));
        ASSERT_TRUE(client.WaitResponses(1));
        EXPECT_EQ(std::vector<std::string>{"chunk 1 of 5\nchunk 2 of 5\nchunk 3 of 5\nchunk 4 of 5\nchunk 5 of 5\n"},
                  client.Snapshot().bodies);
    }
    for (const char* path : {"/close10/", "/close11/"}) {
        SCOPED_TRACE(path);
        Client client(m_pThread);
        client.Open(Origin(path));
        ASSERT_TRUE(client.WaitEnded());
        Heard heard = client.Snapshot();
        EXPECT_EQ(std::vector<std::string>{"close-delimited line 1\nclose-delimited line 2\nclose-delimited line 3\n"},
                  heard.bodies);
        EXPECT_EQ(std::vector<int32_t>{200}, heard.statuses);
    }
}

// 204 and 304 end at their head: the next request on the connection is
// answered; a 404 is delivered with its body.
TEST_F(ChannelHttpClientTest, OriginBodilessStatusesAndA404) {
    NEED_PEER(Port("ORIGIN_HTTP"));
    Client client(m_pThread);
    client.Open(Origin("/status/204"), {"", "/status/304", "/nothing-here", "/open/"});
    ASSERT_TRUE(client.WaitResponses(4));
    Heard heard = client.Snapshot();
    EXPECT_EQ((std::vector<int32_t>{204, 304, 404, 200}), heard.statuses);
    EXPECT_EQ("", heard.bodies[0]);
    EXPECT_EQ("", heard.bodies[1]);
    EXPECT_NE(std::string::npos, heard.bodies[2].find("Not Found"));
    EXPECT_EQ(kOpenBody, heard.bodies[3]);
    EXPECT_EQ(std::vector<uint16_t>(4, heard.connectPort), heard.localPorts);
}

// HEAD (also with option 312) has no body, on one connection; the rest:
// a 1 MiB file byte for byte, the echo of what the channel sent, and a 301
// delivered, not followed.
TEST_F(ChannelHttpClientTest, OriginHeadBigFileEchoAndRedirect) {
    NEED_PEER(Port("ORIGIN_HTTP"));
    for (bool option : {false, true}) {
        Client client(m_pThread);
        client.Open(Origin("/open/"), {"", ""}, nullptr, "HEAD", 0, {}, -1, option);
        ASSERT_TRUE(client.WaitResponses(2));
        Heard heard = client.Snapshot();
        EXPECT_EQ((std::vector<std::string>{"", ""}), heard.bodies);
        EXPECT_EQ((std::vector<int32_t>{200, 200}), heard.statuses);
        EXPECT_EQ(std::vector<uint16_t>(2, heard.connectPort), heard.localPorts);
    }
    const char* dir = std::getenv("RTPEERS_DIR");
    std::ifstream file(std::string(dir && *dir ? dir : "/tmp/rtpeers") + "/www/open/big.bin", std::ios::binary);
    const std::string big((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_EQ(1048576u, big.size()) << "the file the rig serves";
    struct Case {
        const char* path;
        int32_t status;
        std::string part;  // of the body
    };
    for (const Case& c :
         {Case{"/open/big.bin", 200, big}, Case{"/echo", 200, "zorvane httpclient"}, Case{"/open", 301, "/open/"}}) {
        SCOPED_TRACE(c.path);
        Client client(m_pThread);
        client.Open(Origin(c.path));
        ASSERT_TRUE(client.WaitResponses(1));
        rttest::DrainThreads(m_pThread, m_pThread);
        Heard heard = client.Snapshot();
        ASSERT_EQ(std::vector<int32_t>{c.status}, heard.statuses);
        EXPECT_NE(std::string::npos, heard.bodies[0].find(c.part));
        if (c.part == big) {
            EXPECT_EQ(big, heard.bodies[0]);
        }
    }
}

// 401 rounds with the credentials of the server's settings; wrong ones are
// tried for the rounds there are, then the channel gives up and the
// settings forget them.
TEST_F(ChannelHttpClientTest, OriginBasicDigestAndAWrongPassword) {
    NEED_PEER(Port("ORIGIN_HTTP"));
    struct Case {
        const char* path;
        std::string pass;
        const char* body;  // null: refused
    };
    for (const Case& c :
         {Case{"/basic/", Setting("PEER_PASS"), "rtpeers basic ok\n"},
          Case{"/digest/", Setting("PEER_PASS"), "rtpeers digest ok\n"}, Case{"/basic/", "bad", nullptr}}) {
        SCOPED_TRACE(std::string(c.path) + " " + c.pass);
        ServerCredentials(Port("ORIGIN_HTTP"), Setting("PEER_USER"), c.pass);
        rttest::LogWatch log;
        Client client(m_pThread);
        client.Open(Origin(c.path));
        if (c.body) {
            ASSERT_TRUE(client.WaitResponses(1));
            EXPECT_EQ(std::vector<std::string>{c.body}, client.Snapshot().bodies);
            continue;
        }
        ASSERT_TRUE(client.WaitEnded());
        Heard heard = client.Snapshot();
        EXPECT_TRUE(heard.bodies.empty());
        EXPECT_EQ(RT_ERROR_FAILURE, heard.disconnect);
        EXPECT_TRUE(log.Has("CRtChannelHttpClient::ProcessAuthorization, exceed auth times."));
        CRtHttpProxyInfo* info = nullptr;
        ASSERT_TRUE(CRtHttpProxyManager::Instance()->CreateProxyInfo("127.0.0.1:" + std::to_string(Port("ORIGIN_HTTP")),
                                                                     CRtHttpProxyInfo::HTTP_PROXY, info));
        EXPECT_EQ("", info->GetUserName());
        info->ReleaseReference();
    }
}

// Without listed settings the credentials getter gives them; the server's
// settings do not join the proxy manager's list of proxies.
TEST_F(ChannelHttpClientTest, OriginCredentialsFromTheGetter) {
    NEED_PEER(Port("ORIGIN_HTTP"));
    struct Getter : public IRtHttpAuthInfoGetter {
        GETTER_RESULT GetAuthInfo(IRtChannelHttpClient*, CRtHttpProxyInfo* aProxy) override {
            ++asked;
            aProxy->SetUserName(Setting("PEER_USER"));
            aProxy->SetPasswd(Setting("PEER_PASS"));
            return GETTER_GO_AHEAD;
        }
        std::atomic<int> asked{0};
    } getter;
    CRtHttpProxyManager::Instance()->SetHttpAuthInfoGetter(&getter);
    Client client(m_pThread);
    client.Open(Origin("/digest/"));
    bool answered = client.WaitResponses(1);
    CRtHttpProxyManager::Instance()->SetHttpAuthInfoGetter(nullptr);
    ASSERT_TRUE(answered);
    EXPECT_EQ(std::vector<std::string>{"rtpeers digest ok\n"}, client.Snapshot().bodies);
    EXPECT_EQ(1, getter.asked.load());
    EXPECT_EQ(0u, CRtHttpProxyManager::Instance()->GetProxyCountForTest());
}

// NTLM answered by squid in front of the origin: both legs on the
// connection the channel opened.
TEST_F(ChannelHttpClientTest, OriginNtlmOnOneConnection) {
    NEED_PEER(Port("SQUID_NTLM_WWW"));
    ServerCredentials(Port("SQUID_NTLM_WWW"), Setting("PEER_USER"), Setting("PEER_PASS"));
    Client client(m_pThread);
    client.Open(Origin("/open/", "SQUID_NTLM_WWW"));
    ASSERT_TRUE(client.WaitResponses(1));
    Heard heard = client.Snapshot();
    EXPECT_EQ(std::vector<int32_t>{200}, heard.statuses);
    EXPECT_EQ(std::vector<std::string>{kOpenBody}, heard.bodies);
    EXPECT_EQ(std::vector<uint16_t>{heard.connectPort}, heard.localPorts);
}

// ---- Through HTTP proxies ----------------------------------------------------------------------

TEST_F(ChannelHttpClientTest, AbsoluteUriThroughSquidAndTinyproxy) {
    NEED_PEER(Port("TINY_NOAUTH"));
    {
        // Through a proxy a path of one's own names the whole URL.
        Client client(m_pThread);
        client.Open(Origin("/open/"), {"", Origin("/open/")}, Proxy("SQUID_NOAUTH").Get());
        ASSERT_TRUE(client.WaitResponses(2));
        EXPECT_EQ((std::vector<std::string>{kOpenBody, kOpenBody}), client.Snapshot().bodies);
    }
    // tinyproxy ends every client connection after one response.
    Client client(m_pThread);
    client.Open(Origin("/open/"), {""}, Proxy("TINY_NOAUTH").Get());
    ASSERT_TRUE(client.WaitResponses(1));
    EXPECT_EQ(std::vector<std::string>{kOpenBody}, client.Snapshot().bodies);
}

// 407 rounds: Basic, Digest and NTLM at squid, and Basic at tinyproxy,
// which closes the connection after its 407 (the channel connects again).
TEST_F(ChannelHttpClientTest, ProxyAuthentication) {
    NEED_PEER(Port("SQUID_NTLM"));
    const std::string user = Setting("PEER_USER"), pass = Setting("PEER_PASS");
    for (const char* proxy : {"SQUID_BASIC", "SQUID_DIGEST", "SQUID_NTLM", "SQUID_MULTI", "TINY_BASIC"}) {
        SCOPED_TRACE(proxy);
        Client client(m_pThread);
        client.Open(Origin("/open/"), {""}, Proxy(proxy, user, pass).Get());
        ASSERT_TRUE(client.WaitResponses(1));
        Heard heard = client.Snapshot();
        EXPECT_EQ(std::vector<int32_t>{200}, heard.statuses);
        EXPECT_EQ(std::vector<std::string>{kOpenBody}, heard.bodies);
    }
    {
        // A challenge with a garbage offset (ntlm_fake_auth): answered, or
        // refused cleanly, once.
        Client client(m_pThread);
        client.Open(Origin("/open/"), {""}, Proxy("SQUID_NTLM_FAKE", user, pass).Get());
        ASSERT_TRUE(rttest::WaitUntil([&] { return client.WaitResponses(1, 0) || client.WaitEnded(0); }, 15000));
        Heard heard = client.Snapshot();
        if (heard.bodies.empty()) {
            EXPECT_EQ(RT_ERROR_NETWORK_PROXY_AUTH_REQUIRED, heard.disconnect);
        } else {
            EXPECT_EQ(std::vector<std::string>{kOpenBody}, heard.bodies);
        }
    }
    {
        // The origin's 401 answered through the proxy's 407 rounds.
        ServerCredentials(Port("ORIGIN_HTTP"), user, pass);
        Client client(m_pThread);
        client.Open(Origin("/basic/"), {""}, Proxy("SQUID_BASIC", user, pass).Get());
        ASSERT_TRUE(client.WaitResponses(1));
        EXPECT_EQ(std::vector<std::string>{"rtpeers basic ok\n"}, client.Snapshot().bodies);
    }
    // Every wrong password fails once, promptly.
    for (const char* proxy : {"SQUID_BASIC", "SQUID_DIGEST", "SQUID_NTLM", "TINY_BASIC"}) {
        SCOPED_TRACE(proxy);
        Client refused(m_pThread);
        refused.Open(Origin("/open/"), {""}, Proxy(proxy, user, "bad").Get());
        ASSERT_TRUE(refused.WaitEnded(5000));
        Heard heard = refused.Snapshot();
        EXPECT_TRUE(heard.bodies.empty());
        EXPECT_TRUE(RT_FAILED(heard.disconnect));
    }
}

// Apache's nonces on /digest-stale/ live two seconds: four requests on one
// channel, each after the last nonce expired, each answered (a stale nonce
// takes a round of its own request, not of the channel's).
TEST_F(ChannelHttpClientTest, DigestStaleNoncesOnOneChannel) {
    NEED_PEER(Port("ORIGIN_HTTP"));
    ServerCredentials(Port("ORIGIN_HTTP"), Setting("PEER_USER"), Setting("PEER_PASS"));
    Client client(m_pThread);
    client.Open(Origin("/digest-stale/"));
    ASSERT_TRUE(client.WaitResponses(1));
    for (size_t i = 2; i <= 4; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        client.SendMore("/digest-stale/");
        ASSERT_TRUE(client.WaitResponses(i));
    }
    Heard heard = client.Snapshot();
    EXPECT_EQ(std::vector<int32_t>(4, 200), heard.statuses);
    EXPECT_EQ(std::vector<uint16_t>(4, heard.connectPort), heard.localPorts);
}

// https needs a connector the framework does not have (types 4 and 12):
// AsyncOpen refuses, directly and the browser-proxy way, and the sink
// hears nothing.
TEST_F(ChannelHttpClientTest, HttpsIsRefusedCleanly) {
    for (uint32_t flag : {0u, static_cast<uint32_t>(CRtChannelManager::CFLAG_WITH_BROWER_PROXY)}) {
        SCOPED_TRACE(flag);
        Client client(m_pThread);
        client.Open("https://127.0.0.1:18443/open/", {""}, nullptr, nullptr, flag);
        EXPECT_TRUE(RT_FAILED(client.m_nOpenResult));
        EXPECT_FALSE(client.WaitEnded(300));
        EXPECT_TRUE(client.Snapshot().connects.empty());
    }
}

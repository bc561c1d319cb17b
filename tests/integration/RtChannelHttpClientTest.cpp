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
    static CRtAutoPtr<CRtHttpProxyInfo> Proxy(uint16_t aPort, const std::string& aUser = "",
                                              const std::string& aPass = "") {
        CRtAutoPtr<CRtHttpProxyInfo> info(new CRtHttpProxyInfo);
        EXPECT_EQ(RT_OK, info->Init(CRtString("127.0.0.1"), aPort, CRtHttpProxyInfo::HTTP_PROXY));
        info->SetUserName(aUser);
        info->SetPasswd(aPass);
        return info;
    }

    CRtThread* m_pThread = nullptr;
};

using Reply = rttest::ScriptedPeer::Reply;

std::string Challenge(const char* aExtra = "") {
    return std::string("HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"r\"\r\n") + aExtra +
           "Content-Length: 0\r\n\r\n";
}
std::string Ok(const std::string& aBody) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(aBody.size()) + "\r\n\r\n" + aBody;
}
std::string BodyOf(const std::string& aRequest) { return aRequest.substr(aRequest.find("\r\n\r\n") + 4); }

// An expected body: exact, or with a leading '*' a part of it.
void ExpectBodies(const std::vector<std::string>& aExpected, const std::vector<std::string>& aGot) {
    ASSERT_EQ(aExpected.size(), aGot.size());
    for (size_t i = 0; i < aGot.size(); ++i) {
        if (!aExpected[i].empty() && aExpected[i][0] == '*')
            EXPECT_NE(std::string::npos, aGot[i].find(aExpected[i].substr(1))) << i;
        else
            EXPECT_EQ(aExpected[i], aGot[i]) << i;
    }
}

}  // namespace

// ---- On the wire (no peers needed) -------------------------------------------------------------

// One scripted answer each: the request's bytes (the URL's fragment never
// sent; through a proxy the request line names the whole URL and the
// connection header is the proxy's), and what the sink hears: a 404 like a
// 200, a 1xx as a final answer without body, a body without length up to
// the close however it is cut, a CONNECT answer without body whose trailing
// bytes stay for the tunnel.
TEST_F(ChannelHttpClientTest, RequestBytesAndAnswerFramings) {
    const std::string part(10 * 1024, 'x');
    const std::string ua = "Accept: */*\r\nUser-Agent: zorvane httpclient\r\n";
    struct Case {
        const char* name;
        std::vector<std::string> pieces;
        bool close;
        std::string url;  // "": the server's, with "/a/b?x=1#frag"
        bool viaProxy;
        const char* method;
        std::string request;  // its start; "$" stands for the server's port
        std::vector<int32_t> statuses;
        std::vector<std::string> bodies;
        std::string unread;
    };
    const std::string get = "GET /a/b?x=1 HTTP/1.1\r\nHost: 127.0.0.1:$\r\n" + ua + "Connection: keep-alive\r\n\r\n";
    const std::string viaProxy = "GET http://origin.invalid:81/p?q HTTP/1.1\r\nHost: origin.invalid:81\r\n" + ua +
                                 "Proxy-Connection: keep-alive\r\n\r\n";
    const std::string notFound = "HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n\r\nnop";
    const std::string continued = "HTTP/1.1 100 Continue\r\n\r\n" + Ok("ok");
    const std::string established = "HTTP/1.1 200 Connection established\r\n\r\nBANNER";
    const std::string whole = part + part + part, connect = "CONNECT 127.0.0.1:18080 HTTP/1.1\r\n";
    const std::vector<std::string> cut = {"HTTP/1.0 200 OK\r\n\r\n", part, part, part};
    const Case cases[] = {
        {"404", {notFound}, false, "", false, nullptr, get, {404}, {"nop"}, ""},
        {"1xx", {continued}, false, "", false, nullptr, "GET ", {100, 200}, {"", "ok"}, ""},
        {"via proxy", {Ok("ok")}, false, "http://origin.invalid:81/p?q#f", true, "GET", viaProxy, {200}, {"ok"}, ""},
        {"to the close", cut, true, "", false, nullptr, "GET ", {200}, {whole}, ""},
        {"CONNECT", {established}, false, "http://127.0.0.1:18080/", true, "Connect", connect, {200}, {""}, "BANNER"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        rttest::ScriptedPeer server(rttest::ScriptedPeer::Framing::kHttp, {Reply{c.pieces, c.close}});
        rttest::LogWatch log;
        Client client(m_pThread);
        client.Open(c.url.empty() ? server.Url("/a/b?x=1#frag") : c.url, {""},
                    c.viaProxy ? Proxy(server.Port()).Get() : nullptr, c.method);
        ASSERT_TRUE(c.close ? client.WaitEnded() : client.WaitResponses(c.statuses.size()));
        std::string request = c.request;
        if (request.find('$') != std::string::npos)
            request.replace(request.find('$'), 1, std::to_string(server.Port()));
        const auto requests = server.WaitRequests(1);
        ASSERT_EQ(1u, requests.size());
        EXPECT_EQ(request, requests[0].bytes.substr(0, request.size()));
        Heard heard = client.Snapshot();
        EXPECT_EQ(c.statuses, heard.statuses);
        EXPECT_EQ(c.bodies, heard.bodies);
        EXPECT_EQ(c.close, heard.disconnect != -1);
        std::string unread;
        RunOn(m_pThread, [&] {
            unread = client.Channel()->TakeUnreadData();
            return RT_OK;
        });
        EXPECT_EQ(c.unread, unread);
        if (c.statuses[0] == 404) {
            EXPECT_TRUE(log.Has("CRtChannelHttpClient::ParserHttpProtocol_t status=404 text=Not Found"));
        }
    }
}

// Refusals: https needs a connector the framework does not have (AsyncOpen
// refuses, directly and the browser-proxy way, and the sink hears nothing);
// a failed connect is told once and leaves a channel that refuses a second
// open, an unknown method and a status it never got. The browser-proxy
// channel then goes direct first and through the proxy the manager lists.
TEST_F(ChannelHttpClientTest, RefusalsAndTheBrowserProxyFallback) {
    const std::string url = "http://127.0.0.1:" + std::to_string(rttest::FreeLoopbackPort()) + "/x";
    for (uint32_t flag : {0u, static_cast<uint32_t>(CRtChannelManager::CFLAG_WITH_BROWER_PROXY)}) {
        SCOPED_TRACE(flag);
        Client https(m_pThread);
        https.Open("https://127.0.0.1:18443/open/", {""}, nullptr, nullptr, flag);
        EXPECT_TRUE(RT_FAILED(https.m_nOpenResult));
        EXPECT_FALSE(https.WaitEnded(300));
        EXPECT_TRUE(https.Snapshot().connects.empty());
        Client client(m_pThread);
        client.Open(url, {""}, nullptr, nullptr, flag);
        ASSERT_TRUE(client.WaitEnded());
        rttest::DrainThreads(m_pThread, m_pThread);
        Heard heard = client.Snapshot();
        ASSERT_EQ(1u, heard.connects.size());
        EXPECT_TRUE(RT_FAILED(heard.connects[0]));
        if (flag) {
            EXPECT_EQ(RT_ERROR_FAILURE, heard.connects[0]);
            continue;
        }
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
    rttest::ScriptedPeer proxy({Ok("ok")});
    ServerCredentials(proxy.Port(), "", "");
    Client client(m_pThread);
    client.Open(url, {""}, nullptr, nullptr, CRtChannelManager::CFLAG_WITH_BROWER_PROXY);
    ASSERT_TRUE(client.WaitResponses(1));
    EXPECT_EQ(0u, proxy.WaitRequests(1).at(0).bytes.find("GET " + url + " HTTP/1.1\r\n"));
    Heard heard = client.Snapshot();
    EXPECT_EQ(std::vector<RtResult>{RT_OK}, heard.connects);
    EXPECT_EQ(std::vector<std::string>{"ok"}, heard.bodies);
}

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
// HTTP/1.0 without keep-alive) is answered on a new connection. Wrong
// credentials get three rounds, then one OnDisconnect with a failure; a 503
// before a challenge leaves no rounds for it.
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
    struct Case {
        const char* name;
        std::vector<std::string> replies;
        std::vector<int32_t> statuses;
        size_t requests;
    };
    for (const Case& c : {Case{"wrong password", std::vector<std::string>(6, Challenge()), {}, 4},
                          Case{"503", {"HTTP/1.1 503 Busy\r\nContent-Length: 0\r\n\r\n" + Challenge()}, {503}, 1}}) {
        SCOPED_TRACE(c.name);
        rttest::ScriptedPeer server(c.replies);
        ServerCredentials(server.Port(), "alice", "wrong");
        rttest::LogWatch log;
        Client client(m_pThread);
        client.Open(server.Url());
        ASSERT_TRUE(client.WaitEnded());
        rttest::DrainThreads(m_pThread, m_pThread);
        Heard heard = client.Snapshot();
        EXPECT_EQ(c.statuses, heard.statuses);
        EXPECT_EQ(RT_ERROR_FAILURE, heard.disconnect);
        EXPECT_EQ(c.requests, server.WaitRequests(c.requests + 1, 300).size());
        EXPECT_TRUE(log.Has("CRtChannelHttpClient::ProcessAuthorization, exceed auth times."));
        CRtHttpProxyManager::Instance()->ClearCacheProxy();
    }
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

// Requests one after the other on one channel: kept-alive answers come on
// the connection the channel opened (204, 304 and HEAD, also with option
// 312, end at their head); chunked, close-delimited (HTTP/1.0 and 1.1, told
// at the close), a 1 MiB file byte for byte, the echo of what the channel
// sent, and a 301 delivered, not followed.
TEST_F(ChannelHttpClientTest, OriginFramingsAndStatuses) {
    NEED_PEER(Port("ORIGIN_HTTP"));
    const char* dir = std::getenv("RTPEERS_DIR");
    std::ifstream file(std::string(dir && *dir ? dir : "/tmp/rtpeers") + "/www/open/big.bin", std::ios::binary);
    const std::string big((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_EQ(1048576u, big.size()) << "the file the rig serves";
    const std::string closed = "close-delimited line 1\nclose-delimited line 2\nclose-delimited line 3\n";
    const std::string chunks = "chunk 1 of 5\nchunk 2 of 5\nchunk 3 of 5\nchunk 4 of 5\nchunk 5 of 5\n";
    struct Case {
        std::vector<std::string> paths;  // the first is the URL's
        std::vector<int32_t> statuses;
        std::vector<std::string> bodies;  // a leading '*': a part of it
        const char* method;
        bool noBodyOption;
    };
    const Case cases[] = {
        {{"/open/", "/open/"}, {200, 200}, {kOpenBody, kOpenBody}, nullptr, false},
        {{"/status/204", "/status/304", "/nothing-here", "/open/"},
         {204, 304, 404, 200},
         {"", "", "*Not Found", kOpenBody},
         nullptr,
         false},
        {{"/open/", ""}, {200, 200}, {"", ""}, "HEAD", false},
        {{"/open/", ""}, {200, 200}, {"", ""}, "HEAD", true},
        {{"/chunked"}, {200}, {chunks}, nullptr, false},
        {{"/close10/"}, {200}, {closed}, nullptr, false},
        {{"/close11/"}, {200}, {closed}, nullptr, false},
        {{"/open/big.bin"}, {200}, {big}, nullptr, false},
        {{"/echo"}, {200}, {"*zorvane httpclient"}, nullptr, false},
        {{"/open"}, {301}, {"*/open/"}, nullptr, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.paths[0] + (c.method ? c.method : "") + (c.noBodyOption ? " 312" : ""));
        std::vector<std::string> more(c.paths.begin(), c.paths.end());
        more[0] = "";
        Client client(m_pThread);
        client.Open(Origin(c.paths[0].c_str()), more, nullptr, c.method, 0, {}, -1, c.noBodyOption);
        ASSERT_TRUE(client.WaitResponses(c.statuses.size()));
        rttest::DrainThreads(m_pThread, m_pThread);
        Heard heard = client.Snapshot();
        EXPECT_EQ(c.statuses, heard.statuses);
        ExpectBodies(c.bodies, heard.bodies);
        if (c.paths.size() > 1) {
            EXPECT_EQ(std::vector<uint16_t>(c.paths.size(), heard.connectPort), heard.localPorts);
        }
    }
}

// 401 rounds with the credentials of the server's settings (Basic and
// Digest from apache, NTLM from squid in front of it, both legs on the
// connection the channel opened); wrong ones are tried for the rounds there
// are, then the channel gives up and the settings forget them. Without
// listed settings (the first case) the credentials getter gives them, and
// the server's settings do not join the proxy manager's list of proxies.
TEST_F(ChannelHttpClientTest, OriginChallengesAndAWrongPassword) {
    NEED_PEER(Port("SQUID_NTLM_WWW"));
    struct Getter : public IRtHttpAuthInfoGetter {
        GETTER_RESULT GetAuthInfo(IRtChannelHttpClient*, CRtHttpProxyInfo* aProxy) override {
            ++asked;
            aProxy->SetUserName(Setting("PEER_USER"));
            aProxy->SetPasswd(Setting("PEER_PASS"));
            return GETTER_GO_AHEAD;
        }
        std::atomic<int> asked{0};
    } getter;
    struct Case {
        const char* port;
        const char* path;
        std::string pass;  // empty: from the getter
        const char* body;  // null: refused
    };
    for (const Case& c : {Case{"ORIGIN_HTTP", "/digest/", "", "rtpeers digest ok\n"},
                          Case{"ORIGIN_HTTP", "/basic/", Setting("PEER_PASS"), "rtpeers basic ok\n"},
                          Case{"SQUID_NTLM_WWW", "/open/", Setting("PEER_PASS"), kOpenBody},
                          Case{"ORIGIN_HTTP", "/basic/", "bad", nullptr}}) {
        SCOPED_TRACE(std::string(c.port) + c.path + " " + c.pass);
        if (c.pass.empty())
            CRtHttpProxyManager::Instance()->SetHttpAuthInfoGetter(&getter);
        else
            ServerCredentials(Port(c.port), Setting("PEER_USER"), c.pass);
        rttest::LogWatch log;
        Client client(m_pThread);
        client.Open(Origin(c.path, c.port));
        if (c.body) {
            const bool answered = client.WaitResponses(1);
            CRtHttpProxyManager::Instance()->SetHttpAuthInfoGetter(nullptr);
            ASSERT_TRUE(answered);
            Heard heard = client.Snapshot();
            EXPECT_EQ(std::vector<int32_t>{200}, heard.statuses);
            EXPECT_EQ(std::vector<std::string>{c.body}, heard.bodies);
            EXPECT_EQ(std::vector<uint16_t>{heard.connectPort}, heard.localPorts);
            if (c.pass.empty()) {
                EXPECT_EQ(1, getter.asked.load());
                EXPECT_EQ(0u, CRtHttpProxyManager::Instance()->GetProxyCountForTest());
            }
            continue;
        }
        ASSERT_TRUE(client.WaitEnded());
        Heard heard = client.Snapshot();
        EXPECT_TRUE(heard.bodies.empty());
        EXPECT_EQ(RT_ERROR_FAILURE, heard.disconnect);
        EXPECT_TRUE(log.Has("CRtChannelHttpClient::ProcessAuthorization, exceed auth times."));
        CRtHttpProxyInfo* info = nullptr;
        ASSERT_TRUE(CRtHttpProxyManager::Instance()->CreateProxyInfo("127.0.0.1:" + std::to_string(Port(c.port)),
                                                                     CRtHttpProxyInfo::HTTP_PROXY, info));
        EXPECT_EQ("", info->GetUserName());
        info->ReleaseReference();
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

// ---- Through HTTP proxies ----------------------------------------------------------------------

// Absolute-URI requests through squid and tinyproxy (which ends every
// client connection after one response; a path of one's own names the
// whole URL), with 407 rounds: Basic, Digest, NTLM and all three offered at
// squid, Basic at tinyproxy (which closes after its 407: the channel
// connects again), and the origin's 401 answered behind squid's 407. Every
// wrong password fails once, promptly.
TEST_F(ChannelHttpClientTest, ThroughProxies) {
    NEED_PEER(Port("SQUID_NTLM"));
    const std::string user = Setting("PEER_USER"), pass = Setting("PEER_PASS");
    struct Case {
        const char* proxy;
        std::string pass;
        std::vector<std::string> paths;
        std::vector<std::string> bodies;  // none: refused
    };
    const Case cases[] = {
        {"SQUID_NOAUTH", "", {"/open/", Origin("/open/")}, {kOpenBody, kOpenBody}},
        {"TINY_NOAUTH", "", {"/open/"}, {kOpenBody}},
        {"SQUID_BASIC", pass, {"/open/"}, {kOpenBody}},
        {"SQUID_DIGEST", pass, {"/open/"}, {kOpenBody}},
        {"SQUID_NTLM", pass, {"/open/"}, {kOpenBody}},
        {"SQUID_MULTI", pass, {"/open/"}, {kOpenBody}},
        {"TINY_BASIC", pass, {"/open/"}, {kOpenBody}},
        {"SQUID_BASIC", pass, {"/basic/"}, {"rtpeers basic ok\n"}},
        {"SQUID_BASIC", "bad", {"/open/"}, {}},
        {"SQUID_DIGEST", "bad", {"/open/"}, {}},
        {"SQUID_NTLM", "bad", {"/open/"}, {}},
        {"TINY_BASIC", "bad", {"/open/"}, {}},
    };
    ServerCredentials(Port("ORIGIN_HTTP"), user, pass);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.proxy) + " " + c.pass + " " + c.paths[0]);
        std::vector<std::string> more(c.paths.begin(), c.paths.end());
        more[0] = "";
        Client client(m_pThread);
        client.Open(Origin(c.paths[0].c_str()), more, Proxy(Port(c.proxy), c.pass.empty() ? "" : user, c.pass).Get());
        if (c.bodies.empty()) {
            ASSERT_TRUE(client.WaitEnded(5000));
            Heard heard = client.Snapshot();
            EXPECT_TRUE(heard.bodies.empty());
            EXPECT_TRUE(RT_FAILED(heard.disconnect));
            continue;
        }
        ASSERT_TRUE(client.WaitResponses(c.bodies.size()));
        Heard heard = client.Snapshot();
        EXPECT_EQ(std::vector<int32_t>(c.bodies.size(), 200), heard.statuses);
        EXPECT_EQ(c.bodies, heard.bodies);
    }
    // A challenge with a garbage offset (ntlm_fake_auth): answered, or
    // refused cleanly, once.
    Client client(m_pThread);
    client.Open(Origin("/open/"), {""}, Proxy(Port("SQUID_NTLM_FAKE"), user, pass).Get());
    ASSERT_TRUE(rttest::WaitUntil([&] { return client.WaitResponses(1, 0) || client.WaitEnded(0); }, 15000));
    Heard heard = client.Snapshot();
    if (heard.bodies.empty()) {
        EXPECT_EQ(RT_ERROR_NETWORK_PROXY_AUTH_REQUIRED, heard.disconnect);
    } else {
        EXPECT_EQ(std::vector<std::string>{kOpenBody}, heard.bodies);
    }
}

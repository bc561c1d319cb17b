// The HTTP server channel over loopback: a small server on a framework user
// thread (the callbacks' thread, as the service's main thread is), driven by
// raw client sockets and, where installed, by curl and Python's http.client.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "RtChannelHttpServer.h"
#include "RtEchoServer.h"
#include "RtHttpFramingCases.h"
#include "RtHttpTestServer.h"
#include "RtOsSocket.h"
#include "RtRawHttpClient.h"
#include "RtServerThreadTest.h"
#include "RtTestEvents.h"
#include "RtTestSupport.h"
#include "RtThread.h"
#include "RtThreadManager.h"

using rttest::MakeCall;
using rttest::RunOn;
using rttest::WaitUntil;

namespace {

// Answers every request with "<METHOD> <URI> <body length>:<body>".
class TestServer : public rttest::HttpTestServer {
protected:
    void Answer(IRtChannelHttpServer* aChannel, CRtMessageBlock& aData) override {
        CRtString method, uri;
        aChannel->GetRequestMethod(method);
        aChannel->GetRequestUri(uri);
        std::string body = aData.FlattenChained();
        std::string answer = method + " " + uri + " " + std::to_string(body.size()) + ":" + body;
        CRtMessageBlock mb(answer.size(), answer.data(), CRtMessageBlock::DONT_DELETE, answer.size());
        aChannel->AppendResponseData(mb);
        aChannel->SendResponse();
    }
};

using Client = rttest::RawHttpClient;

class HttpServerTest : public rttest::ServerThreadTest {
protected:
    RtResult StartServer(uint16_t aPort) override { return m_Server.Start(aPort); }
    void StopServer() override {
        RunOn(m_pThread, [&] {
            m_Server.Stop();
            return RT_OK;
        });
    }
    std::string Ask(Client& aClient, const std::string& aRequest) {
        EXPECT_TRUE(aClient.Send(aRequest));
        return Client::Body(aClient.ReadResponse());
    }

    TestServer m_Server;
};

const char kGet[] = "GET /a HTTP/1.1\r\nHost: x\r\n\r\n";

}  // namespace

TEST_F(HttpServerTest, KeepAliveAnswersRequestsOnOneConnection) {
    Client c(m_nPort);
    ASSERT_TRUE(c.Connected());
    EXPECT_EQ("GET /a 0:", Ask(c, kGet));
    EXPECT_EQ("POST /b?x=1 5:hello", Ask(c, "POST /b?x=1 HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello"));
    EXPECT_EQ(1, m_Server.m_nConnections.load());
}

TEST_F(HttpServerTest, PipelinedRequestsInOneWriteAreAnsweredInOrder) {
    Client c(m_nPort);
    ASSERT_TRUE(
        c.Send("GET /1 HTTP/1.1\r\n\r\nPOST /2 HTTP/1.1\r\nContent-Length: 3\r\n\r\nabcGET /3 HTTP/1.1\r\n\r\n"));
    EXPECT_EQ("GET /1 0:", Client::Body(c.ReadResponse()));
    EXPECT_EQ("POST /2 3:abc", Client::Body(c.ReadResponse()));
    EXPECT_EQ("GET /3 0:", Client::Body(c.ReadResponse()));
}

// Requests that reach the server in many reads: one byte at a time, and a
// chunked body cut inside its chunks. The pauses let each part be its own
// read.
TEST_F(HttpServerTest, RequestsSplitAcrossWritesAreAnswered) {
    Client c(m_nPort);
    for (char ch : std::string("POST /slow HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\nok")) {
        ASSERT_TRUE(c.Send(std::string(1, ch)));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ("POST /slow 2:ok", Client::Body(c.ReadResponse()));
    for (const char* part :
         {"POST /c HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nWi", "ki\r\n5\r\npedia\r\n0\r\n", "\r\n"}) {
        ASSERT_TRUE(c.Send(part));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ("POST /c 9:Wikipedia", Client::Body(c.ReadResponse()));
    EXPECT_EQ("GET /a 0:", Ask(c, kGet)) << "the connection goes on after a chunked body";
}

TEST_F(HttpServerTest, UnreadableRequestsCloseOnlyTheirConnection) {
    std::string longLine = "GET /" + std::string(70 * 1024, 'a');
    std::string manyLines = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < 300; ++i)
        manyLines += "X-H" + std::to_string(i) + ": v\r\n";
    manyLines += "\r\n";
    const std::string bad[] = {longLine, manyLines, "POST / HTTP/1.1\r\nContent-Length: 12x\r\n\r\n",
                               "POST / HTTP/1.1\r\nContent-Length: -5\r\n\r\n", "GET / HTTP/1.1\n\n"};
    Client good(m_nPort);
    for (const std::string& request : bad) {
        Client c(m_nPort);
        ASSERT_TRUE(c.Connected());
        c.Send(request);
        EXPECT_EQ("", c.ReadResponse()) << request.substr(0, 40);
        EXPECT_TRUE(c.ClosedByPeer());
    }
    EXPECT_TRUE(WaitUntil([&] { return m_Server.m_nDisconnects.load() == 5; }));
    EXPECT_EQ("GET /a 0:", Ask(good, kGet));
    Client fresh(m_nPort);
    EXPECT_EQ("GET /a 0:", Ask(fresh, kGet));
}

TEST_F(HttpServerTest, RequestsFramedAmbiguouslyAreRefusedOthersAnswered) {
    for (const rttest::HttpFramingCase& c : rttest::HttpFramingCases()) {
        const int before = m_Server.m_nRequests.load();
        Client client(m_nPort);
        ASSERT_TRUE(client.Connected());
        ASSERT_TRUE(client.Send(c.request)) << c.what;
        for (const std::string& uri : c.delivered) {
            // "<method> <uri> <length>:<body>"
            std::string body = Client::Body(client.ReadResponse());
            size_t space = body.find(' ');
            EXPECT_EQ(uri + " ", body.substr(space == std::string::npos ? 0 : space + 1, uri.size() + 1))
                << c.what << ": " << body;
        }
        if (c.delivered.empty() || c.closes) {
            EXPECT_EQ("", client.ReadResponse()) << c.what;
            EXPECT_TRUE(client.ClosedByPeer());
        } else {
            EXPECT_EQ("GET /a 0:", Ask(client, kGet)) << c.what << ": the connection goes on";
        }
        const int answered = static_cast<int>(c.delivered.size()) + (c.delivered.empty() || c.closes ? 0 : 1);
        EXPECT_TRUE(WaitUntil([&] { return m_Server.m_nRequests.load() == before + answered; })) << c.what;
    }
}

// The peer's FIN arrives on the network thread while the answer is still
// being made on the server thread: it must not cost the answer.
TEST_F(HttpServerTest, RequestsFollowedByTheClientsFinAreAllAnswered) {
    int unanswered = 0;
    for (int i = 0; i < 1000; ++i) {
        Client c(m_nPort);
        ASSERT_TRUE(c.Send(kGet) && c.HalfClose());
        if (Client::Body(c.ReadResponse()) != "GET /a 0:")
            ++unanswered;
        EXPECT_TRUE(c.ClosedByPeer());
    }
    EXPECT_EQ(0, unanswered) << "of 1000 half-closed requests";

    Client c(m_nPort);
    ASSERT_TRUE(
        c.Send("GET /1 HTTP/1.1\r\n\r\nPOST /2 HTTP/1.1\r\nContent-Length: 3\r\n\r\nabcGET /3 HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(c.HalfClose());
    EXPECT_EQ("GET /1 0:", Client::Body(c.ReadResponse()));
    EXPECT_EQ("POST /2 3:abc", Client::Body(c.ReadResponse()));
    EXPECT_EQ("GET /3 0:", Client::Body(c.ReadResponse()));
    EXPECT_EQ("", c.ReadResponse());
    EXPECT_TRUE(WaitUntil([&] { return m_Server.m_nDisconnects.load() == 1001; }));
}

TEST_F(HttpServerTest, CloseRequestsGetTheirAnswerAndThenTheEnd) {
    for (const char* request : {"GET /z HTTP/1.0\r\n\r\n", "GET /z HTTP/1.1\r\nConnection: close\r\n\r\n"}) {
        Client c(m_nPort);
        ASSERT_TRUE(c.Send(request));
        std::string response = c.ReadResponse();
        EXPECT_EQ("GET /z 0:", Client::Body(response));
        EXPECT_NE(std::string::npos, response.find("\r\nConnection: close\r\n"));
        EXPECT_TRUE(c.ClosedByPeer());
    }
    EXPECT_TRUE(WaitUntil([&] { return m_Server.m_nDisconnects.load() == 2; }));
    Client keep(m_nPort);
    EXPECT_EQ("GET /k 0:", Ask(keep, "GET /k HTTP/1.0\r\nConnection: keep-alive\r\n\r\n"));
    EXPECT_EQ("GET /a 0:", Ask(keep, kGet)) << "HTTP/1.0 with keep-alive stays open";
}

TEST_F(HttpServerTest, ListenerRefusesNullSinkAndAnAddressInUse) {
    RunOn(m_pThread, [&] {
        IRtChannelServerAcceptor* acceptor = nullptr;
        EXPECT_EQ(RT_OK, CRtChannelManager::Instance()->CreateHttpAcceptor(acceptor));
        TestServer other;
        EXPECT_EQ(RT_ERROR_INVALID_ARG, acceptor->StartListen(nullptr, rttest::LoopbackAddr(m_nPort)));
        size_t before = rttest::ReadProcessLog().size();
        EXPECT_NE(RT_OK, acceptor->StartListen(&other, rttest::LoopbackAddr(m_nPort)));
        EXPECT_EQ(RT_OK, acceptor->StopListen(RT_OK)) << "idle after the failure";
        // Idle and without a sink: a new listen starts cleanly.
        EXPECT_EQ(RT_OK, acceptor->StartListen(&other, rttest::LoopbackAddr(rttest::FreeLoopbackPort())));
        EXPECT_FALSE(rttest::ProcessLogHasSince(before, "Assert failed: !m_pSink"));
        acceptor->StopListen(RT_OK);
        acceptor->ReleaseReference();
        return RT_OK;
    });
    Client c(m_nPort);
    EXPECT_EQ("GET /a 0:", Ask(c, kGet)) << "the first listener is untouched";
}

// Real clients, when the machine has them.
namespace {

// Runs aCommand through the shell with its output in a file; the output,
// or nothing when the command failed.
bool RunTool(const std::string& aCommand, std::string& aOutput) {
    rttest::TempDir dir("http_tool");
    std::string out = dir.File("out.txt");
    int rc = std::system((aCommand + " > " + out + " 2>&1").c_str());
    aOutput = rttest::ReadFile(out);
    return rc == 0;
}

bool HaveTool(const char* aProbe) {
    std::string ignored;
    return RunTool(aProbe, ignored);
}

}  // namespace

TEST_F(HttpServerTest, CurlKeepsTheConnectionAndHttp10Closes) {
    if (!HaveTool("curl --version"))
        GTEST_SKIP() << "curl is not installed";
    std::string base = "http://127.0.0.1:" + std::to_string(m_nPort);
    std::string out;
    ASSERT_TRUE(RunTool("curl -s -S --max-time 10 " + base + "/one " + base + "/two", out)) << out;
    EXPECT_EQ("GET /one 0:GET /two 0:", out);
    EXPECT_EQ(1, m_Server.m_nConnections.load()) << "both requests on one connection";

    ASSERT_TRUE(RunTool("curl -s -S --max-time 10 --http1.0 " + base + "/old", out)) << out;
    EXPECT_EQ("GET /old 0:", out);
    EXPECT_TRUE(WaitUntil([&] { return m_Server.m_nDisconnects.load() >= 1; }));
}

TEST_F(HttpServerTest, PythonHttpClientReusesTheConnection) {
    if (!HaveTool("python3 -c \"import http.client\""))
        GTEST_SKIP() << "python3 is not installed";
    std::string script =
        "import http.client\n"
        "c = http.client.HTTPConnection('127.0.0.1', " +
        std::to_string(m_nPort) +
        ", timeout=10)\n"
        "for path in ('/p1', '/p2'):\n"
        "    c.request('GET', path)\n"
        "    r = c.getresponse()\n"
        "    print(r.status, r.read().decode())\n"
        "c.request('POST', '/form', body='a=1&b=2', headers={'Content-Type': 'text/plain'})\n"
        "r = c.getresponse()\n"
        "print(r.status, r.read().decode())\n"
        "c.request('GET', '/empty-after-post')\n"
        "print(c.getresponse().status)\n";
    rttest::TempDir dir("http_py");
    std::string path = dir.File("client.py");
    rttest::WriteFile(path, script);
    std::string out;
    ASSERT_TRUE(RunTool("python3 " + path, out)) << out;
    EXPECT_EQ("200 GET /p1 0:\n200 GET /p2 0:\n200 POST /form 7:a=1&b=2\n200\n", out);
    EXPECT_EQ(1, m_Server.m_nConnections.load());
}

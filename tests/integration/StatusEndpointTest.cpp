// The status endpoint on a framework user thread (standing in for the
// service's main thread), asked over loopback with raw sockets.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "ClientManager.h"
#include "RtEchoServer.h"
#include "RtRawHttpClient.h"
#include "RtServerThreadTest.h"
#include "RtTestEvents.h"
#include "RtTestSupport.h"
#include "RtThread.h"
#include "RtThreadManager.h"
#include "StatusDocument.h"

using rttest::LogWatch;
using rttest::RawHttpClient;
using rttest::RunOn;
using rttest::WaitUntil;

namespace {

const char kBody[] =
    "callback({\"brand_id\":\"0\",\"brand_name\":\"Zorvane\",\"build_version\":\"2019.322.5000.0\","
    "\"error_code\":0,\"error_msg\":\"OK\",\"result\":0,\"service_name\":\"ZVAppLdrSvc\",\"version\":\"5.0.0\"})";

class StatusEndpointTest : public rttest::ServerThreadTest {
protected:
    RtResult StartServer(uint16_t aPort) override { return m_Manager.Init(aPort); }
    void StopServer() override { m_Manager.Uninit(); }

    CClientManager m_Manager;
};

}  // namespace

TEST(StatusDocument, IsTheCompactJsonpCall) { EXPECT_EQ(kBody, BuildStatusBody()); }

TEST_F(StatusEndpointTest, EveryRequestOnAConnectionGetsTheSameAnswer) {
    LogWatch log;
    RawHttpClient c(m_nPort);
    ASSERT_TRUE(c.Connected());
    const std::vector<std::string> requests = {
        "GET / HTTP/1.1\r\nHost: 127.0.0.1:5161\r\n\r\n",
        "GET /any/path?x=1 HTTP/1.1\r\n\r\n",
        "POST /submit HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello",
    };
    for (const std::string& request : requests) {
        ASSERT_TRUE(c.Send(request));
        std::string response = c.ReadResponse();
        EXPECT_EQ(0u, response.find("HTTP/1.1 200 OK\r\n")) << response;
        EXPECT_NE(std::string::npos, response.find("Content-Length: " + std::to_string(sizeof kBody - 1) + "\r\n"));
        EXPECT_EQ(kBody, RawHttpClient::Body(response));
    }
    EXPECT_EQ(1u, m_Manager.GetClientCount());
    EXPECT_TRUE(log.Has("----------------------------"));
    EXPECT_TRUE(log.Has(std::string("[ZVAppLdrService]") + kBody));
}

TEST_F(StatusEndpointTest, ClosedConnectionsLeaveTheList) {
    const size_t logBefore = rttest::ReadProcessLog().size();
    {
        RawHttpClient a(m_nPort), b(m_nPort);
        ASSERT_TRUE(a.Send("GET / HTTP/1.1\r\n\r\n"));
        ASSERT_TRUE(b.Send("GET / HTTP/1.1\r\n\r\n"));
        EXPECT_EQ(kBody, RawHttpClient::Body(a.ReadResponse()));
        EXPECT_EQ(kBody, RawHttpClient::Body(b.ReadResponse()));
        EXPECT_TRUE(WaitUntil([&] { return m_Manager.GetClientCount() == 2; }));
    }
    EXPECT_TRUE(WaitUntil([&] { return m_Manager.GetClientCount() == 0; }));
    // The closing trace is the one that starts with a line end: one each.
    std::string log = rttest::ReadProcessLog().substr(logBefore);
    size_t closed = 0;
    for (size_t at = log.find("[ZVAppLdrService]\n"); at != std::string::npos;
         at = log.find("[ZVAppLdrService]\n", at + 1))
        ++closed;
    EXPECT_EQ(2u, closed);
}

TEST_F(StatusEndpointTest, PortInUseIsReportedAndReturned) {
    LogWatch log;
    CClientManager second;
    RtResult rv = RT_OK;
    ASSERT_EQ(RT_OK, RunOn(m_pThread, [&] {
                  rv = second.Init(m_nPort);
                  second.Uninit();
                  return RT_OK;
              }));
    EXPECT_NE(RT_OK, rv);
    EXPECT_TRUE(log.Has("CClientManager::Init, http listen failed, ret= " + std::to_string(rv)));
}

// Uninit from another thread does its work on the owner thread: clients
// busy with requests all see their connection end, and nothing races.
TEST_F(StatusEndpointTest, UninitFromAnotherThreadEndsEveryConnection) {
    std::vector<std::thread> clients;
    std::atomic<int> ended{0};
    std::atomic<int> answered{0};
    for (int i = 0; i < 20; ++i) {
        clients.emplace_back([&] {
            RawHttpClient c(m_nPort);
            for (;;) {
                if (!c.Send("GET / HTTP/1.1\r\n\r\n") || RawHttpClient::Body(c.ReadResponse()) != kBody)
                    break;
                ++answered;
            }
            ++ended;
        });
    }
    EXPECT_TRUE(WaitUntil([&] { return answered.load() >= 200; }));
    std::thread([&] { m_Manager.Uninit(); }).join();
    for (auto& t : clients)
        t.join();
    EXPECT_EQ(20, ended.load());
    EXPECT_EQ(0u, m_Manager.GetClientCount());
    RawHttpClient late(m_nPort);
    EXPECT_FALSE(late.Connected() && late.Send("GET / HTTP/1.1\r\n\r\n") && !late.ReadResponse().empty());
}

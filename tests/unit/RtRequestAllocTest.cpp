// A kept-alive request crosses from the network thread to the server's
// thread and its answer back: once warm, that path must not touch the heap
// (events are recycled, small data rides inside them, heads are encoded
// into reused text).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "RtAllocationCounter.h"
#include "RtHttpTestServer.h"
#include "RtOsSocket.h"
#include "RtRawHttpClient.h"
#include "RtServerThreadTest.h"
#include "RtTestEvents.h"

namespace {

// Answers every request with the same short body.
class ConstantServer : public rttest::HttpTestServer {
protected:
    void Answer(IRtChannelHttpServer* aChannel, CRtMessageBlock&) override {
        static const char kBody[] = "callback({\"result\":0})";
        CRtMessageBlock body(sizeof kBody - 1, kBody, CRtMessageBlock::DONT_DELETE, sizeof kBody - 1);
        aChannel->AppendResponseData(body);
        aChannel->SendResponse();
    }
};

class RequestAllocTest : public rttest::ServerThreadTest {
protected:
    RtResult StartServer(uint16_t aPort) override { return m_Server.Start(aPort); }
    void StopServer() override {
        rttest::RunOn(m_pThread, [&] {
            m_Server.Stop();
            return RT_OK;
        });
    }
    ConstantServer m_Server;
};

}  // namespace

TEST_F(RequestAllocTest, KeptAliveRequestsAllocateNothingOnceWarm) {
    const char kRequest[] = "GET /status HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    rttest::RawHttpClient client(m_nPort);
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(client.Send(kRequest));
    const size_t answer = client.ReadResponse().size();
    ASSERT_GT(answer, 0u);

    // Raw calls from here on: the client itself must not allocate either.
    rtos::SocketHandle sock = client.Handle();
    char buf[4096];
    auto ask = [&] {
        if (rtos::SocketSend(sock, kRequest, sizeof kRequest - 1) != static_cast<long>(sizeof kRequest - 1))
            return false;
        size_t got = 0;
        while (got < answer) {
            long n = rtos::SocketRecv(sock, buf, sizeof buf);
            if (n <= 0)
                return false;
            got += static_cast<size_t>(n);
        }
        return got == answer;
    };
    for (int i = 0; i < 500; ++i)
        ASSERT_TRUE(ask());
    const long before = RtAllocationCount();
    for (int i = 0; i < 1000; ++i)
        ASSERT_TRUE(ask());
    // A queue may take a new chunk now and then; one per request is a leak
    // of the design.
    EXPECT_LT(RtAllocationCount() - before, 50) << "allocations in 1000 requests";
}

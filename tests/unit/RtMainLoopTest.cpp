// The main thread's loop runs once per process: it is closed when it ends.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "RtEchoServer.h"
#include "RtLoopback.h"
#include "RtTestEvents.h"
#include "RtOsSocket.h"
#include "RtThread.h"
#include "RtThreadManager.h"
#include "RtThreadSwitch.h"

namespace {
class Flag : public IRtEvent {
public:
    explicit Flag(std::atomic<uint32_t>* aRanOn) : m_pRanOn(aRanOn) {}
    RtResult OnEventFire() override {
        *m_pRanOn = CRtThreadManager::GetThreadSelfId();
        return RT_OK;
    }

private:
    std::atomic<uint32_t>* m_pRanOn;
};
}  // namespace

TEST(CRtSignalStop, DelayedStopEndsTheMainLoopOnTime) {
    CRtThreadManager* mgr = CRtThreadManager::Instance();
    ASSERT_NE(nullptr, mgr);
    EXPECT_EQ(RT_ERROR_ALREADY_INITIALIZED, mgr->Initialize(1, false));
    CRtThread* main = mgr->GetMainThread();
    ASSERT_NE(nullptr, main);
    EXPECT_EQ(CRtThreadManager::GetThreadSelfId(), main->GetThreadId());
    std::vector<CRtThread*> network;
    mgr->GetNetworkThreadList(network);
    ASSERT_EQ(1u, network.size());
    EXPECT_EQ(mgr->GetDefaultNetworkThread(), network[0]);

    // Work from another thread reaches the main loop.
    std::atomic<uint32_t> ranOn{0};
    std::thread([&] { main->GetEventQueue()->PostEvent(new Flag(&ranOn)); }).join();

    // A listener started here, as the service starts its own: every
    // callback arrives on this main thread while its loop runs.
    rttest::EchoServer server;
    uint16_t port = 0;
    ASSERT_EQ(RT_OK, server.Start(TS_SINGLE_THREAD, LB_CURRENT_THREAD, port));
    std::string echoed;
    std::thread client([&] {
        rtos::SocketHandle s = rttest::ConnectLoopback(port);
        rttest::SendAll(s, "main");
        echoed = rttest::RecvExactly(s, 4);
        rtos::SocketClose(s);
        // The listener stops on its own thread while the loop still runs, so
        // the proxies' last events are delivered before the test ends.
        main->GetEventQueue()->PostEvent(rttest::MakeCall([&server] {
            server.Stop();
            return RT_OK;
        }));
    });

    CRtTimeValue delay(1);
    ASSERT_EQ(RT_OK, CRtSignalStop::Instance()->Launch(0, &delay));
    testing::internal::CaptureStdout();
    auto start = std::chrono::steady_clock::now();
    main->OnThreadRun();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_GE(ms, 900);
    EXPECT_LT(ms, 3000);
    EXPECT_NE(std::string::npos, out.find("receive signal = 0, need to stop!")) << out;
    EXPECT_EQ(main->GetThreadId(), ranOn.load());
    client.join();
    EXPECT_EQ("main", echoed);
    EXPECT_EQ(main->GetThreadId(), server.m_nIndicationThread.load());
    EXPECT_EQ(main->GetThreadId(), server.m_nReceiveThread.load());
    server.Stop();
}

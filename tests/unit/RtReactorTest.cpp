#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "RtLoopback.h"
#include "RtNetworkTest.h"
#include "RtOsSocket.h"
#include "RtReactor.h"
#include "RtReactorWin32Message.h"
#include "RtTestEvents.h"
#include "RtTestSupport.h"
#include "RtThread.h"
#include "RtThreadManager.h"
#include "RtTimerWrapper.h"

namespace {

using rttest::MakeCall;

using rttest::Loopback;

// A connected loopback pair: the reactor gets mine, the test keeps the peer.
struct SocketPair {
    rtos::SocketHandle mine = rtos::kInvalidSocket;
    rtos::SocketHandle peer = rtos::kInvalidSocket;

    SocketPair() {
        rtos::SocketHandle listener = rtos::SocketOpen(rtos::kAfInet, rtos::SocketType::kStream);
        rtos::SocketBind(listener, Loopback(0));
        rtos::SocketListen(listener, 4);
        rtos::SocketAddress bound;
        rtos::SocketLocalAddress(listener, &bound);
        peer = rtos::SocketOpen(rtos::kAfInet, rtos::SocketType::kStream);
        rtos::SocketConnect(peer, Loopback(bound.port));
        mine = rtos::SocketAccept(listener, nullptr);
        rtos::SocketClose(listener);
    }
    ~SocketPair() {
        if (mine != rtos::kInvalidSocket)
            rtos::SocketClose(mine);
        if (peer != rtos::kInvalidSocket)
            rtos::SocketClose(peer);
    }
};

// Reads like a transport: at most one receive of 128 KiB per call.
class Reader : public IRtEventHandler {
public:
    explicit Reader(rtos::SocketHandle aSock) : m_Sock(aSock) {}
    RT_HANDLE GetHandle() const override { return m_Sock; }
    int OnInput(RT_HANDLE) override {
        ++m_nInputs;
        if (m_nInputResult != 0)
            return m_nInputResult;
        if (m_nInputDelayMs)
            rtos::SleepMs(m_nInputDelayMs);
        std::vector<char> buf(131072);
        long n = rtos::SocketRecv(m_Sock, buf.data(), buf.size());
        if (n > 0)
            m_nBytes += n;
        return 0;
    }
    int OnOutput(RT_HANDLE) override {
        ++m_nOutputs;
        return 0;
    }
    int OnClose(RT_HANDLE aFd, MASK aMask) override {
        EXPECT_EQ(m_Sock, aFd);
        m_Closed = aMask;
        m_nBytesAtClose = m_nBytes.load();
        ++m_nCloses;
        return 0;
    }

    rtos::SocketHandle m_Sock;
    int m_nInputResult = 0;
    uint32_t m_nInputDelayMs = 0;
    std::atomic<int> m_nInputs{0}, m_nOutputs{0}, m_nCloses{0};
    std::atomic<long> m_nBytes{0};
    std::atomic<long> m_nBytesAtClose{-1};
    std::atomic<long> m_Closed{0};
};

// The default network thread's reactor; the kit's teardown checks that
// every handler a test registered is gone again.
class ReactorTest : public rttest::NetworkTest {
protected:
    static CRtReactorWin32Message* Imp(CRtThread* aThread) { return rttest::ReactorOf(aThread); }
    IRtReactor* Reactor() { return m_pNetwork->GetReactor(); }
};

}  // namespace

TEST(IRtEventHandler, MaskStringNamesEachBit) {
    EXPECT_EQ("READ_MASK WRITE_MASK ", IRtEventHandler::GetMaskString(0x0C));
    EXPECT_EQ("", IRtEventHandler::GetMaskString(0));
    EXPECT_EQ("ACCEPT_MASK CLOSE_MASK EVENTQUEUE_MASK ", IRtEventHandler::GetMaskString(0x181));
}

TEST_F(ReactorTest, MainReactorRefusesSockets) {
    CRtThread* main = CRtThreadManager::Instance()->GetMainThread();
    ASSERT_NE(nullptr, main);
    EXPECT_EQ(CRtThreadManager::GetThreadSelfId(), main->GetThreadId());
    SocketPair pair;
    Reader reader(pair.mine);
    EXPECT_EQ(RT_ERROR_UNEXPECTED, main->GetReactor()->RegisterHandler(&reader, IRtEventHandler::READ_MASK));
    EXPECT_EQ(0u, Imp(main)->GetHandlerCount());
}

TEST_F(ReactorTest, RegistrationMasksChangeAndRemoveWithoutClosing) {
    SocketPair pair;
    Reader reader(pair.mine);
    OnNet([&] {
        EXPECT_EQ(RT_ERROR_INVALID_ARG, Reactor()->RegisterHandler(&reader, IRtEventHandler::CLOSE_MASK));
        EXPECT_EQ(RT_OK, Reactor()->RegisterHandler(&reader, IRtEventHandler::READ_MASK | IRtEventHandler::WRITE_MASK));
        EXPECT_EQ(RT_OK, Reactor()->RegisterHandler(&reader, IRtEventHandler::READ_MASK | IRtEventHandler::WRITE_MASK));
        EXPECT_EQ(RT_ERROR_FOUND, Reactor()->RegisterHandler(&reader, IRtEventHandler::READ_MASK));
        EXPECT_EQ(RT_ERROR_FOUND,
                  Reactor()->RegisterHandler(&reader, IRtEventHandler::READ_MASK | IRtEventHandler::WRITE_MASK));
        EXPECT_EQ(RT_ERROR_FOUND, Reactor()->RemoveHandler(&reader, IRtEventHandler::READ_MASK));
        EXPECT_EQ(1u, Imp(m_pNetwork)->GetHandlerCount());
        EXPECT_EQ(RT_OK, Reactor()->RemoveHandler(&reader, IRtEventHandler::WRITE_MASK));
        EXPECT_EQ(RT_ERROR_NOT_FOUND, Reactor()->RemoveHandler(&reader, IRtEventHandler::WRITE_MASK));
        return RT_OK;
    });
    EXPECT_EQ(0, reader.m_nCloses.load());
    // Notifications were cancelled with the registration.
    rtos::SocketSend(pair.peer, "x", 1);
    rttest::Drain(m_pNetwork);
    EXPECT_EQ(0, reader.m_nInputs.load());
}

TEST_F(ReactorTest, FailingHandlerIsRemovedAndClosedWithItsMask) {
    SocketPair pair;
    Reader reader(pair.mine);
    reader.m_nInputResult = -1;
    OnNet([&] { return Reactor()->RegisterHandler(&reader, IRtEventHandler::READ_MASK); });
    rtos::SocketSend(pair.peer, "x", 1);
    ASSERT_TRUE(rttest::WaitUntil([&] { return reader.m_nCloses == 1; }));
    EXPECT_EQ(IRtEventHandler::READ_MASK, reader.m_Closed.load());
    EXPECT_EQ(1, reader.m_nInputs.load());
}

// Everything a peer sent before closing reaches the handler before OnClose.
TEST_F(ReactorTest, DataBufferedAtPeerCloseIsOfferedFirst) {
    SocketPair pair;
    Reader reader(pair.mine);
    OnNet([&] { return Reactor()->RegisterHandler(&reader, IRtEventHandler::READ_MASK); });
    rtos::SocketSetNonBlocking(pair.peer, false);
    ASSERT_TRUE(rttest::SendAll(pair.peer, std::string(1 << 20, 'd')));
    rtos::SocketClose(pair.peer);
    pair.peer = rtos::kInvalidSocket;
    ASSERT_TRUE(rttest::WaitUntil([&] { return reader.m_nCloses == 1; }, 10000));
    EXPECT_EQ(1 << 20, reader.m_nBytesAtClose.load());
}

TEST_F(ReactorTest, SlowHandlerIsReported) {
    SocketPair pair;
    Reader reader(pair.mine);
    reader.m_nInputDelayMs = 200;
    size_t before = rttest::ReadProcessLog().size();
    OnNet([&] { return Reactor()->RegisterHandler(&reader, IRtEventHandler::READ_MASK); });
    rtos::SocketSend(pair.peer, "x", 1);
    ASSERT_TRUE(rttest::WaitUntil([&] { return reader.m_nBytes == 1; }));
    EXPECT_TRUE(rttest::WaitUntil([&] {
        return rttest::ProcessLogHasSince(before, "CRtReactorWin32Message::ProcessHandleEvent, report, sec=0");
    }));
    OnNet([&] { return Reactor()->RemoveHandler(&reader, IRtEventHandler::READ_MASK); });
}

// Twelve events run five per wake-up: a timer set by the first fires
// after the first batch of five.
TEST_F(ReactorTest, EventsRunInBatchesOfFiveWithTimersBetween) {
    struct Flag : IRtTimerHandler {
        std::atomic<bool> fired{false};
        void OnTimeout(const CRtTimeValue&, void*) override { fired = true; }
    } timer;
    std::vector<int> sawTimer;
    std::atomic<int> done{0};
    // Posted in one go from here, while the network thread is held back.
    std::atomic<bool> go{false};
    std::atomic<bool> holding{false};
    m_pNetwork->GetEventQueue()->PostEvent(MakeCall([&] {
        holding = true;
        rttest::WaitUntil([&] { return go.load(); });
        return RT_OK;
    }));
    // The blocker's batch was taken before the twelve are posted.
    ASSERT_TRUE(rttest::WaitUntil([&] { return holding.load(); }));
    for (int i = 0; i < 12; ++i) {
        m_pNetwork->GetEventQueue()->PostEvent(MakeCall([&, i] {
            if (i == 0)
                Reactor()->ScheduleTimer(&timer, nullptr, CRtTimeValue::s_tvZero, 1);
            sawTimer.push_back(timer.fired ? 1 : 0);
            ++done;
            return RT_OK;
        }));
    }
    go = true;
    ASSERT_TRUE(rttest::WaitUntil([&] { return done == 12; }));
    // Events 0..4 form the first batch; the timer runs right after it.
    EXPECT_EQ((std::vector<int>{0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1}), sawTimer);
}

TEST_F(ReactorTest, StopFromAnotherThreadEndsTheLoopWithinATick) {
    CRtThread* extra = rttest::StartNetworkThread();
    ASSERT_NE(nullptr, extra);
    auto start = std::chrono::steady_clock::now();
    extra->Stop();
    EXPECT_EQ(RT_OK, extra->Join(2000));
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(ms, 500);
    EXPECT_EQ(RT_ERROR_NOT_INITIALIZED, extra->GetEventQueue()->PostEvent(MakeCall([] { return RT_OK; })));
    extra->Destory(RT_OK);
}

// A sleeping reactor thread (no tick, nothing queued) is woken by a post
// at once: the best of 50 posts runs within a millisecond.
TEST_F(ReactorTest, PostToASleepingThreadRunsWithinAMillisecond) {
    CRtReactorWin32Message* imp = Imp(m_pNetwork);
    std::chrono::steady_clock::duration best = std::chrono::hours(1);
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(rttest::WaitUntil([&] { return !imp->IsTickRunningForTest(); }));
        rtos::SleepMs(2);  // into its wait
        std::atomic<bool> ran{false};
        std::chrono::steady_clock::time_point runAt;
        auto posted = std::chrono::steady_clock::now();
        ASSERT_EQ(RT_OK, m_pNetwork->GetEventQueue()->PostEvent(MakeCall([&] {
            runAt = std::chrono::steady_clock::now();
            ran = true;
            return RT_OK;
        })));
        ASSERT_TRUE(rttest::WaitUntil([&] { return ran.load(); }));
        best = std::min(best, runAt - posted);
    }
    EXPECT_LT(std::chrono::duration_cast<std::chrono::microseconds>(best).count(), 1000);
}

// With no timer and no event the tick stops, so an idle thread sleeps; a
// timer scheduled on the thread or from elsewhere starts it again.
TEST_F(ReactorTest, IdleLoopStopsItsTickAndTimersStillRun) {
    CRtReactorWin32Message* imp = Imp(m_pNetwork);
    ASSERT_TRUE(rttest::WaitUntil([&] { return !imp->IsTickRunningForTest(); }));
    uint64_t cpuStart = 0;
    OnNet([&] {
        cpuStart = rtos::ThreadCpuTimeUs();
        return RT_OK;
    });
    rtos::SleepMs(500);
    uint64_t cpuEnd = 0;
    OnNet([&] {
        cpuEnd = rtos::ThreadCpuTimeUs();
        return RT_OK;
    });
    EXPECT_LT(cpuEnd - cpuStart, 50000u) << "idle reactor used " << (cpuEnd - cpuStart) << " us of CPU in 0.5 s";

    struct Count : IRtTimerHandler {
        std::atomic<int> fired{0};
        void OnTimeout(const CRtTimeValue&, void*) override { ++fired; }
    } here, there;
    ASSERT_TRUE(rttest::WaitUntil([&] { return !imp->IsTickRunningForTest(); }));
    EXPECT_EQ(RT_OK, Reactor()->ScheduleTimer(&there, nullptr, CRtTimeValue(0, 20000), 3));
    EXPECT_TRUE(rttest::WaitUntil([&] { return there.fired == 3; })) << "from another thread";
    OnNet([&] { return Reactor()->ScheduleTimer(&here, nullptr, CRtTimeValue(0, 20000), 1); });
    EXPECT_TRUE(rttest::WaitUntil([&] { return here.fired == 1; })) << "from its own thread";
    EXPECT_TRUE(rttest::WaitUntil([&] { return !imp->IsTickRunningForTest(); })) << "idle again";
}

// The tick is 30 ms, but the loop also wakes when a timer comes due, be it
// scheduled on the thread or from elsewhere, idle or not.
TEST_F(ReactorTest, TimersFireOnTimeBetweenTicks) {
    struct Stamp : IRtTimerHandler {
        std::atomic<bool> fired{false};
        std::chrono::steady_clock::time_point at;
        void OnTimeout(const CRtTimeValue&, void*) override {
            at = std::chrono::steady_clock::now();
            fired = true;
        }
    };
    auto lateness = [&](bool aFromItsThread) {
        Stamp stamp;
        auto scheduled = std::chrono::steady_clock::now();
        if (aFromItsThread) {
            OnNet([&] {
                scheduled = std::chrono::steady_clock::now();
                return Reactor()->ScheduleTimer(&stamp, nullptr, CRtTimeValue(0, 4000), 1);
            });
        } else {
            EXPECT_EQ(RT_OK, Reactor()->ScheduleTimer(&stamp, nullptr, CRtTimeValue(0, 4000), 1));
        }
        EXPECT_TRUE(rttest::WaitUntil([&] { return stamp.fired.load(); }));
        return static_cast<long long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(stamp.at - scheduled).count());
    };
    // A long timer keeps the tick running for the second half.
    struct Idle : IRtTimerHandler {
        void OnTimeout(const CRtTimeValue&, void*) override {}
    } keep;
    for (bool ticking : {false, true}) {
        if (ticking) {
            ASSERT_EQ(RT_OK, Reactor()->ScheduleTimer(&keep, nullptr, CRtTimeValue(60, 0), 1));
        }
        long long best[2] = {1000, 1000};
        for (int i = 0; i < 10; ++i) {
            if (!ticking) {
                ASSERT_TRUE(rttest::WaitUntil([&] { return !Imp(m_pNetwork)->IsTickRunningForTest(); }));
            }
            best[0] = std::min(best[0], lateness(true));
            best[1] = std::min(best[1], lateness(false));
        }
        EXPECT_LT(best[0], 15) << "own thread, ticking=" << ticking;
        EXPECT_LT(best[1], 15) << "other thread, ticking=" << ticking;
    }
    Reactor()->CancelTimer(&keep);
}

// A wrapper deleted in the same batch that stops its network thread must
// not fire from freed memory in the timer pass that still follows.
TEST_F(ReactorTest, TimerDeletedWhileItsThreadStopsNeverFires) {
    CRtThread* extra = rttest::StartNetworkThread();
    ASSERT_NE(nullptr, extra);
    struct Sink : CRtTimerWrapperSink {
        std::atomic<int> fired{0};
        void OnTimer(CRtTimerWrapper*) override { ++fired; }
    } sink;
    auto* timer = new CRtTimerWrapper;
    IRtEventQueue* queue = extra->GetEventQueue();
    EXPECT_EQ(RT_OK, queue->SendEvent(MakeCall([&] {
        EXPECT_EQ(extra, CRtThreadManager::Instance()->GetCurrentThread());
        return timer->Schedule(&sink, CRtTimeValue(0, 1000), 0);
    })));
    ASSERT_TRUE(rttest::WaitUntil([&] { return sink.fired > 2; }));

    std::atomic<bool> go{false}, holding{false};
    int firedAtDelete = -1;
    queue->PostEvent(MakeCall([&] {
        holding = true;
        rttest::WaitUntil([&] { return go.load(); });
        return RT_OK;
    }));
    ASSERT_TRUE(rttest::WaitUntil([&] { return holding.load(); }));
    queue->PostEvent(MakeCall([&] { return extra->Stop(); }));
    queue->PostEvent(MakeCall([&] {
        delete timer;
        firedAtDelete = sink.fired;
        return RT_OK;
    }));
    go = true;
    EXPECT_EQ(RT_OK, extra->Join(2000));
    EXPECT_NE(-1, firedAtDelete);
    EXPECT_EQ(firedAtDelete, sink.fired.load());
    extra->Destory(RT_OK);
}

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "RtConditionVariable.h"
#include "RtOsThread.h"
#include "RtTestSupport.h"

using namespace std::chrono;

namespace {
const CRtTimeValue kZero(0, 0);
const CRtTimeValue kNegative(0, -5000);
}  // namespace

TEST(RtTimeoutToMs, NeverWrapsAndPollsForNegatives) {
    EXPECT_EQ(rtos::kWaitInfinite, RtTimeoutToMs(nullptr));
    EXPECT_EQ(0u, RtTimeoutToMs(&kNegative));
    CRtTimeValue sixtyDays(60 * 86400);
    EXPECT_EQ(5184000000ull, RtTimeoutToMs(&sixtyDays));
}

TEST(CRtEventThread, AutoResetLetsOneWaitThrough) {
    CRtEventThread ev(false, false);
    EXPECT_EQ(RT_ERROR_TIMEOUT, ev.Wait(&kZero));
    EXPECT_EQ(RT_ERROR_TIMEOUT, ev.Wait(&kNegative));
    ev.Signal();
    EXPECT_EQ(RT_OK, ev.Wait(nullptr));
    EXPECT_EQ(RT_ERROR_TIMEOUT, ev.Wait(&kZero));  // reset by the wait

    CRtTimeValue limit(0, 30000);
    auto start = steady_clock::now();
    EXPECT_EQ(RT_ERROR_TIMEOUT, ev.Wait(&limit));
    EXPECT_GE(duration_cast<milliseconds>(steady_clock::now() - start).count(), 25);
}

TEST(CRtEventThread, ManualResetStaysSignalledAndPulseReleasesCurrentWaiters) {
    CRtEventThread ev(true, false);
    ev.Signal();
    EXPECT_EQ(RT_OK, ev.Wait(&kZero));
    EXPECT_EQ(RT_OK, ev.Wait(&kZero));
    ev.Reset();
    EXPECT_EQ(RT_ERROR_TIMEOUT, ev.Wait(&kZero));

    std::atomic<int> released{0};
    std::atomic<int> waiting{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i) {
        threads.emplace_back([&] {
            ++waiting;
            if (ev.Wait(nullptr) == RT_OK)
                ++released;
        });
    }
    // Pulse until both waiters are released: a pulse only frees threads
    // already inside Wait.
    ASSERT_TRUE(rttest::WaitUntil([&] {
        if (waiting == 2)
            ev.Pulse();
        return released == 2;
    }));
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(RT_ERROR_TIMEOUT, ev.Wait(&kZero));  // left unsignalled
}

TEST(CRtEventThread, AutoResetPulseReleasesOneWaiter) {
    CRtEventThread ev(false, false);
    ev.Pulse();  // nobody waits: lost
    EXPECT_EQ(RT_ERROR_TIMEOUT, ev.Wait(&kZero));

    std::atomic<int> released{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i) {
        threads.emplace_back([&] {
            CRtTimeValue limit(2);
            if (ev.Wait(&limit) == RT_OK)
                ++released;
        });
    }
    // A pulse before a thread waits is lost; pulse again only when the
    // previous one released nobody.
    for (int i = 0; i < 40 && released == 0; ++i) {
        ev.Pulse();
        rttest::WaitUntil([&] { return released > 0; }, 50);
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(1, released.load());
}

TEST(CRtSemaphore, StartsEmptyAndCountsPosts) {
    CRtSemaphore sem;
    std::atomic<bool> got{false};
    std::thread taker([&] {
        sem.Lock();
        got = true;
    });
    rtos::SleepMs(20);
    EXPECT_FALSE(got.load());
    EXPECT_EQ(RT_OK, sem.UnLock());
    taker.join();
    EXPECT_TRUE(got.load());

    size_t before = rttest::ReadProcessLog().size();
    EXPECT_EQ(RT_ERROR_FAILURE, sem.PostN(0));
    EXPECT_TRUE(rttest::ProcessLogHasSince(before, "Assert failed: aCount >= 1"));
    EXPECT_EQ(RT_OK, sem.PostN(3));
    EXPECT_EQ(RT_OK, sem.Wait(&kZero));
    EXPECT_EQ(RT_OK, sem.Wait(&kZero));
    EXPECT_EQ(RT_OK, sem.Wait(&kZero));
    EXPECT_EQ(RT_ERROR_TIMEOUT, sem.Wait(&kZero));
}

TEST(CRtConditionVariableThread, SignalAndBroadcastWithoutWaitersReturnAtOnce) {
    CRtMutexThread mutex;
    CRtConditionVariableThread cv(mutex);
    EXPECT_EQ(RT_OK, cv.Signal());
    EXPECT_EQ(RT_OK, cv.Broadcast());
    EXPECT_EQ(&mutex, &cv.GetUnderlyingMutex());
}

TEST(CRtConditionVariableThread, TimedOutWaitHoldsTheMutexAgain) {
    CRtMutexThread mutex;
    CRtConditionVariableThread cv(mutex);
    mutex.Lock();
    CRtTimeValue limit(0, 10000);
    EXPECT_EQ(RT_ERROR_TIMEOUT, cv.Wait(&limit));
    RtResult other = RT_OK;
    std::thread([&] { other = mutex.TryLock(); }).join();
    EXPECT_EQ(RT_ERROR_FAILURE, other);
    mutex.UnLock();
}

TEST(CRtConditionVariableThread, BroadcastReturnsAfterEveryWaiterLeft) {
    CRtMutexThread mutex;
    CRtConditionVariableThread cv(mutex);
    int inside = 0;  // guarded by mutex
    std::atomic<int> left{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i) {
        threads.emplace_back([&] {
            mutex.Lock();
            ++inside;
            cv.Wait(nullptr);
            ++left;
            mutex.UnLock();
        });
    }
    ASSERT_TRUE(rttest::WaitUntil([&] {
        CRtMutexGuardT<CRtMutexThread> guard(mutex);
        return inside == 3;
    }));
    // Every waiter has released the mutex inside Wait once it is back here.
    mutex.Lock();
    EXPECT_EQ(RT_OK, cv.Broadcast());
    mutex.UnLock();
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(3, left.load());
}

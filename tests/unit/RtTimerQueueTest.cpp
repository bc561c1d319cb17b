#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RtTestSupport.h"
#include "RtTimerQueue.h"

namespace {

// Both clocks are the test's: time moves only when the test says so.
class TimerQueueTest : public ::testing::Test {
protected:
    static inline CRtTimeValue s_mono{1000, 0};
    // The wall clock starts at the real time: the process log follows this
    // clock, and a log line on another day would roll the log over and clear
    // the shared log folder of every file it then thinks outdated, those of
    // test processes running beside this one included.
    static inline CRtTimeValue s_wall;
    static CRtTimeValue Mono() { return s_mono; }
    static CRtTimeValue Wall() { return s_wall; }

    void SetUp() override {
        s_mono = CRtTimeValue(1000, 0);
        s_wall = CRtTimeValue::GetTimeOfDay();
        CRtTimeValue::SetMonotonicClockSource(&TimerQueueTest::Mono);
        CRtTimeValue::SetClockSource(&TimerQueueTest::Wall);
    }
    void TearDown() override {
        CRtTimeValue::SetMonotonicClockSource(nullptr);
        CRtTimeValue::SetClockSource(nullptr);
    }
    static void Advance(int64_t aMs) {
        CRtTimeValue step;
        step.SetByTotalMsec(static_cast<long>(aMs));
        s_mono += step;
        s_wall += step;
    }
};

struct Recorder : IRtTimerHandler {
    Recorder(std::vector<std::string>* aLog, const char* aName) : m_pLog(aLog), m_strName(aName) {}
    void OnTimeout(const CRtTimeValue& aCurTime, void* aArg) override {
        m_pLog->push_back(m_strName);
        m_tvLast = aCurTime;
        m_pArg = aArg;
    }
    std::vector<std::string>* m_pLog;
    std::string m_strName;
    CRtTimeValue m_tvLast;
    void* m_pArg = nullptr;
};

struct CountingObserver : IRtObserver {
    void OnObserve(const char* aTopic, void*) override {
        ++m_nCalls;
        m_strTopic = aTopic;
    }
    int m_nCalls = 0;
    std::string m_strTopic;
};

}  // namespace

TEST_F(TimerQueueTest, ArgumentsAreChecked) {
    CRtTimerQueueOrderedList queue;
    std::vector<std::string> log;
    Recorder a(&log, "a");
    EXPECT_EQ(RT_ERROR_INVALID_ARG, queue.ScheduleTimer(nullptr, nullptr, CRtTimeValue(1), 1));
    EXPECT_EQ(RT_ERROR_INVALID_ARG, queue.ScheduleTimer(&a, nullptr, CRtTimeValue::s_tvZero, 2));
    EXPECT_EQ(RT_ERROR_INVALID_ARG, queue.CancelTimer(nullptr));
    EXPECT_EQ(RT_ERROR_NOT_FOUND, queue.CancelTimer(&a));

    CRtTimeValue remain;
    EXPECT_EQ(0, queue.CheckExpire(&remain));
    EXPECT_EQ(CRtTimeValue::s_tvMax, remain);

    int token = 0;
    EXPECT_EQ(RT_OK, queue.ScheduleTimer(&a, &token, CRtTimeValue::s_tvZero, 1));
    EXPECT_EQ(1, queue.CheckExpire(&remain));
    EXPECT_EQ(&token, a.m_pArg);
    EXPECT_EQ(s_mono, a.m_tvLast);
    EXPECT_EQ(CRtTimeValue::s_tvMax, remain);
}

TEST_F(TimerQueueTest, RescheduleReplacesAndEqualDueTimesFireNewestFirst) {
    CRtTimerQueueOrderedList queue;
    std::vector<std::string> log;
    Recorder a(&log, "a"), b(&log, "b"), c(&log, "c");
    EXPECT_EQ(RT_OK, queue.ScheduleTimer(&a, nullptr, CRtTimeValue(0, 100000), 1));
    EXPECT_EQ(RT_OK, queue.ScheduleTimer(&b, nullptr, CRtTimeValue(0, 100000), 1));
    EXPECT_EQ(RT_OK, queue.ScheduleTimer(&c, nullptr, CRtTimeValue(0, 50000), 1));
    EXPECT_EQ(RT_ERROR_FOUND, queue.ScheduleTimer(&c, nullptr, CRtTimeValue(0, 200000), 1));
    EXPECT_EQ(3u, queue.GetCount());

    CRtTimeValue remain;
    Advance(60);
    EXPECT_EQ(0, queue.CheckExpire(&remain));  // c moved to 200 ms
    EXPECT_EQ(CRtTimeValue(0, 40000), remain);
    Advance(40);
    EXPECT_EQ(2, queue.CheckExpire(&remain));
    Advance(100);
    EXPECT_EQ(1, queue.CheckExpire(&remain));
    EXPECT_EQ((std::vector<std::string>{"b", "a", "c"}), log);
}

TEST_F(TimerQueueTest, PeriodicTimerKeepsItsPhaseAfterAStall) {
    CRtTimerQueueOrderedList queue;
    std::vector<std::string> log;
    Recorder p(&log, "p");
    queue.ScheduleTimer(&p, nullptr, CRtTimeValue(0, 100000), 0);
    Advance(350);  // the thread was blocked
    EXPECT_EQ(1, queue.CheckExpire());
    CRtTimeValue remain;
    queue.CheckExpire(&remain);
    EXPECT_EQ(CRtTimeValue(0, 50000), remain);  // due at 400 ms, on its own phase

    // Ten days without a pass: one firing, and the next due time is found
    // without walking every missed period.
    Advance(10LL * 86400 * 1000 + 30);
    EXPECT_EQ(1, queue.CheckExpire(&remain));
    EXPECT_GT(remain, CRtTimeValue::s_tvZero);
    EXPECT_LE(remain, CRtTimeValue(0, 100000));
    EXPECT_EQ(2u, log.size());
}

TEST_F(TimerQueueTest, CountedTimerFiresThatOftenThenLeaves) {
    CRtTimerQueueOrderedList queue;
    std::vector<std::string> log;
    Recorder t(&log, "t");
    queue.ScheduleTimer(&t, nullptr, CRtTimeValue(0, 10000), 3);
    for (int i = 0; i < 5; ++i) {
        Advance(10);
        queue.CheckExpire();
    }
    EXPECT_EQ(3u, log.size());
    EXPECT_EQ(0u, queue.GetCount());
}

TEST_F(TimerQueueTest, ObserverHearsOnlyOfTheFirstTimer) {
    CountingObserver observer;
    CRtTimerQueueOrderedList queue(&observer);
    std::vector<std::string> log;
    Recorder a(&log, "a"), b(&log, "b");
    queue.ScheduleTimer(&a, nullptr, CRtTimeValue(1), 1);
    queue.ScheduleTimer(&b, nullptr, CRtTimeValue(0, 1000), 1);  // earliest, but not first
    EXPECT_EQ(1, observer.m_nCalls);
    EXPECT_EQ("TimerQueue notify", observer.m_strTopic);
}

TEST_F(TimerQueueTest, HandlersMayCancelAndRescheduleFromTheirCallback) {
    CRtTimerQueueOrderedList queue;
    struct SelfCancel : IRtTimerHandler {
        CRtTimerQueueBase* q;
        IRtTimerHandler* other;
        int fired = 0;
        void OnTimeout(const CRtTimeValue&, void*) override {
            ++fired;
            q->CancelTimer(this);
            q->CancelTimer(other);
        }
    } first;
    std::vector<std::string> log;
    Recorder second(&log, "second");
    first.q = &queue;
    first.other = &second;
    queue.ScheduleTimer(&first, nullptr, CRtTimeValue(0, 10000), 0);
    queue.ScheduleTimer(&second, nullptr, CRtTimeValue(0, 10000), 0);
    Advance(10);
    queue.CheckExpire();  // second is newer: it fires first, then first cancels both
    Advance(100);
    queue.CheckExpire();
    EXPECT_EQ(1, first.fired);
    EXPECT_EQ(std::vector<std::string>{"second"}, log);
    EXPECT_EQ(0u, queue.GetCount());
}

TEST_F(TimerQueueTest, WallClockStepsAreReportedButDoNotMoveTimers) {
    CRtTimerQueueOrderedList queue;
    std::vector<std::string> log;
    Recorder t(&log, "t");
    queue.ScheduleTimer(&t, nullptr, CRtTimeValue(0, 100000), 1);
    queue.CheckExpire();  // the clocks as they were
    size_t before = rttest::ReadProcessLog().size();
    s_wall -= CRtTimeValue(3600);
    Advance(100);
    EXPECT_EQ(1, queue.CheckExpire());
    EXPECT_TRUE(rttest::ProcessLogHasSince(before, "CheckExpire, time fall back! last="));
}

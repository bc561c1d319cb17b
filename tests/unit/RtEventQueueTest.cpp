#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "RtEventQueue.h"
#include "RtOs.h"
#include "RtTestSupport.h"

namespace {

// Records its runs and disposals.
class Probe : public IRtEvent {
public:
    Probe(std::vector<int>* aLog, int aId, RtResult aResult = RT_OK, std::atomic<int>* aDisposed = nullptr)
        : m_pLog(aLog), m_nId(aId), m_nResult(aResult), m_pDisposed(aDisposed) {}
    RtResult OnEventFire() override {
        if (m_pLog)
            m_pLog->push_back(m_nId);
        return m_nResult;
    }
    void OnDestorySelf() override {
        if (m_pDisposed)
            ++*m_pDisposed;
        delete this;
    }

private:
    std::vector<int>* m_pLog;
    int m_nId;
    RtResult m_nResult;
    std::atomic<int>* m_pDisposed;
};

class Sleeper : public IRtEvent {
public:
    explicit Sleeper(uint32_t aMs) : m_nMs(aMs) {}
    RtResult OnEventFire() override {
        rtos::SleepMs(m_nMs);
        return RT_OK;
    }

private:
    uint32_t m_nMs;
};

// Runs a queue's events on its own thread until told to stop.
class Consumer {
public:
    explicit Consumer(CRtEventQueueUsingConditionVariable& aQueue) : m_Queue(aQueue) {
        m_Thread = std::thread([this] {
            m_Queue.Reset2CurrentThreadId();
            m_bReady = true;
            CRtEventQueueBase::EventsType events;
            CRtTimeValue limit(0, 20000);
            while (!m_bQuit) {
                events.clear();
                if (m_Queue.PopOrWaitPendingEvents(events, &limit, 0xFFFFFFFF) == RT_OK)
                    m_Queue.ProcessEvents(events);
            }
        });
        rttest::WaitUntil([this] { return m_bReady.load(); });
    }
    ~Consumer() {
        m_bQuit = true;
        m_Thread.join();
    }

private:
    CRtEventQueueUsingConditionVariable& m_Queue;
    std::thread m_Thread;
    std::atomic<bool> m_bReady{false};
    std::atomic<bool> m_bQuit{false};
};

}  // namespace

TEST(CRtEventQueue, RunsInPostOrderWhateverThePriority) {
    std::vector<int> log;
    CRtEventQueueBase queue;
    queue.Reset2CurrentThreadId();
    queue.PostEvent(new Probe(&log, 1), IRtEventQueue::EPRIORITY_LOW);
    queue.PostEvent(new Probe(&log, 2), IRtEventQueue::EPRIORITY_HIGH);
    queue.PostEvent(new Probe(&log, 3), IRtEventQueue::EPRIORITY_NORMAL);
    // Sent from the owning thread: runs at once, ahead of what is pending.
    EXPECT_EQ(RT_ERROR_TIMEOUT, queue.SendEvent(new Probe(&log, 9, RT_ERROR_TIMEOUT)));
    EXPECT_EQ(std::vector<int>{9}, log);
    EXPECT_EQ(3u, queue.GetPendingEventsCount());
    queue.DestoryPendingEvents();
    EXPECT_TRUE(queue.IsEmpty());
    EXPECT_EQ(std::vector<int>{9}, log);

    CRtEventQueueUsingMutex locked;
    locked.PostEvent(new Probe(&log, 1), IRtEventQueue::EPRIORITY_LOW);
    locked.PostEvent(new Probe(&log, 2), IRtEventQueue::EPRIORITY_HIGH);
    CRtEventQueueBase::EventsType batch;
    unsigned long remain = 99;
    ASSERT_EQ(RT_OK, locked.PopPendingEventsWithoutWait(batch, 0xFFFFFFFF, &remain));
    locked.ProcessEvents(batch);
    EXPECT_EQ((std::vector<int>{9, 1, 2}), log);
    EXPECT_EQ(0u, remain);
}

TEST(CRtEventQueue, PopTakesAtMostTheMaximum) {
    CRtEventQueueUsingMutex queue;
    CRtEventQueueBase::EventsType batch;
    EXPECT_EQ(RT_ERROR_NOT_FOUND, queue.PopPendingEventsWithoutWait(batch, 5, nullptr));
    for (int i = 0; i < 5; ++i)
        queue.PostEvent(new Probe(nullptr, i));
    unsigned long remain = 0;
    EXPECT_EQ(RT_OK, queue.PopPendingEventsWithoutWait(batch, 2, &remain));
    EXPECT_EQ(2u, batch.size());
    EXPECT_EQ(3u, remain);
    queue.ProcessEvents(batch);
    batch.clear();
    IRtEvent* one = nullptr;
    EXPECT_EQ(RT_OK, queue.PopOnePendingEventWithoutWait(one, &remain));
    EXPECT_EQ(2u, remain);
    queue.ProcessOneEvent(one);
    EXPECT_EQ(RT_OK, queue.PopPendingEventsWithoutWait(batch, 5, &remain));
    EXPECT_EQ(2u, batch.size());
    EXPECT_EQ(0u, remain);
    queue.ProcessEvents(batch);
}

TEST(CRtEventQueue, NullAndStoppedPosts) {
    CRtEventQueueBase base;
    EXPECT_EQ(RT_ERROR_INVALID_ARG, base.PostEvent(nullptr));
    EXPECT_EQ(RT_ERROR_INVALID_ARG, base.SendEvent(nullptr));
    CRtEventQueueUsingMutex locked;
    EXPECT_EQ(RT_ERROR_INVALID_ARG, locked.PostEvent(nullptr));

    std::atomic<int> disposed{0};
    std::vector<int> log;
    locked.Stop();
    EXPECT_EQ(RT_ERROR_NOT_INITIALIZED, locked.PostEvent(new Probe(&log, 1, RT_OK, &disposed)));
    EXPECT_EQ(RT_ERROR_NOT_INITIALIZED, locked.SendEvent(new Probe(&log, 2, RT_OK, &disposed)));
    EXPECT_EQ(2, disposed.load());
    EXPECT_TRUE(log.empty());
}

TEST(CRtEventQueueUsingConditionVariable, WaitEndsAtTheLimitOrOnAPost) {
    CRtEventQueueUsingConditionVariable queue;
    CRtEventQueueBase::EventsType batch;
    CRtTimeValue limit(0, 10000);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RT_ERROR_NOT_FOUND, queue.PopOrWaitPendingEvents(batch, &limit, 0xFFFFFFFF));
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count(),
              9);

    // A null post wakes a consumer waiting without limit.
    std::atomic<RtResult> popped{RT_ERROR_FAILURE};
    std::atomic<bool> done{false};
    std::thread consumer([&] {
        CRtEventQueueBase::EventsType events;
        popped = queue.PopOrWaitPendingEvents(events, nullptr, 0xFFFFFFFF);
        done = true;
    });
    ASSERT_TRUE(rttest::WaitUntil([&] {
        EXPECT_EQ(RT_OK, queue.PostEvent(nullptr));
        return done.load();
    }));
    consumer.join();
    EXPECT_EQ(RT_ERROR_NOT_FOUND, popped.load());
}

TEST(CRtEventQueue, SendFromAnotherThreadReturnsTheResultAfterTheRun) {
    CRtEventQueueUsingConditionVariable queue;
    Consumer consumer(queue);
    std::vector<int> log;
    std::atomic<int> disposed{0};
    EXPECT_EQ(RT_ERROR_FOUND, queue.SendEvent(new Probe(&log, 7, RT_ERROR_FOUND, &disposed)));
    EXPECT_EQ(std::vector<int>{7}, log);
    // Disposed of on the owning thread, just after the sender was released.
    EXPECT_TRUE(rttest::WaitUntil([&] { return disposed == 1; }));
}

// A sender must not stay blocked when its event is thrown away unrun.
TEST(CRtEventQueue, SenderIsReleasedWhenTheQueueDropsItsEvent) {
    CRtEventQueueUsingConditionVariable queue;
    std::atomic<bool> releaseBlocker{false};
    std::atomic<bool> blockerRunning{false};
    class Blocker : public IRtEvent {
    public:
        Blocker(std::atomic<bool>& aGo, std::atomic<bool>& aRunning) : m_Go(aGo), m_Running(aRunning) {}
        RtResult OnEventFire() override {
            m_Running = true;
            rttest::WaitUntil([this] { return m_Go.load(); });
            return RT_OK;
        }

    private:
        std::atomic<bool>& m_Go;
        std::atomic<bool>& m_Running;
    };

    std::atomic<bool> stop{false};
    std::thread owner([&] {
        queue.Reset2CurrentThreadId();
        CRtEventQueueBase::EventsType events;
        CRtTimeValue limit(0, 5000);
        // One event at a time, so the sent one stays queued behind the blocker.
        while (!stop) {
            events.clear();
            if (queue.PopOrWaitPendingEvents(events, &limit, 1) == RT_OK)
                queue.ProcessEvents(events);
        }
        queue.DestoryPendingEvents();
    });
    queue.PostEvent(new Blocker(releaseBlocker, blockerRunning));
    ASSERT_TRUE(rttest::WaitUntil([&] { return blockerRunning.load(); }));

    std::atomic<int> disposed{0};
    std::vector<int> log;
    std::atomic<RtResult> sent{RT_OK};
    std::atomic<bool> senderDone{false};
    std::thread sender([&] {
        sent = queue.SendEvent(new Probe(&log, 1, RT_OK, &disposed));
        senderDone = true;
    });
    ASSERT_TRUE(rttest::WaitUntil([&] { return queue.GetPendingEventsCount() == 1; }));
    queue.Stop();
    stop = true;
    releaseBlocker = true;
    EXPECT_TRUE(rttest::WaitUntil([&] { return senderDone.load(); }, 2000));
    sender.join();
    owner.join();
    EXPECT_EQ(RT_ERROR_NOT_INITIALIZED, sent.load());
    EXPECT_EQ(1, disposed.load());
    EXPECT_TRUE(log.empty());
}

TEST(CRtEventQueue, SlowEventsAreReported) {
    CRtEventQueueBase queue;
    size_t before = rttest::ReadProcessLog().size();
    queue.ProcessOneEvent(new Sleeper(50));
    EXPECT_FALSE(rttest::ProcessLogHasSince(before, "ProcessOneEvent, report, sec="));
    queue.ProcessOneEvent(new Sleeper(150));
    EXPECT_TRUE(rttest::ProcessLogHasSince(before, "CRtEventQueueBase::ProcessOneEvent, report, sec=0 usec="));
}

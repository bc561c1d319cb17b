#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "RtTestEvents.h"
#include "RtTestSupport.h"
#include "RtThread.h"
#include "RtThreadManager.h"
#include "RtThreadSwitch.h"
#include "RtThreadTask.h"
#include "RtTimerWrapper.h"
#include "RtUtilTemplates.h"

namespace {

using rttest::MakeCall;

using rttest::TaskThread;

}  // namespace

TEST(CRtThread, WrongTypeIsRefused) {
    class Idle : public CRtThread {
    public:
        void OnThreadRun() override {}
    };
    size_t before = rttest::ReadProcessLog().size();
    CRtThread* t = new Idle;
    EXPECT_EQ(RT_ERROR_UNEXPECTED, t->Create(3, "bad"));
    EXPECT_TRUE(rttest::ProcessLogHasSince(before, "CRtThread::Create, wrong thread type! type =3"));
    t->Destory(RT_OK);
}

TEST(CRtThreadTask, KnowsItselfAndIsKnownByTheManager) {
    TaskThread task;
    uint32_t id = task->GetThreadId();
    ASSERT_NE(0u, id);
    EXPECT_EQ(task.Get(), CRtThreadManager::GetThread(id));
    EXPECT_EQ(task.Get(), CRtThreadManager::Instance()->GetTaskThread(id));
    EXPECT_EQ(RT_OK, task.RunSync([&] {
        return CRtThreadManager::Instance()->GetCurrentThread() == task.Get() ? RT_OK : RT_ERROR_FAILURE;
    }));
    EXPECT_EQ(task->GetThreadId(), task->GetTid());
    CRtThread* onPlainThread = task.Get();
    std::thread([&] { onPlainThread = CRtThreadManager::Instance()->GetCurrentThread(); }).join();
    EXPECT_EQ(nullptr, onPlainThread);
    EXPECT_EQ(RT_ERROR_FAILURE, task.RunSync([&] { return task->Join(); }));
}

TEST(CRtThreadTask, StopRunsWhatCameBeforeAndRefusesWhatComesAfter) {
    TaskThread task;
    std::atomic<int> ran{0};
    for (int i = 0; i < 10; ++i)
        task->GetEventQueue()->PostEvent(MakeCall([&] {
            ++ran;
            return RT_OK;
        }));
    EXPECT_EQ(RT_OK, task->Stop());
    int disposedLate = 0;
    class Late : public IRtEvent {
    public:
        explicit Late(int* aCount) : m_pCount(aCount) {}
        RtResult OnEventFire() override { return RT_OK; }
        void OnDestorySelf() override {
            ++*m_pCount;
            delete this;
        }

    private:
        int* m_pCount;
    };
    EXPECT_EQ(RT_ERROR_NOT_INITIALIZED, task->GetEventQueue()->PostEvent(new Late(&disposedLate)));
    EXPECT_EQ(1, disposedLate);
    EXPECT_EQ(RT_OK, task->Join(5000));
    EXPECT_EQ(10, ran.load());
    EXPECT_TRUE(task->IsStopped());
    EXPECT_EQ(RT_OK, task->Join());  // a second join has nothing to do
}

TEST(CRtThread, WaitForRunHoldsTheLoopBack) {
    CRtThread* pThread = nullptr;
    ASSERT_EQ(RT_OK, CRtThreadManager::Instance()->CreateUserTaskThread(
                         pThread, false, CRtThread::TF_JOINABLE | CRtThread::TF_WAIT_FOR_RUN, "gated"));
    std::atomic<bool> ran{false};
    pThread->GetEventQueue()->PostEvent(MakeCall([&] {
        ran = true;
        return RT_OK;
    }));
    rtos::SleepMs(30);
    EXPECT_FALSE(ran.load());
    pThread->Run();
    EXPECT_TRUE(rttest::WaitUntil([&] { return ran.load(); }));
    pThread->Stop();
    pThread->Join();
    pThread->Destory(RT_OK);
}

TEST(CRtThreadTask, SleepingThreadWakesForItsFirstTimer) {
    TaskThread task;
    struct Handler : IRtTimerHandler {
        std::atomic<int> fired{0};
        void OnTimeout(const CRtTimeValue&, void*) override { ++fired; }
    } handler;
    rtos::SleepMs(20);  // the loop is asleep without a time limit now
    ASSERT_EQ(RT_OK, task->GetTimerQueue()->ScheduleTimer(&handler, nullptr, CRtTimeValue(0, 20000), 1));
    EXPECT_TRUE(rttest::WaitUntil([&] { return handler.fired == 1; }, 2000));
}

TEST(CRtTimerWrapper, BindsToItsThreadAndCountsDown) {
    TaskThread task;
    struct Sink : CRtTimerWrapperSink {
        std::atomic<int> fired{0};
        std::atomic<bool> scheduledAtThird{true};
        void OnTimer(CRtTimerWrapper* aId) override {
            // Recorded before the count moves: the test reads it once it sees 3.
            if (fired.load() == 2)
                scheduledAtThird = aId->IsScheduled();
            ++fired;
        }
    } sink;
    CRtTimerWrapper timer;
    EXPECT_EQ(RT_OK, task.RunSync([&] { return timer.Schedule(&sink, CRtTimeValue(0, 5000), 3); }));
    EXPECT_EQ(task.Get(), timer.GetThread());
    ASSERT_TRUE(rttest::WaitUntil([&] { return sink.fired == 3; }));
    EXPECT_FALSE(sink.scheduledAtThird.load());

    // From another thread than its own: refused.
    size_t before = rttest::ReadProcessLog().size();
    TaskThread other;
    EXPECT_EQ(RT_ERROR_FAILURE, other.RunSync([&] { return timer.Schedule(&sink, CRtTimeValue(1), 1); }));
    EXPECT_TRUE(rttest::ProcessLogHasSince(before, "CRtTimerWrapper::Schedule, thread not match! open threadid="));

    // Moved: detach on the old thread, schedule through an event on the new.
    EXPECT_EQ(RT_OK, task.RunSync([&] { return timer.DetachThread(); }));
    other->GetEventQueue()->PostEvent(new CRescheduleTimerThreadChanged(&timer, &sink, CRtTimeValue(0, 5000), 1));
    ASSERT_TRUE(rttest::WaitUntil([&] { return sink.fired == 4; }));
    EXPECT_EQ(other.Get(), timer.GetThread());

    // Outside any framework thread there is no queue to bind to.
    CRtTimerWrapper unbound;
    RtResult outside = RT_OK;
    std::thread([&] { outside = unbound.Schedule(&sink, CRtTimeValue(1), 1); }).join();
    EXPECT_EQ(RT_ERROR_NULL_POINTER, outside);
}

// A wrapper cancelled on a stopping thread must never fire afterwards.
TEST(CRtTimerWrapper, CancelledOnAStoppingThreadNeverFires) {
    TaskThread task;
    struct Sink : CRtTimerWrapperSink {
        std::atomic<int> fired{0};
        void OnTimer(CRtTimerWrapper*) override { ++fired; }
    } sink;
    auto* timer = new CRtTimerWrapper;
    task.RunSync([&] { return timer->Schedule(&sink, CRtTimeValue(0, 1000), 0); });
    ASSERT_TRUE(rttest::WaitUntil([&] { return sink.fired > 0; }));
    int firedAtDelete = -1;
    task->GetEventQueue()->PostEvent(MakeCall([&] {
        task->Stop();
        delete timer;  // cancels while the thread stops
        firedAtDelete = sink.fired;
        return RT_OK;
    }));
    task->Join(5000);
    EXPECT_NE(-1, firedAtDelete);
    EXPECT_EQ(firedAtDelete, sink.fired.load());
}

namespace {
class Deferred : public CRtReferenceControlTimerDeleteT<CRtMutexThread> {
public:
    explicit Deferred(std::atomic<int>* aDestroyed) : m_pDestroyed(aDestroyed) {}
    ~Deferred() override { ++*m_pDestroyed; }

private:
    std::atomic<int>* m_pDestroyed;
};
}  // namespace

TEST(CRtReferenceControlTimerDeleteT, DeletesOnTheNextPassUnlessReferencedAgain) {
    TaskThread task;
    std::atomic<int> destroyed{0};
    Deferred* obj = nullptr;
    task.RunSync([&] {
        obj = new Deferred(&destroyed);
        obj->AddReference();
        obj->ReleaseReference();  // deletion scheduled, not done
        EXPECT_EQ(0, destroyed.load());
        obj->AddReference();  // a new holder before the timer pass
        return RT_OK;
    });
    rttest::Drain(task.Get());  // a timer pass ran in between
    EXPECT_EQ(0, destroyed.load());
    task.RunSync([&] {
        obj->ReleaseReference();
        return RT_OK;
    });
    EXPECT_TRUE(rttest::WaitUntil([&] { return destroyed == 1; }));
    rttest::Drain(task.Get());
    EXPECT_EQ(1, destroyed.load());

    // A second launch before the pass is refused and reported.
    size_t before = rttest::ReadProcessLog().size();
    std::atomic<int> destroyed2{0};
    task.RunSync([&] {
        Deferred* twice = new Deferred(&destroyed2);
        twice->AddReference();
        twice->ReleaseReference();
        twice->AddReference();
        twice->ReleaseReference();
        return RT_OK;
    });
    EXPECT_TRUE(rttest::WaitUntil([&] { return destroyed2 == 1; }));
    EXPECT_TRUE(rttest::ProcessLogHasSince(before, "Assert failed: !m_bHaveLaunched"));
}

TEST(CThreadSwitch, RunsOnTheTargetThread) {
    TaskThread task;
    struct Target {
        uint32_t seen = 0;
        int Record(unsigned long aAdd, void* aOut) {
            seen = CRtThreadManager::GetThreadSelfId();
            *static_cast<unsigned long*>(aOut) += aAdd;
            return 42;
        }
    } target;
    unsigned long sum = 0;
    typedef Function::MemFunctor2<Target, int (Target::*)(unsigned long, void*), unsigned long, void*> Fn;
    EXPECT_EQ(42, CThreadSwitch::SwitchToThreadSyn(new Fn(&target, &Target::Record, 5, &sum), task->GetThreadId()));
    EXPECT_EQ(task->GetThreadId(), target.seen);
    EXPECT_EQ(5u, sum);
    // To its own thread: at once.
    EXPECT_EQ(RT_OK, task.RunSync([&] {
        return CThreadSwitch::SwitchToThreadSyn(new Fn(&target, &Target::Record, 1, &sum), task->GetThreadId()) == 42
                   ? RT_OK
                   : RT_ERROR_FAILURE;
    }));
    EXPECT_EQ(6u, sum);
}

// Whatever refuses the work (no such thread, no thread at all, a stopped
// one), the caller has given it away: it never runs and is disposed of
// once, so the caller must not free it (nor may it leak).
TEST(CThreadSwitch, RefusedWorkIsDisposedOfExactlyOnce) {
    struct Counted : public Function::Functor {
        Counted(std::atomic<int>* aFired, std::atomic<int>* aDisposed) : m_pFired(aFired), m_pDisposed(aDisposed) {}
        RtResult OnEventFire() override {
            ++*m_pFired;
            return RT_OK;
        }
        void OnDestorySelf() override {
            ++*m_pDisposed;
            delete this;
        }
        std::atomic<int>* m_pFired;
        std::atomic<int>* m_pDisposed;
    };
    std::atomic<int> fired{0}, disposed{0};
    auto make = [&] { return new Counted(&fired, &disposed); };
    const unsigned long kNoThread = 0xFFFFFFF0u;

    EXPECT_EQ(RT_ERROR_NULL_POINTER, CThreadSwitch::SwitchToThreadSyn(make(), kNoThread));
    EXPECT_EQ(RT_ERROR_NULL_POINTER, CThreadSwitch::SwitchToThreadAsyn(make(), kNoThread));
    EXPECT_EQ(RT_ERROR_NULL_POINTER, CThreadSwitch::SendToThread(nullptr, make()));
    EXPECT_EQ(RT_ERROR_NULL_POINTER, CThreadSwitch::PostToThread(nullptr, make()));
    EXPECT_EQ(4, disposed.load());

    TaskThread task;
    task->Stop();
    task->Join();
    EXPECT_EQ(RT_ERROR_NOT_INITIALIZED, CThreadSwitch::SwitchToThreadSyn(make(), task->GetThreadId()));
    EXPECT_EQ(RT_ERROR_NOT_INITIALIZED, CThreadSwitch::SwitchToThreadAsyn(make(), task->GetThreadId()));
    EXPECT_EQ(RT_ERROR_NOT_INITIALIZED, CThreadSwitch::PostToThread(task.Get(), make()));
    EXPECT_EQ(7, disposed.load());
    EXPECT_EQ(0, fired.load());
}

// Lookups stay safe while task threads come and go.
TEST(CRtThreadManager, RegistryReadsRaceWithThreadsComingAndGoing) {
    std::atomic<bool> done{false};
    std::vector<std::thread> readers;
    for (int i = 0; i < 2; ++i) {
        readers.emplace_back([&] {
            while (!done) {
                CRtThreadManager::GetThread(CRtThreadManager::GetThreadSelfId());
                std::vector<CRtThread*> list;
                CRtThreadManager::Instance()->GetNetworkThreadList(list);
            }
        });
    }
    for (int i = 0; i < 40; ++i) {
        TaskThread t(i % 2 == 0);
        ASSERT_NE(nullptr, t.Get());
    }
    done = true;
    for (auto& r : readers)
        r.join();
}

TEST(CRtStopFlag, StartsStoppedAndReportsASecondStart) {
    CRtStopFlag flag;
    EXPECT_TRUE(flag.IsFlagStopped());
    size_t before = rttest::ReadProcessLog().size();
    flag.SetStartFlag();
    EXPECT_FALSE(rttest::ProcessLogHasSince(before, "Assert failed: stoppedflag_"));
    flag.SetStartFlag();
    EXPECT_TRUE(rttest::ProcessLogHasSince(before, "Assert failed: stoppedflag_"));
    EXPECT_FALSE(flag.IsFlagStopped());
    flag.SetStopFlag();
    EXPECT_TRUE(flag.IsFlagStopped());
}

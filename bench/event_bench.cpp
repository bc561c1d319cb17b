// Cross-thread event hand-off and timer queue cost, each against a plain
// standard-library baseline measured in the same run:
//   - PostEvent throughput and one-way latency to a task thread and to a
//     network (reactor) thread vs a std::mutex + std::condition_variable
//     queue;
//   - SendEvent round trip vs posting to such a queue and waiting for the
//     answer;
//   - scheduling, cancelling and firing 100,000 timers vs a
//     std::multimap-based queue.
//
// Run: build/default/bench/rt_event_bench
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "RtBenchRatio.h"
#include "RtThread.h"
#include "RtThreadManager.h"
#include "RtThreadTask.h"
#include "RtTimerQueue.h"

namespace {

// ---- Baseline: a mutex + condition variable queue with its own thread ------
class PlainQueue {
public:
    PlainQueue() : m_Thread([this] { Run(); }) {}
    ~PlainQueue() {
        Post(nullptr);
        m_Thread.join();
    }
    // A null task ends the consumer.
    void Post(std::function<void()>* aTask) {
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_Tasks.push_back(aTask);
        }
        m_Cond.notify_one();
    }

private:
    void Run() {
        std::deque<std::function<void()>*> batch;
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(m_Mutex);
                m_Cond.wait(lock, [this] { return !m_Tasks.empty(); });
                batch.swap(m_Tasks);
            }
            for (auto* task : batch) {
                if (!task)
                    return;
                (*task)();
                delete task;
            }
            batch.clear();
        }
    }

    std::mutex m_Mutex;
    std::condition_variable m_Cond;
    std::deque<std::function<void()>*> m_Tasks;
    std::thread m_Thread;
};

template <class Fn>
class CallEvent : public IRtEvent {
public:
    explicit CallEvent(Fn aFn) : m_Fn(std::move(aFn)) {}
    RtResult OnEventFire() override {
        m_Fn();
        return RT_OK;
    }

private:
    Fn m_Fn;
};
template <class Fn>
IRtEvent* MakeEvent(Fn aFn) {
    return new CallEvent<Fn>(std::move(aFn));
}

class TaskThread {
public:
    explicit TaskThread(bool aWithTimers = true) {
        CRtThreadManager::Instance()->CreateUserTaskThread(m_pThread, aWithTimers, CRtThread::TF_JOINABLE, "bench");
    }
    ~TaskThread() {
        m_pThread->Stop();
        m_pThread->Join();
        m_pThread->Destory(RT_OK);
    }
    IRtEventQueue* Queue() { return m_pThread->GetEventQueue(); }

private:
    CRtThread* m_pThread = nullptr;
};

void WaitFor(const std::atomic<int64_t>& aCounter, int64_t aValue) {
    while (aCounter.load(std::memory_order_acquire) < aValue)
        std::this_thread::yield();
}

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// ---- Throughput and one-way latency -------------------------------------------
// aPost hands a callable to the thread under test.
template <class Post>
void Throughput(benchmark::State& aState, Post aPost) {
    std::atomic<int64_t> done{0};
    for (auto _ : aState)
        aPost([&done] { done.fetch_add(1, std::memory_order_release); });
    WaitFor(done, aState.iterations());
    aState.SetItemsProcessed(aState.iterations());
}

// One event in flight at a time: the time from its post to its run.
template <class Post>
void Latency(benchmark::State& aState, Post aPost) {
    std::atomic<int64_t> done{0};
    std::atomic<int64_t> totalNs{0};
    int64_t sent = 0;
    for (auto _ : aState) {
        int64_t stamp = NowNs();
        aPost([&, stamp] {
            totalNs.fetch_add(NowNs() - stamp, std::memory_order_relaxed);
            done.fetch_add(1, std::memory_order_release);
        });
        WaitFor(done, ++sent);
    }
    aState.counters["one_way_us"] = static_cast<double>(totalNs.load()) / 1000.0 / static_cast<double>(sent);
}

IRtEventQueue* NetworkQueue() { return CRtThreadManager::Instance()->GetDefaultNetworkThread()->GetEventQueue(); }

template <class Fn>
void PostTo(PlainQueue& aQueue, Fn aFn) {
    aQueue.Post(new std::function<void()>(std::move(aFn)));
}
template <class Fn>
void PostTo(IRtEventQueue* aQueue, Fn aFn) {
    aQueue->PostEvent(MakeEvent(std::move(aFn)));
}

void BM_Post_MutexCondvar(benchmark::State& aState) {
    PlainQueue queue;
    Throughput(aState, [&](auto aFn) { PostTo(queue, aFn); });
}
void BM_Post_TaskThread(benchmark::State& aState) {
    TaskThread task;
    Throughput(aState, [&](auto aFn) { PostTo(task.Queue(), aFn); });
}
void BM_Post_TaskThreadQueueOnly(benchmark::State& aState) {
    TaskThread task(false);
    Throughput(aState, [&](auto aFn) { PostTo(task.Queue(), aFn); });
}
void BM_Post_NetworkThread(benchmark::State& aState) {
    Throughput(aState, [&](auto aFn) { PostTo(NetworkQueue(), aFn); });
}
void BM_Latency_MutexCondvar(benchmark::State& aState) {
    PlainQueue queue;
    Latency(aState, [&](auto aFn) { PostTo(queue, aFn); });
}
void BM_Latency_TaskThread(benchmark::State& aState) {
    TaskThread task;
    Latency(aState, [&](auto aFn) { PostTo(task.Queue(), aFn); });
}
void BM_Latency_NetworkThread(benchmark::State& aState) {
    Latency(aState, [&](auto aFn) { PostTo(NetworkQueue(), aFn); });
}

// ---- Synchronous round trip -------------------------------------------------
void BM_RoundTrip_MutexCondvar(benchmark::State& aState) {
    PlainQueue queue;
    std::mutex mutex;
    std::condition_variable cond;
    for (auto _ : aState) {
        bool answered = false;
        queue.Post(new std::function<void()>([&] {
            std::lock_guard<std::mutex> lock(mutex);
            answered = true;
            cond.notify_one();
        }));
        std::unique_lock<std::mutex> lock(mutex);
        cond.wait(lock, [&] { return answered; });
    }
    aState.SetItemsProcessed(aState.iterations());
}

void BM_RoundTrip_SendEvent(benchmark::State& aState) {
    TaskThread task;
    int value = 0;
    for (auto _ : aState)
        task.Queue()->SendEvent(MakeEvent([&value] { ++value; }));
    benchmark::DoNotOptimize(value);
    aState.SetItemsProcessed(aState.iterations());
}

// ---- Timers ---------------------------------------------------------------------
constexpr int kTimers = 100000;

struct Handler : IRtTimerHandler {
    int fired = 0;
    void OnTimeout(const CRtTimeValue&, void*) override { ++fired; }
};

// The baseline: due times in a multimap, an index for cancelling, one lock.
class MultimapQueue {
public:
    void Schedule(Handler* aHandler, const CRtTimeValue& aInterval) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        Cancel_l(aHandler);
        m_Index[aHandler] = m_Timers.emplace(CRtTimeValue::GetMonotonicTime() + aInterval, aHandler);
    }
    void Cancel(Handler* aHandler) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        Cancel_l(aHandler);
    }
    int Expire(const CRtTimeValue& aNow) {
        int fired = 0;
        std::unique_lock<std::mutex> lock(m_Mutex);
        while (!m_Timers.empty() && m_Timers.begin()->first <= aNow) {
            Handler* handler = m_Timers.begin()->second;
            m_Index.erase(handler);
            m_Timers.erase(m_Timers.begin());
            lock.unlock();
            handler->OnTimeout(aNow, nullptr);
            ++fired;
            lock.lock();
        }
        return fired;
    }

private:
    void Cancel_l(Handler* aHandler) {
        auto found = m_Index.find(aHandler);
        if (found != m_Index.end()) {
            m_Timers.erase(found->second);
            m_Index.erase(found);
        }
    }
    std::mutex m_Mutex;
    std::multimap<CRtTimeValue, Handler*> m_Timers;
    std::unordered_map<Handler*, std::multimap<CRtTimeValue, Handler*>::iterator> m_Index;
};

CRtTimeValue IntervalOf(int i) { return CRtTimeValue(1 + i % 1000, (i * 7919) % 1000000); }

void BM_RoundTrip_SendEventNetwork(benchmark::State& aState) {
    IRtEventQueue* queue = NetworkQueue();
    int value = 0;
    for (auto _ : aState)
        queue->SendEvent(MakeEvent([&value] { ++value; }));
    benchmark::DoNotOptimize(value);
    aState.SetItemsProcessed(aState.iterations());
}

void BM_Timers_Multimap(benchmark::State& aState) {
    std::vector<Handler> handlers(kTimers);
    for (auto _ : aState) {
        MultimapQueue queue;
        for (int i = 0; i < kTimers; ++i)
            queue.Schedule(&handlers[i], IntervalOf(i));
        for (int i = 0; i < kTimers; i += 2)
            queue.Cancel(&handlers[i]);
        benchmark::DoNotOptimize(queue.Expire(CRtTimeValue::GetMonotonicTime() + CRtTimeValue(2000)));
    }
    aState.SetItemsProcessed(aState.iterations() * kTimers);
}

void BM_Timers_TimerQueue(benchmark::State& aState) {
    std::vector<Handler> handlers(kTimers);
    static CRtTimeValue s_future;
    for (auto _ : aState) {
        CRtTimerQueueOrderedList queue;
        for (int i = 0; i < kTimers; ++i)
            queue.ScheduleTimer(&handlers[i], nullptr, IntervalOf(i), 1);
        for (int i = 0; i < kTimers; i += 2)
            queue.CancelTimer(&handlers[i]);
        // Every timer is due: look from past the last due time.
        s_future = CRtTimeValue::GetMonotonicTime() + CRtTimeValue(2000);
        CRtTimeValue::SetMonotonicClockSource([] { return s_future; });
        benchmark::DoNotOptimize(queue.CheckExpire());
        CRtTimeValue::SetMonotonicClockSource(nullptr);
    }
    aState.SetItemsProcessed(aState.iterations() * kTimers);
}

BENCHMARK(BM_Post_MutexCondvar)->UseRealTime();
BENCHMARK(BM_Post_TaskThread)->UseRealTime();
BENCHMARK(BM_Post_TaskThreadQueueOnly)->UseRealTime();
BENCHMARK(BM_Post_NetworkThread)->UseRealTime();
BENCHMARK(BM_Latency_MutexCondvar)->UseRealTime();
BENCHMARK(BM_Latency_TaskThread)->UseRealTime();
BENCHMARK(BM_Latency_NetworkThread)->UseRealTime();
BENCHMARK(BM_RoundTrip_MutexCondvar)->UseRealTime();
BENCHMARK(BM_RoundTrip_SendEvent)->UseRealTime();
BENCHMARK(BM_RoundTrip_SendEventNetwork)->UseRealTime();
BENCHMARK(BM_Timers_Multimap)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Timers_TimerQueue)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RtRatioReporter reporter({
        {"BM_Post_TaskThread/real_time", "BM_Post_MutexCondvar/real_time"},
        {"BM_Post_TaskThreadQueueOnly/real_time", "BM_Post_MutexCondvar/real_time"},
        {"BM_Post_NetworkThread/real_time", "BM_Post_MutexCondvar/real_time"},
        {"BM_Latency_TaskThread/real_time", "BM_Latency_MutexCondvar/real_time"},
        {"BM_Latency_NetworkThread/real_time", "BM_Latency_MutexCondvar/real_time"},
        {"BM_RoundTrip_SendEvent/real_time", "BM_RoundTrip_MutexCondvar/real_time"},
        {"BM_RoundTrip_SendEventNetwork/real_time", "BM_RoundTrip_MutexCondvar/real_time"},
        {"BM_Timers_TimerQueue/real_time", "BM_Timers_Multimap/real_time"},
    });
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}

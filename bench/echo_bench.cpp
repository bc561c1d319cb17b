// TCP echo through the framework's thread proxies, against a minimal
// single-threaded epoll echo server, both on loopback in the same run:
//   - throughput: 16 MiB per iteration, sent in 64 KiB pieces while a
//     reader thread takes the echo back;
//   - small-message round trips: 64 bytes out, 64 bytes back.
// The framework server runs as the service does: the listener and its
// callbacks on a user thread (TS_SINGLE_THREAD), the sockets on a network
// thread, so every byte crosses threads twice.
//
// Run: build/default/bench/rt_echo_bench
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "RtBenchRatio.h"
#include "raw_echo.h"
#include "RtEchoServer.h"
#include "RtTestEvents.h"
#include "RtThread.h"
#include "RtThreadManager.h"

namespace {

// ---- The framework server on a user thread -----------------------------------------
class FrameworkEcho {
public:
    FrameworkEcho() {
        CRtThreadManager::Instance()->CreateUserTaskThread(m_pUser, true, CRtThread::TF_JOINABLE, "echo");
        m_pUser->GetEventQueue()->SendEvent(
            rttest::MakeCall([this] { return m_Server.Start(TS_SINGLE_THREAD, LB_CURRENT_THREAD, m_nPort); }));
    }
    ~FrameworkEcho() {
        m_pUser->GetEventQueue()->SendEvent(rttest::MakeCall([this] {
            m_Server.Stop();
            return RT_OK;
        }));
        m_pUser->Stop();
        m_pUser->Join();
        m_pUser->Destory(RT_OK);
    }
    uint16_t Port() const { return m_nPort; }

private:
    CRtThread* m_pUser = nullptr;
    rttest::EchoServer m_Server;
    uint16_t m_nPort = 0;
};

void BM_Echo_Epoll(benchmark::State& aState) {
    rawecho::EpollEcho server;
    for (auto _ : aState)
        rawecho::Throughput(server.Port(), 1);
    aState.SetBytesProcessed(static_cast<int64_t>(aState.iterations() * rawecho::kTransfer));
    aState.SetItemsProcessed(static_cast<int64_t>(aState.iterations() * rawecho::kTransfer));
}
void BM_Echo_Framework(benchmark::State& aState) {
    FrameworkEcho server;
    for (auto _ : aState)
        rawecho::Throughput(server.Port(), 1);
    aState.SetBytesProcessed(static_cast<int64_t>(aState.iterations() * rawecho::kTransfer));
    aState.SetItemsProcessed(static_cast<int64_t>(aState.iterations() * rawecho::kTransfer));
}
// Round trips in batches of 1000 per iteration, so that connecting does not
// count.
void BM_RoundTrip_Epoll(benchmark::State& aState) {
    rawecho::EpollEcho server;
    for (auto _ : aState)
        rawecho::RoundTrips(server.Port(), 1000);
    aState.SetItemsProcessed(aState.iterations() * 1000);
}
void BM_RoundTrip_Framework(benchmark::State& aState) {
    FrameworkEcho server;
    for (auto _ : aState)
        rawecho::RoundTrips(server.Port(), 1000);
    aState.SetItemsProcessed(aState.iterations() * 1000);
}

BENCHMARK(BM_Echo_Epoll)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Echo_Framework)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RoundTrip_Epoll)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RoundTrip_Framework)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    CRtThreadManager::Instance();
    RtRatioReporter reporter({
        {"BM_Echo_Framework/real_time", "BM_Echo_Epoll/real_time"},
        {"BM_RoundTrip_Framework/real_time", "BM_RoundTrip_Epoll/real_time"},
    });
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}

// The reliable TCP connection against the plain TCP transport it runs
// over and a raw blocking-socket loop, all on loopback, in the same run:
//   - goodput: 100 MiB per iteration in 1 KiB and in 64 KiB messages, sent
//     as fast as back-pressure (RT_ERROR_PARTIAL_DATA, OnSend) allows;
//   - round trips: 64 bytes out, echoed back, 1000 per iteration.
// Both framework ends run on one network thread (TS_MULTI_THREAD); the raw
// loop has a blocking thread per end. The reliable pair runs in
// acknowledged mode with keep-alive (0x1E0001), once with the upload cap
// every connection has (0x8000000 bytes/s) and once with it lifted by the
// test-only setting (Lifted rows).
//
// Run: build/default/bench/rt_rlbtcp_bench
#include <benchmark/benchmark.h>

#include <atomic>
#include <string>
#include <thread>

#include "RtBandWidthCtrl.h"
#include "RtBenchRatio.h"
#include "RtConnConnector.h"
#include "RtConnRlbTcpClient.h"
#include "RtConnRlbTcpServer.h"
#include "RtConnectionManager.h"
#include "RtEchoServer.h"
#include "RtLoopback.h"
#include "RtRlbTcpPeers.h"
#include "RtTestEvents.h"

namespace {

constexpr uint64_t kTransfer = 100u << 20;
constexpr int kRoundTrips = 1000;

enum class Kind { Tcp, Reliable, ReliableLifted };

// One end of a pair: sends a stream or pings, counts or echoes what comes.
class End : public IRtTransportSink, public IRtAcceptorConnectorSink {
public:
    ~End() override {
        if (m_pPending)
            m_pPending->DestroyChained();
    }
    void OnConnectIndication(RtResult aReason, IRtTransport* aTrpt, IRtAcceptorConnectorId*) override {
        if (RT_FAILED(aReason) || !aTrpt)
            return;
        m_pTrpt = aTrpt;
        aTrpt->AddReference();
        aTrpt->OpenWithSink(this);
    }
    void OnReceive(CRtMessageBlock& aData, IRtTransport*) override {
        const uint64_t n = aData.GetChainedLength();
        if (m_bEcho) {
            m_pTrpt->SendData(aData);
            return;
        }
        m_nReceived += n;
        if (m_nPingsLeft > 0 && m_nReceived % 64 == 0) {
            if (--m_nPingsLeft == 0)
                m_bDone = true;
            else
                Ping();
        } else if (m_nExpected && m_nReceived >= m_nExpected) {
            m_bDone = true;
        }
    }
    void OnSend(IRtTransport*) override { Pump(); }
    void OnDisconnect(RtResult, IRtTransport*) override {}

    void StartStream(End& aReceiver, uint32_t aPiece) {
        aReceiver.m_nExpected = aReceiver.m_nReceived + kTransfer;
        aReceiver.m_bDone = false;
        if (m_strPiece.size() != aPiece)
            m_strPiece.assign(aPiece, 'g');
        m_nToSend = kTransfer;
        Pump();
    }
    void StartPings(int aCount) {
        m_nPingsLeft = aCount;
        m_bDone = false;
        Ping();
    }
    void Ping() {
        static const char kPing[64] = {};
        CRtMessageBlock mb(64, kPing, CRtMessageBlock::DONT_DELETE, 64);
        m_pTrpt->SendData(mb);
    }
    // Sends until the transport refuses; what it did not take (the plain
    // transport takes part of a message) goes first next time.
    void Pump() {
        while (m_pTrpt) {
            if (!m_pPending) {
                if (m_nToSend == 0)
                    return;
                const auto n = static_cast<unsigned long>(m_strPiece.size());
                CRtMessageBlock view(n, m_strPiece.data(), CRtMessageBlock::DONT_DELETE, n);
                m_pPending = view.DuplicateChained();
                m_nToSend -= n;
            }
            if (m_pTrpt->SendData(*m_pPending) != RT_OK)
                return;
            m_pPending->DestroyChained();
            m_pPending = nullptr;
        }
    }

    IRtTransport* m_pTrpt = nullptr;
    bool m_bEcho = false;
    std::atomic<bool> m_bDone{false};
    uint64_t m_nReceived = 0;
    uint64_t m_nExpected = 0;
    uint64_t m_nToSend = 0;
    int m_nPingsLeft = 0;
    std::string m_strPiece;
    CRtMessageBlock* m_pPending = nullptr;
};

// A connected pair on the default network thread: plain TCP or reliable.
class Pair {
public:
    explicit Pair(Kind aKind) : m_pNet(CRtThreadManager::Instance()->GetDefaultNetworkThread()) {
        const bool aReliable = aKind != Kind::Tcp;
        if (aKind == Kind::ReliableLifted)
            CBandWidthCtrl::SetCapForTest(0xFFFFFFFF);
        uint16_t port = rttest::FreeLoopbackPort();
        rttest::RunOn(m_pNet, [&] {
            uint32_t type = aReliable ? 0x1E0001 : CTYPE_TCP;
            CRtConnectionManager::Instance()->CreateConnectionServer(type, m_pAcceptor, TS_MULTI_THREAD,
                                                                     LB_CURRENT_THREAD);
            m_pAcceptor->StartListen(&m_Server, CRtInetAddr("127.0.0.1", port));
            IRtConnector* base = new rttest::TestTcpConnector;
            if (aReliable) {
                m_pConnector = new CConnConnectorT<CRtConnRlbTcpClient>(base, type, false);
            } else {
                m_pConnector = base;
            }
            m_pConnector->AddReference();
            return m_pConnector->AsycConnect(&m_Client, CRtInetAddr("127.0.0.1", port), nullptr, nullptr);
        });
        rttest::WaitUntil([&] {
            bool ready = false;
            rttest::RunOn(m_pNet, [&] {
                ready = m_Client.m_pTrpt && m_Server.m_pTrpt;
                return RT_OK;
            });
            return ready;
        });
        m_Server.m_bEcho = false;
    }
    ~Pair() {
        rttest::RunOn(m_pNet, [&] {
            for (End* end : {&m_Client, &m_Server}) {
                if (end->m_pTrpt) {
                    end->m_pTrpt->Disconnect(RT_OK);
                    end->m_pTrpt->ReleaseReference();
                    end->m_pTrpt = nullptr;
                }
            }
            m_pConnector->CancelConnect(RT_OK);
            m_pConnector->ReleaseReference();
            m_pAcceptor->StopListen(RT_OK);
            m_pAcceptor->ReleaseReference();
            return RT_OK;
        });
        rttest::DrainThreads(m_pNet, m_pNet);
        CBandWidthCtrl::SetCapForTest(0);
    }
    template <class Fn>
    void Run(Fn aFn, std::atomic<bool>& aDone) {
        rttest::RunOn(m_pNet, [&] {
            aFn();
            return RT_OK;
        });
        while (!aDone)
            rtos::SleepMs(0);
    }

    CRtThread* m_pNet;
    IRtAcceptor* m_pAcceptor = nullptr;
    IRtConnector* m_pConnector = nullptr;
    End m_Client;
    End m_Server;
};

// The raw baseline: blocking sockets, a thread per end.
class RawPair {
public:
    RawPair() {
        uint16_t port = 0;
        rtos::SocketHandle listener = rttest::ListenLoopback(&port);
        m_Client = rttest::ConnectLoopback(port);
        m_Server = rtos::SocketAccept(listener, nullptr);
        rtos::SocketSetNonBlocking(m_Server, false);
        rtos::SocketClose(listener);
    }
    ~RawPair() {
        rtos::SocketClose(m_Client);
        rtos::SocketClose(m_Server);
    }
    void Stream(uint32_t aPiece) {
        std::thread reader([&] {
            static char buf[1 << 16];
            uint64_t got = 0;
            while (got < kTransfer) {
                long n = rtos::SocketRecv(m_Server, buf, sizeof buf);
                if (n <= 0)
                    break;
                got += static_cast<uint64_t>(n);
            }
        });
        const std::string piece(aPiece, 'g');
        for (uint64_t sent = 0; sent < kTransfer; sent += aPiece)
            rttest::SendAll(m_Client, piece);
        reader.join();
    }
    void Pings(int aCount) {
        std::thread echo([&] {
            char buf[64] = {};
            for (int i = 0; i < aCount; ++i) {
                if (rttest::RecvExactly(m_Server, 64).size() != 64)
                    break;
                rttest::SendAll(m_Server, buf, sizeof buf);
            }
        });
        const char ping[64] = {};
        for (int i = 0; i < aCount; ++i) {
            rttest::SendAll(m_Client, ping, sizeof ping);
            if (rttest::RecvExactly(m_Client, 64).size() != 64)
                break;
        }
        echo.join();
    }

private:
    rtos::SocketHandle m_Client;
    rtos::SocketHandle m_Server;
};

void Goodput(benchmark::State& aState, Kind aKind) {
    const auto piece = static_cast<uint32_t>(aState.range(0));
    Pair pair(aKind);
    for (auto _ : aState)
        pair.Run([&] { pair.m_Client.StartStream(pair.m_Server, piece); }, pair.m_Server.m_bDone);
    aState.SetItemsProcessed(static_cast<int64_t>(aState.iterations() * kTransfer));
}

void RoundTrips(benchmark::State& aState, Kind aKind) {
    Pair pair(aKind);
    pair.m_Server.m_bEcho = true;
    for (auto _ : aState)
        pair.Run([&] { pair.m_Client.StartPings(kRoundTrips); }, pair.m_Client.m_bDone);
    aState.SetItemsProcessed(static_cast<int64_t>(aState.iterations() * kRoundTrips));
}

void BM_Goodput_Raw(benchmark::State& aState) {
    RawPair pair;
    for (auto _ : aState)
        pair.Stream(static_cast<uint32_t>(aState.range(0)));
    aState.SetItemsProcessed(static_cast<int64_t>(aState.iterations() * kTransfer));
}
void BM_Goodput_Tcp(benchmark::State& aState) { Goodput(aState, Kind::Tcp); }
void BM_Goodput_Reliable(benchmark::State& aState) { Goodput(aState, Kind::Reliable); }
void BM_Goodput_ReliableLifted(benchmark::State& aState) { Goodput(aState, Kind::ReliableLifted); }
void BM_RoundTrip_Raw(benchmark::State& aState) {
    RawPair pair;
    for (auto _ : aState)
        pair.Pings(kRoundTrips);
    aState.SetItemsProcessed(static_cast<int64_t>(aState.iterations() * kRoundTrips));
}
void BM_RoundTrip_Tcp(benchmark::State& aState) { RoundTrips(aState, Kind::Tcp); }
void BM_RoundTrip_Reliable(benchmark::State& aState) { RoundTrips(aState, Kind::Reliable); }

#define RT_GOODPUT(fn) \
    BENCHMARK(fn)->Arg(1 << 10)->Arg(64 << 10)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime()
RT_GOODPUT(BM_Goodput_Raw);
RT_GOODPUT(BM_Goodput_Tcp);
RT_GOODPUT(BM_Goodput_Reliable);
RT_GOODPUT(BM_Goodput_ReliableLifted);
BENCHMARK(BM_RoundTrip_Raw)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RoundTrip_Tcp)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RoundTrip_Reliable)->Unit(benchmark::kMillisecond)->UseRealTime();

// The capped rows as a share of the cap.
class CapReporter : public RtRatioReporter {
public:
    using RtRatioReporter::RtRatioReporter;
    void ReportRuns(const std::vector<Run>& aRuns) override {
        RtRatioReporter::ReportRuns(aRuns);
        for (const Run& run : aRuns) {
            auto it = run.counters.find("items_per_second");
            if (run.run_type == Run::RT_Iteration && it != run.counters.end() &&
                run.benchmark_name().rfind("BM_Goodput_Reliable/", 0) == 0)
                m_Shares.push_back(run.benchmark_name() + " " +
                                   std::to_string(it->second.value / CBandWidthCtrl::kMaxLimit).substr(0, 4));
        }
    }
    void PrintShares() const {
        printf("share of the cap (0x8000000 bytes/s):\n");
        for (const std::string& s : m_Shares)
            printf("  %s\n", s.c_str());
    }

private:
    std::vector<std::string> m_Shares;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    CRtThreadManager::Instance();
    CapReporter reporter({
        {"BM_Goodput_Tcp/1024/iterations:3/real_time", "BM_Goodput_Raw/1024/iterations:3/real_time"},
        {"BM_Goodput_Tcp/65536/iterations:3/real_time", "BM_Goodput_Raw/65536/iterations:3/real_time"},
        {"BM_Goodput_Reliable/1024/iterations:3/real_time", "BM_Goodput_Tcp/1024/iterations:3/real_time"},
        {"BM_Goodput_Reliable/65536/iterations:3/real_time", "BM_Goodput_Tcp/65536/iterations:3/real_time"},
        {"BM_Goodput_ReliableLifted/1024/iterations:3/real_time", "BM_Goodput_Tcp/1024/iterations:3/real_time"},
        {"BM_Goodput_ReliableLifted/65536/iterations:3/real_time", "BM_Goodput_Tcp/65536/iterations:3/real_time"},
        {"BM_RoundTrip_Tcp/real_time", "BM_RoundTrip_Raw/real_time"},
        {"BM_RoundTrip_Reliable/real_time", "BM_RoundTrip_Tcp/real_time"},
    });
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    reporter.PrintShares();
    benchmark::Shutdown();
    return 0;
}

// The reliable TCP connection against the plain TCP transport it runs
// over, both on loopback with both ends on one network thread, in the same
// run:
//   - goodput: 16 MiB per iteration in 16 KiB messages, sent as fast as
//     back-pressure (RT_ERROR_PARTIAL_DATA, OnSend) allows;
//   - round trips: 64 bytes out, echoed back, 1000 per iteration.
// The reliable pair runs in acknowledged mode with keep-alive (0x1E0001).
//
// Run: build/default/bench/rt_rlbtcp_bench
#include <benchmark/benchmark.h>

#include <atomic>
#include <string>

#include "RtBenchRatio.h"
#include "RtConnConnector.h"
#include "RtConnRlbTcpClient.h"
#include "RtConnRlbTcpServer.h"
#include "RtConnectionManager.h"
#include "RtEchoServer.h"
#include "RtRlbTcpPeers.h"
#include "RtTestEvents.h"

namespace {

constexpr uint64_t kTransfer = 16u << 20;
constexpr uint32_t kPiece = 16u << 10;
constexpr int kRoundTrips = 1000;

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

    void StartStream(End& aReceiver) {
        aReceiver.m_nExpected = aReceiver.m_nReceived + kTransfer;
        aReceiver.m_bDone = false;
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
        static const std::string kData(kPiece, 'g');
        while (m_pTrpt) {
            if (!m_pPending) {
                if (m_nToSend == 0)
                    return;
                CRtMessageBlock view(kPiece, kData.data(), CRtMessageBlock::DONT_DELETE, kPiece);
                m_pPending = view.DuplicateChained();
                m_nToSend -= kPiece;
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
    CRtMessageBlock* m_pPending = nullptr;
};

// A connected pair on the default network thread: plain TCP or reliable.
class Pair {
public:
    explicit Pair(bool aReliable) : m_pNet(CRtThreadManager::Instance()->GetDefaultNetworkThread()) {
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

void Goodput(benchmark::State& aState, bool aReliable) {
    Pair pair(aReliable);
    for (auto _ : aState)
        pair.Run([&] { pair.m_Client.StartStream(pair.m_Server); }, pair.m_Server.m_bDone);
    aState.SetItemsProcessed(static_cast<int64_t>(aState.iterations() * kTransfer));
}

void RoundTrips(benchmark::State& aState, bool aReliable) {
    Pair pair(aReliable);
    pair.m_Server.m_bEcho = true;
    for (auto _ : aState)
        pair.Run([&] { pair.m_Client.StartPings(kRoundTrips); }, pair.m_Client.m_bDone);
    aState.SetItemsProcessed(static_cast<int64_t>(aState.iterations() * kRoundTrips));
}

void BM_Goodput_Tcp(benchmark::State& aState) { Goodput(aState, false); }
void BM_Goodput_Reliable(benchmark::State& aState) { Goodput(aState, true); }
void BM_RoundTrip_Tcp(benchmark::State& aState) { RoundTrips(aState, false); }
void BM_RoundTrip_Reliable(benchmark::State& aState) { RoundTrips(aState, true); }

BENCHMARK(BM_Goodput_Tcp)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Goodput_Reliable)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RoundTrip_Tcp)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RoundTrip_Reliable)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    CRtThreadManager::Instance();
    RtRatioReporter reporter({
        {"BM_Goodput_Reliable/real_time", "BM_Goodput_Tcp/real_time"},
        {"BM_RoundTrip_Reliable/real_time", "BM_RoundTrip_Tcp/real_time"},
    });
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}

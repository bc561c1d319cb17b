// One end of a reliable TCP connection (type 0x1E0001: acknowledged,
// reconnecting, application keep-alive) made through the connection
// manager, for checking that two builds (native and Windows under Wine)
// understand each other; or the fault-injecting relay between them.
//
//   rt_rlbtcp_peer server <port> <count> <seed>
//   rt_rlbtcp_peer client <port> <count> <seed>
//   rt_rlbtcp_peer relay <listen-port> <target-port> <cut-after-bytes> <seconds>
//
// Each end sends <count> seeded indexed messages and checks that the
// other's arrive complete and in order; the client says it has everything
// with a final message, the server answers with its own, and the client
// then closes. Each end prints one line:
//   rlbtcp-peer <role> result=ok|fail sent=N sent_sum=X recv=N recv_sum=X reason=...
// and exits 0 only on ok. The relay prints "rlbtcp-relay cuts=N" whenever
// its count of cuts changes and ends after <seconds>.
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "RtConnectionManager.h"
#include "RtIndexedStream.h"
#include "RtOs.h"
#include "RtTcpRelay.h"
#include "RtTestEvents.h"
#include "RtThreadManager.h"

namespace {

constexpr uint32_t kType = 0x1E0001;
constexpr uint32_t kMaxBody = 4000;
constexpr uint64_t kLimitMs = 120000;
const std::string kFin =
    "\xFF\xFF\xFF\xFF"
    "fin";

class Peer : public IRtAcceptorConnectorSink, public IRtTransportSink {
public:
    Peer(bool aServer, uint32_t aCount, uint64_t aSeed)
        : m_bServer(aServer),
          m_Out(aSeed ^ (aServer ? 0x5EULL : 0xC1ULL), kMaxBody),
          m_In(aSeed ^ (aServer ? 0xC1ULL : 0x5EULL), kMaxBody),
          m_Sender(m_Out, aCount),
          m_Checker(m_In, aCount) {}

    void OnConnectIndication(RtResult aReason, IRtTransport* aTrpt, IRtAcceptorConnectorId*) override {
        if (RT_FAILED(aReason) || !aTrpt) {
            Fail("connect failed, rv=" + std::to_string(aReason));
            return;
        }
        if (m_pTrpt) {  // one connection per run
            aTrpt->Disconnect(RT_OK);
            return;
        }
        m_pTrpt = aTrpt;
        m_pTrpt->AddReference();
        m_pTrpt->OpenWithSink(this);
        m_Sender.Pump(m_pTrpt);
    }
    void OnReceive(CRtMessageBlock& aData, IRtTransport*) override {
        const std::string m = aData.FlattenChained();
        if (m == kFin) {
            if (!m_Checker.Complete()) {
                Fail("final message before the stream ended, recv=" + std::to_string(m_Checker.Received()));
            } else if (m_bServer) {
                // The client has all ours: say that we have all its.
                m_Sender.Also(kFin);
                m_Sender.Pump(m_pTrpt);
                m_bOk = true;
            } else {
                m_bOk = true;
                Close();
                m_bDone = true;
            }
            return;
        }
        if (!m_Checker.Check(m)) {
            Fail(m_Checker.Error());
            return;
        }
        if (!m_bServer && m_Checker.Complete()) {
            m_Sender.Also(kFin);
            m_Sender.Pump(m_pTrpt);
        }
    }
    void OnSend(IRtTransport*) override { m_Sender.Pump(m_pTrpt); }
    void OnDisconnect(RtResult aReason, IRtTransport*) override {
        if (m_pTrpt) {
            m_pTrpt->ReleaseReference();
            m_pTrpt = nullptr;
        }
        if (!m_bOk)
            Fail("disconnected, rv=" + std::to_string(aReason));
        m_bDone = true;
    }

    void Close() {
        m_Sender.Drop();
        if (m_pTrpt) {
            m_pTrpt->Disconnect(RT_OK);
            m_pTrpt->ReleaseReference();
            m_pTrpt = nullptr;
        }
    }
    void Fail(const std::string& aWhy) {
        if (m_strReason.empty())
            m_strReason = aWhy;
        m_bOk = false;
        Close();
        m_bDone = true;
    }
    // Once the server has answered the final message it waits for the
    // client's close; a missing close is not a fault of the data.
    bool Done() const { return m_bDone; }
    bool Ok() const { return m_bOk && m_strReason.empty(); }
    void Print() const {
        std::printf("rlbtcp-peer %s result=%s sent=%u sent_sum=%016" PRIx64 " recv=%u recv_sum=%016" PRIx64
                    " reason=%s\n",
                    m_bServer ? "server" : "client", Ok() ? "ok" : "fail", m_Sender.Sent(), m_Sender.Sum().Sum(),
                    m_Checker.Received(), m_Checker.Sum().Sum(), m_strReason.empty() ? "-" : m_strReason.c_str());
        std::fflush(stdout);
    }

private:
    bool m_bServer;
    rttest::IndexedStream m_Out;
    rttest::IndexedStream m_In;
    rttest::StreamSender m_Sender;
    rttest::StreamChecker m_Checker;
    IRtTransport* m_pTrpt = nullptr;
    std::atomic<bool> m_bDone{false};
    std::atomic<bool> m_bOk{false};
    std::string m_strReason;
};

int RunPeer(bool aServer, uint16_t aPort, uint32_t aCount, uint64_t aSeed) {
    CRtThread* net = CRtThreadManager::Instance()->GetDefaultNetworkThread();
    Peer peer(aServer, aCount, aSeed);
    IRtAcceptor* acceptor = nullptr;
    IRtConnector* connector = nullptr;
    RtResult rv = rttest::RunOn(net, [&] {
        CRtInetAddr addr("127.0.0.1", aPort);
        if (aServer) {
            RtResult r = CRtConnectionManager::Instance()->CreateConnectionServer(kType, acceptor, TS_MULTI_THREAD,
                                                                                  LB_CURRENT_THREAD);
            return RT_SUCCEEDED(r) ? acceptor->StartListen(&peer, addr) : r;
        }
        RtResult r = CRtConnectionManager::Instance()->CreateConnectionClient(kType, connector, TS_MULTI_THREAD);
        CRtTimeValue limit(10, 0);
        return RT_SUCCEEDED(r) ? connector->AsycConnect(&peer, addr, &limit) : r;
    });
    if (RT_FAILED(rv)) {
        rttest::RunOn(net, [&] {
            peer.Fail("start failed, rv=" + std::to_string(rv));
            return RT_OK;
        });
    } else if (aServer) {
        std::printf("rlbtcp-peer server ready port=%u\n", aPort);
        std::fflush(stdout);
    }
    const uint64_t end = rtos::MonotonicMs() + kLimitMs;
    while (!peer.Done() && rtos::MonotonicMs() < end)
        rtos::SleepMs(20);
    rttest::RunOn(net, [&] {
        if (!peer.Done())
            peer.Fail("time limit reached");
        peer.Close();
        if (connector) {
            connector->CancelConnect(RT_OK);
            connector->ReleaseReference();
        }
        if (acceptor) {
            acceptor->StopListen(RT_OK);
            acceptor->ReleaseReference();
        }
        return RT_OK;
    });
    rttest::Drain(net);
    peer.Print();
    return peer.Ok() ? 0 : 1;
}

int RunRelay(uint16_t aListen, uint16_t aTarget, long aCutAfter, uint32_t aSeconds) {
    CRtThread* net = CRtThreadManager::Instance()->GetDefaultNetworkThread();
    rttest::TcpRelay relay;
    if (rttest::RunOn(net, [&] {
            relay.CutAfter(aCutAfter);
            return relay.Start(aListen, aTarget);
        }) != RT_OK) {
        std::printf("rlbtcp-relay failed to listen on %u\n", aListen);
        return 1;
    }
    std::printf("rlbtcp-relay ready port=%u\n", aListen);
    std::fflush(stdout);
    int cuts = 0;
    const uint64_t end = rtos::MonotonicMs() + aSeconds * 1000ULL;
    while (rtos::MonotonicMs() < end) {
        rtos::SleepMs(20);
        if (relay.Cuts() != cuts) {
            cuts = relay.Cuts();
            std::printf("rlbtcp-relay cuts=%d\n", cuts);
            std::fflush(stdout);
        }
    }
    rttest::RunOn(net, [&] {
        relay.Stop();
        return RT_OK;
    });
    rttest::Drain(net);
    return 0;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: rt_rlbtcp_peer server|client <port> <count> <seed>\n"
                 "       rt_rlbtcp_peer relay <listen-port> <target-port> <cut-after-bytes> <seconds>\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5)
        return Usage();
    const std::string role = argv[1];
    const unsigned long a = std::strtoul(argv[2], nullptr, 10);
    const unsigned long b = std::strtoul(argv[3], nullptr, 10);
    const unsigned long long c = std::strtoull(argv[4], nullptr, 10);
    if (a == 0 || a > 65535)
        return Usage();
    CRtThreadManager manager;
    if (manager.Initialize(1, false) != RT_OK) {
        std::fprintf(stderr, "rt_rlbtcp_peer: the framework did not start\n");
        return 1;
    }
    if (role == "relay") {
        if (argc < 6 || b == 0 || b > 65535)
            return Usage();
        return RunRelay(static_cast<uint16_t>(a), static_cast<uint16_t>(b), static_cast<long>(c),
                        static_cast<uint32_t>(std::strtoul(argv[5], nullptr, 10)));
    }
    if (role != "server" && role != "client")
        return Usage();
    return RunPeer(role == "server", static_cast<uint16_t>(a), static_cast<uint32_t>(b), c);
}

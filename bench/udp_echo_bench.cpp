// UDP datagram echo through the framework against a raw single-threaded
// epoll + recvfrom/sendto echo, both on loopback in the same run. The
// framework's listener and sink live on one network thread (the sink
// echoes from OnReceive). A client keeps a window of datagrams in flight
// over 16 sockets, refilled after a short time-out so that losses cannot
// stall it. For 64-byte and 1200-byte datagrams it prints datagrams per
// second and the serving thread's CPU per datagram, as ratios to the raw
// echo.
//
// Run: build/default/bench/rt_udp_echo_bench [seconds per run, default 2]
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "RtConnectionManager.h"
#include "RtTestEvents.h"
#include "RtThread.h"
#include "RtThreadManager.h"
#include "raw_udp_echo.h"

namespace {

class EchoSink : public IRtAcceptorConnectorSink, public IRtTransportSink {
public:
    void OnConnectIndication(RtResult aReason, IRtTransport* aTrpt, IRtAcceptorConnectorId*) override {
        if (RT_FAILED(aReason) || !aTrpt)
            return;
        aTrpt->AddReference();
        aTrpt->OpenWithSink(this);
        m_Transports.push_back(aTrpt);
    }
    void OnReceive(CRtMessageBlock& aData, IRtTransport* aTrpt) override { aTrpt->SendData(aData); }
    void OnSend(IRtTransport*) override {}
    void OnDisconnect(RtResult, IRtTransport*) override {}
    void ReleaseAll() {
        for (IRtTransport* t : m_Transports) {
            t->Disconnect(RT_OK);
            t->ReleaseReference();
        }
        m_Transports.clear();
    }

private:
    std::vector<IRtTransport*> m_Transports;
};

// The listener and its sink on the default network thread.
class FrameworkUdpEcho {
public:
    FrameworkUdpEcho() {
        m_pNet = CRtThreadManager::Instance()->GetDefaultNetworkThread();
        rttest::RunOn(m_pNet, [this] {
            RtResult rv = CRtConnectionManager::Instance()->CreateConnectionServer(CTYPE_UDP, m_pAcceptor);
            if (RT_FAILED(rv))
                return rv;
            m_nPort = rawudp::FreePort();
            return m_pAcceptor->StartListen(&m_Sink, CRtInetAddr("127.0.0.1", m_nPort));
        });
    }
    ~FrameworkUdpEcho() {
        rttest::RunOn(m_pNet, [this] {
            m_pAcceptor->StopListen(RT_OK);
            m_pAcceptor->ReleaseReference();
            m_Sink.ReleaseAll();
            return RT_OK;
        });
    }
    uint32_t ThreadId() const { return m_pNet->GetThreadId(); }
    uint16_t Port() const { return m_nPort; }

    CRtThread* m_pNet = nullptr;
    IRtAcceptor* m_pAcceptor = nullptr;
    uint16_t m_nPort = 0;
    EchoSink m_Sink;
};

struct Measure {
    double rate = 0;
    double cpuNsPerDatagram = 0;
};

template <class Server>
Measure Run(Server& aServer, uint16_t aPort, size_t aSize, double aSeconds) {
    uint64_t cpuBefore = rawudp::ThreadCpuNs(aServer.ThreadId());
    rawudp::ClientResult r = rawudp::RunClient(aPort, aSize, 8, aSeconds);
    uint64_t cpuAfter = rawudp::ThreadCpuNs(aServer.ThreadId());
    Measure m;
    m.rate = r.seconds > 0 ? static_cast<double>(r.echoed) / r.seconds : 0;
    m.cpuNsPerDatagram = r.echoed ? static_cast<double>(cpuAfter - cpuBefore) / static_cast<double>(r.echoed) : 0;
    return m;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? atof(argv[1]) : 2.0;
    CRtThreadManager::Instance();
    printf("UDP echo, window 8 per socket over 16 sockets, %.1f s per run\n", seconds);
    printf("%-8s %16s %16s %14s %14s %10s %10s\n", "size", "raw dgram/s", "framework/s", "raw cpu ns", "fw cpu ns",
           "rate x", "cpu x");
    bool met = true;
    for (size_t size : {size_t(64), size_t(1200)}) {
        Measure raw, fw;
        {
            rawudp::EpollUdpEcho server;
            raw = Run(server, server.Port(), size, seconds);
        }
        {
            FrameworkUdpEcho server;
            fw = Run(server, server.Port(), size, seconds);
        }
        double rateRatio = raw.rate > 0 ? fw.rate / raw.rate : 0;
        double cpuRatio = fw.cpuNsPerDatagram > 0 ? raw.cpuNsPerDatagram / fw.cpuNsPerDatagram : 0;
        printf("%-8zu %16.0f %16.0f %14.0f %14.0f %10.2f %10.2f\n", size, raw.rate, fw.rate, raw.cpuNsPerDatagram,
               fw.cpuNsPerDatagram, rateRatio, cpuRatio);
        met = met && rateRatio >= 0.8;
    }
    printf("aim: framework datagrams per second at 0.8x the raw echo or better: %s\n", met ? "met" : "missed");
    printf("(cpu x: raw CPU per datagram over the framework's; 1 means the same cost)\n");
    return 0;
}

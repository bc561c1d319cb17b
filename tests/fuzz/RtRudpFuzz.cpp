// libFuzzer target: arbitrary datagram sequences into a listening reliable
// UDP acceptor, below the socket (CRtUdpEndpoint::OnDatagram), from up to
// four source ports. Bit 0 of the first byte runs a valid handshake for
// each port first, so that the rest reaches connected connections (control
// datagrams, packets, splits and ack ranges); records are a port byte, a
// 16-bit length and the bytes. Checked: packets held stay within the
// connection's caps, and everything is given back once each peer resets
// its connection.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "RtAcceptorUdp.h"
#include "RtConnAcceptor.h"
#include "RtConnectionManager.h"
#include "RtNetworkThreadManager.h"
#include "RtRudpConn.h"
#include "RtTestEvents.h"
#include "RtThread.h"
#include "RtThreadManager.h"
#include "RtTransportUdp.h"
#include "RtFuzzCheck.h"

namespace {

using rtfuzz::Check;

class Sink : public IRtAcceptorConnectorSink, public IRtTransportSink {
public:
    void OnConnectIndication(RtResult aReason, IRtTransport* aTrpt, IRtAcceptorConnectorId*) override {
        if (RT_FAILED(aReason) || !aTrpt)
            return;
        aTrpt->AddReference();
        aTrpt->OpenWithSink(this);
        m_Kept.insert(aTrpt);
    }
    void OnReceive(CRtMessageBlock& aData, IRtTransport*) override {
        Check(aData.GetChainedLength() <= CRtRudpConn::kMaxMessage, "a message within the largest");
    }
    void OnSend(IRtTransport*) override {}
    void OnDisconnect(RtResult, IRtTransport* aTrpt) override {
        if (m_Kept.erase(aTrpt))
            aTrpt->ReleaseReference();
    }
    void ReleaseAll() {
        std::set<IRtTransport*> kept;
        kept.swap(m_Kept);
        for (IRtTransport* t : kept) {
            t->Disconnect(RT_OK);
            t->ReleaseReference();
        }
    }

private:
    std::set<IRtTransport*> m_Kept;
};

CRtThread* g_network = nullptr;
CRtRudpPacketPool* g_pool = nullptr;

std::string Datagram(const std::vector<CRtRudpPacket>& aPackets) {
    CRtRudpBitStream bs;
    bs.WriteBit(false);
    for (const CRtRudpPacket& p : aPackets)
        p.Write(bs);
    return std::string(reinterpret_cast<const char*>(bs.GetData()), bs.GetNumberOfBytesUsed());
}

void RunInput(const uint8_t* aData, size_t aSize) {
    if (aSize == 0)
        return;
    const bool handshake = aData[0] & 1;
    Sink sink;
    CRtAcceptorUdp* base = new CRtAcceptorUdp;
    base->AddReference();
    base->SetMarker(true);
    CRtAutoPtr<ServerListT<CRtRudpConnServer>> list(new ServerListT<CRtRudpConnServer>(false, 16));
    IRtAcceptor* acceptor = new CConnAcceptorT<CRtRudpConnServer>(base, list.Get(), 0x120002, LB_CURRENT_THREAD, false);
    acceptor->AddReference();
    CRtInetAddr local;
    local.SetIpAddr("127.0.0.1");
    Check(acceptor->StartListen(&sink, local) == RT_OK, "listen");
    CRtTransportUdp* probe = nullptr;
    CRtInetAddr bound = base->GetListenAddr();
    CRtInetAddr far;
    far.SetIpAddr("127.0.0.1");
    far.SetPortA(9);
    Check(CRtUdpEndpointManager::Instance()->Connect(far, &bound, probe) == RT_OK, "connect");
    CRtUdpEndpoint* endpoint = probe->GetEndpoint();
    std::set<uint16_t> started;
    size_t at = 1;
    while (at + 3 <= aSize) {
        rtos::SocketAddress from;
        from.family = rtos::kAfInet;
        from.addr[0] = 127;
        from.addr[3] = 1;
        from.port = static_cast<uint16_t>(20000 + aData[at] % 4);
        size_t len = (static_cast<size_t>(aData[at + 1]) << 8 | aData[at + 2]) % 1600;
        at += 3;
        if (len > aSize - at)
            len = aSize - at;
        if (handshake && started.insert(from.port).second) {
            std::string sync("\x00\xff", 2);
            endpoint->OnDatagram(from, &sync[0], 2);
            CRtRudpPacket req;
            req.pduType = 1;
            req.reliability = 2;
            req.data = std::string("\x01\x78\x56\x34\x12\x7f\x00\x00\x01\x90\x1f", 11);
            CRtRudpPacket ka;
            ka.pduType = 4;
            ka.reliability = 2;
            ka.packetNo = 1;
            std::string d = Datagram({req, ka});
            endpoint->OnDatagram(from, &d[0], static_cast<unsigned long>(d.size()));
        }
        std::string bytes(reinterpret_cast<const char*>(aData + at), len);
        at += len;
        if (bytes.empty())
            continue;
        endpoint->OnDatagram(from, &bytes[0], static_cast<unsigned long>(bytes.size()));
        // Per connection at most 64 split ids, 8192 out of order per
        // channel and the packets awaiting acknowledgement; four peers.
        Check(g_pool->GetOutstanding() < 4 * (64 * 4096 + 32 * 8193 + 8000), "held packets within the caps");
    }
    // Each peer resets its connection: whatever the input left them in,
    // they end now and give everything back.
    for (uint16_t port = 20000; port < 20004; ++port) {
        rtos::SocketAddress from;
        from.family = rtos::kAfInet;
        from.addr[0] = 127;
        from.addr[3] = 1;
        from.port = port;
        std::string reset("\x05\xff", 2);
        endpoint->OnDatagram(from, &reset[0], 2);
    }
    sink.ReleaseAll();
    probe->Disconnect(RT_OK);
    probe->ReleaseReference();
    acceptor->StopListen(RT_OK);
    acceptor->ReleaseReference();
    base->ReleaseReference();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static CRtThreadManager manager;
    manager.Initialize(1, false);
    CRtConnectionManager::Instance();
    g_network = manager.GetDefaultNetworkThread();
    rttest::RunOn(g_network, [] {
        g_pool = CRtNetworkThreadManager::Instance()->GetThreadInfo(g_network->GetThreadId())->GetRudpPool();
        return RT_OK;
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
    rttest::RunOn(g_network, [&] {
        RunInput(aData, aSize);
        return RT_OK;
    });
    rttest::RunOn(g_network, [] { return RT_OK; });
    rttest::RunOn(g_network, [] {
        Check(g_pool->GetOutstanding() == 0, "every packet back in the pool");
        return RT_OK;
    });
    return 0;
}

// libFuzzer target: arbitrary datagrams into an accepting UDP endpoint,
// handed in below the socket (CRtUdpEndpoint::OnDatagram) as records of a
// source port and bytes. The first byte sets the marker option and a low
// peer limit; each record's first data byte tells the sink what to do in
// its callbacks (keep the peer, drop it unopened, disconnect it at once or
// after its datagram). Checked: accepted peers never exceed the limit,
// every delivered datagram equals what was sent, and nothing is left once
// the listener and the sink let go.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "RtAcceptorUdp.h"
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
        Check(aReason == RT_OK && aTrpt, "an acceptor indicates a transport");
        if (m_nAction == 1)
            return;  // dropped unopened
        aTrpt->OpenWithSink(this);
        if (m_nAction == 2) {
            aTrpt->Disconnect(RT_OK);
            return;
        }
        aTrpt->AddReference();
        m_Kept.push_back(aTrpt);
    }
    void OnReceive(CRtMessageBlock& aData, IRtTransport* aTrpt) override {
        Check(aData.FlattenChained() == m_strExpected, "a datagram arrives as it was sent");
        ++m_nDelivered;
        if (m_nAction == 3)
            aTrpt->Disconnect(RT_OK);
    }
    void OnSend(IRtTransport*) override {}
    void OnDisconnect(RtResult, IRtTransport*) override {}

    void ReleaseAll() {
        for (IRtTransport* t : m_Kept) {
            t->Disconnect(RT_OK);
            t->ReleaseReference();
        }
        m_Kept.clear();
    }

    int m_nAction = 0;
    std::string m_strExpected;
    int m_nDelivered = 0;
    std::vector<IRtTransport*> m_Kept;
};

CRtThread* g_network = nullptr;

void RunInput(const uint8_t* aData, size_t aSize) {
    if (aSize == 0)
        return;
    bool marker = aData[0] & 1;
    uint32_t limit = 1 + ((aData[0] >> 1) & 7);
    CRtUdpEndpointManager::Instance()->SetPeerLimit(limit);
    Sink sink;
    CRtAcceptorUdp* acceptor = new CRtAcceptorUdp;
    acceptor->AddReference();
    acceptor->SetMarker(marker);
    CRtInetAddr local;
    local.SetIpAddr("127.0.0.1");
    Check(acceptor->StartListen(&sink, local) == RT_OK, "listen");
    CRtTransportUdp* probe = nullptr;
    CRtUdpEndpoint* endpoint = nullptr;
    {
        // The endpoint of the listen address, found through a connected
        // peer of the same socket (not counted among accepted peers).
        CRtInetAddr bound = acceptor->GetListenAddr();
        CRtInetAddr far;
        far.SetIpAddr("127.0.0.1");
        far.SetPortA(9);
        Check(CRtUdpEndpointManager::Instance()->Connect(far, &bound, probe) == RT_OK, "connect");
        endpoint = probe->GetEndpoint();
    }
    size_t at = 1;
    while (at + 3 <= aSize) {
        rtos::SocketAddress from;
        from.family = rtos::kAfInet;
        from.addr[0] = 127;
        from.addr[3] = 1;
        from.port = static_cast<uint16_t>(10000 + aData[at] % 16);
        size_t len = aData[at + 1] % 32;
        at += 2;
        if (len > aSize - at)
            len = aSize - at;
        std::string bytes(reinterpret_cast<const char*>(aData + at), len);
        at += len;
        if (bytes.empty())
            continue;
        sink.m_nAction = static_cast<unsigned char>(bytes[0]) % 4;
        sink.m_strExpected = bytes;
        endpoint->OnDatagram(from, &bytes[0], static_cast<unsigned long>(bytes.size()));
        Check(endpoint->GetAcceptedCount() <= limit, "accepted peers stay within the limit");
        Check(endpoint->GetPeerCount() <= limit + 1, "the peer map stays within the limit");
    }
    probe->Disconnect(RT_OK);
    probe->ReleaseReference();
    acceptor->StopListen(RT_OK);
    acceptor->ReleaseReference();
    sink.ReleaseAll();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static CRtThreadManager manager;
    manager.Initialize(1, false);
    g_network = manager.GetDefaultNetworkThread();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
    rttest::RunOn(g_network, [&] {
        RunInput(aData, aSize);
        return RT_OK;
    });
    // Deferred deletes run on the thread's next timer pass.
    rttest::RunOn(g_network, [] { return RT_OK; });
    rttest::RunOn(g_network, [] { return RT_OK; });
    Check(CRtTransportUdp::GetLiveCount() == 0, "no transport left");
    Check(CRtUdpEndpointManager::GetLiveEndpoints() == 0, "no endpoint left");
    return 0;
}

// libFuzzer target: a SOCKS proxy's replies to the tunnel's handshake. The
// first byte picks SOCKS4 or 5, credentials and the target's form (IPv4,
// IPv6, unresolved name); the second how the rest is cut into reads. The
// rest is what the proxy sends, then it closes. The same stream is fed once
// in one read and once cut: both must end the same way (one indication, the
// same result, the same bytes left for the tunnel), never more than one
// indication, and every request sent must be one of the protocol's.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "RtConnectorSocksProxy.h"
#include "RtScriptedTransport.h"
#include "RtSocket.h"
#include "RtTestEvents.h"
#include "RtThreadManager.h"
#include "RtTransportTcp.h"
#include "RtFuzzCheck.h"

namespace {

using rtfuzz::Check;

CRtThread* g_network = nullptr;

struct Outcome {
    int indications = 0;
    RtResult result = -1;
    std::string unread;
    std::string sent;
};

class Upper;
typedef CRtConnectorSocksProxyT<Upper, CRtTransportTcp, CRtSocketStream> SocksBase;

// Starts the handshake on a transport of the test's instead of a socket to
// a proxy.
class Socks : public SocksBase {
public:
    using SocksBase::SocksBase;
    void Start(const CRtInetAddr& aTarget, IRtTransport* aTrpt) {
        m_addrTarget = aTarget;
        OnConnectIndication(RT_OK, aTrpt, nullptr);
    }
};

class Upper {
public:
    explicit Upper(Outcome& aOut) : m_Out(aOut) {}
    void OnConnectIndication(RtResult aReason, IRtTransport* aTrpt, IRtConnectorInternal* aTunnel) {
        ++m_Out.indications;
        m_Out.result = aReason;
        Check(RT_SUCCEEDED(aReason) == (aTrpt != nullptr), "a transport exactly with success");
        if (aTrpt)
            m_Out.unread = aTunnel->TakeUnreadData();
    }
    Outcome& m_Out;
};

void Run(uint8_t aConfig, const std::string& aStream, size_t aStep, Outcome& aOut) {
    CRtAutoPtr<CRtHttpProxyInfo> proxy(new CRtHttpProxyInfo);
    const bool socks4 = aConfig & 1;
    proxy->Init(CRtString("127.0.0.1"), 1080, socks4 ? CRtHttpProxyInfo::SOCK4_PROXY : CRtHttpProxyInfo::SOCK5_PROXY);
    if (aConfig & 2) {
        proxy->SetUserName((aConfig & 0x40) ? std::string(256, 'u') : "alice");
        proxy->SetPasswd("wonderland");
    }
    // Made once: a name starts a lookup.
    static const CRtInetAddr targets[] = {CRtInetAddr("127.0.0.1", 18080), CRtInetAddr("::1", 18080),
                                          CRtInetAddr("fuzz.invalid", 18080),
                                          CRtInetAddr((std::string(256, 'n') + ".invalid").c_str(), 18080)};
    const CRtInetAddr& target = targets[(aConfig >> 2) & 3];
    Upper upper(aOut);
    CRtAutoPtr<rttest::ScriptedTransport> trpt(new rttest::ScriptedTransport);
    {
        Socks socks(g_network, upper, proxy.Get());
        socks.Start(target, trpt.Get());
        size_t at = 0;
        while (at < aStream.size() && trpt->m_pSink && aOut.indications == 0) {
            const size_t len = aStep < aStream.size() - at ? aStep : aStream.size() - at;
            trpt->Deliver(aStream.substr(at, len));
            at += len;
        }
        // Once the tunnel is up its connection is the upper one's: later
        // reads go there, behind what the handshake kept.
        if (RT_SUCCEEDED(aOut.result) && aOut.indications == 1)
            aOut.unread += aStream.substr(at);
        else
            trpt->PeerClose();
    }
    aOut.sent = trpt->Sent();
    Check(aOut.indications == 1, "one indication per attempt");
    // A request that went out is one the protocol knows.
    if (!aOut.sent.empty()) {
        const uint8_t first = static_cast<uint8_t>(aOut.sent[0]);
        Check(first == (socks4 ? 0x04 : 0x05), "the requests are the protocol's");
    }
    if (aOut.result == RT_ERROR_INVALID_ARG)
        Check(aOut.sent.empty(), "nothing is sent for a target or credentials that cannot go");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static CRtThreadManager manager;
    manager.Initialize(1, false);
    g_network = manager.GetDefaultNetworkThread();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
    if (aSize < 2)
        return 0;
    const std::string stream(reinterpret_cast<const char*>(aData) + 2, aSize - 2);
    const size_t step = 1 + aData[1] % 16;
    Outcome whole, split;
    rttest::RunOn(g_network, [&] {
        Run(aData[0], stream, stream.size() + 1, whole);
        Run(aData[0], stream, step, split);
        return RT_OK;
    });
    Check(whole.result == split.result, "the outcome depends on the read boundaries");
    Check(whole.unread == split.unread, "the tunnel's bytes depend on the read boundaries");
    Check(whole.sent == split.sent, "the requests depend on the read boundaries");
    return 0;
}

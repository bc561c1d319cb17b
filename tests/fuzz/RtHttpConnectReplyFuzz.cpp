// libFuzzer target: an HTTP proxy's answers to CONNECT (the channel a
// tunnel asks through), in reads whose sizes the input chooses, then the
// close. Whole or cut, the outcome is the same: a 2xx ends the channel's
// part with no body, and the bytes behind it (the tunnel's) are all kept,
// in order; a refusal's body is read whole; OnDisconnect comes once at most.
#include "RtHttpClientFuzzKit.h"

namespace {
CRtThread* g_network = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_network = rtfuzz::StartFramework();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
    rtfuzz::Input in;
    if (!in.Parse(aData, aSize))
        return 0;
    CRtAutoPtr<CRtHttpProxyInfo> proxy(new CRtHttpProxyInfo);
    proxy->Init(CRtString("127.0.0.1"), 3128, CRtHttpProxyInfo::HTTP_PROXY);
    rtfuzz::Outcome whole, split;
    rttest::RunOn(g_network, [&] {
        rtfuzz::Run("Connect", proxy.Get(), CRtHttpHeaderArray::kMaxContentLengthHard, false, in.stream, std::string(),
                    whole);
        rtfuzz::Run("Connect", proxy.Get(), CRtHttpHeaderArray::kMaxContentLengthHard, false, in.stream, in.sizes,
                    split);
        return RT_OK;
    });
    rtfuzz::Check(whole == split, "the tunnel's answer depends on the read boundaries");
    return 0;
}

// libFuzzer target: a server's responses to a client channel's GET or HEAD
// (the config byte picks the method, option 312 and a small body limit),
// in reads whose sizes the input chooses, then the close. Fed once whole
// and once cut, the sink must hear the same responses and the same end;
// bodies stay within the limit, and OnDisconnect comes once at most and
// last.
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
    const char* method = (in.config & 1) ? "HEAD" : "GET";
    const bool noBody = in.config & 2;
    const int32_t limit = (in.config & 4) ? 1 + (in.config >> 3) * 8 : CRtHttpHeaderArray::kMaxContentLengthHard;
    rtfuzz::Outcome whole, split;
    rttest::RunOn(g_network, [&] {
        rtfuzz::Run(method, nullptr, limit, noBody, in.stream, std::string(), whole);
        rtfuzz::Run(method, nullptr, limit, noBody, in.stream, in.sizes, split);
        return RT_OK;
    });
    rtfuzz::Check(whole == split, "what the sink hears depends on the read boundaries");
    return 0;
}

// libFuzzer target: the input, cut after every LF, is fed line by line to a
// request head and a response head; complete heads are then encoded. Any crash,
// sanitizer report or broken invariant aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "RtHttpHead.h"
#include "RtFuzzCheck.h"

namespace {

using rtfuzz::Check;

template <class Head>
void FeedAndEncode(Head& aHead, const char* aData, size_t aSize) {
    size_t start = 0;
    while (start < aSize && !aHead.HaveAllHeaders()) {
        size_t end = start;
        while (end < aSize && aData[end] != '\n')
            ++end;
        if (end < aSize)
            ++end;
        if (!aHead.ParseLine(CRtString(aData + start, end - start)))
            break;
        start = end;
    }
    if (!aHead.HaveAllHeaders()) {
        aHead.Clear();
        return;
    }
    int32_t length = aHead.GetContentLength();
    Check(length >= CRtHttpHeaderArray::kNoContentLength && length <= aHead.GetContentLimit(), "length");
    CRtString out;
    aHead.Encode(out);
    // Encoded lines end in CR LF only: no bare LF may leak into the output.
    for (size_t i = out.find('\n'); i != CRtString::npos; i = out.find('\n', i + 1))
        Check(i > 0 && out[i - 1] == '\r', "bare LF");
    aHead.Clear();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
    const char* text = reinterpret_cast<const char*>(aData);
    CRtHttpRequestHead request;
    FeedAndEncode(request, text, aSize);
    CRtHttpResponseHead response;
    FeedAndEncode(response, text, aSize);
    return 0;
}

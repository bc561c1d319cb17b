// libFuzzer target: the input is a byte stream sent to a server-side parser,
// once in one read and once cut into reads at points taken from its first
// bytes. Both runs must deliver the same messages and fail at the same
// message; any crash or sanitizer report aborts as well.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "RtHttpParser.h"
#include "RtFuzzCheck.h"

namespace {

using rtfuzz::Check;

struct Outcome {
    std::vector<std::string> bodies;
    bool failed = false;
};

class Driver {
public:
    Driver() : m_Parser(m_Head, this) {}
    void OnParseFinished() {}

    void Read(const char* aData, size_t aSize, Outcome& aOut) {
        if (aOut.failed || aSize == 0)
            return;
        CRtMessageBlock view(static_cast<unsigned long>(aSize), aData, CRtMessageBlock::DONT_DELETE,
                             static_cast<unsigned long>(aSize));
        while (view.GetChainedLength() > 0) {
            if (m_Parser.IsFinished())
                m_Parser.Reset();
            if (!m_Head.HaveAllHeaders()) {
                if (RT_FAILED(m_Parser.ParseHead(view))) {
                    aOut.failed = true;
                    return;
                }
                if (!m_Head.HaveAllHeaders())
                    return;
            }
            RtResult rv = m_Parser.HandleContent(&view);
            if (rv == RT_ERROR_PARTIAL_DATA)
                return;
            if (RT_FAILED(rv)) {
                aOut.failed = true;
                return;
            }
            CRtMessageBlock* body = nullptr;
            Check(m_Parser.GetContent(body) == RT_OK, "GetContent");
            std::string text = body ? body->FlattenChained() : std::string();
            if (body)
                body->DestroyChained();
            Check(text.size() <= static_cast<size_t>(m_Head.GetContentLimit()), "body over the limit");
            aOut.bodies.push_back(text);
        }
    }

private:
    CRtHttpRequestHead m_Head;
    CRtHttpParserT<CRtHttpRequestHead, Driver> m_Parser;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
    if (aSize < 2)
        return 0;
    const size_t step = 1 + aData[0] % 16;
    const size_t first = aData[1];
    const char* text = reinterpret_cast<const char*>(aData) + 2;
    const size_t size = aSize - 2;

    Outcome whole;
    Driver one;
    one.Read(text, size, whole);

    Outcome split;
    Driver many;
    size_t at = 0;
    size_t len = first < size ? first : size;
    while (at < size) {
        many.Read(text + at, len, split);
        at += len;
        len = step < size - at ? step : size - at;
    }
    Check(whole.failed == split.failed, "failure depends on the read boundaries");
    Check(whole.bodies == split.bodies, "messages depend on the read boundaries");
    return 0;
}

// libFuzzer target: the input is parsed as a URL and run through the
// percent coding; a broken property aborts.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "RtHttpUrl.h"

#define RT_FUZZ_CHECK(cond) \
    do {                    \
        if (!(cond))        \
            abort();        \
    } while (0)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
    std::string text(reinterpret_cast<const char*>(aData), aSize);

    CRtHttpUrl url, again;
    if (url.Init(text) && url.GetScheme() != CRtHttpUrl::s_pszSchemeFile) {
        RT_FUZZ_CHECK(!url.GetHostName().empty() && url.GetPort() != 0 && url.GetPath()[0] == '/');
        CRtString canonical = url.GetAsciiSpec();
        RT_FUZZ_CHECK(again.Init(canonical) && again.GetAsciiSpec() == canonical);
    }

    CRtString encoded = CRtHttpUrl::Encode(text);
    RT_FUZZ_CHECK(encoded.size() <= 3 * aSize);
    std::unique_ptr<char[]> buf(new char[encoded.size() + 1]);
    memcpy(buf.get(), encoded.data(), encoded.size());
    int n = CRtHttpUrl::Decode(buf.get(), static_cast<int>(encoded.size()));
    RT_FUZZ_CHECK(std::string(buf.get(), static_cast<size_t>(n)) == text);

    // Arbitrary text decodes inside an exact buffer and never grows.
    std::unique_ptr<char[]> raw(new char[aSize + 1]);
    memcpy(raw.get(), aData, aSize);
    n = CRtHttpUrl::Decode(raw.get(), static_cast<int>(aSize));
    RT_FUZZ_CHECK(n >= 0 && static_cast<size_t>(n) <= aSize && raw[static_cast<size_t>(n)] == '\0');
    return 0;
}

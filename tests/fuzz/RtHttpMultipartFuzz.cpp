// libFuzzer target: the input up to its first LF is the Content-Type, the
// rest the body; the field name is "file". Any crash or sanitizer report,
// or content that is not a piece of the body, aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "RtHttpMultipart.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
    const char* text = reinterpret_cast<const char*>(aData);
    const void* lf = memchr(text, '\n', aSize);
    size_t typeLen = lf ? static_cast<size_t>(static_cast<const char*>(lf) - text) : aSize;
    CRtString contentType(text, typeLen);
    CRtString body = typeLen < aSize ? CRtString(text + typeLen + 1, aSize - typeLen - 1) : CRtString();
    CRtString name, content;
    if (RtHttpGetUploadFileInfo(contentType, body, "file", name, content, nullptr) == 0 &&
        body.find(content) == CRtString::npos) {
        fprintf(stderr, "broken: content is not part of the body\n");
        abort();
    }
    return 0;
}

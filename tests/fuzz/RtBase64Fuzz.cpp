// libFuzzer target: the input is decoded as base64 text from an exactly
// sized buffer (ASan sees any read past it) and encoded and decoded back as
// binary data; a broken property aborts.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "RtBase.h"

#define RT_FUZZ_CHECK(cond) \
    do {                    \
        if (!(cond))        \
            abort();        \
    } while (0)

namespace {

bool InAlphabet(unsigned char aChar) {
    return (aChar >= 'A' && aChar <= 'Z') || (aChar >= 'a' && aChar <= 'z') || (aChar >= '0' && aChar <= '9') ||
           aChar == '+' || aChar == '/';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
    // As text: up to the first zero byte, blanks skipped in front, then
    // three bytes for every four alphabet characters until the first other one.
    std::unique_ptr<char[]> text(new char[aSize + 1]);
    memcpy(text.get(), aData, aSize);
    text[aSize] = '\0';
    size_t start = 0;
    while (text[start] == ' ' || text[start] == '\t')
        ++start;
    size_t n = 0;
    while (InAlphabet(static_cast<unsigned char>(text[start + n])))
        ++n;
    CRtString decoded = "previous";
    RtBase64Decode(text.get(), decoded);
    const size_t rest = n % 4;
    RT_FUZZ_CHECK(decoded.size() == n / 4 * 3 + (rest > 1 ? rest - 1 : 0));
    // The bytes re-encode to the same characters where whole bytes were
    // decoded (padding aside, the unused low bits aside).
    CRtString again;
    RtBase64Encode(reinterpret_cast<const unsigned char*>(decoded.data()), decoded.size(), again);
    RT_FUZZ_CHECK(again.compare(0, n / 4 * 4, text.get() + start, n / 4 * 4) == 0);

    // As binary data: encode appends, and decoding gives the bytes back.
    CRtString encoded = "x";
    RtBase64Encode(aData, aSize, encoded);
    RT_FUZZ_CHECK(encoded.size() == 1 + (aSize + 2) / 3 * 4 && encoded[0] == 'x');
    CRtString back;
    RtBase64Decode(encoded.c_str() + 1, back);
    RT_FUZZ_CHECK(back.size() == aSize && (aSize == 0 || memcmp(back.data(), aData, aSize) == 0));
    return 0;
}

#include "RtBase.h"

#include <cstring>
#include <functional>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Every byte to its 6-bit value, or 64 for bytes outside the alphabet
// ('=' and the terminating NUL included).
struct DecodeTable {
    unsigned char value[256];
    constexpr DecodeTable() : value() {
        for (unsigned i = 0; i < 256; ++i)
            value[i] = 64;
        for (unsigned i = 0; i < 64; ++i)
            value[static_cast<unsigned char>(kAlphabet[i])] = static_cast<unsigned char>(i);
    }
};
constexpr DecodeTable kDecode;

// Twelve input bits to their two output characters at once: half the
// lookups of a character table, and a table small enough to stay cached.
struct PairTable {
    char pair[4096][2];
    constexpr PairTable() : pair() {
        for (unsigned i = 0; i < 4096; ++i) {
            pair[i][0] = kAlphabet[i >> 6];
            pair[i][1] = kAlphabet[i & 63];
        }
    }
};
constexpr PairTable kPairs;

inline unsigned Value(const char* aText, size_t aIndex) {
    return kDecode.value[static_cast<unsigned char>(aText[aIndex])];
}

}  // namespace

void RtBase64Encode(const unsigned char* aIn, size_t aLen, CRtString& aOut) {
    if (aLen == 0 || !aIn)
        return;
    const size_t start = aOut.size();
    aOut.resize(start + (aLen + 2) / 3 * 4);
    char* out = &aOut[start];

    size_t i = 0;
    for (; i + 3 <= aLen; i += 3) {
        const uint32_t group = (uint32_t{aIn[i]} << 16) | (uint32_t{aIn[i + 1]} << 8) | aIn[i + 2];
        memcpy(out, kPairs.pair[group >> 12], 2);
        memcpy(out + 2, kPairs.pair[group & 0xfff], 2);
        out += 4;
    }
    if (i < aLen) {
        const uint32_t first = aIn[i];
        const uint32_t second = i + 1 < aLen ? aIn[i + 1] : 0;
        out[0] = kAlphabet[first >> 2];
        out[1] = kAlphabet[((first & 3) << 4) | (second >> 4)];
        out[2] = i + 1 < aLen ? kAlphabet[(second & 15) << 2] : '=';
        out[3] = '=';
    }
}

void RtBase64Decode(const char* aIn, CRtString& aOut) {
    if (!aIn) {
        aOut.clear();
        return;
    }
    // Text that lives in aOut itself would move under the resize below.
    const std::less_equal<const char*> notAfter;
    if (notAfter(aOut.data(), aIn) && notAfter(aIn, aOut.data() + aOut.size())) {
        CRtString text(aIn);
        RtBase64Decode(text.c_str(), aOut);
        return;
    }
    while (*aIn == ' ' || *aIn == '\t')
        ++aIn;
    size_t n = 0;
    while (Value(aIn, n) < 64)
        ++n;

    aOut.resize((n + 3) / 4 * 3);
    unsigned char* out = reinterpret_cast<unsigned char*>(&aOut[0]);
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const uint32_t group =
            (Value(aIn, i) << 18) | (Value(aIn, i + 1) << 12) | (Value(aIn, i + 2) << 6) | Value(aIn, i + 3);
        out[0] = static_cast<unsigned char>(group >> 16);
        out[1] = static_cast<unsigned char>(group >> 8);
        out[2] = static_cast<unsigned char>(group);
        out += 3;
    }
    // A last group of one character carries fewer than eight bits: nothing.
    const size_t rest = n - i;
    if (rest >= 2) {
        const uint32_t group = (Value(aIn, i) << 18) | (Value(aIn, i + 1) << 12) | (rest == 3 ? Value(aIn, i + 2) << 6 : 0);
        *out++ = static_cast<unsigned char>(group >> 16);
        if (rest == 3)
            *out++ = static_cast<unsigned char>(group >> 8);
    }
    aOut.resize(static_cast<size_t>(out - reinterpret_cast<unsigned char*>(&aOut[0])));
}

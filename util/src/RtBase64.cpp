#include "RtBase.h"

#include <cstring>
#include <functional>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Every byte to its 6-bit value already shifted to its place in a group of
// four characters, or kInvalid for bytes outside the alphabet ('=' and the
// terminating NUL included). One table per place saves the shifts.
constexpr uint32_t kInvalid = 1u << 24;
struct DecodeTable {
    uint32_t value[4][256];
    constexpr DecodeTable() : value() {
        for (unsigned place = 0; place < 4; ++place) {
            for (unsigned i = 0; i < 256; ++i)
                value[place][i] = kInvalid;
            for (unsigned i = 0; i < 64; ++i)
                value[place][static_cast<unsigned char>(kAlphabet[i])] = i << (18 - 6 * place);
        }
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

inline uint32_t Value(unsigned aPlace, char aChar) { return kDecode.value[aPlace][static_cast<unsigned char>(aChar)]; }

// Decodes whole groups of four alphabet characters into aOut, at most
// aGroups of them. Stops at the first byte outside the alphabet without
// reading past it (it may be the terminator); *aRest then tells how many
// alphabet characters of that last group came before it.
size_t DecodeGroups(const char*& aIn, size_t aGroups, unsigned char* aOut, unsigned* aRest) {
    size_t done = 0;
    for (; done < aGroups; ++done, aIn += 4, aOut += 3) {
        uint32_t group = Value(0, aIn[0]);
        unsigned rest = 0;
        if (!(group & kInvalid)) {
            group |= Value(1, aIn[1]);
            rest = 1;
            if (!(group & kInvalid)) {
                group |= Value(2, aIn[2]);
                rest = 2;
                if (!(group & kInvalid)) {
                    group |= Value(3, aIn[3]);
                    rest = 3;
                }
            }
        }
        if (group & kInvalid) {
            *aRest = rest;
            return done;
        }
        aOut[0] = static_cast<unsigned char>(group >> 16);
        aOut[1] = static_cast<unsigned char>(group >> 8);
        aOut[2] = static_cast<unsigned char>(group);
    }
    *aRest = 4;
    return done;
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

    // One pass: the length of the data is not known in advance, so the
    // output grows by doubling steps as groups come in.
    size_t written = 0;
    size_t step = 16;
    unsigned rest = 4;
    while (rest == 4) {
        aOut.resize(written + step * 3);
        written += DecodeGroups(aIn, step, reinterpret_cast<unsigned char*>(&aOut[written]), &rest) * 3;
        if (step < (size_t{1} << 16))
            step *= 2;
    }
    // The last group: two characters give one byte, three give two, one
    // carries fewer than eight bits and gives none.
    if (rest >= 2) {
        const uint32_t group = Value(0, aIn[0]) | Value(1, aIn[1]) | (rest == 3 ? Value(2, aIn[2]) : 0);
        aOut[written++] = static_cast<char>(group >> 16);
        if (rest == 3)
            aOut[written++] = static_cast<char>(group >> 8);
    }
    aOut.resize(written);
}

#include "RtBase.h"

#include <cstring>

namespace {

inline uint32_t Load32BE(const unsigned char* aIn) {
    return (uint32_t{aIn[0]} << 24) | (uint32_t{aIn[1]} << 16) | (uint32_t{aIn[2]} << 8) | uint32_t{aIn[3]};
}

inline void Store32BE(unsigned char* aOut, uint32_t aValue) {
    aOut[0] = static_cast<unsigned char>(aValue >> 24);
    aOut[1] = static_cast<unsigned char>(aValue >> 16);
    aOut[2] = static_cast<unsigned char>(aValue >> 8);
    aOut[3] = static_cast<unsigned char>(aValue);
}

inline uint32_t Rotl(uint32_t aValue, int aBits) { return (aValue << aBits) | (aValue >> (32 - aBits)); }

// FIPS 180-4, section 6.1.2, with the message schedule kept as a 16-word
// ring instead of 80 words.
void Transform(uint32_t aState[5], const unsigned char* aBlock) {
    uint32_t w[16];
    for (int i = 0; i < 16; ++i)
        w[i] = Load32BE(aBlock + 4 * i);
    uint32_t a = aState[0], b = aState[1], c = aState[2], d = aState[3], e = aState[4];
    for (int t = 0; t < 80; ++t) {
        if (t >= 16)
            w[t & 15] = Rotl(w[(t - 3) & 15] ^ w[(t - 8) & 15] ^ w[(t - 14) & 15] ^ w[t & 15], 1);
        uint32_t f, k;
        if (t < 20) {
            f = d ^ (b & (c ^ d));
            k = 0x5a827999;
        } else if (t < 40) {
            f = b ^ c ^ d;
            k = 0x6ed9eba1;
        } else if (t < 60) {
            f = (b & c) | (d & (b | c));
            k = 0x8f1bbcdc;
        } else {
            f = b ^ c ^ d;
            k = 0xca62c1d6;
        }
        const uint32_t temp = Rotl(a, 5) + f + e + k + w[t & 15];
        e = d;
        d = c;
        c = Rotl(b, 30);
        b = a;
        a = temp;
    }
    aState[0] += a;
    aState[1] += b;
    aState[2] += c;
    aState[3] += d;
    aState[4] += e;
}

}  // namespace

unsigned char* RtSha1(const unsigned char* aIn, size_t aLen, unsigned char* aOut) {
    static unsigned char s_digest[20];
    uint32_t state[5] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};
    const uint64_t bits = static_cast<uint64_t>(aLen) << 3;

    size_t left = aLen;
    for (; left >= 64; left -= 64, aIn += 64)
        Transform(state, aIn);
    // The tail, a one bit, zeros, and the big-endian bit length: one block,
    // or two when fewer than nine bytes are left in the first.
    unsigned char tail[128] = {};
    if (left)
        memcpy(tail, aIn, left);
    tail[left] = 0x80;
    const size_t tailLen = left < 56 ? 64 : 128;
    Store32BE(tail + tailLen - 8, static_cast<uint32_t>(bits >> 32));
    Store32BE(tail + tailLen - 4, static_cast<uint32_t>(bits));
    for (size_t off = 0; off < tailLen; off += 64)
        Transform(state, tail + off);

    unsigned char* out = aOut ? aOut : s_digest;
    for (int i = 0; i < 5; ++i)
        Store32BE(out + 4 * i, state[i]);
    return out;
}

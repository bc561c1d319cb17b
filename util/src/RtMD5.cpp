#include "RtBase.h"

#include <cstring>

namespace {

inline uint32_t Load32(const unsigned char* aIn) {
    return uint32_t{aIn[0]} | (uint32_t{aIn[1]} << 8) | (uint32_t{aIn[2]} << 16) | (uint32_t{aIn[3]} << 24);
}

inline void Store32(unsigned char* aOut, uint32_t aValue) {
    aOut[0] = static_cast<unsigned char>(aValue);
    aOut[1] = static_cast<unsigned char>(aValue >> 8);
    aOut[2] = static_cast<unsigned char>(aValue >> 16);
    aOut[3] = static_cast<unsigned char>(aValue >> 24);
}

inline uint32_t Rotl(uint32_t aValue, int aBits) { return (aValue << aBits) | (aValue >> (32 - aBits)); }

// The four auxiliary functions, written so that the fewest operations wait
// for x, the value the previous step just produced (y and z are older).
#define RT_MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define RT_MD5_G(x, y, z) (((x) & (z)) | ((y) & ~(z)))
#define RT_MD5_H(x, y, z) ((x) ^ ((y) ^ (z)))
#define RT_MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))
#define RT_MD5_STEP(f, a, b, c, d, x, t, s) (a) = (b) + Rotl((a) + f((b), (c), (d)) + (x) + (t), (s))

// One 64-byte block into the chaining values, all 64 steps written out.
void Transform(uint32_t aState[4], const unsigned char* aBlock) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = Load32(aBlock + 4 * i);
    uint32_t a = aState[0], b = aState[1], c = aState[2], d = aState[3];

    RT_MD5_STEP(RT_MD5_F, a, b, c, d, x[0], 0xd76aa478, 7);
    RT_MD5_STEP(RT_MD5_F, d, a, b, c, x[1], 0xe8c7b756, 12);
    RT_MD5_STEP(RT_MD5_F, c, d, a, b, x[2], 0x242070db, 17);
    RT_MD5_STEP(RT_MD5_F, b, c, d, a, x[3], 0xc1bdceee, 22);
    RT_MD5_STEP(RT_MD5_F, a, b, c, d, x[4], 0xf57c0faf, 7);
    RT_MD5_STEP(RT_MD5_F, d, a, b, c, x[5], 0x4787c62a, 12);
    RT_MD5_STEP(RT_MD5_F, c, d, a, b, x[6], 0xa8304613, 17);
    RT_MD5_STEP(RT_MD5_F, b, c, d, a, x[7], 0xfd469501, 22);
    RT_MD5_STEP(RT_MD5_F, a, b, c, d, x[8], 0x698098d8, 7);
    RT_MD5_STEP(RT_MD5_F, d, a, b, c, x[9], 0x8b44f7af, 12);
    RT_MD5_STEP(RT_MD5_F, c, d, a, b, x[10], 0xffff5bb1, 17);
    RT_MD5_STEP(RT_MD5_F, b, c, d, a, x[11], 0x895cd7be, 22);
    RT_MD5_STEP(RT_MD5_F, a, b, c, d, x[12], 0x6b901122, 7);
    RT_MD5_STEP(RT_MD5_F, d, a, b, c, x[13], 0xfd987193, 12);
    RT_MD5_STEP(RT_MD5_F, c, d, a, b, x[14], 0xa679438e, 17);
    RT_MD5_STEP(RT_MD5_F, b, c, d, a, x[15], 0x49b40821, 22);

    RT_MD5_STEP(RT_MD5_G, a, b, c, d, x[1], 0xf61e2562, 5);
    RT_MD5_STEP(RT_MD5_G, d, a, b, c, x[6], 0xc040b340, 9);
    RT_MD5_STEP(RT_MD5_G, c, d, a, b, x[11], 0x265e5a51, 14);
    RT_MD5_STEP(RT_MD5_G, b, c, d, a, x[0], 0xe9b6c7aa, 20);
    RT_MD5_STEP(RT_MD5_G, a, b, c, d, x[5], 0xd62f105d, 5);
    RT_MD5_STEP(RT_MD5_G, d, a, b, c, x[10], 0x02441453, 9);
    RT_MD5_STEP(RT_MD5_G, c, d, a, b, x[15], 0xd8a1e681, 14);
    RT_MD5_STEP(RT_MD5_G, b, c, d, a, x[4], 0xe7d3fbc8, 20);
    RT_MD5_STEP(RT_MD5_G, a, b, c, d, x[9], 0x21e1cde6, 5);
    RT_MD5_STEP(RT_MD5_G, d, a, b, c, x[14], 0xc33707d6, 9);
    RT_MD5_STEP(RT_MD5_G, c, d, a, b, x[3], 0xf4d50d87, 14);
    RT_MD5_STEP(RT_MD5_G, b, c, d, a, x[8], 0x455a14ed, 20);
    RT_MD5_STEP(RT_MD5_G, a, b, c, d, x[13], 0xa9e3e905, 5);
    RT_MD5_STEP(RT_MD5_G, d, a, b, c, x[2], 0xfcefa3f8, 9);
    RT_MD5_STEP(RT_MD5_G, c, d, a, b, x[7], 0x676f02d9, 14);
    RT_MD5_STEP(RT_MD5_G, b, c, d, a, x[12], 0x8d2a4c8a, 20);

    RT_MD5_STEP(RT_MD5_H, a, b, c, d, x[5], 0xfffa3942, 4);
    RT_MD5_STEP(RT_MD5_H, d, a, b, c, x[8], 0x8771f681, 11);
    RT_MD5_STEP(RT_MD5_H, c, d, a, b, x[11], 0x6d9d6122, 16);
    RT_MD5_STEP(RT_MD5_H, b, c, d, a, x[14], 0xfde5380c, 23);
    RT_MD5_STEP(RT_MD5_H, a, b, c, d, x[1], 0xa4beea44, 4);
    RT_MD5_STEP(RT_MD5_H, d, a, b, c, x[4], 0x4bdecfa9, 11);
    RT_MD5_STEP(RT_MD5_H, c, d, a, b, x[7], 0xf6bb4b60, 16);
    RT_MD5_STEP(RT_MD5_H, b, c, d, a, x[10], 0xbebfbc70, 23);
    RT_MD5_STEP(RT_MD5_H, a, b, c, d, x[13], 0x289b7ec6, 4);
    RT_MD5_STEP(RT_MD5_H, d, a, b, c, x[0], 0xeaa127fa, 11);
    RT_MD5_STEP(RT_MD5_H, c, d, a, b, x[3], 0xd4ef3085, 16);
    RT_MD5_STEP(RT_MD5_H, b, c, d, a, x[6], 0x04881d05, 23);
    RT_MD5_STEP(RT_MD5_H, a, b, c, d, x[9], 0xd9d4d039, 4);
    RT_MD5_STEP(RT_MD5_H, d, a, b, c, x[12], 0xe6db99e5, 11);
    RT_MD5_STEP(RT_MD5_H, c, d, a, b, x[15], 0x1fa27cf8, 16);
    RT_MD5_STEP(RT_MD5_H, b, c, d, a, x[2], 0xc4ac5665, 23);

    RT_MD5_STEP(RT_MD5_I, a, b, c, d, x[0], 0xf4292244, 6);
    RT_MD5_STEP(RT_MD5_I, d, a, b, c, x[7], 0x432aff97, 10);
    RT_MD5_STEP(RT_MD5_I, c, d, a, b, x[14], 0xab9423a7, 15);
    RT_MD5_STEP(RT_MD5_I, b, c, d, a, x[5], 0xfc93a039, 21);
    RT_MD5_STEP(RT_MD5_I, a, b, c, d, x[12], 0x655b59c3, 6);
    RT_MD5_STEP(RT_MD5_I, d, a, b, c, x[3], 0x8f0ccc92, 10);
    RT_MD5_STEP(RT_MD5_I, c, d, a, b, x[10], 0xffeff47d, 15);
    RT_MD5_STEP(RT_MD5_I, b, c, d, a, x[1], 0x85845dd1, 21);
    RT_MD5_STEP(RT_MD5_I, a, b, c, d, x[8], 0x6fa87e4f, 6);
    RT_MD5_STEP(RT_MD5_I, d, a, b, c, x[15], 0xfe2ce6e0, 10);
    RT_MD5_STEP(RT_MD5_I, c, d, a, b, x[6], 0xa3014314, 15);
    RT_MD5_STEP(RT_MD5_I, b, c, d, a, x[13], 0x4e0811a1, 21);
    RT_MD5_STEP(RT_MD5_I, a, b, c, d, x[4], 0xf7537e82, 6);
    RT_MD5_STEP(RT_MD5_I, d, a, b, c, x[11], 0xbd3af235, 10);
    RT_MD5_STEP(RT_MD5_I, c, d, a, b, x[2], 0x2ad7d2bb, 15);
    RT_MD5_STEP(RT_MD5_I, b, c, d, a, x[9], 0xeb86d391, 21);

    aState[0] += a;
    aState[1] += b;
    aState[2] += c;
    aState[3] += d;
}

#undef RT_MD5_F
#undef RT_MD5_G
#undef RT_MD5_H
#undef RT_MD5_I
#undef RT_MD5_STEP

}  // namespace

void RtMD5Init(RtMD5Context* aCtx) {
    aCtx->count[0] = aCtx->count[1] = 0;
    aCtx->state[0] = 0x67452301;
    aCtx->state[1] = 0xefcdab89;
    aCtx->state[2] = 0x98badcfe;
    aCtx->state[3] = 0x10325476;
}

void RtMD5Update(RtMD5Context* aCtx, const unsigned char* aIn, size_t aLen) {
    if (aLen == 0)
        return;
    size_t used = (aCtx->count[0] >> 3) & 63;
    // The bit count is kept modulo 2^64, as the padding stores it.
    const uint64_t bits = ((uint64_t{aCtx->count[1]} << 32) | aCtx->count[0]) + (static_cast<uint64_t>(aLen) << 3);
    aCtx->count[0] = static_cast<uint32_t>(bits);
    aCtx->count[1] = static_cast<uint32_t>(bits >> 32);

    if (used) {
        const size_t fill = 64 - used;
        if (aLen < fill) {
            memcpy(aCtx->buffer + used, aIn, aLen);
            return;
        }
        memcpy(aCtx->buffer + used, aIn, fill);
        Transform(aCtx->state, aCtx->buffer);
        aIn += fill;
        aLen -= fill;
    }
    // Whole blocks straight from the caller's memory, without a copy.
    for (; aLen >= 64; aIn += 64, aLen -= 64)
        Transform(aCtx->state, aIn);
    if (aLen)
        memcpy(aCtx->buffer, aIn, aLen);
}

void RtMD5Final(RtMD5Context* aCtx) {
    unsigned char length[8];
    Store32(length, aCtx->count[0]);
    Store32(length + 4, aCtx->count[1]);
    // A one bit, zeros up to 56 bytes modulo 64, then the length.
    static const unsigned char kPadding[64] = {0x80};
    const size_t used = (aCtx->count[0] >> 3) & 63;
    RtMD5Update(aCtx, kPadding, used < 56 ? 56 - used : 120 - used);
    RtMD5Update(aCtx, length, 8);
    for (int i = 0; i < 4; ++i)
        Store32(aCtx->digest + 4 * i, aCtx->state[i]);
}

unsigned char* RtMD5(const unsigned char* aIn, size_t aLen, unsigned char* aOut) {
    static unsigned char s_digest[16];
    RtMD5Context ctx;
    RtMD5Init(&ctx);
    RtMD5Update(&ctx, aIn, aLen);
    RtMD5Final(&ctx);
    unsigned char* out = aOut ? aOut : s_digest;
    memcpy(out, ctx.digest, sizeof ctx.digest);
    return out;
}

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "RtBase.h"

namespace {

std::string Hex(const unsigned char* aDigest, size_t aLen = 16) {
    std::string out;
    char two[3];
    for (size_t i = 0; i < aLen; ++i) {
        std::snprintf(two, sizeof two, "%02x", aDigest[i]);
        out += two;
    }
    return out;
}

const unsigned char* Bytes(const std::string& aText) { return reinterpret_cast<const unsigned char*>(aText.data()); }

std::string OneShot(const std::string& aText) {
    unsigned char digest[16];
    return Hex(RtMD5(Bytes(aText), aText.size(), digest));
}

struct Vector {
    const char* text;
    const char* md5;
};
// RFC 1321, appendix A.5.
const Vector kRfc1321[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

}  // namespace

TEST(RtMD5, Rfc1321Suite) {
    for (const Vector& v : kRfc1321) {
        RtMD5Context ctx;
        RtMD5Init(&ctx);
        RtMD5Update(&ctx, Bytes(v.text), strlen(v.text));
        RtMD5Final(&ctx);
        EXPECT_EQ(v.md5, Hex(ctx.digest)) << '"' << v.text << '"';
        EXPECT_EQ(v.md5, OneShot(v.text)) << '"' << v.text << '"';
    }
}

// The same digest however the input is cut into updates: once at every
// position, in three pieces at every pair of positions, byte by byte.
TEST(RtMD5, Rfc1321SuiteSplitAtEveryUpdateBoundary) {
    for (const Vector& v : kRfc1321) {
        const std::string text = v.text;
        const size_t len = text.size();
        for (size_t i = 0; i <= len; ++i) {
            for (size_t j = i; j <= len; ++j) {
                RtMD5Context ctx;
                RtMD5Init(&ctx);
                RtMD5Update(&ctx, Bytes(text), i);
                RtMD5Update(&ctx, Bytes(text) + i, j - i);
                RtMD5Update(&ctx, Bytes(text) + j, len - j);
                RtMD5Final(&ctx);
                ASSERT_EQ(v.md5, Hex(ctx.digest)) << '"' << text << "\" cut at " << i << " and " << j;
            }
        }
        RtMD5Context ctx;
        RtMD5Init(&ctx);
        for (size_t i = 0; i < len; ++i)
            RtMD5Update(&ctx, Bytes(text) + i, 1);
        RtMD5Final(&ctx);
        EXPECT_EQ(v.md5, Hex(ctx.digest)) << '"' << text << "\" byte by byte";
    }
}

TEST(RtMD5, MillionAsInUnevenUpdates) {
    const std::string chunk(997, 'a');
    RtMD5Context ctx;
    RtMD5Init(&ctx);
    size_t left = 1000000;
    while (left) {
        const size_t n = left < chunk.size() ? left : chunk.size();
        RtMD5Update(&ctx, Bytes(chunk), n);
        left -= n;
    }
    RtMD5Final(&ctx);
    EXPECT_EQ("7707d6ae4e027c70eea2a935c2296f21", Hex(ctx.digest));
    EXPECT_EQ("7707d6ae4e027c70eea2a935c2296f21", OneShot(std::string(1000000, 'a')));
}

TEST(RtMD5, BitCountCarriesIntoTheHighWord) {
    RtMD5Context ctx;
    RtMD5Init(&ctx);
    // As if 2^29 - 64 bytes had gone through: one more block passes 2^32 bits.
    ctx.count[0] = 0xfffffe00u;
    const std::string block(64, 'x');
    RtMD5Update(&ctx, Bytes(block), block.size());
    EXPECT_EQ(0u, ctx.count[0]);
    EXPECT_EQ(1u, ctx.count[1]);
    RtMD5Update(&ctx, Bytes(block), 3);
    EXPECT_EQ(24u, ctx.count[0]);
    EXPECT_EQ(1u, ctx.count[1]);
}

TEST(RtMD5, OneShotWritesTheCallersBufferOrOneSharedBuffer) {
    unsigned char mine[17];
    memset(mine, 0xee, sizeof mine);
    unsigned char* got = RtMD5(Bytes("abc"), 3, mine);
    EXPECT_EQ(mine, got);
    EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", Hex(mine));
    EXPECT_EQ(0xee, mine[16]);  // exactly 16 bytes written

    unsigned char* shared = RtMD5(Bytes("abc"), 3, nullptr);
    ASSERT_NE(nullptr, shared);
    EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", Hex(shared));
    EXPECT_EQ(shared, RtMD5(Bytes("a"), 1, nullptr));
    EXPECT_EQ("0cc175b9c0f1b6a831c399e269772661", Hex(shared));
    // An empty input may come without bytes at all.
    EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", Hex(RtMD5(nullptr, 0, mine)));
}

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "RtBase.h"

namespace {

std::string Hex(const unsigned char* aDigest) {
    std::string out;
    char two[3];
    for (size_t i = 0; i < 20; ++i) {
        std::snprintf(two, sizeof two, "%02x", aDigest[i]);
        out += two;
    }
    return out;
}

std::string Sha1(const std::string& aText) {
    unsigned char digest[20];
    return Hex(RtSha1(reinterpret_cast<const unsigned char*>(aText.data()), aText.size(), digest));
}

}  // namespace

// FIPS 180 examples (one block, two blocks, a million 'a'), the empty
// message, and the lengths where the padding needs a second block.
TEST(RtSha1, Fips180Vectors) {
    EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", Sha1("abc"));
    EXPECT_EQ("84983e441c3bd26ebaae4aa1f95129e5e54670f1",
              Sha1("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"));
    EXPECT_EQ("34aa973cd4c4daa4f61eeb2bdbad27316534016f", Sha1(std::string(1000000, 'a')));
    EXPECT_EQ("da39a3ee5e6b4b0d3255bfef95601890afd80709", Sha1(""));
    EXPECT_EQ(
        "a49b2446a02c645bf419f995b67091253a04a259",
        Sha1("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopq"
             "rstnopqrstu"));
}

// RFC 6455, section 1.3: the WebSocket accept key is the base64 of this
// digest.
TEST(RtSha1, WebSocketAcceptKey) {
    const std::string key = "dGhlIHNhbXBsZSBub25jZQ==258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    unsigned char digest[20];
    RtSha1(reinterpret_cast<const unsigned char*>(key.data()), key.size(), digest);
    CRtString accept;
    RtBase64Encode(digest, sizeof digest, accept);
    EXPECT_EQ("s3pPLMBiTxaQ9kYGzzhZRbK+xOo=", accept);
}

TEST(RtSha1, WritesTheCallersBufferOrOneSharedBuffer) {
    unsigned char mine[21];
    memset(mine, 0xee, sizeof mine);
    EXPECT_EQ(mine, RtSha1(reinterpret_cast<const unsigned char*>("abc"), 3, mine));
    EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", Hex(mine));
    EXPECT_EQ(0xee, mine[20]);

    unsigned char* shared = RtSha1(reinterpret_cast<const unsigned char*>("abc"), 3, nullptr);
    ASSERT_NE(nullptr, shared);
    EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", Hex(shared));
    EXPECT_EQ(shared, RtSha1(nullptr, 0, nullptr));
    EXPECT_EQ("da39a3ee5e6b4b0d3255bfef95601890afd80709", Hex(shared));
}

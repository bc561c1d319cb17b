// The framework's own MD5, SHA-1 and base64 against OpenSSL's on random inputs.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "RtBase.h"

namespace {

std::vector<unsigned char> RandomBytes(std::mt19937& aGen, size_t aLen) {
    std::vector<unsigned char> bytes(aLen);
    for (unsigned char& b : bytes)
        b = static_cast<unsigned char>(aGen());
    return bytes;
}

std::string OpenSslMd5(const unsigned char* aIn, size_t aLen) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EXPECT_EQ(1, EVP_Digest(aIn, aLen, digest, &len, EVP_md5(), nullptr));
    return std::string(reinterpret_cast<char*>(digest), len);
}

}  // namespace

TEST(RtMD5OpenSsl, RandomInputsInRandomPieces) {
    std::mt19937 gen(1321);
    for (int round = 0; round < 400; ++round) {
        // Every length around the first blocks, then larger ones.
        const size_t len = round < 200 ? static_cast<size_t>(round) : gen() % 20000;
        const std::vector<unsigned char> bytes = RandomBytes(gen, len);
        RtMD5Context ctx;
        RtMD5Init(&ctx);
        size_t done = 0;
        while (done < len) {
            const size_t piece = std::min<size_t>(len - done, gen() % 150);
            RtMD5Update(&ctx, bytes.data() + done, piece);
            done += piece;
        }
        RtMD5Final(&ctx);
        const std::string expected = OpenSslMd5(bytes.data(), len);
        ASSERT_EQ(expected, std::string(reinterpret_cast<char*>(ctx.digest), 16)) << "length " << len;
        unsigned char oneShot[16];
        ASSERT_EQ(expected, std::string(reinterpret_cast<char*>(RtMD5(bytes.data(), len, oneShot)), 16));
    }
}

TEST(RtBase64OpenSsl, RandomInputsBothWays) {
    std::mt19937 gen(4648);
    for (int round = 0; round < 400; ++round) {
        const size_t len = round < 100 ? static_cast<size_t>(round) : gen() % 10000;
        const std::vector<unsigned char> bytes = RandomBytes(gen, len);
        std::vector<unsigned char> theirs((len + 2) / 3 * 4 + 1);
        const int textLen = EVP_EncodeBlock(theirs.data(), bytes.data(), static_cast<int>(len));
        const std::string text(reinterpret_cast<char*>(theirs.data()), static_cast<size_t>(textLen));

        CRtString ours;
        RtBase64Encode(bytes.data(), len, ours);
        ASSERT_EQ(text, ours) << "length " << len;

        CRtString decoded;
        RtBase64Decode(text.c_str(), decoded);
        ASSERT_EQ(std::string(bytes.begin(), bytes.end()), decoded) << "length " << len;
    }
}

TEST(RtSha1OpenSsl, RandomInputs) {
    std::mt19937 gen(180);
    for (int round = 0; round < 300; ++round) {
        const size_t len = round < 200 ? static_cast<size_t>(round) : gen() % 20000;
        const std::vector<unsigned char> bytes = RandomBytes(gen, len);
        unsigned char theirs[EVP_MAX_MD_SIZE];
        unsigned int theirLen = 0;
        ASSERT_EQ(1, EVP_Digest(bytes.data(), len, theirs, &theirLen, EVP_sha1(), nullptr));
        ASSERT_EQ(20u, theirLen);
        unsigned char ours[20];
        RtSha1(bytes.data(), len, ours);
        ASSERT_EQ(0, memcmp(theirs, ours, sizeof ours)) << "length " << len;
    }
}

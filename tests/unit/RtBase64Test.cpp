#include <gtest/gtest.h>

#include <random>
#include <string>

#include "RtBase.h"

namespace {

std::string Encode(const std::string& aBytes) {
    CRtString out;
    RtBase64Encode(reinterpret_cast<const unsigned char*>(aBytes.data()), aBytes.size(), out);
    return out;
}

std::string Decode(const char* aText) {
    CRtString out;
    RtBase64Decode(aText, out);
    return out;
}

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

struct Vector {
    const char* bytes;
    const char* text;
};
// RFC 4648, section 10.
const Vector kRfc4648[] = {{"", ""},
                           {"f", "Zg=="},
                           {"fo", "Zm8="},
                           {"foo", "Zm9v"},
                           {"foob", "Zm9vYg=="},
                           {"fooba", "Zm9vYmE="},
                           {"foobar", "Zm9vYmFy"}};

}  // namespace

TEST(RtBase64, Rfc4648VectorsBothWays) {
    for (const Vector& v : kRfc4648) {
        EXPECT_EQ(v.text, Encode(v.bytes)) << v.bytes;
        EXPECT_EQ(v.bytes, Decode(v.text)) << v.text;
    }
}

TEST(RtBase64, EncodeAppendsAndDecodeReplaces) {
    CRtString out = "Basic ";
    const unsigned char user[] = {'u', ':', 'p'};
    RtBase64Encode(user, sizeof user, out);
    EXPECT_EQ("Basic dTpw", out);
    RtBase64Encode(user, 0, out);
    EXPECT_EQ("Basic dTpw", out);

    CRtString decoded = "a much longer previous content";
    RtBase64Decode("Zm9v", decoded);
    EXPECT_EQ("foo", decoded);
    RtBase64Decode("", decoded);
    EXPECT_TRUE(decoded.empty());

    // The text may be the output string's own content.
    CRtString self = "Zm9vYmFy";
    RtBase64Decode(self.c_str(), self);
    EXPECT_EQ("foobar", self);
    CRtString tail = "xxxxZm9v";
    RtBase64Decode(tail.c_str() + 4, tail);
    EXPECT_EQ("foo", tail);
}

TEST(RtBase64, RandomBinaryRoundTrips) {
    std::mt19937 gen(20261207);
    for (int round = 0; round < 600; ++round) {
        // Every short length, then longer ones, the last beyond the step in
        // which the decoder grows its output.
        const size_t len = round < 200 ? static_cast<size_t>(round) : round < 599 ? gen() % 5000 : 600001;
        std::string bytes(len, '\0');
        for (char& c : bytes)
            c = static_cast<char>(gen() & 0xff);
        if (len > 2) {
            bytes[0] = '\0';  // NUL and high bytes are data like any other
            bytes[len / 2] = '\xff';
            bytes[len - 1] = '\x80';
        }
        const std::string text = Encode(bytes);
        ASSERT_EQ((len + 2) / 3 * 4, text.size()) << len;
        const size_t pad = (3 - len % 3) % 3;
        ASSERT_EQ(pad ? text.size() - pad : std::string::npos, text.find_first_not_of(kAlphabet)) << text;
        ASSERT_EQ(std::string(pad, '='), text.substr(text.size() - pad)) << text;
        ASSERT_EQ(bytes, Decode(text.c_str())) << "length " << len;
    }
}

TEST(RtBase64, EveryCharacterDecodesToItsPosition) {
    // Each character of the alphabet, placed first in a group of "?AAA",
    // lands in the top six bits of the first byte.
    for (int i = 0; i < 64; ++i) {
        const char text[] = {kAlphabet[i], 'A', 'A', 'A', '\0'};
        const std::string bytes = Decode(text);
        ASSERT_EQ(3u, bytes.size()) << text;
        EXPECT_EQ(i << 2, static_cast<unsigned char>(bytes[0])) << text;
    }
}

TEST(RtBase64, DecodingSkipsLeadingBlanksAndStopsAtTheFirstForeignByte) {
    EXPECT_EQ("foo", Decode("  \t Zm9v"));
    EXPECT_EQ("foo", Decode("Zm9v Zm9v"));
    EXPECT_EQ("foo", Decode("Zm9v\r\nYmFy"));
    EXPECT_EQ("foo", Decode("Zm9v*YmFy"));
    EXPECT_EQ("foo", Decode("Zm9v\xc3\xa9YmFy"));  // bytes >= 0x80 are outside the alphabet
    EXPECT_EQ("foo", Decode("Zm9v=YmFy"));
    EXPECT_EQ("", Decode("\nZm9v"));  // only spaces and tabs are skipped
    EXPECT_EQ("", Decode("   "));
    EXPECT_EQ("", Decode("=Zm9v"));
}

TEST(RtBase64, ShortLastGroups) {
    // One character carries six bits: no byte.
    EXPECT_EQ("foo", Decode("Zm9vY"));
    EXPECT_EQ("", Decode("Z"));
    EXPECT_EQ("foo", Decode("Zm9vY==="));
    // Two characters give one byte, three give two, padded or not.
    EXPECT_EQ("foob", Decode("Zm9vYg"));
    EXPECT_EQ("foob", Decode("Zm9vYg=="));
    EXPECT_EQ("foob", Decode("Zm9vYg="));
    EXPECT_EQ("fooba", Decode("Zm9vYmE"));
    EXPECT_EQ("fooba", Decode("Zm9vYmE="));
    // Bits below the last whole byte are dropped, not carried.
    EXPECT_EQ("f", Decode("Zh=="));
    EXPECT_EQ(std::string("\xff\xff", 2), Decode("//8="));
    EXPECT_EQ(std::string("\xff\xff\xff", 3), Decode("////"));
}

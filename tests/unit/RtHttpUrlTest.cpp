#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "RtHttpUrl.h"

namespace {

// Decodes in a heap buffer of exactly aLength + 1 bytes, so the address
// sanitizer sees any access past it.
std::string DecodeExact(const std::string& aText, int aLength) {
    std::unique_ptr<char[]> buf(new char[static_cast<size_t>(aLength) + 1]);
    memcpy(buf.get(), aText.data(), static_cast<size_t>(aLength));
    int n = CRtHttpUrl::Decode(buf.get(), aLength);
    EXPECT_EQ('\0', buf[static_cast<size_t>(n)]);
    return std::string(buf.get(), static_cast<size_t>(n));
}

}  // namespace

TEST(RtHttpUrlParse, HttpForms) {
    CRtHttpUrl url;
    ASSERT_TRUE(url.Init("  http://host/a/b"));
    EXPECT_EQ(80, url.GetPort());
    EXPECT_EQ("/a/b", url.GetPath());
    EXPECT_EQ("http://host/a/b", url.GetAsciiSpec());

    ASSERT_TRUE(url.Init("HTTPS://host:8443"));
    EXPECT_EQ("https://host:8443/", url.GetAsciiSpec());
    url.SetPort(0);
    EXPECT_EQ(443, url.GetPort());

    ASSERT_TRUE(url.Init("http://host:80/x"));
    EXPECT_EQ("http://host/x", url.GetAsciiSpec());
    EXPECT_EQ("host:80", url.GetNameAndPort(true));
}

TEST(RtHttpUrlParse, RefusesBadTexts) {
    for (const char* text : {"", "   ", "http://:8080/x", "http://", "http:/", "ftp://host/"}) {
        CRtHttpUrl url;
        EXPECT_FALSE(url.Init(text)) << text;
    }
}

TEST(RtHttpUrlParse, FileUrlsAndReinit) {
    CRtHttpUrl url;
    ASSERT_TRUE(url.Init("http://old:81/"));
    for (const char* text : {"file:///C:/dir/f.txt", "FILE://C:/dir/f.txt"}) {
        ASSERT_TRUE(url.Init(text)) << text;
        EXPECT_EQ("C:\\dir\\f.txt", url.GetPath()) << text;
        EXPECT_EQ("", url.GetHostName()) << text;
    }
}

TEST(RtHttpUrlPort, AboveSixteenBitsIsRefused) {
    CRtHttpUrl url;
    EXPECT_FALSE(url.Init("http://host:70000/"));
    EXPECT_FALSE(url.Init("http://host:-1/"));
    ASSERT_TRUE(url.Init("http://host:65535/x"));
    EXPECT_FALSE(url.SetNameAndPort("other:65536"));
    EXPECT_FALSE(url.SetNameAndPort("other:99999999999999999999"));
    EXPECT_EQ("http://host:65535/x", url.GetAsciiSpec());
    ASSERT_TRUE(url.SetNameAndPort("other:8080x"));
    EXPECT_EQ(8080, url.GetPort());
}

TEST(RtHttpUrlPort, SettersRebuildTheCachedText) {
    CRtHttpUrl url;
    ASSERT_TRUE(url.Init("http://host/a"));
    EXPECT_EQ("http://host/a", url.GetAsciiSpec());
    url.SetPort(81);
    url.SetPath("");
    EXPECT_EQ("http://host:81/", url.GetAsciiSpec());
    ASSERT_TRUE(url.SetNameAndPort("peer"));
    EXPECT_EQ("http://peer/", url.GetAsciiSpec());
}

TEST(RtHttpUrlCoding, EncodeDecode) {
    EXPECT_EQ("a+b%26c", CRtHttpUrl::Encode("a b&c"));
    EXPECT_EQ("a b&c%2", DecodeExact("a+b%26c%2", 9));
    std::string all;
    for (int b = 0; b < 256; ++b)
        all += static_cast<char>(b);
    CRtString encoded = CRtHttpUrl::Encode(all);
    EXPECT_EQ(all, DecodeExact(encoded, static_cast<int>(encoded.size())));
    EXPECT_EQ("\xE9\xAB", DecodeExact("%e9%Ab", 6));
}

TEST(RtHttpUrlCoding, DecodeStaysWithinTheLength) {
    // Digits past the length must not complete an escape.
    EXPECT_EQ("ab%4", DecodeExact("ab%41", 4));
    EXPECT_EQ("%", DecodeExact("%41", 1));
    EXPECT_EQ("", DecodeExact("x", 0));
    EXPECT_EQ(0, CRtHttpUrl::Decode(nullptr, 5));
}

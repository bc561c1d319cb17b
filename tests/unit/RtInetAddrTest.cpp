#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "RtDnsManager.h"
#include "RtInetAddr.h"
#include "RtOsSocket.h"
#include "RtTestSupport.h"

namespace {

std::string Ntop(int aFamily, const std::vector<uint8_t>& aBytes) {
    char buf[64];
    const char* text = CRtInetAddr::RtInet_ntop(aFamily, aBytes.data(), buf, sizeof buf);
    return text ? text : "<null>";
}

std::vector<uint8_t> V6(std::initializer_list<unsigned> aGroups) {
    std::vector<uint8_t> bytes;
    for (unsigned g : aGroups) {
        bytes.push_back(static_cast<uint8_t>(g >> 8));
        bytes.push_back(static_cast<uint8_t>(g & 0xFF));
    }
    return bytes;
}

}  // namespace

TEST(CRtInetAddr, NumericAddressesAreResolvedAtOnce) {
    CRtInetAddr v4;
    ASSERT_EQ(RT_OK, v4.Set("127.0.0.1", 5161));
    EXPECT_TRUE(v4.IsResolved());
    EXPECT_EQ("127.0.0.1:5161", v4.GetIpAndPort());
    EXPECT_EQ(5161, v4.GetPort());
    EXPECT_EQ(16, v4.GetSize());
    ASSERT_NE(nullptr, v4.GetPtr());

    CRtInetAddr v6;
    ASSERT_EQ(RT_OK, v6.Set("::1", 80));
    EXPECT_EQ(rtos::kAfInet6, v6.GetType());
    EXPECT_EQ("[::1]:80", v6.GetIpAndPort());
    EXPECT_EQ("::1", v6.GetIpDisplayName());
    EXPECT_EQ(28, v6.GetSize());

    CRtInetAddr copy(v6);
    EXPECT_TRUE(copy == v6);
    copy.SetPortA(81);
    EXPECT_FALSE(copy == v6);
    EXPECT_TRUE(v6 < copy);
}

TEST(CRtInetAddr, BadArgumentsLeaveTheAddressAlone) {
    CRtInetAddr addr("10.1.2.3", 99);
    EXPECT_EQ(RT_ERROR_INVALID_ARG, addr.Set("10.0.0.9", 0));
    EXPECT_EQ(RT_ERROR_INVALID_ARG, addr.Set("", 80));
    EXPECT_EQ(RT_ERROR_INVALID_ARG, addr.Set(nullptr, 80));
    EXPECT_EQ("10.1.2.3:99", addr.GetIpAndPort());
}

TEST(CRtInetAddr, HostAndPortText) {
    CRtInetAddr a, b;
    ASSERT_EQ(RT_OK, a.SetV4("10.0.0.1:8080"));
    ASSERT_EQ(RT_OK, b.Set("10.0.0.1", 8080));
    EXPECT_TRUE(a == b);
    EXPECT_EQ(RT_ERROR_INVALID_ARG, a.SetV4("10.0.0.1"));
    // A port beyond 16 bits is refused, not wrapped to another port.
    EXPECT_EQ(RT_ERROR_INVALID_ARG, a.SetV4("10.0.0.1:70000"));
    EXPECT_EQ(RT_ERROR_NOT_AVAILABLE, a.SetV4((std::string(300, 'h') + ":80").c_str()));
    EXPECT_EQ(RT_ERROR_INVALID_ARG, a.SetV4(nullptr));
}

TEST(RtInetNtop, FollowsTheConventionalTextForms) {
    EXPECT_EQ("::ffff:192.0.2.128", Ntop(rtos::kAfInet6, V6({0, 0, 0, 0, 0, 0xffff, 0xc000, 0x280})));
    EXPECT_EQ("2001:db8::1:0:0:1", Ntop(rtos::kAfInet6, V6({0x2001, 0xdb8, 0, 0, 1, 0, 0, 1})));
    EXPECT_EQ("::", Ntop(rtos::kAfInet6, V6({0, 0, 0, 0, 0, 0, 0, 0})));
    EXPECT_EQ("::1", Ntop(rtos::kAfInet6, V6({0, 0, 0, 0, 0, 0, 0, 1})));
    EXPECT_EQ("1::", Ntop(rtos::kAfInet6, V6({1, 0, 0, 0, 0, 0, 0, 0})));
    EXPECT_EQ("::1.2.3.4", Ntop(rtos::kAfInet6, V6({0, 0, 0, 0, 0, 0, 0x102, 0x304})));
    EXPECT_EQ("1:0:2:0:3:0:4:0", Ntop(rtos::kAfInet6, V6({1, 0, 2, 0, 3, 0, 4, 0})));
    EXPECT_EQ("2001:db8:85a3:1234:5678:8a2e:370:7334",
              Ntop(rtos::kAfInet6, V6({0x2001, 0xdb8, 0x85a3, 0x1234, 0x5678, 0x8a2e, 0x370, 0x7334})));
    EXPECT_EQ("192.168.0.255", Ntop(rtos::kAfInet, {192, 168, 0, 255}));

    // A buffer too small gets nothing written past its end.
    uint8_t v4[4] = {255, 255, 255, 255};
    char small[10];
    memset(small, 'x', sizeof small);
    errno = 0;
    EXPECT_EQ(nullptr, CRtInetAddr::RtInet_ntop(rtos::kAfInet, v4, small, sizeof small));
    EXPECT_EQ(ENOSPC, errno);
}

TEST(RtInetPton, AcceptsOnlyWellFormedText) {
    uint8_t out[16];
    const char* good6[] = {
        "::", "::1", "1::", "2001:DB8::1", "::ffff:192.0.2.128", "1:2:3:4:5:6:7:8", "1:2:3:4:5:6:1.2.3.4", "fe80::1:2"};
    for (const char* text : good6) {
        ASSERT_EQ(1, CRtInetAddr::RtInet_pton(rtos::kAfInet6, text, out)) << text;
        char back[64];
        ASSERT_NE(nullptr, CRtInetAddr::RtInet_ntop(rtos::kAfInet6, out, back, sizeof back));
        uint8_t again[16];
        ASSERT_EQ(1, CRtInetAddr::RtInet_pton(rtos::kAfInet6, back, again)) << back;
        EXPECT_EQ(0, memcmp(out, again, 16)) << text << " -> " << back;
    }
    const char* bad6[] = {":::",         "1::2::3", "12345::",          ":1", "1:", "1:2:3:4:5:6:7:8:9",
                          "::1.2.3.4.5", "g::",     "1:2:3:4:5:6:7::8", ""};
    for (const char* text : bad6)
        EXPECT_EQ(0, CRtInetAddr::RtInet_pton(rtos::kAfInet6, text, out)) << text;
    const char* bad4[] = {"1.2.3", "256.1.1.1", "1.2.3.4a", "1..2.3", "01.2.3.4", ""};
    for (const char* text : bad4)
        EXPECT_EQ(0, CRtInetAddr::RtInet_pton(rtos::kAfInet, text, out)) << text;
    EXPECT_EQ(1, CRtInetAddr::RtInet_pton(rtos::kAfInet, "0.0.0.0", out));
    EXPECT_EQ(-1, CRtInetAddr::RtInet_pton(12345, "1.2.3.4", out));
}

TEST(CRtInetAddr, DisplayOfALongUnresolvedNameIsBounded) {
    static const auto resolver = [](const char*, rtos::SocketAddress*, size_t, size_t*) -> int {
        return rtos::kResolveNoAddress;
    };
    CRtDnsManager::SetResolverForTest(resolver);
    std::string name(200, 'n');
    CRtInetAddr addr;
    RtResult rv = addr.Set(name.c_str(), 80);
    EXPECT_TRUE(rv == RT_ERROR_WOULD_BLOCK || rv == RT_ERROR_NETWORK_DNS_FAILURE) << rv;
    EXPECT_FALSE(addr.IsResolved());
    EXPECT_EQ(nullptr, addr.GetPtr());
    EXPECT_EQ(name, addr.GetIpDisplayName());
    EXPECT_EQ(63u, addr.GetIpAndPort().size());
    CRtDnsManager::SetResolverForTest(nullptr);
}

TEST(CRtInetAddr, LocalhostHasALoopbackAddress) {
    std::vector<CRtString> ips;
    CRtInetAddr::GetIpWithHostName("localhost", ips);
    ASSERT_FALSE(ips.empty());
    bool loopback = false;
    for (const CRtString& ip : ips)
        loopback |= ip == "127.0.0.1" || ip == "::1";
    EXPECT_TRUE(loopback);
}

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "RtLog.h"

TEST(CRtLogRecorder, CutsTextToTheRoomLessTheReserve) {
    char buf[4096];
    CRtLog::CRtLogRecorder rec(buf, sizeof buf);
    std::string big(5000, 'm');
    rec << big.c_str();
    EXPECT_EQ(4031u, strlen(rec));
    rec << "more" << 12345;
    EXPECT_EQ(4031u, strlen(rec));
    EXPECT_EQ(4031u, rec.GetLength());

    char small[16];
    CRtLog::CRtLogRecorder tiny(small, sizeof small);  // smaller than the reserve
    tiny << "text" << 1;
    EXPECT_STREQ("", static_cast<char*>(tiny));
}

TEST(CRtLogRecorder, WritesEachTypeAsItsFormat) {
    char buf[512];
    CRtLog::CRtLogRecorder rec(buf, sizeof buf);
    const char* none = nullptr;
    rec << 'A' << " " << static_cast<unsigned char>(200) << " " << static_cast<short>(-3) << " "
        << static_cast<unsigned short>(65535) << " " << -7 << " " << 4000000000u << " " << -8L << " " << 9UL << " "
        << static_cast<long long>(-9000000000LL) << " " << 18000000000000000000ULL << " " << 1.5 << " " << 0.25f << none
        << " " << CRtString("str");
    EXPECT_STREQ("65 200 -3 65535 -7 4000000000 -8 9 -9000000000 18000000000000000000 1.500000 0.250000 str",
                 static_cast<char*>(rec));
}

TEST(CRtLogRecorder, HexAppliesToTheNextIntegerOnly) {
    char buf[256];
    CRtLog::CRtLogRecorder rec(buf, sizeof buf);
    rec << CRtLog::hex << 255 << "," << 255 << "," << CRtLog::hex << -1 << "," << CRtLog::hex
        << static_cast<long long>(-1) << "," << CRtLog::hex << CRtLog::dec << 16;
    EXPECT_STREQ("ff,255,ffffffff,ffffffffffffffff,16", static_cast<char*>(rec));
}

TEST(CRtLogRecorder, IntegersAtTheirLimitsKeepEveryDigitAndTheSign) {
    char buf[256];
    CRtLog::CRtLogRecorder rec(buf, sizeof buf);
    rec << 0 << "," << CRtLog::hex << 0 << "," << static_cast<long long>(INT64_MIN) << ","
        << static_cast<long long>(INT64_MAX) << "," << static_cast<unsigned long long>(UINT64_MAX) << "," << CRtLog::hex
        << static_cast<long long>(INT64_MIN) << "," << CRtLog::hex << 0xabcdef12u << "," << static_cast<int>(INT32_MIN)
        << "," << 10 << "," << -10;
    EXPECT_STREQ(
        "0,0,-9223372036854775808,9223372036854775807,18446744073709551615,8000000000000000,abcdef12,"
        "-2147483648,10,-10",
        static_cast<char*>(rec));
}

TEST(CRtLogRecorder, PointersAreLowerCaseHexWithoutLeadingZeros) {
    char buf[128];
    CRtLog::CRtLogRecorder rec(buf, sizeof buf);
    rec << reinterpret_cast<const void*>(static_cast<uintptr_t>(0xABC)) << " " << static_cast<const void*>(nullptr);
    EXPECT_STREQ("0xabc 0x0", static_cast<char*>(rec));
}

TEST(CRtLogRecorder, WideTextIsConvertedAndBounded) {
    char buf[256];
    CRtLog::CRtLogRecorder rec(buf, sizeof buf);
    const wchar_t* none = nullptr;
    rec << L"wide" << none << L"!";
    EXPECT_STREQ("wide!", static_cast<char*>(rec));

    std::wstring huge(6000, L'w');
    char big[4096];
    CRtLog::CRtLogRecorder rec2(big, sizeof big);
    rec2 << huge.c_str();
    EXPECT_EQ(4031u, strlen(rec2));
}

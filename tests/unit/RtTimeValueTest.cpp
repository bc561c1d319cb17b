#include <gtest/gtest.h>

#include "RtTimeValue.h"

namespace {
void ExpectTv(const CRtTimeValue& aTv, int64_t aSec, long aUsec) {
    EXPECT_EQ(aSec, aTv.GetSec());
    EXPECT_EQ(aUsec, aTv.GetUsec());
}
}  // namespace

TEST(CRtTimeValue, NormalisesMicroseconds) {
    ExpectTv(CRtTimeValue(1, 1500000), 2, 500000);
    ExpectTv(CRtTimeValue(1, -1), 0, 999999);
    ExpectTv(CRtTimeValue(-1, 1), 0, -999999);
    ExpectTv(CRtTimeValue(0, -5), 0, -5);
    ExpectTv(CRtTimeValue(0, 3500000), 3, 500000);
    ExpectTv(CRtTimeValue(0, -2500000), -2, -500000);
    ExpectTv(CRtTimeValue(-3, -1000000), -4, 0);
    ExpectTv(CRtTimeValue(5), 5, 0);
}

TEST(CRtTimeValue, ArithmeticNormalises) {
    ExpectTv(CRtTimeValue(2, 300000) - CRtTimeValue(0, 700000), 1, 600000);
    ExpectTv(CRtTimeValue(0, 600000) + CRtTimeValue(0, 700000), 1, 300000);
    ExpectTv(CRtTimeValue(1, 0) - CRtTimeValue(2, 500000), -1, -500000);
    CRtTimeValue tv(10, 999999);
    tv += CRtTimeValue(0, 1);
    ExpectTv(tv, 11, 0);
    tv -= CRtTimeValue(11, 1);
    ExpectTv(tv, 0, -1);
}

TEST(CRtTimeValue, MillisecondConversions) {
    CRtTimeValue tv;
    tv.SetByTotalMsec(-1500);
    ExpectTv(tv, -1, -500000);
    EXPECT_EQ(-1500, tv.GetTotalInMsec());
    tv.SetByTotalMsec(2999);
    ExpectTv(tv, 2, 999000);
    EXPECT_EQ(2999000, tv.GetTotalInUsec());
    EXPECT_EQ(1001, CRtTimeValue(1, 1999).GetTotalInMsec());
}

TEST(CRtTimeValue, FromDoubleTruncatesTowardZero) {
    ExpectTv(CRtTimeValue(1.25), 1, 250000);
    ExpectTv(CRtTimeValue(-1.25), -1, -250000);
    // Beyond 32-bit seconds the value is kept, not wrapped.
    ExpectTv(CRtTimeValue(3e9), 3000000000LL, 0);
    CRtTimeValue huge(1e300);
    EXPECT_GT(huge.GetSec(), 0);
}

TEST(CRtTimeValue, ComparesSecondsThenMicroseconds) {
    EXPECT_LT(CRtTimeValue(1, 5), CRtTimeValue(1, 6));
    EXPECT_GT(CRtTimeValue(2, 0), CRtTimeValue(1, 999999));
    EXPECT_LE(CRtTimeValue(1, 5), CRtTimeValue(1, 5));
    EXPECT_GE(CRtTimeValue(-1, 0), CRtTimeValue(-1, -1));
    EXPECT_NE(CRtTimeValue(1, 5), CRtTimeValue(1, 4));
    EXPECT_GT(CRtTimeValue::s_tvMax, CRtTimeValue(2147483646, 999999));
    EXPECT_GT(CRtTimeValue::s_tvMax, CRtTimeValue::GetTimeOfDay());
    ExpectTv(CRtTimeValue::s_tvZero, 0, 0);
    ExpectTv(CRtTimeValue::s_tvMax, 0x7FFFFFFF, 999999);
}

namespace {
CRtTimeValue After2038() { return CRtTimeValue(2147483648LL + 100, 5); }
}  // namespace

TEST(CRtTimeValue, TimeOfDayKeepsSecondsPast2038) {
    CRtTimeValue real = CRtTimeValue::GetTimeOfDay();
    EXPECT_GT(real.GetSec(), 1700000000);  // after 2023
    CRtTimeValue::SetClockSource(&After2038);
    CRtTimeValue injected = CRtTimeValue::GetTimeOfDay();
    CRtTimeValue::SetClockSource(nullptr);
    EXPECT_EQ(2147483748LL, injected.GetSec());
    EXPECT_EQ(5, injected.GetUsec());
}

TEST(GetTickCountEx, IntervalsSurviveTheWrap) {
    uint32_t a = GetTickCountEx();
    uint32_t b = GetTickCountEx();
    EXPECT_LT(RtTickDiff(b, a), 1000u);
    // Last receive just before the wrap, now just after it.
    EXPECT_EQ(512u, RtTickDiff(0x100, 0xFFFFFF00));
    EXPECT_GE(RtTickDiff(0x1400, 0xFFFFFF00), 5000u);
    EXPECT_EQ(0u, RtTickDiff(7, 7));
}

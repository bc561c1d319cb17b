#include <gtest/gtest.h>

#include <string>

#include "RtDebug.h"
#include "RtTestSupport.h"

namespace {

int g_reached = 0;
int g_assertLine = 0;

RtResult CheckAndReturn(const void* aPtr) {
    RT_ASSERTE_RETURN(aPtr, RT_ERROR_NULL_POINTER);
    return RT_OK;
}

void CheckAndContinue(int aValue) {
    g_assertLine = __LINE__ + 1;
    RT_ASSERTE(aValue == 2);
    ++g_reached;
}

}  // namespace

TEST(RtAssert, ReportNamesUnitLineAndExpression) {
    size_t before = rttest::ReadProcessLog().size();
    g_reached = 0;
    CheckAndContinue(1);
    EXPECT_EQ(1, g_reached);
    std::string expected = " ERROR: RtDebugTest:" + std::to_string(g_assertLine) + " Assert failed: aValue == 2\n";
    EXPECT_TRUE(rttest::ProcessLogHasSince(before, expected)) << rttest::ReadProcessLog().substr(before);
}

TEST(RtAssert, CheckAndReturnReturnsTheCode) {
    size_t before = rttest::ReadProcessLog().size();
    int dummy = 0;
    EXPECT_EQ(RT_OK, CheckAndReturn(&dummy));
    EXPECT_EQ(RT_ERROR_NULL_POINTER, CheckAndReturn(nullptr));
    EXPECT_TRUE(rttest::ProcessLogHasSince(before, " Assert failed: aPtr\n"));
}

TEST(RtAssert, ExpressionTextIsKeptAsWritten) {
    size_t before = rttest::ReadProcessLog().size();
    RT_ASSERTE(!"CRtThread::Stop");
    EXPECT_TRUE(rttest::ProcessLogHasSince(before, "Assert failed: !\"CRtThread::Stop\"\n"));
}

TEST(RtBits, EnabledAndDisabled) {
    EXPECT_TRUE(RT_BIT_ENABLED(0x6, 0x4));
    EXPECT_FALSE(RT_BIT_ENABLED(0x6, 0x1));
    EXPECT_TRUE(RT_BIT_DISABLED(0x6, 0x1));
}

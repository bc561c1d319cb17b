#include <gtest/gtest.h>

#include "RtString.h"

TEST(CRtString, NullPointerIsTheEmptyString) {
    const char* none = nullptr;
    CRtString s(none);
    EXPECT_TRUE(s.empty());
    s = "abc";
    s = none;
    EXPECT_TRUE(s.empty());
}

TEST(CRtString, BehavesAsTheStandardStringWithBytes) {
    CRtString s("a\xB5z", 3);
    EXPECT_EQ(3u, s.size());
    EXPECT_EQ(CRtString::npos, s.find('q'));
    EXPECT_EQ(1u, s.find('\xB5'));
    CRtString copy = s + "!";
    EXPECT_EQ(std::string("a\xB5z!"), copy);
}

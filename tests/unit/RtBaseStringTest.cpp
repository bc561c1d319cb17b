#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RtBase.h"

namespace {

std::vector<std::string> Split(const CRtString& aSrc, const CRtString& aDelimiters) {
    std::vector<CRtString> pieces;
    RtSplit(aSrc, aDelimiters, pieces);
    return std::vector<std::string>(pieces.begin(), pieces.end());
}

using Pieces = std::vector<std::string>;

}  // namespace

TEST(RtStrCaseRStr, FindsTheLastOccurrenceWhateverTheCase) {
    const char* text = "Digest realm=x, DIGEST nonce=y, digest";
    EXPECT_EQ(text + 32, rt_strcaserstr(text, "DiGeSt"));
    EXPECT_EQ(text + 16, rt_strcaserstr(text, "digest nonce"));
    // Overlapping candidates: the one starting last.
    const char* run = "aAaA";
    EXPECT_EQ(run + 2, rt_strcaserstr(run, "aa"));
    // A match that ends the text, and one that is the whole text.
    EXPECT_EQ(text + 32, rt_strcaserstr(text, "DIGEST"));
    EXPECT_EQ(run, rt_strcaserstr(run, "AAAA"));
}

TEST(RtStrCaseRStr, NoMatchGivesNull) {
    EXPECT_EQ(nullptr, rt_strcaserstr("abc", "abcd"));
    EXPECT_EQ(nullptr, rt_strcaserstr("abc", "x"));
    EXPECT_EQ(nullptr, rt_strcaserstr("", "a"));
    EXPECT_EQ(nullptr, rt_strcaserstr("abc", ""));
    EXPECT_EQ(nullptr, rt_strcaserstr(nullptr, "a"));
    EXPECT_EQ(nullptr, rt_strcaserstr("abc", nullptr));
}

TEST(RtStrCaseRStr, FoldsAsciiLettersOnly) {
    // '[' and '{' sit next to the letters; bytes above 0x7f have no case here.
    EXPECT_EQ(nullptr, rt_strcaserstr("a{b", "A[B"));
    EXPECT_EQ(nullptr, rt_strcaserstr("x\xc3\xa9y", "X\xc3\x89Y"));
    const char* high = "x\xc3\xa9y";
    EXPECT_EQ(high, rt_strcaserstr(high, "X\xc3\xa9Y"));
    EXPECT_EQ(nullptr, rt_strcaserstr("@", "`"));
}

TEST(RtSplit, PiecesBetweenDelimitersEmptyOnesIncluded) {
    EXPECT_EQ((Pieces{"a", "b", "c"}), Split("a,b;c", ",;"));
    EXPECT_EQ((Pieces{"", "a", "", "b", ""}), Split(",a,,b,", ","));
    EXPECT_EQ((Pieces{"a", ""}), Split("a,", ","));
    EXPECT_EQ((Pieces{""}), Split("", ","));
    EXPECT_EQ((Pieces{"a,b"}), Split("a,b", ""));
    EXPECT_EQ((Pieces{"", ""}), Split(" ", " \t"));
    // Binary sources keep their zero bytes.
    EXPECT_EQ((Pieces{std::string("a\0b", 3), "c"}), Split(CRtString("a\0b c", 5), " "));
}

TEST(RtSplit, AppendsWithoutClearing) {
    std::vector<CRtString> pieces{"kept"};
    RtSplit("x y", " ", pieces);
    RtSplit("z", " ", pieces);
    ASSERT_EQ(4u, pieces.size());
    EXPECT_EQ("kept", pieces[0]);
    EXPECT_EQ("x", pieces[1]);
    EXPECT_EQ("y", pieces[2]);
    EXPECT_EQ("z", pieces[3]);
}

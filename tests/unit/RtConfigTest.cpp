#include <gtest/gtest.h>

#include <string>

#include "RtConfig.h"
#include "RtTestSupport.h"

namespace {

class ConfigTest : public ::testing::Test {
protected:
    std::string Get(const char* aSection, const char* aKey, bool* aFound = nullptr) {
        char buf[256];
        bool found = get_string_param(aSection, aKey, buf, sizeof buf);
        if (aFound)
            *aFound = found;
        return buf;
    }
    rttest::TempDir m_Dir{"config"};
};

}  // namespace

TEST_F(ConfigTest, SectionsAndKeysIgnoreCaseAndQuotesAreRemoved) {
    rttest::ScopedConfig config(m_Dir,
                                "[log]\r\n"
                                "log_dir = 'C:\\x y'\r\n"
                                "  Quoted = \"  padded  \" \n"
                                "Mixed = \"a'\n"
                                "[ Other ]\n"
                                "key=value\n");
    EXPECT_EQ("C:\\x y", Get("LOG", "LOG_DIR"));
    EXPECT_EQ("padded", Get("Log", "quoted"));
    EXPECT_EQ("\"a'", Get("LOG", "Mixed"));
    EXPECT_EQ("value", Get("other", "KEY"));
}

TEST_F(ConfigTest, OneTrailingSemicolonIsDropped) {
    rttest::ScopedConfig config(m_Dir, "[S]\na=a;\nsemi=;\ntwo=b;;\nempty=\n");
    bool found = false;
    EXPECT_EQ("a", Get("S", "a", &found));
    EXPECT_TRUE(found);
    EXPECT_EQ("", Get("S", "semi", &found));
    EXPECT_TRUE(found);
    EXPECT_EQ("b;", Get("S", "two", &found));
    EXPECT_EQ("", Get("S", "empty", &found));
    EXPECT_FALSE(found);
    EXPECT_EQ("", Get("S", "absent", &found));
    EXPECT_FALSE(found);
}

TEST_F(ConfigTest, OnlyTheFirstSectionOfANameIsSearched) {
    rttest::ScopedConfig config(m_Dir, "[LOG]\nA=1\n[NET]\nB=2\n[LOG]\nKEY=x\n");
    EXPECT_EQ("1", Get("LOG", "A"));
    EXPECT_EQ("", Get("LOG", "KEY"));
}

TEST_F(ConfigTest, CommentsAndLinesWithoutEqualsAreIgnored) {
    rttest::ScopedConfig config(m_Dir, "[S]\n  # K=commented\nK\nK=real\nK2 = [x]\nK3=after\n");
    EXPECT_EQ("real", Get("S", "K"));
    // A line holding both brackets is a section header, even as a value,
    // and it ends the section.
    EXPECT_EQ("", Get("S", "K2"));
    EXPECT_EQ("", Get("S", "K3"));
}

TEST_F(ConfigTest, LongLinesAreReadInPieces) {
    std::string line = "K=" + std::string(3000, 'v') + "\n";
    rttest::ScopedConfig config(m_Dir, "[S]\n" + line + "SHORT=ok\n");
    char buf[4096];
    ASSERT_TRUE(get_string_param("S", "K", buf, sizeof buf));
    EXPECT_EQ(2045u, std::string(buf).size());  // 2047 characters less "K="
    EXPECT_EQ("ok", Get("S", "SHORT"));
}

TEST_F(ConfigTest, OutputBufferBounds) {
    rttest::ScopedConfig config(m_Dir, "[S]\nK=abcdef\n");
    char buf[4] = {'x', 'x', 'x', 'x'};
    EXPECT_TRUE(get_string_param("S", "K", buf, sizeof buf));
    EXPECT_STREQ("abc", buf);
    char none = 'z';
    EXPECT_FALSE(get_string_param("S", "K", &none, 0));
    EXPECT_EQ('z', none);
}

TEST_F(ConfigTest, TypedValues) {
    rttest::ScopedConfig config(m_Dir,
                                "[S]\nint=-42\nbig=99999999999\nword=abc\nlead=12abc\nport=70000\n"
                                "u32=4294967295\nneg=-1\nt=TRUE\none=1\nyes=yes\n");
    EXPECT_EQ(-42, get_int_param("S", "int"));
    EXPECT_EQ(2147483647, get_int_param("S", "big"));
    EXPECT_EQ(0, get_int_param("S", "word"));
    EXPECT_EQ(12, get_int_param("S", "lead"));
    EXPECT_EQ(0, get_int_param("S", "absent"));
    EXPECT_EQ(70000 & 0xFFFF, get_uint16_param("S", "port"));
    EXPECT_EQ(4294967295u, get_uint32_param("S", "u32"));
    EXPECT_EQ(4294967295u, get_uint32_param("S", "neg"));
    EXPECT_TRUE(get_bool_param("S", "t", false));
    EXPECT_FALSE(get_bool_param("S", "one", true));
    EXPECT_FALSE(get_bool_param("S", "yes", true));
    EXPECT_TRUE(get_bool_param("S", "absent", true));
    EXPECT_FALSE(get_bool_param("S", "absent", false));
}

TEST_F(ConfigTest, MissingFileGivesDefaults) {
    RtSetConfigFile(m_Dir.File("does-not-exist.ini").c_str());
    EXPECT_EQ("", Get("S", "K"));
    EXPECT_EQ(0, get_int_param("S", "K"));
    EXPECT_TRUE(get_bool_param("S", "K", true));
    RtSetConfigFile(nullptr);
}

TEST(ConfigText, SharedBufferIsBounded) {
    init_config("first");
    EXPECT_STREQ("first", get_config_text());
    init_config(std::string(600, 'p').c_str());  // too long: ignored
    EXPECT_STREQ("first", get_config_text());
    set_home_env(std::string(600, 'h').c_str());
    EXPECT_EQ(511u, std::string(get_config_text()).size());
}

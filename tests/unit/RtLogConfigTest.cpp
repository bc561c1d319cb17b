#include "RtDebug.h"
#include "RtLogTestFixture.h"

using rttest::LogTest;

TEST_F(LogTest, LevelAndModuleMaximaAreBounded) {
    auto log = MakeLog("LOG_ENABLE=false\nLOG_LEVEL_MAX=2\n");
    EXPECT_EQ(4u, log->GetLevelMax());
    EXPECT_EQ(16u, log->GetModuleMax());
    log = MakeLog("LOG_ENABLE=false\nLOG_LEVEL_MAX=0\nLOG_MODULE_MAX=-1\n");
    EXPECT_EQ(8u, log->GetLevelMax());
    EXPECT_EQ(16u, log->GetModuleMax());
    log = MakeLog("LOG_ENABLE=false\nLOG_LEVEL_MAX=2000000000\nLOG_MODULE_MAX=4294967295\n");
    EXPECT_EQ(255u, log->GetLevelMax());
    EXPECT_EQ(255u, log->GetModuleMax());
    log = MakeLog("LOG_ENABLE=false\nLOG_LEVEL_MAX=-7\nLOG_MODULE_MAX=3\n");
    EXPECT_EQ(4u, log->GetLevelMax());
    EXPECT_EQ(3u, log->GetModuleMax());
}

TEST_F(LogTest, LevelSettingsNameAndEnable) {
    auto log = MakeLog(
        "LOG_ENABLE=false\nLOG_LEVEL_3=STATS,false\nLOG_LEVEL_4=true\nLOG_LEVEL_5=none\nLOG_LEVEL_6=MINE TRUE\n"
        "LOG_LEVEL_7=no\n");
    EXPECT_FALSE(log->GetLogLevel(3));
    EXPECT_TRUE(log->GetLogLevel(4));
    EXPECT_FALSE(log->GetLogLevel(5));
    EXPECT_TRUE(log->GetLogLevel(6));
    EXPECT_TRUE(log->GetLogLevel(7));
    // Level 0 has no configured name: 0 to 5 take the standard names.
    EXPECT_STREQ("ERROR", log->GetLevelName(0));
    EXPECT_STREQ("STAT", log->GetLevelName(3));
    EXPECT_STREQ("DEBUG", log->GetLevelName(5));
    EXPECT_STREQ("MINE", log->GetLevelName(6));

    log = MakeLog("LOG_ENABLE=false\nLOG_LEVEL_ALL=true\nLOG_LEVEL_3=STATS,false\n");
    EXPECT_TRUE(log->GetLogLevel(3));

    log = MakeLog("LOG_ENABLE=false\nLOG_LEVEL_0=FATAL,true\nLOG_LEVEL_1=Warning:true\n");
    EXPECT_STREQ("FATAL", log->GetLevelName(0));
    EXPECT_STREQ("Warning", log->GetLevelName(1));
    EXPECT_STREQ("", log->GetLevelName(2));
}

TEST_F(LogTest, ModuleSettingsAndRegistration) {
    auto log = MakeLog("LOG_ENABLE=false\nLOG_MODULE_ALL=false\nLOG_MODULE_2=NET,true\nLOG_MODULE_3=HTTP,false\n");
    EXPECT_TRUE(log->GetModuleEnabled(2));
    EXPECT_STREQ("NET", log->GetModuleName(2));
    EXPECT_FALSE(log->GetModuleEnabled(3));

    EXPECT_EQ(RT_ERROR_INVALID_ARG, log->RegisterModule(0, "zero"));
    EXPECT_EQ(RT_ERROR_INVALID_ARG, log->RegisterModule(17, "big"));
    EXPECT_EQ(RT_OK, log->RegisterModule(16, std::string(100, 'n').c_str()));
    EXPECT_EQ(std::string(63, 'n'), log->GetModuleName(16));
}

TEST_F(LogTest, LevelAccessOutOfRangeIsIgnored) {
    auto log = MakeLog("LOG_ENABLE=false\n");
    log->SetLogLevel(1000, true);
    EXPECT_FALSE(log->GetLogLevel(1000));
    log->SetLogLevel(2, false);
    EXPECT_FALSE(log->GetLogLevel(2));
}

TEST_F(LogTest, DefaultDirectoryIsBelowTheDataFolder) {
    auto log = MakeLog("LOG_ENABLE=false\n", false);
    std::string expected = std::string(GetWriteableDirectory()) + rtos::kPathSep + "zvlogs";
    EXPECT_EQ(expected, log->GetLogDir());
}

// A line of a disabled level is not even composed: its arguments are not
// evaluated, which is what makes disabled levels cheap.
TEST(LogTrace, DisabledLinesAreNotComposed) {
    CRtLog* log = CRtLogCenter::GetLog();
    const bool was = log->GetLogLevel(RT_LOG_LEVEL_FUNC);
    int composed = 0;
    auto compose = [&composed] {
        ++composed;
        return "composed";
    };
    log->SetLogLevel(RT_LOG_LEVEL_FUNC, false);
    RT_LOG_TRACE(RT_LOG_LEVEL_FUNC, 0, compose());
    EXPECT_EQ(0, composed);
    log->SetLogLevel(RT_LOG_LEVEL_FUNC, true);
    RT_LOG_TRACE(RT_LOG_LEVEL_FUNC, 0, compose());
    EXPECT_EQ(1, composed);
    EXPECT_FALSE(log->IsTraceEnabled(log->GetLevelMax() + 1, 0));
    EXPECT_FALSE(log->IsTraceEnabled(0, log->GetModuleMax() + 1));
    log->SetLogLevel(RT_LOG_LEVEL_FUNC, was);
}

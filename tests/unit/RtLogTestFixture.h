// A log built from its own configuration, writing below a temporary
// directory, with a wall clock the test sets.
#pragma once

#include <gtest/gtest.h>

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "RtLog.h"
#include "RtOs.h"
#include "RtProcessUtils.h"
#include "RtTestSupport.h"

namespace rttest {

class LogTest : public ::testing::Test {
protected:
    static inline CRtTimeValue s_now;
    static CRtTimeValue Now() { return s_now; }

    void SetUp() override { CRtTimeValue::SetClockSource(&LogTest::Now); }
    void TearDown() override { CRtTimeValue::SetClockSource(nullptr); }

    // Seconds since 1970 of a local date and time.
    static int64_t Local(int aYear, int aMonth, int aDay, int aHour = 12, int aMin = 0, int aSec = 0) {
        std::tm parts{};
        parts.tm_year = aYear - 1900;
        parts.tm_mon = aMonth - 1;
        parts.tm_mday = aDay;
        parts.tm_hour = aHour;
        parts.tm_min = aMin;
        parts.tm_sec = aSec;
        parts.tm_isdst = -1;
        return static_cast<int64_t>(std::mktime(&parts));
    }
    static std::string Date(int64_t aSec) {
        std::time_t t = static_cast<std::time_t>(aSec);
        std::tm* parts = std::localtime(&t);
        char buf[16];
        std::strftime(buf, sizeof buf, "%Y%m%d", parts);
        return buf;
    }

    std::string LogDir() const { return m_Dir.File("logs"); }

    std::unique_ptr<CRtLog> MakeLog(const std::string& aSettings, bool aWithDir = true) {
        std::string text = "[LOG]\n";
        if (aWithDir)
            text += "LOG_DIR=" + LogDir() + "\n";
        ScopedConfig config(m_Dir, text + aSettings);
        return std::make_unique<CRtLog>();
    }

    std::string FileName(int64_t aSec, int aSeq) const {
        return LogDir() + rtos::kPathSep + RtGetProcessName() + "_info_" + Date(aSec) + "_" +
               std::to_string(rtos::ProcessId()) + "." + std::to_string(aSeq) + ".log";
    }

    std::vector<std::string> Lines(const std::string& aPath) const { return SplitLines(ReadFile(aPath)); }

    TempDir m_Dir{"log"};
};

}  // namespace rttest

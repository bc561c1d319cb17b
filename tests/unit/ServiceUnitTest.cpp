// The systemd unit the service writes at installation.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "RtOs.h"
#include "RtTestSupport.h"
#include "ServiceUnit.h"

namespace {

bool HasLine(const std::string& aText, const std::string& aLine) {
    for (const std::string& line : rttest::SplitLines(aText))
        if (line == aLine)
            return true;
    return false;
}

}  // namespace

TEST(ServiceUnit, StartsTheExecutableWithoutArgumentsAndWaitsForReadiness) {
    std::string unit = BuildServiceUnit("/opt/zv/bin/ZVAppLdrSvc");
    EXPECT_TRUE(HasLine(unit, "ExecStart=/opt/zv/bin/ZVAppLdrSvc")) << unit;
    EXPECT_TRUE(HasLine(unit, "Type=notify"));
    EXPECT_TRUE(HasLine(unit, "Restart=on-failure"));
    EXPECT_TRUE(HasLine(unit, "WantedBy=multi-user.target"));
    EXPECT_EQ(std::string::npos, unit.find('@'));

    // systemd splits an unquoted command line at blanks.
    EXPECT_TRUE(HasLine(BuildServiceUnit("/opt/my zv/ZVAppLdrSvc"), "ExecStart=\"/opt/my zv/ZVAppLdrSvc\""));
}

#if defined(RT_OS_POSIX)
TEST(ServiceUnit, SystemdAcceptsTheUnit) {
    if (std::system("command -v systemd-analyze >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "systemd-analyze is not installed";
    char exe[rtos::kMaxPath];
    ASSERT_TRUE(rtos::ExecutablePath(exe, sizeof exe));
    rttest::TempDir dir("unit");
    // systemd reads the unit's name from the file name.
    std::string path = dir.File("ZVAppLdrSvc.service");
    rttest::WriteFile(path, BuildServiceUnit(exe));
    std::string command = "systemd-analyze verify '" + path + "' 2>&1";
    EXPECT_EQ(0, std::system(command.c_str())) << rttest::ReadFile(path);
}
#endif

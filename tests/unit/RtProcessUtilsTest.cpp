#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "RtConfig.h"
#include "RtOs.h"
#include "RtProcessUtils.h"
#include "RtTestSupport.h"

TEST(ProcessNames, DescribeTheRunningExecutable) {
    std::string exec = get_exec_name();
    ASSERT_FALSE(exec.empty());
    std::string dir = get_home_dir();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(0u, exec.find(dir));
    EXPECT_EQ(exec.size(), dir.size() + 1 + std::string(RtGetProcessName()).size());
    EXPECT_NE(std::string::npos, std::string(RtGetProcessName()).find("rt_config_tests"));
    // get_process_name cuts at "/" only.
    std::string afterSlash = exec.substr(exec.rfind('/') == std::string::npos ? 0 : exec.rfind('/') + 1);
    EXPECT_EQ(afterSlash, get_process_name());
    EXPECT_NE(std::string(""), GetWriteableDirectory());
}

TEST(RtCreateDirectory, CreatesEveryLevelAndReportsAnExistingOne) {
    rttest::TempDir dir("mkdir");
    std::string deep = dir.Path() + rtos::kPathSep + "a" + rtos::kPathSep + "b" + rtos::kPathSep + "c";
    EXPECT_EQ(0, RtCreateDirectory(deep.c_str()));
    EXPECT_TRUE(rtos::PathExists(deep.c_str()));

    size_t before = rttest::ReadProcessLog().size();
    EXPECT_EQ(-1, RtCreateDirectory(deep.c_str()));
    EXPECT_TRUE(rttest::ProcessLogHasSince(before, "CreateDirectoryEx ERROR INFO: "));
    EXPECT_EQ(RT_ERROR_NULL_POINTER, RtCreateDirectory(nullptr));

    rtos::RemoveDir(deep.c_str());
    rtos::RemoveDir((dir.Path() + rtos::kPathSep + "a" + rtos::kPathSep + "b").c_str());
    rtos::RemoveDir((dir.Path() + rtos::kPathSep + "a").c_str());
}

TEST(DeleteDirectory, RemovesDottedFilesOnly) {
    rttest::TempDir parent("rmdir");
    std::string dir = parent.File("victim");
    ASSERT_EQ(0, rtos::MakeDir(dir.c_str()));
    rttest::WriteFile(dir + rtos::kPathSep + "a.log", "x");
    rttest::WriteFile(dir + rtos::kPathSep + "b.t", "x");
    RtDeleteDirectory(dir.c_str());
    EXPECT_FALSE(rtos::PathExists(dir.c_str()));

    ASSERT_EQ(0, rtos::MakeDir(dir.c_str()));
    rttest::WriteFile(dir + rtos::kPathSep + "nodot", "x");
    rttest::WriteFile(dir + rtos::kPathSep + "c.txt", "x");
    DeleteDirectory(CRtString(dir));
    // The file without a dot stays, and so does the directory.
    EXPECT_EQ(std::vector<std::string>{"nodot"}, rttest::ListFiles(dir));
    rtos::RemoveFile((dir + rtos::kPathSep + "nodot").c_str());
    rtos::RemoveDir(dir.c_str());
    DeleteDirectory(CRtString());  // an empty name does nothing
}

TEST(FileLine, ReadsAtMost512BytesUpToAZero) {
    rttest::TempDir dir("fileline");
    std::string path = dir.File("long.txt");
    rttest::WriteFile(path, std::string(600, 'q'));
    EXPECT_EQ(std::string(512, 'q'), GetFileLine(CRtString(path)));
    rttest::WriteFile(path, std::string("ab\0cd", 5));
    EXPECT_EQ("ab", GetFileLine(CRtString(path)));
    EXPECT_EQ("", GetFileLine(CRtString(dir.File("missing"))));

    EXPECT_EQ(RT_OK, SaveFileLine(CRtString(path), CRtString("saved")));
    EXPECT_EQ("saved", rttest::ReadFile(path));
    EXPECT_EQ(RT_ERROR_FAILURE, SaveFileLine(CRtString(dir.File("no") + rtos::kPathSep + "x"), CRtString("x")));
}

TEST(FileLine, AFailedWriteIsReported) {
    if (!rtos::PathExists("/dev/full"))
        GTEST_SKIP() << "no /dev/full on this system";
    EXPECT_EQ(RT_ERROR_FAILURE, SaveFileLine(CRtString("/dev/full"), CRtString("x")));
}

// Run from a copy of this executable inside a very deep directory: the
// configuration beside it must still be found, without overrunning buffers.
TEST(LongInstallDir, ConfigBesideTheExecutableIsRead) {
    const char* expected = std::getenv("RT_EXPECT_CONFIG_VALUE");
    if (!expected)
        GTEST_SKIP() << "runs only as the child of LongInstallDir.CopyRunsFromADeepDirectory";
    char value[64];
    ASSERT_TRUE(get_string_param("LOG", "PROBE", value, sizeof value));
    EXPECT_STREQ(expected, value);
    EXPECT_GT(std::string(get_home_dir()).size(), 700u);
}

TEST(LongInstallDir, CopyRunsFromADeepDirectory) {
    if (rtos::kPathSep != '/')
        GTEST_SKIP() << "Windows paths are limited to 260 characters";
    rttest::TempDir dir("deep");
    std::filesystem::path deep = std::filesystem::absolute(dir.Path());
    while (deep.string().size() < 720)
        deep /= std::string(60, 'd');
    std::filesystem::create_directories(deep);
    std::filesystem::path exe = deep / "copy_of_tests";
    std::filesystem::copy_file(get_exec_name(), exe);
    rttest::WriteFile((deep / "config.ini").string(), "[LOG]\nPROBE=found-it\n");
    std::string command = "RT_EXPECT_CONFIG_VALUE=found-it '" + exe.string() +
                          "' --gtest_filter=LongInstallDir.ConfigBesideTheExecutableIsRead > '" +
                          (deep / "out.txt").string() + "' 2>&1";
    int rc = std::system(command.c_str());
    std::string out = rttest::ReadFile((deep / "out.txt").string());
    EXPECT_EQ(0, rc) << out;
    EXPECT_NE(std::string::npos, out.find("[  PASSED  ] 1 test")) << out;
    std::filesystem::remove_all(std::filesystem::absolute(dir.Path()));
}

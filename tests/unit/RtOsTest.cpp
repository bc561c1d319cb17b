// The operating-system layer, checked the same way on Linux and on Windows
// (Wine): the framework above it must not be able to tell the two apart.
#include "RtOs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "RtTestSupport.h"

namespace {

// ---- Process and thread ----------------------------------------------------

TEST(RtOsProcess, ThreadIdsDifferAndProcessIdIsShared) {
    const uint32_t mainTid = rtos::ThreadId();
    const uint32_t pid = rtos::ProcessId();
    EXPECT_NE(0u, pid);
    EXPECT_EQ(mainTid, rtos::ThreadId());

    uint32_t otherTid = 0;
    uint32_t otherPid = 0;
    std::thread([&] {
        otherTid = rtos::ThreadId();
        otherPid = rtos::ProcessId();
    }).join();
    EXPECT_NE(0u, otherTid);
    EXPECT_NE(mainTid, otherTid);
    EXPECT_EQ(pid, otherPid);
    EXPECT_GE(rtos::ProcessorCount(), 1u);
}

// The path names this test's executable, and a buffer one byte short of it
// fails without a cut path.
TEST(RtOsProcess, ExecutablePathNamesThisTestOrFailsCleanly) {
    char full[rtos::kMaxPath];
    ASSERT_TRUE(rtos::ExecutablePath(full, sizeof full));
    const std::string path = full;
    const size_t slash = path.find_last_of(rtos::kPathSep);
    ASSERT_NE(std::string::npos, slash) << path;
    std::string name = path.substr(slash + 1);
#if defined(RT_OS_WINDOWS)
    ASSERT_GT(name.size(), 4u);
    EXPECT_EQ(".exe", name.substr(name.size() - 4));
    name.resize(name.size() - 4);
#endif
    EXPECT_EQ("rt_platform_tests", name);
    EXPECT_TRUE(rtos::PathExists(path.c_str())) << path;

    std::vector<char> buf(path.size() + 8, 'X');
    EXPECT_FALSE(rtos::ExecutablePath(buf.data(), path.size()));
    EXPECT_EQ('\0', buf[0]);
    EXPECT_EQ('X', buf[path.size()]);
    EXPECT_FALSE(rtos::ExecutablePath(buf.data(), 4));
    EXPECT_EQ('\0', buf[0]);
    ASSERT_TRUE(rtos::ExecutablePath(buf.data(), path.size() + 1));
    EXPECT_EQ(path, buf.data());
}

TEST(RtOsProcess, AppDataDirIsAbsoluteAndBounded) {
    char buf[rtos::kMaxPath];
    ASSERT_TRUE(rtos::AppDataDir(buf, sizeof buf));
    const size_t len = strlen(buf);
    ASSERT_GT(len, 1u);
#if defined(RT_OS_WINDOWS)
    EXPECT_EQ(':', buf[1]) << buf;
    EXPECT_TRUE(rtos::PathExists(buf)) << buf;
#else
    EXPECT_EQ('/', buf[0]) << buf;
#endif

    char small[4] = {'X', 'X', 'X', 'X'};
    if (len >= sizeof small) {
        EXPECT_FALSE(rtos::AppDataDir(small, sizeof small));
        EXPECT_EQ('\0', small[0]);
    }
    ASSERT_NE(nullptr, rtos::FallbackDataDir());
    EXPECT_TRUE(rtos::PathExists(rtos::FallbackDataDir()));
}

// The peak resident size is never below the resident size and follows a
// large allocation once its pages are touched.
TEST(RtOsProcess, PeakMemoryFollowsTouchedPages) {
    rtos::ProcessMemory before{}, after{};
    ASSERT_TRUE(rtos::QueryProcessMemory(&before));
    EXPECT_GE(before.peakResidentBytes, before.residentBytes);
    std::vector<char> big(96u << 20, 1);
    ASSERT_TRUE(rtos::QueryProcessMemory(&after));
    EXPECT_EQ(1, big[big.size() / 2]);
    EXPECT_GE(after.peakResidentBytes, after.residentBytes);
    EXPECT_GE(after.peakResidentBytes, before.residentBytes + (64u << 20));
}

// Every byte of a request is filled, also odd sizes and ones beyond one
// system call's usual chunk, and no two draws of 32 bytes agree.
TEST(RtOsRandom, FillsEveryByteAndNeverRepeats) {
    std::set<std::string> draws;
    for (int i = 0; i < 200; ++i) {
        std::string bytes(32, '\0');
        ASSERT_TRUE(rtos::RandomBytes(&bytes[0], bytes.size()));
        draws.insert(bytes);
    }
    EXPECT_EQ(200u, draws.size());
    // A byte left untouched stays at its marker in both fills.
    std::vector<unsigned char> a(70001, 0x00), b(70001, 0xFF);
    ASSERT_TRUE(rtos::RandomBytes(a.data(), a.size()));
    ASSERT_TRUE(rtos::RandomBytes(b.data(), b.size()));
    size_t untouched = 0;
    for (size_t i = 0; i < a.size(); ++i)
        untouched += a[i] == 0x00 && b[i] == 0xFF;
    EXPECT_LT(untouched, 10u);
    EXPECT_TRUE(rtos::RandomBytes(nullptr, 0));
}

// ---- Time ------------------------------------------------------------------

TEST(RtOsTime, WallClockAndMonotonicAdvanceTogether) {
    int64_t sec0 = 0;
    int32_t usec0 = -1;
    rtos::WallClock(&sec0, &usec0);
    // A 32-bit or wrongly based clock lands far from the present.
    EXPECT_GT(sec0, 1700000000);  // 2023-11-14
    EXPECT_LT(sec0, 4102444800);  // 2100-01-01
    EXPECT_GE(usec0, 0);
    EXPECT_LT(usec0, 1000000);
    // Within a second of the C library's idea of now.
    EXPECT_LE(std::llabs(static_cast<long long>(sec0) - static_cast<long long>(std::time(nullptr))), 1);

    const uint64_t mono0 = rtos::MonotonicMs();
    uint64_t last = mono0;
    for (int i = 0; i < 10000; ++i) {
        const uint64_t now = rtos::MonotonicMs();
        ASSERT_GE(now, last);
        last = now;
    }

    rtos::SleepMs(120);
    const uint64_t mono1 = rtos::MonotonicMs();
    int64_t sec1 = 0;
    int32_t usec1 = 0;
    rtos::WallClock(&sec1, &usec1);
    const int64_t wallMs = (sec1 - sec0) * 1000 + (usec1 - usec0) / 1000;
    const int64_t monoMs = static_cast<int64_t>(mono1 - mono0);
    // Timer granularity allows a sleep to end a tick early; a unit mistake
    // (seconds, microseconds) is off by a factor of 1000.
    EXPECT_GE(monoMs, 100);
    EXPECT_LT(monoMs, 5000);
    EXPECT_LE(std::llabs(wallMs - monoMs), 100) << "wall " << wallMs << " ms, monotonic " << monoMs << " ms";
}

// Local time agrees with the C library's, also past 2038 where time_t
// holds it, and refuses what no date can hold.
TEST(RtOsTime, LocalTimeMatchesTheCLibrary) {
    const int64_t instants[] = {86400 /* 1970-01-02 */, 951782400 /* 2000-02-29 */, 1719792000 /* 2024-07-01 */,
                                2147483648LL /* the first second past a 32-bit time_t */,
                                2208988800LL /* 2040-01-01 */};
    for (int64_t sec : instants) {
        SCOPED_TRACE(sec);
        if (sec > INT32_MAX && sizeof(std::time_t) < 8)
            continue;
        rtos::DateTime t{};
        ASSERT_TRUE(rtos::LocalTime(sec, &t));
        const std::time_t ct = static_cast<std::time_t>(sec);
        const std::tm* ref = std::localtime(&ct);
        ASSERT_NE(nullptr, ref);
        EXPECT_EQ(ref->tm_year + 1900, t.year);
        EXPECT_EQ(ref->tm_mon + 1, t.month);
        EXPECT_EQ(ref->tm_mday, t.day);
        EXPECT_EQ(ref->tm_hour, t.hour);
        EXPECT_EQ(ref->tm_min, t.minute);
        EXPECT_EQ(ref->tm_sec, t.second);
    }
    rtos::DateTime t{};
    EXPECT_FALSE(rtos::LocalTime(std::numeric_limits<int64_t>::max(), &t));
}

// ---- Files and directories -------------------------------------------------

using rttest::ListFiles;
using rttest::ReadFile;
using rttest::WriteFile;
using Names = std::vector<std::string>;

TEST(RtOsFiles, MakeDirAndRemove) {
    rttest::TempDir dir("rtos");
    const std::string sub = dir.File("sub");
    EXPECT_FALSE(rtos::PathExists(sub.c_str()));
    ASSERT_EQ(0, rtos::MakeDir(sub.c_str()));
    EXPECT_TRUE(rtos::PathExists(sub.c_str()));

    errno = 0;
    EXPECT_EQ(-1, rtos::MakeDir(sub.c_str()));
    EXPECT_EQ(EEXIST, errno);
    errno = 0;
    EXPECT_EQ(-1, rtos::MakeDir(dir.File("missing" + std::string(1, rtos::kPathSep) + "deeper").c_str()));
    EXPECT_EQ(ENOENT, errno);

    const std::string file = dir.File("f.txt");
    WriteFile(file, "");
    EXPECT_TRUE(rtos::PathExists(file.c_str()));
    // A directory is not a file and a non-empty directory stays.
    EXPECT_FALSE(rtos::RemoveFile(sub.c_str()));
    EXPECT_FALSE(rtos::RemoveDir(dir.Path().c_str()));

    EXPECT_TRUE(rtos::RemoveFile(file.c_str()));
    EXPECT_FALSE(rtos::PathExists(file.c_str()));
    EXPECT_TRUE(rtos::RemoveDir(sub.c_str()));
    EXPECT_FALSE(rtos::PathExists(sub.c_str()));

    // A missing file: ENOENT and ERROR_FILE_NOT_FOUND are both 2.
    EXPECT_FALSE(rtos::RemoveFile(file.c_str()));
    const int err = rtos::LastError();
    EXPECT_EQ(2, err);
    char text[256];
    rtos::ErrorText(err, text, sizeof text);
    EXPECT_GT(strlen(text), 0u);
}

TEST(RtOsFiles, ListDirFiltersByPattern) {
    rttest::TempDir dir("rtos");
    for (const char* name : {"a.log", "b.log", "c.txt", "d.log.txt", "e.logs", "plain"})
        WriteFile(dir.File(name), "");
    ASSERT_EQ(0, rtos::MakeDir(dir.File("sub.dir").c_str()));

    EXPECT_EQ((Names{"a.log", "b.log"}), ListFiles(dir.Path(), "*.log"));
    EXPECT_EQ((Names{"c.txt", "d.log.txt"}), ListFiles(dir.Path(), "*.txt"));
    EXPECT_EQ((Names{"a.log", "b.log"}), ListFiles(dir.Path(), "?.log"));
    EXPECT_EQ((Names{"d.log.txt"}), ListFiles(dir.Path(), "d*"));
    EXPECT_EQ((Names{"a.log", "b.log", "c.txt", "d.log.txt", "e.logs", "plain", "sub.dir"}), ListFiles(dir.Path()));
    // Windows lets "*.*" match names without a dot as well; every dotted name
    // is matched everywhere.
    Names all = ListFiles(dir.Path(), "*.*");
    all.erase(std::remove(all.begin(), all.end(), "plain"), all.end());
    EXPECT_EQ((Names{"a.log", "b.log", "c.txt", "d.log.txt", "e.logs", "sub.dir"}), all);

    auto ignore = [](const char*, void*) {};
    EXPECT_TRUE(rtos::ListDir(dir.Path().c_str(), "*.none", ignore, nullptr));
    EXPECT_FALSE(rtos::ListDir(dir.File("nonexistent").c_str(), "*", ignore, nullptr));
}

TEST(RtOsFiles, FilesAreWrittenAtTheirOffsets) {
    rttest::TempDir dir("rtos");
    const std::string path = dir.File("at.log");
    WriteFile(path, "older and longer content");
    rtos::FileHandle file = rtos::FileCreate(path.c_str());
    ASSERT_NE(rtos::kNoFile, file);
    EXPECT_EQ("", ReadFile(path));  // an existing file starts empty
    EXPECT_EQ(11u, rtos::FileWriteAt(file, "hello world", 11, 0));
    EXPECT_EQ(1u, rtos::FileWriteAt(file, "W", 1, 6));
    // Bytes are written through at once, without a flush or a close.
    EXPECT_EQ("hello World", ReadFile(path));
    EXPECT_TRUE(rtos::FileTruncate(file, 5));
    EXPECT_EQ(6u, rtos::FileWriteAt(file, " there", 6, 5));
    EXPECT_EQ("hello there", ReadFile(path));
    rtos::FileClose(file);

    EXPECT_EQ(rtos::kNoFile, rtos::FileCreate(dir.File("missing" + std::string(1, rtos::kPathSep) + "x.log").c_str()));
    EXPECT_NE(0, rtos::LastError());
}

// ---- Text ------------------------------------------------------------------

TEST(RtOsText, ErrorTextIsTerminatedAndBounded) {
    char full[512];
    rtos::ErrorText(2, full, sizeof full);
    const size_t len = strlen(full);
    ASSERT_GT(len, 3u);
    EXPECT_NE('\n', full[len - 1]);
    EXPECT_NE('\r', full[len - 1]);

    char small[16];
    memset(small, 'X', sizeof small);
    rtos::ErrorText(2, small, 8);
    EXPECT_EQ(7u, strlen(small));
    EXPECT_EQ(0, strncmp(full, small, 7));
    EXPECT_EQ('X', small[8]);

    memset(small, 'X', sizeof small);
    rtos::ErrorText(2, small, 1);
    EXPECT_EQ('\0', small[0]);
    EXPECT_EQ('X', small[1]);

    // A number no system uses still yields text.
    rtos::ErrorText(0x7ffffff0, full, sizeof full);
    EXPECT_GT(strlen(full), 0u);
}

TEST(RtOsText, WideToNarrowBoundsItsOutput) {
    char out[32];
    EXPECT_EQ(5u, rtos::WideToNarrow(L"hello", out, sizeof out));
    EXPECT_STREQ("hello", out);

    memset(out, 'X', sizeof out);
    EXPECT_EQ(5u, rtos::WideToNarrow(L"hello world", out, 6));
    EXPECT_STREQ("hello", out);
    EXPECT_EQ('X', out[6]);

    memset(out, 'X', sizeof out);
    EXPECT_EQ(0u, rtos::WideToNarrow(L"hello", out, 1));
    EXPECT_EQ('\0', out[0]);
    EXPECT_EQ('X', out[1]);

    EXPECT_EQ(0u, rtos::WideToNarrow(L"", out, sizeof out));
    EXPECT_EQ('\0', out[0]);

    // Characters that take several bytes, or none of the encoding, must not
    // be cut or written past the limit.
    const wchar_t* mixed = L"ab\u00e9\u4e2d\U0001F600cd";
    for (size_t size = 1; size <= 20; ++size) {
        SCOPED_TRACE(size);
        memset(out, 'X', sizeof out);
        const size_t n = rtos::WideToNarrow(mixed, out, size);
        EXPECT_LT(n, size);
        EXPECT_EQ(n, strlen(out));
        EXPECT_EQ('X', out[size]);
        if (size >= 3) {
            EXPECT_EQ(0, strncmp("ab", out, 2));
        }
    }
}

}  // namespace

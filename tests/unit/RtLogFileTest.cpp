#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <utility>

#include "RtLogFile.h"
#include "RtLogTestFixture.h"

using rttest::LogTest;

namespace {
const char kEnd[] = ">>>>> End of Log <<<<<";
const char kEndOfFile[] = "-----------------------------  END OF FILE  -----------------------------";

// Text as a text file of this platform holds it: every LF a line end.
std::string OnDisk(const std::string& aText) {
    std::string out;
    for (char c : aText) {
        if (c == '\n' && rtos::kLineEndBytes == 2)
            out += '\r';
        out += c;
    }
    return out;
}

std::string PidLine() { return "$PID: " + std::to_string(rtos::ProcessId()) + "\n"; }

// An INFO line of module 0, stamped on this thread at a whole second.
std::string InfoLine(const std::string& aDate, const std::string& aTime, const std::string& aText) {
    return "$" + aDate + " " + aTime + ".000 " + std::to_string(rtos::ThreadId()) + " INFO: " + aText + "\n";
}
}  // namespace

TEST_F(LogTest, LinesCarryStampThreadLevelAndModuleTag) {
    int64_t t = Local(2026, 3, 4, 5, 6, 7);
    s_now = CRtTimeValue(t, 89999);
    auto log = MakeLog("");
    log->RegisterModule(3, "NET");
    log->TraceString(2, 0, "plain");
    log->TraceString(0, 3, "tagged");
    log->TraceString(1, 7, "unnamed");

    ASSERT_EQ(FileName(t, 0), log->GetFileName());
    std::vector<std::string> lines = Lines(log->GetFileName());
    ASSERT_EQ(5u, lines.size());
    EXPECT_EQ("$PID: " + std::to_string(rtos::ProcessId()), lines[0]);
    std::string stamp = "$" + Date(t) + " 05:06:07.089 " + std::to_string(rtos::ThreadId());
    EXPECT_EQ(stamp + " INFO: plain", lines[1]);
    EXPECT_EQ(stamp + " ERROR: [NET] tagged", lines[2]);
    EXPECT_EQ(stamp + " WARN: [] unnamed", lines[3]);
    EXPECT_EQ(kEnd, lines[4]);
    // Line ends are the platform's text line ends, the end line is not repeated.
    std::string raw = rttest::ReadFile(log->GetFileName());
    size_t expectedSize = 0;
    for (const std::string& l : lines)
        expectedSize += l.size() + rtos::kLineEndBytes;
    EXPECT_EQ(expectedSize, raw.size());
}

TEST_F(LogTest, ModuleTagCanBeTurnedOffAndFiltersApply) {
    s_now = CRtTimeValue(Local(2026, 3, 4), 0);
    auto log =
        MakeLog("LOG_MODULE_NAME_DISPLAY=false\nLOG_LEVEL_3=STATS,false\nLOG_MODULE_ALL=false\nLOG_MODULE_5=X,false\n");
    log->TraceString(2, 4, "untagged");
    log->TraceString(3, 0, "level off");
    log->TraceString(2, 5, "module off");
    log->TraceString(9, 0, "level out of range");
    log->TraceString(2, 17, "module out of range");
    std::vector<std::string> lines = Lines(log->GetFileName());
    ASSERT_EQ(3u, lines.size());
    EXPECT_NE(std::string::npos, lines[1].find(" INFO: untagged"));
    EXPECT_EQ(kEnd, lines[2]);
}

// Lines wait until their batch is full; each batch then lands exactly over
// the end line the previous one left, also after a long line, and a
// message's own line breaks are line ends too.
TEST_F(LogTest, BatchesReachTheFileWholeOverThePreviousEndLine) {
    int64_t t = Local(2026, 3, 4);
    s_now = CRtTimeValue(t, 0);
    auto log = MakeLog("LOG_BUFFER_LINE=3\n");
    const std::string texts[] = {std::string(3000, 'L'), "s", "two\nrows", "", "x", "y\r\nz", "w"};
    // The "$PID:" line is the first line of the first batch.
    std::string lines = PidLine();
    int inBatch = 1;
    std::string onDisk;
    for (const std::string& text : texts) {
        log->TraceString(2, 0, text.c_str());
        lines += InfoLine(Date(t), "12:00:00", text);
        if (++inBatch == 3) {
            inBatch = 0;
            onDisk = OnDisk(lines + kEnd + "\n");
        }
        ASSERT_EQ(onDisk, rttest::ReadFile(log->GetFileName())) << "after \"" << text << "\"";
    }
}

// The limit falls inside a batch: the whole batch still goes to the full
// file, which ends with the END OF FILE line and nothing after it.
TEST_F(LogTest, ABatchAcrossTheSizeLimitEndsTheFile) {
    int64_t t = Local(2026, 3, 4);
    s_now = CRtTimeValue(t, 0);
    std::string first = PidLine() + InfoLine(Date(t), "12:00:00", "a1") + InfoLine(Date(t), "12:00:00", "a2");
    size_t limit = OnDisk(first).size() + 1;
    auto log = MakeLog("LOG_BUFFER_LINE=3\nLOG_FILE_SIZE=" + std::to_string(limit) + "\n");
    for (const char* text : {"a1", "a2", "b1", "b2", "b3", "c1"})
        log->TraceString(2, 0, text);
    std::string second =
        InfoLine(Date(t), "12:00:00", "b1") + InfoLine(Date(t), "12:00:00", "b2") + InfoLine(Date(t), "12:00:00", "b3");
    EXPECT_EQ(OnDisk(first + second + kEndOfFile + "\n"), rttest::ReadFile(FileName(t, 0)));
    EXPECT_EQ(FileName(t, 1), log->GetFileName());
}

TEST_F(LogTest, FullFileEndsWithEndOfFileAndTheNextOneStarts) {
    int64_t t = Local(2026, 3, 4);
    s_now = CRtTimeValue(t, 0);
    auto log = MakeLog("LOG_FILE_SIZE=2000\n");
    std::string text(90, 'x');
    for (int i = 0; i < 30; ++i)
        log->TraceString(2, 0, text.c_str());
    std::string first = rttest::ReadFile(FileName(t, 0));
    std::vector<std::string> lines = rttest::SplitLines(first);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(kEndOfFile, lines.back());
    EXPECT_GE(first.size(), 2000u);
    EXPECT_LT(first.size(), 2000u + 2 * 200u);
    EXPECT_EQ(FileName(t, 1), log->GetFileName());
    EXPECT_EQ("$PID: " + std::to_string(rtos::ProcessId()), Lines(FileName(t, 1))[0]);
}

TEST_F(LogTest, EleventhFileOfADayReusesSequenceZero) {
    int64_t t = Local(2026, 3, 4);
    s_now = CRtTimeValue(t, 0);
    auto log = MakeLog("LOG_FILE_SIZE=1\n");
    for (int i = 1; i <= 10; ++i)
        log->TraceString(2, 0, ("line " + std::to_string(i)).c_str());
    EXPECT_EQ(10u, rttest::ListFiles(LogDir(), "*.log").size());
    EXPECT_EQ(FileName(t, 0), log->GetFileName());
    EXPECT_EQ("", rttest::ReadFile(FileName(t, 0)));  // truncated on reuse
    log->TraceString(2, 0, "line 11");
    std::string reused = rttest::ReadFile(FileName(t, 0));
    EXPECT_NE(std::string::npos, reused.find("line 11"));
    EXPECT_EQ(std::string::npos, reused.find("line 1\n"));
}

TEST_F(LogTest, NewDayStartsANewFileAfterTheFirstLine) {
    int64_t evening = Local(2026, 3, 4, 23, 59, 59);
    int64_t morning = Local(2026, 3, 5, 0, 0, 1);
    s_now = CRtTimeValue(evening, 0);
    auto log = MakeLog("");
    log->TraceString(2, 0, "a");
    s_now = CRtTimeValue(morning, 0);
    log->TraceString(2, 0, "b");
    log->TraceString(2, 0, "c");
    // The new file is written from its start, not where the old one was.
    EXPECT_EQ(OnDisk(PidLine() + InfoLine(Date(evening), "23:59:59", "a") + InfoLine(Date(morning), "00:00:01", "b") +
                     kEnd + "\n"),
              rttest::ReadFile(FileName(evening, 0)));
    EXPECT_EQ(OnDisk(PidLine() + InfoLine(Date(morning), "00:00:01", "c") + kEnd + "\n"),
              rttest::ReadFile(FileName(morning, 0)));
    EXPECT_EQ(FileName(morning, 0), log->GetFileName());
}

TEST_F(LogTest, OldLogsAreDeletedAtStartAndAtDayChange) {
    int64_t today = Local(2026, 3, 20);
    std::string dir = LogDir();
    rtos::MakeDir(dir.c_str());
    auto touch = [&](const std::string& aName) { rttest::WriteFile(dir + rtos::kPathSep + aName, "x"); };
    touch("other_info_" + Date(today - 8 * 86400) + "_1.0.log");
    touch("other_info_" + Date(today - 7 * 86400) + "_1.0.log");
    touch("other_info_" + Date(today - 6 * 86400) + "_1.0.log");
    touch("20000101_x.log");                                // fewer than 9 characters before "_"
    touch("notes_" + Date(today - 30 * 86400) + "_1.txt");  // not a .log
    s_now = CRtTimeValue(today, 0);
    auto log = MakeLog("");
    std::vector<std::string> names = rttest::ListFiles(dir);
    auto has = [&](const std::string& aName) { return std::find(names.begin(), names.end(), aName) != names.end(); };
    EXPECT_FALSE(has("other_info_" + Date(today - 8 * 86400) + "_1.0.log"));
    EXPECT_TRUE(has("other_info_" + Date(today - 7 * 86400) + "_1.0.log"));
    EXPECT_TRUE(has("20000101_x.log"));
    EXPECT_TRUE(has("notes_" + Date(today - 30 * 86400) + "_1.txt"));

    // Two days later, without a restart, the files now older than seven
    // days go too.
    s_now = CRtTimeValue(today + 2 * 86400, 0);
    log->TraceString(2, 0, "later");
    names = rttest::ListFiles(dir);
    EXPECT_FALSE(has("other_info_" + Date(today - 7 * 86400) + "_1.0.log"));
    EXPECT_FALSE(has("other_info_" + Date(today - 6 * 86400) + "_1.0.log"));
    EXPECT_TRUE(has("20000101_x.log"));
}

TEST_F(LogTest, DisabledLogCreatesNothing) {
    s_now = CRtTimeValue(Local(2026, 3, 4), 0);
    auto log = MakeLog("LOG_ENABLE=false\n");
    log->TraceString(0, 0, "nothing");
    EXPECT_STREQ("", log->GetFileName());
    EXPECT_FALSE(rtos::PathExists(LogDir().c_str()));
}

TEST_F(LogTest, SingleFileModeUsesTheProcessName) {
    s_now = CRtTimeValue(Local(2026, 3, 4), 0);
    auto log = MakeLog("LOG_SINGLE_FILE=true\nLOG_FILE_SIZE=300\n");
    for (int i = 0; i < 20; ++i)
        log->TraceString(2, 0, "single-file line");
    EXPECT_EQ(LogDir() + rtos::kPathSep + RtGetProcessName() + ".log", log->GetFileName());
    EXPECT_EQ(1u, rttest::ListFiles(LogDir(), "*.log").size());
    // The full file is reused: writing goes on after its END OF FILE line,
    // over as many of its bytes as an end line takes.
    std::string text = rttest::ReadFile(log->GetFileName());
    size_t kept = OnDisk(std::string(kEndOfFile) + "\n").size() - OnDisk(std::string(kEnd) + "\n").size();
    EXPECT_NE(std::string::npos, text.find(std::string(kEndOfFile, kept) + OnDisk(PidLine())));
    EXPECT_EQ(OnDisk(std::string(kEnd) + "\n"), text.substr(text.size() - OnDisk(std::string(kEnd) + "\n").size()));
}

TEST_F(LogTest, DirectoryTooLongForAFileNameLogsNothing) {
    s_now = CRtTimeValue(Local(2026, 3, 4), 0);
    std::string longDir = m_Dir.File(std::string(505 - m_Dir.Path().size() - 1, 'd'));
    ASSERT_EQ(505u, longDir.size());
    rttest::ScopedConfig config(m_Dir, "[LOG]\nLOG_DIR=" + longDir + "\n");
    CRtLog log;
    log.TraceString(0, 0, "dropped");
    EXPECT_STREQ("", log.GetFileName());
}

TEST_F(LogTest, LinesNearTheBatchBufferSizeNeverOverrunIt) {
    s_now = CRtTimeValue(Local(2026, 3, 4), 0);
    auto log = MakeLog("LOG_FILE_SIZE=2000000000\n");
    std::string text(4031, 't');
    for (size_t nameLen = 0; nameLen <= 63; nameLen += 3) {
        log->RegisterModule(7, std::string(nameLen, 'm').c_str());
        for (size_t len = 3990; len <= 4031; ++len)
            log->TraceString(2, 7, text.substr(0, len).c_str());
    }
    std::vector<std::string> lines = Lines(log->GetFileName());
    ASSERT_GT(lines.size(), 100u);
    EXPECT_EQ(kEnd, lines.back());
    for (size_t i = 1; i + 1 < lines.size(); ++i)
        ASSERT_EQ('$', lines[i][0]) << "line " << i;
}

TEST_F(LogTest, ALineThatFillsTheBatchBufferIsDroppedOneByteShorterIsKept) {
    s_now = CRtTimeValue(Local(2026, 3, 4, 5, 6, 7), 3000);
    auto log = MakeLog("LOG_FILE_SIZE=2000000000\n");
    log->RegisterModule(5, "MOD");
    log->TraceString(2, 0, "first");  // the batch holds one line from here on
    // Line bytes besides the text, the line end included.
    std::string tagPart =
        "$" + Date(s_now.GetSec()) + " 05:06:07.003 " + std::to_string(rtos::ThreadId()) + " INFO: [MOD] ";
    const size_t capacity = 4096 + 22;
    std::string kept(capacity - 1 - tagPart.size() - 1, 'k');
    std::string dropped(capacity - tagPart.size() - 1, 'd');
    log->TraceString(2, 5, dropped.c_str());
    log->TraceString(2, 5, kept.c_str());
    log->TraceString(2, 0, "last");
    std::vector<std::string> lines = Lines(log->GetFileName());
    ASSERT_EQ(5u, lines.size());
    EXPECT_EQ(tagPart + kept, lines[2]);
    EXPECT_NE(std::string::npos, lines[3].find(" INFO: last"));
    EXPECT_EQ(kEnd, lines[4]);
}

TEST_F(LogTest, DatesPast2038AreWrittenAsSuch) {
    s_now = CRtTimeValue(int64_t{2147483648LL} + 100, 0);
    auto log = MakeLog("");
    log->TraceString(2, 0, "future");
    std::vector<std::string> lines = Lines(log->GetFileName());
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ(0u, lines[1].find("$2038011")) << lines[1];
    EXPECT_NE(std::string::npos, std::string(log->GetFileName()).find("_info_2038011"));
}

TEST_F(LogTest, HugeMaximaAreCutAndSaidSo) {
    s_now = CRtTimeValue(Local(2026, 3, 4), 0);
    auto log = MakeLog("LOG_LEVEL_MAX=2000000000\nLOG_MODULE_MAX=4294967295\n");
    log->TraceString(300, 0, "level beyond the cut");
    log->TraceString(2, 300, "module beyond the cut");
    log->TraceString(255, 255, "at the cut");
    std::string text = rttest::ReadFile(log->GetFileName());
    EXPECT_NE(std::string::npos, text.find("WARN: CRtLog::ReadConfig, LOG_LEVEL_MAX=2000000000 too large, using 255"));
    EXPECT_NE(std::string::npos, text.find("LOG_MODULE_MAX=2147483647 too large, using 255"));
    EXPECT_EQ(std::string::npos, text.find("beyond the cut"));
    EXPECT_NE(std::string::npos, text.find(": [] at the cut"));
}

TEST_F(LogTest, ConcurrentWritersProduceWholeLines) {
    s_now = CRtTimeValue(Local(2026, 3, 4), 0);
    auto log = MakeLog("LOG_BUFFER_LINE=7\n");
    constexpr int kThreads = 4;
    constexpr int kLines = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&log, t] {
            for (int i = 0; i < kLines; ++i) {
                std::string text = "writer " + std::to_string(t) + " line " + std::to_string(i) + " end";
                log->TraceString(2, 0, text.c_str());
            }
        });
    }
    for (auto& th : threads)
        th.join();
    log.reset();  // the file list flushes the rest at exit; count what is on disk now
    std::vector<std::string> lines = Lines(FileName(Local(2026, 3, 4), 0));
    int whole = 0;
    for (const std::string& line : lines) {
        if (line.rfind("$PID", 0) == 0 || line == kEnd)
            continue;
        ASSERT_EQ('$', line[0]) << line;
        ASSERT_EQ(" end", line.substr(line.size() - 4)) << line;
        ++whole;
    }
    // Lines of the last, unfinished batch are still in the buffer.
    EXPECT_GT(whole, kThreads * kLines - 7);
    EXPECT_LE(whole, kThreads * kLines);
}

TEST(CRtLogFile, WidenLineEndsTurnsEveryLfIntoCrLf) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"no break", "no break"},
        {"\n", "\r\n"},
        {"\nfirst", "\r\nfirst"},
        {"a\n\nb\n", "a\r\n\r\nb\r\n"},
        // A CR already there stays, as a text stream keeps it.
        {"x\r\n", "x\r\r\n"},
    };
    for (const auto& [in, out] : cases) {
        std::string buffer = in + std::string(in.size(), '#');
        size_t len = CRtLogFile::WidenLineEnds(&buffer[0], in.size());
        EXPECT_EQ(out, buffer.substr(0, len)) << "from \"" << in << "\"";
    }
}

// A write that fails drops its batch, is told once on standard error, and
// leaves the count where it was.
TEST(CRtLogFile, AFailedWriteIsReportedOnce) {
    const char* device = "/dev/full";
    if (!rtos::PathExists(device))
        GTEST_SKIP() << "no device whose writes fail";
    CRtLogFile file(device);
    ASSERT_TRUE(file.IsOpen());
    file.Init(1 << 20, 1, 42);
    testing::internal::CaptureStderr();
    for (const char* line : {"first\n", "second\n"}) {
        size_t room = 0;
        char* out = file.FreeSpace(room);
        ASSERT_NE(nullptr, out);
        size_t len = strlen(line);
        memcpy(out, line, len);
        file.CommitLine(len);
    }
    std::string told = testing::internal::GetCapturedStderr();
    EXPECT_NE(0, file.GetWriteError());
    EXPECT_EQ(0, file.GetWrittenBytes());
    EXPECT_EQ(0u, told.find(std::string("log: cannot write ") + device + ": ")) << told;
    EXPECT_EQ(1, std::count(told.begin(), told.end(), '\n')) << told;
}

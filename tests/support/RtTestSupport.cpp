#include "RtTestSupport.h"

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "RtConfig.h"
#include "RtLog.h"
#include "RtOs.h"

namespace rttest {

namespace {
std::atomic<int> s_dirCounter{0};

void Collect(const char* aName, void* aCtx) {
    std::string name(aName);
    if (name != "." && name != "..")
        static_cast<std::vector<std::string>*>(aCtx)->push_back(name);
}
}  // namespace

namespace {
void RemoveTree(const std::string& aPath) {
    for (const std::string& name : ListFiles(aPath)) {
        std::string child = aPath + rtos::kPathSep + name;
        if (!rtos::RemoveFile(child.c_str()))
            RemoveTree(child);
    }
    rtos::RemoveDir(aPath.c_str());
}
}  // namespace

TempDir::TempDir(const char* aTag) {
    char buf[256];
    snprintf(buf, sizeof buf, "rt_tmp_%s_%u_%d", aTag, static_cast<unsigned>(rtos::ProcessId()), s_dirCounter++);
    m_strPath = buf;
    // On Windows a log file the process still holds open cannot be deleted,
    // so its directory outlives the test; Wine hands the next run the same
    // process id, and with it that directory.
    RemoveTree(m_strPath);
    rtos::MakeDir(m_strPath.c_str());
}

TempDir::~TempDir() { RemoveTree(m_strPath); }

std::string TempDir::File(const std::string& aName) const { return m_strPath + rtos::kPathSep + aName; }

std::vector<std::string> ListFiles(const std::string& aDir, const char* aPattern) {
    std::vector<std::string> names;
    rtos::ListDir(aDir.c_str(), aPattern, Collect, &names);
    std::sort(names.begin(), names.end());
    return names;
}

std::string ReadFile(const std::string& aPath) {
    std::string content;
    if (FILE* file = fopen(aPath.c_str(), "rb")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, file)) > 0)
            content.append(buf, n);
        fclose(file);
    }
    return content;
}

void WriteFile(const std::string& aPath, const std::string& aContent) {
    if (FILE* file = fopen(aPath.c_str(), "wb")) {
        fwrite(aContent.data(), 1, aContent.size(), file);
        fclose(file);
    }
}

std::vector<std::string> SplitLines(const std::string& aText) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < aText.size()) {
        size_t end = aText.find('\n', start);
        if (end == std::string::npos)
            end = aText.size();
        std::string line = aText.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

std::string ReadProcessLog() {
    // Line ends as "\n" whatever the platform writes.
    std::string text = ReadFile(CRtLogCenter::GetLog()->GetFileName());
    std::string lf;
    lf.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            lf += text[i];
    }
    return lf;
}

bool ProcessLogHasSince(size_t aSizeBefore, const std::string& aText) {
    return ProcessLogCountSince(aSizeBefore, aText) > 0;
}

size_t ProcessLogCountSince(size_t aSizeBefore, const std::string& aText) {
    std::string log = ReadProcessLog();
    // The end line of the previous batch is overwritten by the next one.
    size_t count = 0;
    for (size_t at = log.find(aText, aSizeBefore > 32 ? aSizeBefore - 32 : 0); at != std::string::npos;
         at = log.find(aText, at + aText.size()))
        ++count;
    return count;
}

ScopedConfig::ScopedConfig(const TempDir& aDir, const std::string& aContent) : m_strPath(aDir.File("config.ini")) {
    WriteFile(m_strPath, aContent);
    RtSetConfigFile(m_strPath.c_str());
}

ScopedConfig::~ScopedConfig() { RtSetConfigFile(nullptr); }

}  // namespace rttest

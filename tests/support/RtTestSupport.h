// Helpers shared by the test suites.
#pragma once

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "RtString.h"

namespace rttest {

// A fresh directory below the working directory, removed with its files
// when the object goes away. Names carry the process id, so parallel test
// processes never share one.
class TempDir {
public:
    explicit TempDir(const char* aTag);
    ~TempDir();
    const std::string& Path() const { return m_strPath; }
    std::string File(const std::string& aName) const;

private:
    std::string m_strPath;
};

// Names of the entries of a directory matching aPattern, sorted.
std::vector<std::string> ListFiles(const std::string& aDir, const char* aPattern = "*");
std::string ReadFile(const std::string& aPath);
void WriteFile(const std::string& aPath, const std::string& aContent);
std::vector<std::string> SplitLines(const std::string& aText);

// The text of the process log's current file with "\n" line ends (lines
// reach it at once with the default batch of one line).
std::string ReadProcessLog();
// Whether the process log received aText since aSizeBefore bytes.
bool ProcessLogHasSince(size_t aSizeBefore, const std::string& aText);
size_t ProcessLogCountSince(size_t aSizeBefore, const std::string& aText);

// Whether the process log gained aText since the watch was made.
class LogWatch {
public:
    LogWatch() : m_nBefore(ReadProcessLog().size()) {}
    bool Has(const std::string& aText) const { return ProcessLogHasSince(m_nBefore, aText); }
    size_t Count(const std::string& aText) const { return ProcessLogCountSince(m_nBefore, aText); }

private:
    size_t m_nBefore;
};

// Polls aCondition until it holds or aTimeoutMs pass; returns its last value.
template <class Condition>
bool WaitUntil(Condition aCondition, int aTimeoutMs = 5000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(aTimeoutMs);
    while (!aCondition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return aCondition();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Points the configuration reader at a file for the lifetime of the object.
class ScopedConfig {
public:
    ScopedConfig(const TempDir& aDir, const std::string& aContent);
    ~ScopedConfig();
    const std::string& Path() const { return m_strPath; }

private:
    std::string m_strPath;
};

}  // namespace rttest

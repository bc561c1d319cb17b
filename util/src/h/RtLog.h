// The process log: a stack-buffer message composer and a filtered,
// batched, rotating file writer.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "RtMutex.h"
#include "RtString.h"
#include "RtTimeValue.h"

class CRtLogFile;

// One log per trace type. TraceString may be called from any thread; a
// recursive mutex serialises filtering, formatting and file changes.
class CRtLog {
public:
    // The size of the stack buffer the trace macros compose a message on.
    static constexpr size_t kRecorderBufferSize = 4096;
    // Room a recorder always leaves unused at the end of its buffer.
    static constexpr size_t kRecorderReserve = 64;
    static constexpr size_t kNameSize = 64;
    static constexpr size_t kPathSize = 512;

    enum TraceType { TRACE_NORMAL = 0, TRACE_QOS = 1 };
    // Stream manipulators for the recorder: hex applies to the next integer.
    enum _ordix { hex = 0, dec = 1 };

    // Composes text into a caller's buffer; never allocates. Text that does
    // not fit is cut silently.
    class CRtLogRecorder {
    public:
        CRtLogRecorder(char* aBuffer, unsigned long aSize);

        operator char*() { return m_pBuffer; }
        size_t GetLength() const { return m_nLength; }

        CRtLogRecorder& Append(const char* aText, size_t aLen);

        CRtLogRecorder& operator<<(char aValue);
        CRtLogRecorder& operator<<(unsigned char aValue);
        CRtLogRecorder& operator<<(short aValue);
        CRtLogRecorder& operator<<(unsigned short aValue);
        CRtLogRecorder& operator<<(int aValue);
        CRtLogRecorder& operator<<(unsigned int aValue);
        CRtLogRecorder& operator<<(long aValue);
        CRtLogRecorder& operator<<(unsigned long aValue);
        CRtLogRecorder& operator<<(long long aValue);
        CRtLogRecorder& operator<<(unsigned long long aValue);
        CRtLogRecorder& operator<<(float aValue);
        CRtLogRecorder& operator<<(double aValue);
        CRtLogRecorder& operator<<(const char* aText);
        CRtLogRecorder& operator<<(const CRtString& aText);
        CRtLogRecorder& operator<<(const wchar_t* aText);
        CRtLogRecorder& operator<<(const void* aPointer);
        CRtLogRecorder& operator<<(_ordix aOrdix);

    private:
        CRtLogRecorder& AppendSigned(long long aValue);
        CRtLogRecorder& AppendUnsigned(unsigned long long aValue);

        char* m_pBuffer;
        size_t m_nSize;
        size_t m_nLength;
        bool m_bHex;
    };

    explicit CRtLog(TraceType aType = TRACE_NORMAL);
    virtual ~CRtLog();

    CRtLog(const CRtLog&) = delete;
    CRtLog& operator=(const CRtLog&) = delete;

    void TraceString(unsigned aLevel, unsigned aModule, const char* aText);
    // Whether TraceString would write a line of this level and module, so
    // that callers need not compose one that goes nowhere. Like
    // GetLogLevel, it reads without the lock.
    bool IsTraceEnabled(unsigned aLevel, unsigned aModule) const {
        return aLevel <= m_nLevelMax && aModule <= m_nModuleMax && m_Levels[aLevel].bEnabled &&
               m_Modules[aModule].bEnabled;
    }

    RtResult RegisterModule(unsigned aId, const char* aName);
    void SetLogLevel(unsigned aLevel, bool aEnable);
    bool GetLogLevel(unsigned aLevel);

    const char* GetLogDir() const { return m_szLogDir; }
    const char* GetFileName() const { return m_szFileName; }
    unsigned GetLevelMax() const { return m_nLevelMax; }
    unsigned GetModuleMax() const { return m_nModuleMax; }
    const char* GetLevelName(unsigned aLevel) const;
    const char* GetModuleName(unsigned aModule) const;
    bool GetModuleEnabled(unsigned aModule) const;

    // Deletes "*.log" files of the log directory dated more than seven days
    // before aNow (by the date in their name).
    static void DeleteOutdatedLogs(const char* aDir, const CRtTimeValue& aNow);

private:
    struct NameEntry {
        char szName[kNameSize] = {};
        std::atomic<bool> bEnabled{false};  // read without the lock

        NameEntry() = default;
        NameEntry(const NameEntry& aOther) { *this = aOther; }
        NameEntry& operator=(const NameEntry& aOther) {
            std::copy(aOther.szName, aOther.szName + kNameSize, szName);
            bEnabled = aOther.bEnabled.load();
            return *this;
        }
    };

    void ReadConfig();
    void ReadNameEntry(const char* aKeyPrefix, unsigned aIndex, NameEntry& aEntry);
    void CreateLogFile(CRtLogFile* aReplace, bool aReuse, TraceType aType);
    void CreateLogDirectory();
    const rtos::DateTime& LocalNow(int64_t aSec);
    // Writes aValue in base 10 or 16 (lower case) backwards from aEnd, which
    // needs room for 20 digits; returns the first character.
    static char* DigitsBackward(char* aEnd, uint64_t aValue, bool aHex);
    size_t ComposeLine(char* aOut, size_t aRoom, int aMs, unsigned aLevel, unsigned aModule, const char* aText) const;
    // Lines about the log's own set-up, written once its file exists.
    void ReportLater(unsigned aLevel, const char* aText);
    void WriteDeferred();

    CRtLogFile* m_pLogFile = nullptr;
    TraceType m_TraceType;
    uint32_t m_dwPid;
    char m_szLogDir[kPathSize];
    bool m_bLogEnable = true;
    bool m_bSingleFile = false;
    int m_nBufferLine = 1;
    int m_nFileSize;
    int m_nFileSeq = 0;
    int m_nDay = 0;
    int m_nMonth = 0;
    char m_szFileName[kPathSize];
    CRtMutexThreadRecursive m_Mutex;
    char m_szSection[kNameSize];
    bool m_bModuleNameDisplay = true;
    unsigned m_nLevelMax;
    unsigned m_nModuleMax;
    std::vector<NameEntry> m_Levels;
    std::vector<NameEntry> m_Modules;

    // The local calendar of the last second stamped, so that a burst of
    // lines converts the clock once per second.
    int64_t m_nCachedSec = INT64_MIN;
    rtos::DateTime m_CachedTime = {};
    // "$YYYYMMDD HH:MM:SS." of that second: a line adds its milliseconds.
    char m_szStamp[80] = {};  // room for any int in each field
    size_t m_nStampLen = 0;

    struct DeferredLine {
        unsigned nLevel;
        CRtString strText;
    };
    std::vector<DeferredLine> m_Deferred;
};

class CRtQosLog : public CRtLog {
public:
    CRtQosLog() : CRtLog(TRACE_QOS) {}
};

class CRtLogCenter {
public:
    static CRtLog* GetLog();
    static CRtLog* GetQosLog();
    static void DestroyLog();
    static void DestoryQosLog();

private:
    static std::atomic<CRtLog*> s_rtLog;
    static std::atomic<CRtLog*> s_rtQosLog;
};

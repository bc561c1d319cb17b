#include "RtLog.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "RtConfig.h"
#include "RtDefines.h"
#include "RtLogFile.h"
#include "RtOs.h"
#include "RtProcessUtils.h"

namespace {

constexpr int kDefaultFileSize = 52428800;
constexpr unsigned kDefaultLevelMax = 8;
constexpr unsigned kDefaultModuleMax = 16;
constexpr unsigned kMinLevelMax = 4;
// Each level and module costs a configuration lookup and a table entry;
// larger values only come from typing errors.
constexpr unsigned kLimitMax = 255;
constexpr int64_t kLogKeepSeconds = 604800;

const char* const kLevelNames[] = {"ERROR", "WARN", "INFO", "STAT", "FUNC", "DEBUG"};

bool EndsWithTrueNoCase(const char* aText, size_t aLen) {
    static const char kTrue[] = "true";
    for (size_t i = 0; i < 4; ++i) {
        char c = aText[aLen - 4 + i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != kTrue[i])
            return false;
    }
    return true;
}

void CopyName(char* aDest, const char* aSrc, size_t aLen) {
    if (aLen > CRtLog::kNameSize - 1)
        aLen = CRtLog::kNameSize - 1;
    memcpy(aDest, aSrc, aLen);
    aDest[aLen] = '\0';
}

}  // namespace

CRtLog::CRtLog(TraceType aType)
    : m_TraceType(aType),
      m_dwPid(rtos::ProcessId()),
      m_nFileSize(kDefaultFileSize),
      m_nLevelMax(kDefaultLevelMax),
      m_nModuleMax(kDefaultModuleMax) {
    m_szLogDir[0] = '\0';
    m_szFileName[0] = '\0';
    snprintf(m_szSection, sizeof m_szSection, "%s", "LOG");

    ReadConfig();
    CRtTimeValue now = CRtTimeValue::GetTimeOfDay();
    DeleteOutdatedLogs(m_szLogDir, now);
    const rtos::DateTime& today = LocalNow(now.GetSec());
    m_nDay = today.day;
    m_nMonth = today.month;
    CreateLogFile(nullptr, false, m_TraceType);
    WriteDeferred();
}

CRtLog::~CRtLog() {}

void CRtLog::ReportLater(unsigned aLevel, const char* aText) { m_Deferred.push_back({aLevel, CRtString(aText)}); }

void CRtLog::WriteDeferred() {
    std::vector<DeferredLine> lines;
    lines.swap(m_Deferred);
    for (const DeferredLine& line : lines)
        TraceString(line.nLevel, 0, line.strText.c_str());
}

void CRtLog::ReadConfig() {
    char value[kPathSize];
    if (get_string_param(m_szSection, "LOG_DIR", value, sizeof value)) {
        snprintf(m_szLogDir, sizeof m_szLogDir, "%s", value);
        if (rtos::kPathSep == '\\') {
            for (char* p = m_szLogDir; *p; ++p) {
                if (*p == '/')
                    *p = '\\';
            }
        }
    } else {
        int n = snprintf(m_szLogDir, sizeof m_szLogDir, "%s%czvlogs", GetWriteableDirectory(), rtos::kPathSep);
        // A directory that does not fit is no directory: nothing is logged.
        if (n < 0 || static_cast<size_t>(n) >= sizeof m_szLogDir)
            m_szLogDir[0] = '\0';
    }

    m_bLogEnable = get_bool_param(m_szSection, "LOG_ENABLE", true);
    m_bSingleFile = get_bool_param(m_szSection, "LOG_SINGLE_FILE", false);
    int fileSize = get_int_param(m_szSection, "LOG_FILE_SIZE");
    if (fileSize > 0)
        m_nFileSize = fileSize;
    m_nBufferLine = get_int_param(m_szSection, "LOG_BUFFER_LINE");
    if (m_nBufferLine < 1 || m_nBufferLine > 100)
        m_nBufferLine = 1;
    m_bModuleNameDisplay = get_bool_param(m_szSection, "LOG_MODULE_NAME_DISPLAY", true);

    char warning[160];
    int levelMax = get_int_param(m_szSection, "LOG_LEVEL_MAX");
    if (levelMax == 0)
        levelMax = static_cast<int>(kDefaultLevelMax);
    else if (levelMax < static_cast<int>(kMinLevelMax))
        levelMax = static_cast<int>(kMinLevelMax);
    else if (levelMax > static_cast<int>(kLimitMax)) {
        snprintf(warning, sizeof warning, "CRtLog::ReadConfig, LOG_LEVEL_MAX=%d too large, using %u", levelMax,
                 kLimitMax);
        ReportLater(RT_LOG_LEVEL_WARN, warning);
        levelMax = static_cast<int>(kLimitMax);
    }
    m_nLevelMax = static_cast<unsigned>(levelMax);

    int moduleMax = get_int_param(m_szSection, "LOG_MODULE_MAX");
    if (moduleMax <= 0)
        moduleMax = static_cast<int>(kDefaultModuleMax);
    else if (moduleMax > static_cast<int>(kLimitMax)) {
        snprintf(warning, sizeof warning, "CRtLog::ReadConfig, LOG_MODULE_MAX=%d too large, using %u", moduleMax,
                 kLimitMax);
        ReportLater(RT_LOG_LEVEL_WARN, warning);
        moduleMax = static_cast<int>(kLimitMax);
    }
    m_nModuleMax = static_cast<unsigned>(moduleMax);

    NameEntry enabled;
    enabled.bEnabled = true;
    m_Levels.assign(m_nLevelMax + 1, enabled);
    m_Modules.assign(m_nModuleMax + 1, enabled);

    bool levelAll = get_bool_param(m_szSection, "LOG_LEVEL_ALL", false);
    for (unsigned i = 0; i <= m_nLevelMax; ++i) {
        ReadNameEntry("LOG_LEVEL_", i, m_Levels[i]);
        if (levelAll)
            m_Levels[i].bEnabled = true;
    }
    bool moduleAll = get_bool_param(m_szSection, "LOG_MODULE_ALL", true);
    for (unsigned i = 0; i <= m_nModuleMax; ++i) {
        ReadNameEntry("LOG_MODULE_", i, m_Modules[i]);
        if (moduleAll)
            m_Modules[i].bEnabled = true;
    }

    if (m_Levels[0].szName[0] == '\0') {
        for (unsigned i = 0; i <= m_nLevelMax && i < sizeof kLevelNames / sizeof kLevelNames[0]; ++i)
            CopyName(m_Levels[i].szName, kLevelNames[i], strlen(kLevelNames[i]));
    }
}

// A setting reads "[NAME<separator>]true" to enable, anything else ending
// in something other than "true" to disable.
void CRtLog::ReadNameEntry(const char* aKeyPrefix, unsigned aIndex, NameEntry& aEntry) {
    char key[kNameSize];
    snprintf(key, sizeof key, "%s%u", aKeyPrefix, aIndex);
    char value[kNameSize];
    get_string_param(m_szSection, key, value, sizeof value);
    size_t len = strlen(value);
    aEntry.szName[0] = '\0';
    aEntry.bEnabled = true;
    if (len < 4)
        return;
    if (!EndsWithTrueNoCase(value, len)) {
        aEntry.bEnabled = false;
        return;
    }
    if (len > 4)
        CopyName(aEntry.szName, value, len - 5);
}

const rtos::DateTime& CRtLog::LocalNow(int64_t aSec) {
    if (aSec != m_nCachedSec) {
        if (!rtos::LocalTime(aSec, &m_CachedTime))
            m_CachedTime = rtos::DateTime{1970, 1, 1, 0, 0, 0};
        m_nCachedSec = aSec;
        const rtos::DateTime& t = m_CachedTime;
        int n = snprintf(m_szStamp, sizeof m_szStamp, "$%04d%02d%02d %02d:%02d:%02d.", t.year, t.month, t.day, t.hour,
                         t.minute, t.second);
        m_nStampLen = n > 0 ? std::min(static_cast<size_t>(n), sizeof m_szStamp - 1) : 0;
    }
    return m_CachedTime;
}

void CRtLog::CreateLogDirectory() {
    CRtString dir(m_szLogDir);
    size_t first = dir.find(rtos::kPathSep);
    if (first == CRtString::npos) {
        char report[128];
        snprintf(report, sizeof report, "RtLog:%d Assert failed: szPos!=CRtString::npos", __LINE__);
        ReportLater(RT_LOG_LEVEL_ERROR, report);
    } else {
        // The part before the first separator is a drive or the root.
        for (size_t pos = dir.find(rtos::kPathSep, first + 1); pos != CRtString::npos;
             pos = dir.find(rtos::kPathSep, pos + 1)) {
            rtos::MakeDir(dir.substr(0, pos).c_str());
        }
    }
    rtos::MakeDir(dir.c_str());
}

void CRtLog::CreateLogFile(CRtLogFile* aReplace, bool aReuse, TraceType) {
    if (!m_bLogEnable)
        return;
    CRtMutexGuardT<CRtMutexThreadRecursive> guard(m_Mutex);
    if (!aReplace && m_pLogFile)
        return;
    CRtLogFileList* list = CRtLogFileList::Instance();
    if (!list || m_szLogDir[0] == '\0')
        return;

    CreateLogDirectory();

    const rtos::DateTime& now = LocalNow(CRtTimeValue::GetTimeOfDay().GetSec());
    char name[kPathSize];
    int n;
    if (m_bSingleFile) {
        n = snprintf(name, sizeof name, "%s%c%s.log", m_szLogDir, rtos::kPathSep, RtGetProcessName());
    } else {
        n = snprintf(name, sizeof name, "%s%c%s_info_%04d%02d%02d_%d.%d.log", m_szLogDir, rtos::kPathSep,
                     RtGetProcessName(), now.year, now.month, now.day, static_cast<int>(m_dwPid), m_nFileSeq);
        m_nFileSeq = (m_nFileSeq + 1) % 10;
    }
    if (aReplace && !m_bSingleFile)
        list->RemoveLogFile(aReplace);
    if (n < 0 || static_cast<size_t>(n) >= sizeof name) {
        // A name that does not fit opens no file: lines are dropped.
        m_szFileName[0] = '\0';
        m_pLogFile = nullptr;
        return;
    }
    memcpy(m_szFileName, name, static_cast<size_t>(n) + 1);
    m_pLogFile = list->GetLogFile(m_szFileName, aReuse, m_dwPid);
    list->InitAll(m_nFileSize, m_nBufferLine, m_dwPid);
}

// "<stamp of the second>mmm <thread> <LEVEL>: [<module>] <text>\n", or
// without the module tag; the stamp of the current second was formatted
// when the second began. Returns the length, or 0 when the line and its
// terminator do not fit aRoom.
size_t CRtLog::ComposeLine(char* aOut, size_t aRoom, int aMs, unsigned aLevel, unsigned aModule,
                           const char* aText) const {
    char ms[16];
    size_t msLen;
    if (aMs >= 0 && aMs <= 999) {
        ms[0] = static_cast<char>('0' + aMs / 100);
        ms[1] = static_cast<char>('0' + aMs / 10 % 10);
        ms[2] = static_cast<char>('0' + aMs % 10);
        msLen = 3;
    } else {
        int n = snprintf(ms, sizeof ms, "%03d", aMs);
        msLen = n > 0 ? static_cast<size_t>(n) : 0;
    }
    char tidBuf[24];
    char* tidEnd = tidBuf + sizeof tidBuf;
    const char* tid = DigitsBackward(tidEnd, rtos::ThreadId(), false);
    size_t tidLen = static_cast<size_t>(tidEnd - tid);

    const char* level = m_Levels[aLevel].szName;
    size_t levelLen = strlen(level);
    bool tagged = aModule != 0 && m_bModuleNameDisplay;
    const char* module = tagged ? m_Modules[aModule].szName : "";
    size_t moduleLen = tagged ? strlen(module) : 0;
    const char* text = aText ? aText : "";
    size_t textLen = strlen(text);

    size_t len = m_nStampLen + msLen + 1 + tidLen + 1 + levelLen + 2 + (tagged ? moduleLen + 3 : 0) + textLen + 1;
    if (len >= aRoom)
        return 0;
    char* p = aOut;
    auto put = [&p](const char* aFrom, size_t aLen) {
        memcpy(p, aFrom, aLen);
        p += aLen;
    };
    put(m_szStamp, m_nStampLen);
    put(ms, msLen);
    *p++ = ' ';
    put(tid, tidLen);
    *p++ = ' ';
    put(level, levelLen);
    *p++ = ':';
    *p++ = ' ';
    if (tagged) {
        *p++ = '[';
        put(module, moduleLen);
        *p++ = ']';
        *p++ = ' ';
    }
    put(text, textLen);
    *p++ = '\n';
    *p = '\0';
    return len;
}

void CRtLog::TraceString(unsigned aLevel, unsigned aModule, const char* aText) {
    if (aLevel > m_nLevelMax || aModule > m_nModuleMax)
        return;
    CRtMutexGuardT<CRtMutexThreadRecursive> guard(m_Mutex);
    if (!m_pLogFile || !m_bLogEnable)
        return;

    CRtTimeValue now = CRtTimeValue::GetTimeOfDay();
    const rtos::DateTime& t = LocalNow(now.GetSec());
    if (m_Levels[aLevel].bEnabled && m_Modules[aModule].bEnabled) {
        size_t room = 0;
        if (char* out = m_pLogFile->FreeSpace(room)) {
            size_t n = ComposeLine(out, room, static_cast<int>(now.GetUsec() / 1000), aLevel, aModule, aText);
            // A line that does not fit whole is dropped, not cut.
            if (n > 0)
                m_pLogFile->CommitLine(n);
            else
                out[0] = '\0';
        }
    }

    if (t.day != m_nDay || t.month != m_nMonth) {
        m_nDay = t.day;
        m_nMonth = t.month;
        m_nFileSeq = 0;
        CreateLogFile(m_pLogFile, true, m_TraceType);
        // A long-running process would otherwise keep every old log until
        // it restarts.
        DeleteOutdatedLogs(m_szLogDir, now);
    }
    if (m_pLogFile && m_pLogFile->IsFull())
        CreateLogFile(m_pLogFile, false, m_TraceType);
    if (!m_Deferred.empty())
        WriteDeferred();
}

RtResult CRtLog::RegisterModule(unsigned aId, const char* aName) {
    if (aId == 0 || aId > m_nModuleMax)
        return RT_ERROR_INVALID_ARG;
    CRtMutexGuardT<CRtMutexThreadRecursive> guard(m_Mutex);
    const char* name = aName ? aName : "";
    CopyName(m_Modules[aId].szName, name, strlen(name));
    return RT_OK;
}

void CRtLog::SetLogLevel(unsigned aLevel, bool aEnable) {
    if (aLevel > m_nLevelMax)
        return;
    CRtMutexGuardT<CRtMutexThreadRecursive> guard(m_Mutex);
    m_Levels[aLevel].bEnabled = aEnable;
}

bool CRtLog::GetLogLevel(unsigned aLevel) { return aLevel <= m_nLevelMax && m_Levels[aLevel].bEnabled; }

const char* CRtLog::GetLevelName(unsigned aLevel) const { return aLevel <= m_nLevelMax ? m_Levels[aLevel].szName : ""; }

const char* CRtLog::GetModuleName(unsigned aModule) const {
    return aModule <= m_nModuleMax ? m_Modules[aModule].szName : "";
}

bool CRtLog::GetModuleEnabled(unsigned aModule) const { return aModule <= m_nModuleMax && m_Modules[aModule].bEnabled; }

namespace {
struct OutdatedScan {
    const char* pszDir;
    char szCutOff[16];
};

void DeleteIfOutdated(const char* aName, void* aCtx) {
    const OutdatedScan& scan = *static_cast<OutdatedScan*>(aCtx);
    const char* underscore = strrchr(aName, '_');
    if (!underscore || underscore - aName < 9)
        return;
    if (strncmp(underscore - 8, scan.szCutOff, 8) >= 0)
        return;
    char path[rtos::kMaxPath];
    int n = snprintf(path, sizeof path, "%s%c%s", scan.pszDir, rtos::kPathSep, aName);
    if (n > 0 && static_cast<size_t>(n) < sizeof path)
        rtos::RemoveFile(path);
}
}  // namespace

void CRtLog::DeleteOutdatedLogs(const char* aDir, const CRtTimeValue& aNow) {
    if (!aDir || !*aDir)
        return;
    rtos::DateTime cutOff;
    if (!rtos::LocalTime(aNow.GetSec() - kLogKeepSeconds, &cutOff))
        return;
    OutdatedScan scan;
    scan.pszDir = aDir;
    snprintf(scan.szCutOff, sizeof scan.szCutOff, "%04d%02d%02d", cutOff.year, cutOff.month, cutOff.day);
    rtos::ListDir(aDir, "*.log", DeleteIfOutdated, &scan);
}

std::atomic<CRtLog*> CRtLogCenter::s_rtLog{nullptr};
std::atomic<CRtLog*> CRtLogCenter::s_rtQosLog{nullptr};

namespace {
// Guards only the creation; the first call normally comes before any
// second thread exists.
std::mutex s_createMutex;

CRtLog* GetOrCreate(std::atomic<CRtLog*>& aSlot, CRtLog::TraceType aType, void (*aDestroy)()) {
    CRtLog* log = aSlot.load(std::memory_order_acquire);
    if (log)
        return log;
    std::lock_guard<std::mutex> guard(s_createMutex);
    log = aSlot.load(std::memory_order_acquire);
    if (!log) {
        log = aType == CRtLog::TRACE_QOS ? new CRtQosLog : new CRtLog(aType);
        aSlot.store(log, std::memory_order_release);
        atexit(aDestroy);
    }
    return log;
}
}  // namespace

CRtLog* CRtLogCenter::GetLog() { return GetOrCreate(s_rtLog, CRtLog::TRACE_NORMAL, &CRtLogCenter::DestroyLog); }

CRtLog* CRtLogCenter::GetQosLog() { return GetOrCreate(s_rtQosLog, CRtLog::TRACE_QOS, &CRtLogCenter::DestoryQosLog); }

void CRtLogCenter::DestroyLog() { delete s_rtLog.exchange(nullptr); }

void CRtLogCenter::DestoryQosLog() { delete s_rtQosLog.exchange(nullptr); }

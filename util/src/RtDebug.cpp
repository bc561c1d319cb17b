#include "RtDebug.h"

#include <cstring>

void RtAssertReport(const char* aFile, int aLine, const char* aExpression) {
    const char* unit = aFile ? aFile : "";
    for (const char* p = unit; *p; ++p) {
        if (*p == '/' || *p == '\\')
            unit = p + 1;
    }
    size_t unitLen = strlen(unit);
    if (const char* dot = strrchr(unit, '.'))
        unitLen = static_cast<size_t>(dot - unit);

    char buf[CRtLog::kRecorderBufferSize];
    CRtLog::CRtLogRecorder rec(buf, sizeof buf);
    rec.Append(unit, unitLen);
    rec << ":" << aLine << " Assert failed: " << aExpression;
    CRtLogCenter::GetLog()->TraceString(RT_LOG_LEVEL_ERROR, 0, rec);
}

#include "AppTrace.h"

#include <cstdarg>
#include <cstdio>

#include "RtDebug.h"

namespace {

const size_t kTraceBuffer = 1024;

void Trace(int aLevel, const char* aFormat, va_list aArgs) {
    // The status answer is traced on every request: with the level off, do
    // not pay for formatting a line nobody writes.
    if (!CRtLogCenter::GetLog()->IsTraceEnabled(aLevel, 0))
        return;
    char text[kTraceBuffer];
    if (vsnprintf(text, sizeof text, aFormat, aArgs) < 0)
        text[0] = '\0';
    RT_LOG_TRACE(aLevel, 0, "[ZVAppLdrService]" << text);
}

}  // namespace

void AppTrace(const char* aFormat, ...) {
    va_list args;
    va_start(args, aFormat);
    Trace(RT_LOG_LEVEL_INFO, aFormat, args);
    va_end(args);
}

void AppTraceError(const char* aFormat, ...) {
    va_list args;
    va_start(args, aFormat);
    Trace(RT_LOG_LEVEL_ERROR, aFormat, args);
    va_end(args);
}

#include "AppTrace.h"

#include <cstdarg>
#include <cstdio>

#include "RtDebug.h"

namespace {

const size_t kTraceBuffer = 1024;

void Format(char (&aOut)[kTraceBuffer], const char* aFormat, va_list aArgs) {
    int n = vsnprintf(aOut, sizeof aOut, aFormat, aArgs);
    if (n < 0)
        aOut[0] = '\0';
}

}  // namespace

void AppTrace(const char* aFormat, ...) {
    char text[kTraceBuffer];
    va_list args;
    va_start(args, aFormat);
    Format(text, aFormat, args);
    va_end(args);
    RT_INFO_TRACE("[ZVAppLdrService]" << text);
}

void AppTraceError(const char* aFormat, ...) {
    char text[kTraceBuffer];
    va_list args;
    va_start(args, aFormat);
    Format(text, aFormat, args);
    va_end(args);
    RT_ERROR_TRACE("[ZVAppLdrService]" << text);
}

// The service's own trace lines: printf-style, prefixed "[ZVAppLdrService]",
// written to the framework log (module 0) and never to the console.
#pragma once

void AppTrace(const char* aFormat, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
void AppTraceError(const char* aFormat, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

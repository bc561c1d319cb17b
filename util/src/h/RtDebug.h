// Assertion reports and the trace macros every unit logs with.
//
// A failed check never stops the program: it writes one ERROR line,
// "<unit>:<line> Assert failed: <expression>", and either goes on
// (RT_ASSERTE) or returns from the function (RT_ASSERTE_RETURN...).
#pragma once

#include "RtDefines.h"
#include "RtLog.h"

// Writes the report line; aFile is a path as __FILE__ gives it, reported
// as the unit name (no directory, no extension).
void RtAssertReport(const char* aFile, int aLine, const char* aExpression);

#define RT_ASSERTE(expr)                                 \
    do {                                                 \
        if (!(expr))                                     \
            ::RtAssertReport(__FILE__, __LINE__, #expr); \
    } while (0)

#define RT_ASSERTE_RETURN(expr, rv)                      \
    do {                                                 \
        if (!(expr)) {                                   \
            ::RtAssertReport(__FILE__, __LINE__, #expr); \
            return rv;                                   \
        }                                                \
    } while (0)

#define RT_ASSERTE_RETURN_VOID(expr)                     \
    do {                                                 \
        if (!(expr)) {                                   \
            ::RtAssertReport(__FILE__, __LINE__, #expr); \
            return;                                      \
        }                                                \
    } while (0)

// Composes a message on a stack buffer and hands it to the process log.
// A line of a disabled level or module is not composed at all.
#define RT_LOG_TRACE(level, module, msg)                                         \
    do {                                                                         \
        CRtLog* rtTraceLog_ = CRtLogCenter::GetLog();                            \
        if (rtTraceLog_->IsTraceEnabled(level, module)) {                        \
            char rtTraceBuf_[CRtLog::kRecorderBufferSize];                       \
            CRtLog::CRtLogRecorder rtTraceRec_(rtTraceBuf_, sizeof rtTraceBuf_); \
            rtTraceRec_ << msg;                                                  \
            rtTraceLog_->TraceString(level, module, rtTraceRec_);                \
        }                                                                        \
    } while (0)

#define RT_ERROR_TRACE(msg) RT_LOG_TRACE(RT_LOG_LEVEL_ERROR, 0, msg)
#define RT_WARNING_TRACE(msg) RT_LOG_TRACE(RT_LOG_LEVEL_WARN, 0, msg)
#define RT_INFO_TRACE(msg) RT_LOG_TRACE(RT_LOG_LEVEL_INFO, 0, msg)
#define RT_STATE_TRACE(msg) RT_LOG_TRACE(RT_LOG_LEVEL_STAT, 0, msg)
#define RT_FUNC_TRACE(msg) RT_LOG_TRACE(RT_LOG_LEVEL_FUNC, 0, msg)
#define RT_DEBUG_TRACE(msg) RT_LOG_TRACE(RT_LOG_LEVEL_DEBUG, 0, msg)

#define RT_ERROR_TRACE_THIS(msg) RT_ERROR_TRACE(msg << " this=" << static_cast<const void*>(this))
#define RT_WARNING_TRACE_THIS(msg) RT_WARNING_TRACE(msg << " this=" << static_cast<const void*>(this))
#define RT_INFO_TRACE_THIS(msg) RT_INFO_TRACE(msg << " this=" << static_cast<const void*>(this))
#define RT_STATE_TRACE_THIS(msg) RT_STATE_TRACE(msg << " this=" << static_cast<const void*>(this))
#define RT_DEBUG_TRACE_THIS(msg) RT_DEBUG_TRACE(msg << " this=" << static_cast<const void*>(this))

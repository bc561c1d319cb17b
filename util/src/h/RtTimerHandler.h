// The timer interfaces: a handler that is called back and the queue that
// calls it on its owning thread.
#pragma once

#include "RtError.h"
#include "RtTimeValue.h"

class IRtTimerHandler {
public:
    // aCurTime is when the queue began the current expiry pass; aArg is the
    // argument given to ScheduleTimer.
    virtual void OnTimeout(const CRtTimeValue& aCurTime, void* aArg) = 0;

protected:
    virtual ~IRtTimerHandler() {}
};

class IRtTimerQueue {
public:
    // aCount 0 repeats without end. A queue holds at most one entry per
    // handler: scheduling a scheduled handler gives RT_ERROR_FOUND.
    virtual RtResult ScheduleTimer(IRtTimerHandler* aEh, void* aArg, const CRtTimeValue& aInterval,
                                   unsigned long aCount) = 0;
    virtual RtResult CancelTimer(IRtTimerHandler* aEh) = 0;
    virtual ~IRtTimerQueue() {}
};

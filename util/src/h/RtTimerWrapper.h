// A timer bound to the framework thread that first schedules it. All its
// operations run on that thread.
#pragma once

#include <cstdint>

#include "RtEventQueue.h"
#include "RtTimerHandler.h"

class CRtThread;
class CRtTimerWrapper;

class CRtTimerWrapperSink {
public:
    virtual void OnTimer(CRtTimerWrapper* aId) = 0;

protected:
    virtual ~CRtTimerWrapperSink() {}
};

class CRtTimerWrapper : public IRtTimerHandler {
public:
    CRtTimerWrapper() = default;
    ~CRtTimerWrapper() override;

    CRtTimerWrapper(const CRtTimerWrapper&) = delete;
    CRtTimerWrapper& operator=(const CRtTimerWrapper&) = delete;

    // aCount 0 repeats without end. Reschedules a running timer.
    RtResult Schedule(const CRtTimerWrapperSink* inSink, const CRtTimeValue& aInterval, unsigned long aCount = 0);
    RtResult Cancel();
    bool IsScheduled() const { return bScheduled_; }
    // Cancels and unbinds, so that another thread may schedule it next.
    RtResult DetachThread();
    CRtThread* GetThread() const { return pThread_; }

    void OnTimeout(const CRtTimeValue& aCurTime, void* aArg) override;

private:
    bool bScheduled_ = false;
    CRtThread* pThread_ = nullptr;
    uint32_t nCount_ = 0;
};

// Schedules a wrapper on the thread whose queue runs this event; used to
// move a timer to another thread after DetachThread on the old one.
class CRescheduleTimerThreadChanged : public IRtEvent {
public:
    CRescheduleTimerThreadChanged(CRtTimerWrapper* aTimer, const CRtTimerWrapperSink* aSink,
                                  const CRtTimeValue& aInterval, unsigned long aCount)
        : ptimer_(aTimer), sink_(aSink), interval_(aInterval), count_(aCount) {}

    RtResult OnEventFire() override;

private:
    CRtTimerWrapper* ptimer_;
    const CRtTimerWrapperSink* sink_;
    CRtTimeValue interval_;
    unsigned long count_;
};

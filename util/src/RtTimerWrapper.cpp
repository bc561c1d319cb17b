#include "RtTimerWrapper.h"

#include "RtDebug.h"
#include "RtThread.h"
#include "RtThreadManager.h"

CRtTimerWrapper::~CRtTimerWrapper() { Cancel(); }

RtResult CRtTimerWrapper::Schedule(const CRtTimerWrapperSink* inSink, const CRtTimeValue& aInterval,
                                   unsigned long aCount) {
    RT_ASSERTE(inSink);
    if (!pThread_) {
        RT_ASSERTE(!bScheduled_);
        CRtThreadManager* mgr = CRtThreadManager::Instance();
        CRtThread* current = mgr ? mgr->GetCurrentThread() : nullptr;
        if (!current || !current->GetTimerQueue()) {
            RT_WARNING_TRACE_THIS("CRtTimerWrapper::Schedule, timerQueue is null!");
            return RT_ERROR_NULL_POINTER;
        }
        pThread_ = current;
    }
    if (bScheduled_) {
        RtResult rv = Cancel();
        if (RT_FAILED(rv)) {
            RT_WARNING_TRACE_THIS("CRtTimerWrapper::Schedule, Cancel() failed! rv=" << rv);
            return rv;
        }
    }
    if (!CRtThreadManager::IsEqualCurrentThread(pThread_->GetThreadId())) {
        RT_ERROR_TRACE_THIS("CRtTimerWrapper::Schedule, thread not match! open threadid=" << pThread_->GetThreadId());
        return RT_ERROR_FAILURE;
    }
    IRtTimerQueue* queue = pThread_->GetTimerQueue();
    if (!queue) {
        RT_WARNING_TRACE_THIS("CRtTimerWrapper::Schedule, timerQueue is null!");
        return RT_ERROR_NULL_POINTER;
    }
    bScheduled_ = true;
    nCount_ = static_cast<uint32_t>(aCount);
    RtResult rv = queue->ScheduleTimer(this, const_cast<CRtTimerWrapperSink*>(inSink), aInterval, aCount);
    if (RT_FAILED(rv) && rv != RT_ERROR_FOUND)
        bScheduled_ = false;
    return rv;
}

RtResult CRtTimerWrapper::Cancel() {
    if (!bScheduled_)
        return RT_OK;
    IRtTimerQueue* queue = pThread_ ? pThread_->GetTimerQueue() : nullptr;
    // A stopping thread may still run a timer pass: the entry must go even
    // then, or a wrapper freed after this call could still fire.
    bScheduled_ = false;
    nCount_ = 0;
    if (!queue)
        return pThread_ && pThread_->IsStopped() ? RT_ERROR_NOT_AVAILABLE : RT_OK;
    return queue->CancelTimer(this);
}

RtResult CRtTimerWrapper::DetachThread() {
    RtResult rv = Cancel();
    if (rv == RT_ERROR_TERMINATING)
        return rv;
    pThread_ = nullptr;
    return RT_OK;
}

void CRtTimerWrapper::OnTimeout(const CRtTimeValue&, void* aArg) {
    RT_ASSERTE(bScheduled_);
    if (nCount_ != 0) {
        if (nCount_ == 1)
            bScheduled_ = false;
        --nCount_;
    }
    CRtTimerWrapperSink* pSink = static_cast<CRtTimerWrapperSink*>(aArg);
    RT_ASSERTE_RETURN_VOID(pSink);
    pSink->OnTimer(this);
}

RtResult CRescheduleTimerThreadChanged::OnEventFire() {
    RT_ASSERTE_RETURN(ptimer_, RT_ERROR_INVALID_ARG);
    return ptimer_->Schedule(sink_, interval_, count_);
}

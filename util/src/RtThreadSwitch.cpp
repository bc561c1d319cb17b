#include "RtThreadSwitch.h"

#include <cstdio>

#include "RtDebug.h"
#include "RtThread.h"
#include "RtThreadManager.h"

namespace {
IRtEventQueue* QueueOf(unsigned long aThreadId, const char* aWho) {
    CRtThread* thread = CRtThreadManager::GetThread(static_cast<uint32_t>(aThreadId));
    if (!thread) {
        RT_ERROR_TRACE(aWho << ", thread is not exist, threadid=" << aThreadId);
        return nullptr;
    }
    return thread->GetEventQueue();
}
}  // namespace

RtResult CThreadSwitch::SwitchToThreadSyn(Function::Functor* pFunctor, unsigned long aThreadId) {
    RT_ASSERTE(pFunctor != NULL);
    IRtEventQueue* queue = QueueOf(aThreadId, "CThreadSwitch::SwitchToThreadSyn");
    if (!queue)
        return RT_ERROR_NULL_POINTER;
    return queue->SendEvent(pFunctor);
}

RtResult CThreadSwitch::SwitchToThreadAsyn(Function::Functor* pFunctor, unsigned long aThreadId) {
    RT_ASSERTE(pFunctor != NULL);
    IRtEventQueue* queue = QueueOf(aThreadId, "CThreadSwitch::SwitchToThreadAsyn");
    if (!queue)
        return RT_ERROR_NULL_POINTER;
    return queue->PostEvent(pFunctor, IRtEventQueue::EPRIORITY_NORMAL);
}

CRtSignalStop* CRtSignalStop::Instance() {
    static CRtSignalStop s_instance;
    return &s_instance;
}

RtResult CRtSignalStop::Launch(int aSig, CRtTimeValue* aDelay) {
    m_nSig = aSig;
    CRtThread* main = CRtThreadManager::Instance()->GetMainThread();
    if (aDelay) {
        IRtTimerQueue* queue = main ? main->GetTimerQueue() : nullptr;
        RT_ASSERTE_RETURN(queue, RT_ERROR_NULL_POINTER);
        return queue->ScheduleTimer(this, nullptr, *aDelay, 1);
    }
    printf("receive signal = %d, need to stop!\n", aSig);
    fflush(stdout);
    RT_INFO_TRACE("CRtSignalStop::Launch, receive signal =" << aSig << ", need to stop!");
    if (main) {
        RtResult rv = main->Stop();
        RT_ASSERTE(RT_SUCCEEDED(rv));
    }
    return RT_OK;
}

RtResult CRtSignalStop::OnEventFire() {
    CRtThread* main = CRtThreadManager::Instance()->GetMainThread();
    return main ? main->Stop() : RT_ERROR_NULL_POINTER;
}

void CRtSignalStop::OnTimeout(const CRtTimeValue&, void*) { Launch(m_nSig, nullptr); }

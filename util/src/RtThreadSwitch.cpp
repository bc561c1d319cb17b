#include "RtThreadSwitch.h"

#include <cstdio>

#include "RtDebug.h"
#include "RtThread.h"
#include "RtThreadManager.h"

namespace {

// Disposes of an event no queue took.
RtResult Refuse(IRtEvent* aEvent, const char* aWho) {
    RT_ERROR_TRACE(aWho << ", no thread or no event queue, event disposed of. event="
                        << static_cast<const void*>(aEvent));
    aEvent->OnDestorySelf();
    return RT_ERROR_NULL_POINTER;
}

CRtThread* ThreadOf(unsigned long aThreadId, const char* aWho) {
    CRtThread* thread = CRtThreadManager::GetThread(static_cast<uint32_t>(aThreadId));
    if (!thread)
        RT_ERROR_TRACE(aWho << ", thread is not exist, threadid=" << aThreadId);
    return thread;
}

}  // namespace

RtResult CThreadSwitch::SwitchToThreadSyn(Function::Functor* pFunctor, unsigned long aThreadId) {
    RT_ASSERTE_RETURN(pFunctor, RT_ERROR_INVALID_ARG);
    return SendToThread(ThreadOf(aThreadId, "CThreadSwitch::SwitchToThreadSyn"), pFunctor);
}

RtResult CThreadSwitch::SwitchToThreadAsyn(Function::Functor* pFunctor, unsigned long aThreadId) {
    RT_ASSERTE_RETURN(pFunctor, RT_ERROR_INVALID_ARG);
    return PostToThread(ThreadOf(aThreadId, "CThreadSwitch::SwitchToThreadAsyn"), pFunctor);
}

RtResult CThreadSwitch::SendToThread(CRtThread* aThread, IRtEvent* aEvent) {
    RT_ASSERTE_RETURN(aEvent, RT_ERROR_INVALID_ARG);
    IRtEventQueue* queue = aThread ? aThread->GetEventQueue() : nullptr;
    if (!queue)
        return Refuse(aEvent, "CThreadSwitch::SendToThread");
    return queue->SendEvent(aEvent);
}

RtResult CThreadSwitch::PostToThread(CRtThread* aThread, IRtEvent* aEvent, IRtEventQueue::EPriority aPriority) {
    RT_ASSERTE_RETURN(aEvent, RT_ERROR_INVALID_ARG);
    IRtEventQueue* queue = aThread ? aThread->GetEventQueue() : nullptr;
    if (!queue)
        return Refuse(aEvent, "CThreadSwitch::PostToThread");
    return queue->PostEvent(aEvent, aPriority);
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

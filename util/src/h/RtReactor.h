// The reactor handed out as IRtReactor and its implementation base.
#pragma once

#include "RtReactorInterface.h"

class CRtReactorImp {
public:
    virtual ~CRtReactorImp() {}
    virtual RtResult Open() = 0;
    virtual RtResult RegisterHandler(IRtEventHandler* aEh, IRtEventHandler::MASK aMask) = 0;
    virtual RtResult RemoveHandler(IRtEventHandler* aEh, IRtEventHandler::MASK aMask) = 0;
    virtual RtResult NotifyHandler(IRtEventHandler* aEh, IRtEventHandler::MASK aMask) = 0;
    virtual RtResult RunEventLoop() = 0;
    virtual RtResult StopEventLoop() = 0;
    virtual RtResult Close() = 0;
    virtual RtResult PostEvent(IRtEvent* aEvent, IRtEventQueue::EPriority aPriority) = 0;
    virtual RtResult SendEvent(IRtEvent* aEvent) = 0;
    virtual uint32_t GetPendingEventsCount() = 0;
    virtual RtResult ScheduleTimer(IRtTimerHandler* aEh, void* aArg, const CRtTimeValue& aInterval,
                                   unsigned long aCount) = 0;
    virtual RtResult CancelTimer(IRtTimerHandler* aEh) = 0;
    virtual RtResult ProcessHandleEvent(RT_HANDLE aFd, IRtEventHandler::MASK aMask, RtResult aReason, bool aIsNotify,
                                        bool aDropConnect) = 0;
};

// Owns one implementation and forwards every operation to it.
class CRtReactor : public IRtReactor {
public:
    explicit CRtReactor(CRtReactorImp* aImp) : m_pImp(aImp) {}
    ~CRtReactor() override { delete m_pImp; }

    CRtReactor(const CRtReactor&) = delete;
    CRtReactor& operator=(const CRtReactor&) = delete;

    RtResult PostEvent(IRtEvent* aEvent, EPriority aPriority = EPRIORITY_NORMAL) override {
        return m_pImp->PostEvent(aEvent, aPriority);
    }
    RtResult SendEvent(IRtEvent* aEvent) override { return m_pImp->SendEvent(aEvent); }
    uint32_t GetPendingEventsCount() override { return m_pImp->GetPendingEventsCount(); }
    RtResult Open() override { return m_pImp->Open(); }
    RtResult RegisterHandler(IRtEventHandler* aEh, IRtEventHandler::MASK aMask) override {
        return m_pImp->RegisterHandler(aEh, aMask);
    }
    RtResult RemoveHandler(IRtEventHandler* aEh, IRtEventHandler::MASK aMask) override {
        return m_pImp->RemoveHandler(aEh, aMask);
    }
    RtResult NotifyHandler(IRtEventHandler* aEh, IRtEventHandler::MASK aMask) override {
        return m_pImp->NotifyHandler(aEh, aMask);
    }
    RtResult RunEventLoop() override { return m_pImp->RunEventLoop(); }
    RtResult StopEventLoop() override { return m_pImp->StopEventLoop(); }
    RtResult Close() override { return m_pImp->Close(); }
    RtResult ScheduleTimer(IRtTimerHandler* aEh, void* aArg, const CRtTimeValue& aInterval,
                           unsigned long aCount) override {
        return m_pImp->ScheduleTimer(aEh, aArg, aInterval, aCount);
    }
    RtResult CancelTimer(IRtTimerHandler* aEh) override { return m_pImp->CancelTimer(aEh); }

    CRtReactorImp* GetImp() const { return m_pImp; }

private:
    CRtReactorImp* m_pImp;
};

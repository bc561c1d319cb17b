// A framework thread whose loop is a reactor: the main thread and the
// network threads.
#pragma once

#include "RtReactorInterface.h"
#include "RtThread.h"

class CRtThreadReactor : public CRtThread {
public:
    ~CRtThreadReactor() override;

    // Before Create; the thread owns the reactor from then on.
    RtResult AttachReactor(IRtReactor* aReactor);

    RtResult Create(int aType, const char* aName = nullptr, unsigned long aFlag = TF_JOINABLE) override;
    void OnThreadInit() override;
    void OnThreadRun() override;
    RtResult Stop() override;
    IRtReactor* GetReactor() override { return m_pReactor; }
    IRtEventQueue* GetEventQueue() override { return m_pReactor; }
    IRtTimerQueue* GetTimerQueue() override { return m_pReactor; }

private:
    IRtReactor* m_pReactor = nullptr;
};

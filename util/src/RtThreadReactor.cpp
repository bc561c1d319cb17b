#include "RtThreadReactor.h"

#include "RtDebug.h"
#include "RtThreadManager.h"

CRtThreadReactor::~CRtThreadReactor() { delete m_pReactor; }

RtResult CRtThreadReactor::AttachReactor(IRtReactor* aReactor) {
    RT_ASSERTE_RETURN(!m_pReactor, RT_ERROR_ALREADY_INITIALIZED);
    RT_ASSERTE_RETURN(aReactor, RT_ERROR_INVALID_ARG);
    m_pReactor = aReactor;
    return RT_OK;
}

RtResult CRtThreadReactor::Create(int aType, const char* aName, unsigned long aFlag) {
    RtResult rv = CRtThread::Create(aType, aName, aFlag);
    if (RT_SUCCEEDED(rv) && aType == CRtThreadManager::TT_MAIN) {
        // The main thread is the caller's: its window belongs to it.
        rv = m_pReactor->Open();
        if (RT_FAILED(rv))
            RT_ERROR_TRACE_THIS("CRtThreadReactor::Create, m_pReactor->Open() failed! rv=" << rv);
    }
    return rv;
}

void CRtThreadReactor::OnThreadInit() {
    CRtThread::OnThreadInit();
    RT_ASSERTE_RETURN_VOID(m_pReactor);
    if (m_Type != CRtThreadManager::TT_MAIN) {
        // Opened here so that the window belongs to the thread that runs it.
        RtResult rv = m_pReactor->Open();
        if (RT_FAILED(rv)) {
            RT_ERROR_TRACE_THIS("CRtThreadReactor::OnThreadInit, m_pReactor->Open() failed! rv=" << rv);
            RT_ASSERTE(false);
        }
    }
}

void CRtThreadReactor::OnThreadRun() {
    RT_INFO_TRACE_THIS("CRtThreadReactor::OnThreadRun, Begin.");
    m_pReactor->RunEventLoop();
    m_pReactor->Close();
    RT_INFO_TRACE_THIS("CRtThreadReactor::OnThreadRun, End.");
}

RtResult CRtThreadReactor::Stop() {
    RT_ASSERTE_RETURN(m_pReactor, RT_ERROR_NOT_INITIALIZED);
    m_bStopped = true;
    return m_pReactor->StopEventLoop();
}

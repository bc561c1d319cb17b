#include "RtThread.h"

#include <cerrno>

#include "RtDebug.h"
#include "RtOs.h"
#include "RtOsThread.h"
#include "RtThreadManager.h"

CRtThread::CRtThread() { m_szTsl[0] = '\0'; }

CRtThread::~CRtThread() {
    // A Create still waiting for the start signal must not hang.
    if (m_pEvent4Start) {
        m_pEvent4Start->Signal();
        delete m_pEvent4Start;
        m_pEvent4Start = nullptr;
    }
    if (m_bRegistered) {
        CRtThreadManager::Instance()->UnregisterThread(this);
        m_bRegistered = false;
    }
    delete m_pEventRun;
    if (m_Handle)
        rtos::ThreadClose(m_Handle);
}

RtResult CRtThread::Create(int aType, const char* aName, unsigned long aFlag) {
    RT_DEBUG_TRACE_THIS("CRtThread::Create, inType=" << aType << " inFlag=" << aFlag
                                                     << ", thread name=" << (aName ? aName : ""));
    m_strName = aName;
    if (aType != CRtThreadManager::TT_MAIN && aType != CRtThreadManager::TT_NETWORK &&
        aType != CRtThreadManager::TT_TASK) {
        RT_ERROR_TRACE("CRtThread::Create, wrong thread type! type =" << aType);
        return RT_ERROR_UNEXPECTED;
    }
    m_Type = aType;
    m_Flag = aFlag ? aFlag : static_cast<unsigned long>(TF_JOINABLE);

    if (m_Type == CRtThreadManager::TT_MAIN) {
        m_Tid = CRtThreadManager::GetThreadSelfId();
    } else {
        RT_ASSERTE(!m_pEvent4Start);
        m_pEvent4Start = new CRtEventThread(false, false);
        if (m_Flag & TF_WAIT_FOR_RUN)
            m_pEventRun = new CRtEventThread(true, false);
        m_Handle = rtos::ThreadCreate(&CRtThread::ThreadProc, this);
        if (!m_Handle) {
            delete m_pEvent4Start;
            m_pEvent4Start = nullptr;
            RT_ERROR_TRACE("CRtThread::Create, _beginthreadex() failed! err=" << rtos::LastError());
            return RT_ERROR_UNEXPECTED;
        }
        m_pEvent4Start->Wait(nullptr);
        delete m_pEvent4Start;
        m_pEvent4Start = nullptr;
    }

    RtResult rv = CRtThreadManager::Instance()->RegisterThread(this);
    if (RT_FAILED(rv)) {
        Stop();
        Join();
        return rv;
    }
    m_bRegistered = true;
    return RT_OK;
}

RtResult CRtThread::Stop() {
    RT_ASSERTE(!"CRtThread::Stop");
    return RT_ERROR_NOT_IMPLEMENTED;
}

void CRtThread::OnThreadInit() {
    m_TidOs = rtos::ThreadId();
    if (m_Type != CRtThreadManager::TT_MAIN)
        rtos::ThreadSetName(m_strName.c_str());
}

unsigned CRtThread::ThreadProc(void* aArg) {
    CRtThread* self = static_cast<CRtThread*>(aArg);
    self->m_bFinished = false;
    self->m_Tid = rtos::ThreadId();
    self->OnThreadInit();
    RT_INFO_TRACE("CRtThread::ThreadProc, begin this="
                  << static_cast<const void*>(self) << ", thread type=" << self->m_Type << ", pthread_id="
                  << self->m_Tid.load() << ", tid=" << self->m_TidOs << ", thread_name=" << self->m_strName);
    // Taken before the start signal: Create may delete it and the object
    // may be gone once the signal is out.
    CRtEventThread* runGate = self->m_pEventRun;
    if (!self->m_pEvent4Start) {
        RT_ASSERTE(self->m_pEvent4Start);
        return 0;
    }
    self->m_pEvent4Start->Signal();
    if (runGate)
        runGate->Wait(nullptr);

    self->OnThreadRun();
    self->m_bFinished = true;
    RT_INFO_TRACE("CRtThread::ThreadProc, quit ... this=" << static_cast<const void*>(self) << ", thread type="
                                                          << self->m_Type << ", pthread_id=" << self->m_Tid.load()
                                                          << ", thread_name=" << self->m_strName);
    if (!(self->m_Flag & TF_JOINABLE)) {
        if (self->m_nRelease.fetch_add(1) + 1 == 2)
            delete self;
    }
    return 0;
}

RtResult CRtThread::Join(uint64_t aTimeoutMs) {
    if (CRtThreadManager::IsEqualCurrentThread(m_Tid) && m_Type != CRtThreadManager::TT_MAIN && m_Handle) {
        RT_WARNING_TRACE_THIS("CRtThread::Join, join in the same thread!");
        return RT_ERROR_FAILURE;
    }
    if (!m_Handle)
        return RT_OK;
    RtResult rv = RT_OK;
    switch (rtos::ThreadJoin(m_Handle, aTimeoutMs)) {
    case rtos::WaitResult::kSignaled:
        break;
    case rtos::WaitResult::kTimeout:
        RT_WARNING_TRACE_THIS("CRtThread::Join, WaitForSingleObject() timeout! tid=" << m_Tid.load());
        rtos::ThreadTerminate(m_Handle, 119);
        if (!rtos::ThreadCanTerminate()) {
            RT_ERROR_TRACE_THIS("CRtThread::Join, thread left running, its object is kept. tid=" << m_Tid.load());
            m_bAbandoned = true;
        }
        rv = RT_ERROR_TIMEOUT;
        break;
    default:
        RT_ERROR_TRACE_THIS("CRtThread::Join, WaitForSingleObject() failed! err=" << rtos::LastError()
                                                                                  << " tid=" << m_Tid.load());
        rv = RT_ERROR_FAILURE;
        break;
    }
    rtos::ThreadClose(m_Handle);
    m_Handle = nullptr;
    return rv;
}

RtResult CRtThread::Destory(RtResult aReason) {
    RT_DEBUG_TRACE_THIS("CRtThread::Destory, aReason=" << aReason);
    if (m_bRegistered) {
        RtResult rv = CRtThreadManager::Instance()->UnregisterThread(this);
        RT_ASSERTE(!rv);
        m_bRegistered = false;
    }
    if (m_bAbandoned)
        return RT_OK;
    if (m_Flag & TF_JOINABLE) {
        delete this;
    } else if (m_nRelease.fetch_add(1) + 1 == 2) {
        delete this;
    }
    return RT_OK;
}

void CRtThread::Run() {
    if (m_pEventRun)
        m_pEventRun->Signal();
}

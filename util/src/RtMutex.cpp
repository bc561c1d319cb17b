#include "RtMutex.h"

CRtMutexBase::CRtMutexBase() { rtos::CsInit(&m_Lock); }

CRtMutexBase::~CRtMutexBase() { rtos::CsDestroy(&m_Lock); }

RtResult CRtMutexBase::Lock() {
    rtos::CsEnter(&m_Lock);
    return RT_OK;
}

RtResult CRtMutexBase::UnLock() {
    rtos::CsLeave(&m_Lock);
    return RT_OK;
}

RtResult CRtMutexBase::TryLock() { return rtos::CsTryEnter(&m_Lock) ? RT_OK : RT_ERROR_FAILURE; }

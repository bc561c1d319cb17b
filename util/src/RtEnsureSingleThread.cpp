#include "RtEnsureSingleThread.h"

#include "RtThreadManager.h"

CRtEnsureSingleThread::CRtEnsureSingleThread() : m_ThreadIdOpened(CRtThreadManager::GetThreadSelfId()) {}

CRtEnsureSingleThread::CRtEnsureSingleThread(const CRtString& aName)
    : m_ThreadIdOpened(CRtThreadManager::GetThreadSelfId()), m_strName(aName) {}

void CRtEnsureSingleThread::Reset2CurrentThreadId() { m_ThreadIdOpened = CRtThreadManager::GetThreadSelfId(); }

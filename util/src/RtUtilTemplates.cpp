#include "RtUtilTemplates.h"

CRtCleanUpBase* CRtCleanUpBase::s_pHeader = nullptr;
int CRtCleanUpBase::s_nCount = 0;

static CRtMutexThreadRecursive* SingletonMutex() {
    CRtMutexThreadRecursive* pMutex = nullptr;
    CRtThreadManager::Instance()->GetSingletonMutex(pMutex);
    return pMutex;
}

CRtCleanUpBase::CRtCleanUpBase() {
    CRtMutexThreadRecursive* pMutex = SingletonMutex();
    RT_ASSERTE(pMutex);
    if (pMutex)
        pMutex->Lock();
    ++s_nCount;
    m_pNext = s_pHeader;
    s_pHeader = this;
    RT_DEBUG_TRACE("CRtCleanUpBase ctor, Item: " << s_nCount << ", header: " << static_cast<const void*>(s_pHeader));
    if (pMutex)
        pMutex->UnLock();
}

CRtCleanUpBase::~CRtCleanUpBase() {}

void CRtCleanUpBase::CleanUp() { delete this; }

void CRtCleanUpBase::CleanupAll() {
    CRtMutexThreadRecursive* pMutex = SingletonMutex();
    RT_ASSERTE(pMutex);
    if (pMutex)
        pMutex->Lock();
    while (s_pHeader) {
        RT_DEBUG_TRACE("CRtCleanUpBase::CleanupAll, Item: " << s_nCount
                                                            << ", header: " << static_cast<const void*>(s_pHeader));
        CRtCleanUpBase* next = s_pHeader->m_pNext;
        s_pHeader->CleanUp();
        --s_nCount;
        s_pHeader = next;
    }
    if (pMutex)
        pMutex->UnLock();
}

int CRtCleanUpBase::GetCount() {
    CRtMutexThreadRecursive* pMutex = SingletonMutex();
    if (pMutex)
        pMutex->Lock();
    int count = s_nCount;
    if (pMutex)
        pMutex->UnLock();
    return count;
}

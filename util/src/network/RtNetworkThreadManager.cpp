#include "RtNetworkThreadManager.h"

#include <cstdlib>
#include <vector>

#include "RtConnectionManagerTypes.h"
#include "RtDebug.h"
#include "RtRudpConn.h"
#include "RtThread.h"
#include "RtThreadManager.h"

CRtThreadInfo::CRtThreadInfo(CRtThread* aThread)
    : CRtThreadLoad(aThread),
      m_pIov(new iovec[kIovCount]),
      m_pRecvBuffer(static_cast<char*>(malloc(kRecvBufferSize))),
      m_pRudpPool(new CRtRudpPacketPool),
      m_pRudpFlowControl(new CRtRudpFlowControl) {}

CRtThreadInfo::~CRtThreadInfo() {
    delete m_pRudpFlowControl;
    delete m_pRudpPool;
    delete[] m_pIov;
    free(m_pRecvBuffer);
}

CRtNetworkThreadManager* CRtNetworkThreadManager::Instance() {
    return CRtSingletonT<CRtNetworkThreadManager>::Instance();
}

CRtNetworkThreadManager::CRtNetworkThreadManager() {
    std::vector<CRtThread*> threads;
    CRtThreadManager::Instance()->GetNetworkThreadList(threads);
    RT_ASSERTE(threads.size() > 0);
    for (auto it = threads.begin(); it != threads.end(); ++it) {
        RT_ASSERTE(*it);
        if (!*it)
            continue;
        CRtThreadInfo* info = new CRtThreadInfo(*it);
        info->AddReference();
        m_Threads[(*it)->GetThreadId()] = info;
    }
    RT_INFO_TRACE("CRtNetworkThreadManager, num=" << static_cast<unsigned>(m_Threads.size()));
}

CRtNetworkThreadManager::~CRtNetworkThreadManager() {
    RT_DEBUG_TRACE_THIS("~CRtNetworkThreadManager");
    for (auto& item : m_Threads)
        item.second->ReleaseReference();
    m_Threads.clear();
}

CRtThreadInfo* CRtNetworkThreadManager::GetThreadInfo(uint32_t aThreadId) {
    auto found = m_Threads.find(aThreadId);
    return found == m_Threads.end() ? nullptr : found->second;
}

RtResult CRtNetworkThreadManager::GetThreadLoad(uint32_t aThreadId, int32_t& aLoad) {
    CRtThreadInfo* info = GetThreadInfo(aThreadId);
    if (!info) {
        RT_WARNING_TRACE("CRtNetworkThreadManager::GetThreadLoad, network thread not found! threadid=" << aThreadId);
        return RT_ERROR_NOT_FOUND;
    }
    aLoad = info->m_load;
    return RT_OK;
}

RtResult CRtNetworkThreadManager::IncreaseThreadLoad(uint32_t aThreadId, uint32_t, bool aUdp) {
    CRtThreadInfo* info = GetThreadInfo(aThreadId);
    if (!info) {
        RT_WARNING_TRACE(
            "CRtNetworkThreadManager::IncreaseThreadLoad, network thread not found! threadid=" << aThreadId);
        return RT_ERROR_NOT_FOUND;
    }
    ++info->m_load;
    if (aUdp)
        ++info->m_udpLoad;
    return RT_OK;
}

RtResult CRtNetworkThreadManager::DecreaseThreadLoad(uint32_t aThreadId, uint32_t, bool aUdp) {
    CRtThreadInfo* info = GetThreadInfo(aThreadId);
    if (!info) {
        RT_WARNING_TRACE(
            "CRtNetworkThreadManager::DecreaseThreadLoad, network thread not found! threadid=" << aThreadId);
        return RT_ERROR_NOT_FOUND;
    }
    --info->m_load;
    if (aUdp)
        --info->m_udpLoad;
    auto it = m_Threads.find(aThreadId);
    RT_ASSERTE(it->second->m_load >= 0);
    return RT_OK;
}

CRtThreadInfo* CRtNetworkThreadManager::GetThreadOfLeastLoad() {
    CRtThreadInfo* best = nullptr;
    for (auto& item : m_Threads) {
        if (!best || item.second->m_load < best->m_load)
            best = item.second;
    }
    return best;
}

RtResult CRtNetworkThreadManager::GetThreadByLBStrategy(int aLBStrategy, CRtThread*& aThread) {
    switch (aLBStrategy) {
    case LB_CURRENT_THREAD:
        aThread = CRtThreadManager::Instance()->GetCurrentThread();
        return aThread ? RT_OK : RT_ERROR_NOT_FOUND;
    case LB_LEAST_LOAD: {
        CRtThreadInfo* info = GetThreadOfLeastLoad();
        aThread = info ? info->m_pThread : nullptr;
        return aThread ? RT_OK : RT_ERROR_NOT_FOUND;
    }
    default:
        RT_ASSERTE(false);
        return RT_ERROR_FAILURE;
    }
}

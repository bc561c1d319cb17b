#include "RtDetectionConnector.h"

#include "RtConnectionManager.h"
#include "RtDebug.h"
#include "RtThreadProxy.h"

CRtDetectionConnector::~CRtDetectionConnector() { StopAll_i(); }

RtResult CRtDetectionConnector::AddConnection(uint32_t aType, const CRtInetAddr& aAddr) {
    IRtConnector* base = nullptr;
    RtResult rv = CRtConnectionManager::Instance()->CreateBaseConnector(aType, base);
    if (RT_FAILED(rv))
        return rv;
    CRtAutoPtr<IRtConnector> proxy(new CRtConnectorThreadProxy(aType, TS_SINGLE_THREAD, base));
    base->ReleaseReference();
    m_conn_list.push_back(std::make_unique<CConnectorItem>(this, aType, aAddr, proxy.Get()));
    return RT_OK;
}

RtResult CRtDetectionConnector::AsycConnect(IRtAcceptorConnectorSink* aSink, const CRtInetAddr& aAddrPeer,
                                            CRtTimeValue* aTimeout, CRtInetAddr* aAddrLocal) {
    return Start_i(aSink, &aAddrPeer, aTimeout, 1, aAddrLocal);
}

RtResult CRtDetectionConnector::AsycConnect(IRtAcceptorConnectorSink* aSink, CRtTimeValue* aTimeout, int aMode,
                                            CRtInetAddr* aAddrLocal) {
    return Start_i(aSink, nullptr, aTimeout, aMode, aAddrLocal);
}

RtResult CRtDetectionConnector::Start_i(IRtAcceptorConnectorSink* aSink, const CRtInetAddr* aAddrPeer,
                                        CRtTimeValue* aTimeout, int aMode, CRtInetAddr* aAddrLocal) {
    RT_ASSERTE_RETURN(!m_conn_list.empty(), RT_ERROR_NOT_INITIALIZED);
    RT_ASSERTE_RETURN(aSink, RT_ERROR_INVALID_ARG);
    RT_ASSERTE_RETURN(!m_pSink, RT_ERROR_ALREADY_INITIALIZED);
    m_pSink = aSink;
    m_bHasTarget = aAddrPeer != nullptr;
    m_addrPeer = aAddrPeer ? *aAddrPeer : CRtInetAddr();
    m_bHasTimeout = aTimeout != nullptr;
    m_tvTimeout = aTimeout ? *aTimeout : CRtTimeValue();
    m_bHasLocal = aAddrLocal != nullptr;
    m_addrLocal = aAddrLocal ? *aAddrLocal : CRtInetAddr();
    m_nToStart = m_conn_list.size();
    m_nNext = 0;
    m_nEnded = 0;
    for (auto& item : m_conn_list) {
        item->m_bStarted = false;
        item->m_bEnded = false;
    }
    // The sink may cancel inside an indication that a start causes.
    CRtAutoPtr<CRtDetectionConnector> self(this);
    if (aMode == 1) {
        if (m_conn_list.size() > 1)
            m_Timer.Schedule(this, CRtTimeValue(static_cast<int64_t>(1), 0),
                             static_cast<unsigned long>(m_conn_list.size() - 1));
        StartItem_i(m_nNext++);
    } else {
        while (m_pSink && m_nNext < m_conn_list.size())
            StartItem_i(m_nNext++);
    }
    return RT_OK;
}

void CRtDetectionConnector::StartItem_i(size_t aIndex) {
    CConnectorItem* item = m_conn_list[aIndex].get();
    item->m_bStarted = true;
    --m_nToStart;
    const CRtInetAddr& addr = item->m_addr.GetPort() == 0 && m_bHasTarget ? m_addrPeer : item->m_addr;
    RT_INFO_TRACE_THIS("CRtDetectionConnector::StartItem_i, type="
                       << item->m_dwType << " addr=" << addr.GetIpDisplayName() << " port=" << addr.GetPort());
    RtResult rv = item->m_pConnector->AsycConnect(item, addr, m_bHasTimeout ? &m_tvTimeout : nullptr,
                                                  m_bHasLocal ? &m_addrLocal : nullptr);
    if (RT_FAILED(rv))
        OnItem_i(item, rv, nullptr);
}

void CRtDetectionConnector::OnTimer(CRtTimerWrapper*) {
    if (!m_pSink || m_nNext >= m_conn_list.size())
        return;
    CRtAutoPtr<CRtDetectionConnector> self(this);
    StartItem_i(m_nNext++);
}

void CRtDetectionConnector::OnItem_i(CConnectorItem* aItem, RtResult aReason, IRtTransport* aTrpt) {
    if (aItem->m_bEnded)
        return;
    aItem->m_bEnded = true;
    ++m_nEnded;
    if (!m_pSink) {
        if (aTrpt)
            aTrpt->Disconnect(RT_OK);
        return;
    }
    if (RT_SUCCEEDED(aReason) && aTrpt) {
        RT_INFO_TRACE_THIS("CRtDetectionConnector::OnConnectIndication, winner type=" << aItem->m_dwType);
        CRtAutoPtr<CRtDetectionConnector> self(this);
        CRtAutoPtr<IRtTransport> hold(aTrpt);
        IRtAcceptorConnectorSink* sink = m_pSink;
        StopAll_i();
        sink->OnConnectIndication(RT_OK, aTrpt, this);
        return;
    }
    RT_INFO_TRACE_THIS("CRtDetectionConnector::OnConnectIndication, type=" << aItem->m_dwType
                                                                           << " failed, rv=" << aReason);
    m_nLastReason = RT_SUCCEEDED(aReason) ? RT_ERROR_NETWORK_CONNECT_FAILED : aReason;
    if (m_nEnded < m_conn_list.size())
        return;
    CRtAutoPtr<CRtDetectionConnector> self(this);
    IRtAcceptorConnectorSink* sink = m_pSink;
    StopAll_i();
    sink->OnConnectIndication(m_nLastReason, nullptr, this);
}

void CRtDetectionConnector::StopAll_i() {
    m_Timer.Cancel();
    m_pSink = nullptr;
    for (auto& item : m_conn_list) {
        if (item->m_bStarted && !item->m_bEnded) {
            item->m_bEnded = true;
            item->m_pConnector->CancelConnect(RT_OK);
        }
    }
}

RtResult CRtDetectionConnector::CancelConnect(RtResult) {
    StopAll_i();
    return RT_OK;
}

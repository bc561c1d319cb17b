#include "RtThreadProxy.h"

class CRtEventAsycConnect : public IRtEvent {
public:
    CRtEventAsycConnect(CRtConnectorThreadProxy* aProxy, const CRtInetAddr& aAddrPeer, CRtTimeValue* aTimeout,
                        CRtInetAddr* aAddrLocal)
        : m_threadProxy(aProxy),
          m_addrPeer(aAddrPeer),
          m_bHasTimeout(aTimeout != nullptr),
          m_tvTimeout(aTimeout ? *aTimeout : CRtTimeValue()),
          m_bHasLocal(aAddrLocal != nullptr),
          m_addrLocal(aAddrLocal ? *aAddrLocal : CRtInetAddr()) {}

    RtResult OnEventFire() override {
        CRtConnectorThreadProxy* p = m_threadProxy.Get();
        RT_ASSERTE(CRtThreadManager::IsEqualCurrentThread(p->GetNetworkThread()->GetThreadId()));
        if (p->IsStopped())
            return RT_OK;  // cancelled before it started
        RtResult rv = p->m_pConnector->AsycConnect(p, m_addrPeer, m_bHasTimeout ? &m_tvTimeout : nullptr,
                                                   m_bHasLocal ? &m_addrLocal : nullptr);
        // The caller has long returned: the failure reaches it as an
        // indication, as a connector's own failures do.
        if (RT_FAILED(rv))
            p->OnConnectIndication(rv, nullptr, p->m_pConnector.Get());
        return rv;
    }

private:
    CRtAutoPtr<CRtConnectorThreadProxy> m_threadProxy;
    CRtInetAddr m_addrPeer;
    bool m_bHasTimeout;
    CRtTimeValue m_tvTimeout;
    bool m_bHasLocal;
    CRtInetAddr m_addrLocal;
};

class CRtEventCancelConnect : public IRtEvent {
public:
    CRtEventCancelConnect(CRtConnectorThreadProxy* aProxy, RtResult aReason)
        : m_threadProxy(aProxy), m_reason(aReason) {}

    RtResult OnEventFire() override {
        RT_ASSERTE(CRtThreadManager::IsEqualCurrentThread(m_threadProxy->GetNetworkThread()->GetThreadId()));
        return m_threadProxy->m_pConnector->CancelConnect(m_reason);
    }

private:
    CRtAutoPtr<CRtConnectorThreadProxy> m_threadProxy;
    RtResult m_reason;
};

CRtConnectorThreadProxy::CRtConnectorThreadProxy(unsigned long aType, ThreadStrategy aThreadStrategy,
                                                 IRtConnector* aConnector)
    : m_threadStrategy(aThreadStrategy), m_pConnector(aConnector), m_dwType(aType) {
    RT_ASSERTE(aConnector);
}

CRtConnectorThreadProxy::~CRtConnectorThreadProxy() {
    // Released while connecting: the base connector must forget this sink.
    if (!stoppedflag_.load() && m_pConnector && GetNetworkThread())
        m_pConnector->CancelConnect(RT_OK);
}

void CRtConnectorThreadProxy::OnLastUserRelease() { RT_ASSERTE(stoppedflag_); }

RtResult CRtConnectorThreadProxy::AsycConnect(IRtAcceptorConnectorSink* inSink, const CRtInetAddr& aAddrPeer,
                                              CRtTimeValue* aTimeout, CRtInetAddr* aAddrLocal) {
    RT_ASSERTE_RETURN(inSink, RT_ERROR_INVALID_ARG);
    RT_ASSERTE_RETURN(stoppedflag_, RT_ERROR_ALREADY_INITIALIZED);
    RT_ASSERTE_RETURN(m_pConnector, RT_ERROR_NULL_POINTER);
    CRtThreadManager* mgr = CRtThreadManager::Instance();
    CRtThread* user = mgr->GetCurrentThread();
    RT_ASSERTE_RETURN(user, RT_ERROR_NOT_INITIALIZED);
    m_pSink = inSink;
    stoppedflag_ = false;
    pThreadUser_ = user;
    RtResult rv;
    if (user->GetThreadType() == CRtThreadManager::TT_NETWORK) {
        pThreadNetwork_ = user;
        rv = m_pConnector->AsycConnect(this, aAddrPeer, aTimeout, aAddrLocal);
    } else {
        CRtThread* network = mgr->GetDefaultNetworkThread();
        pThreadNetwork_ = network;
        rv = CThreadSwitch::PostToThread(network, new CRtEventAsycConnect(this, aAddrPeer, aTimeout, aAddrLocal));
    }
    if (RT_FAILED(rv)) {
        stoppedflag_ = true;
        m_pSink = nullptr;
    }
    return rv;
}

RtResult CRtConnectorThreadProxy::CancelConnect(RtResult aReason) {
    if (stoppedflag_.load())
        return RT_OK;
    CRtThread* pThreadUser = GetUserThread();
    uint32_t curThreadId = CRtThreadManager::GetThreadSelfId();
    if (curThreadId != pThreadUser->GetThreadId())
        ::RtAssertReport(__FILE__, __LINE__, "curThreadId==pThreadUser_->GetThreadId()");
    stoppedflag_ = true;
    CRtThread* network = GetNetworkThread();
    if (CRtThreadManager::IsEqualCurrentThread(network->GetThreadId()))
        return m_pConnector->CancelConnect(aReason);
    if (network->IsStopped())
        return RT_OK;
    return CThreadSwitch::PostToThread(network, new CRtEventCancelConnect(this, aReason));
}

void CRtConnectorThreadProxy::OnConnectIndication(RtResult inResult, IRtTransport* inTransport,
                                                  IRtAcceptorConnectorId*) {
    CRtThread* network = GetNetworkThread();
    CRtThread* user = GetUserThread();
    CRtAutoPtr<CRtTransportThreadProxy> proxy;
    if (RT_SUCCEEDED(inResult) && inTransport) {
        proxy = new CRtTransportThreadProxy(inTransport, network, user, m_dwType, m_threadStrategy);
        RtResult rv = inTransport->OpenWithSink(proxy.Get());
        if (RT_FAILED(rv)) {
            inResult = rv;
            proxy = nullptr;
        } else {
            CRtTransportBindThreadParam param;
            param.m_thread = network;
            RtProxyBindTransport(inTransport, param);
        }
    } else if (RT_SUCCEEDED(inResult)) {
        inResult = RT_ERROR_NETWORK_CONNECT_FAILED;
    }
    if (m_threadStrategy == TS_SINGLE_THREAD && user->GetThreadType() != CRtThreadManager::TT_NETWORK) {
        CThreadSwitch::PostToThread(
            user, new CRtEventOnConnectIndicationT<CRtConnectorThreadProxy>(inResult, proxy.Get(), this, user));
        return;
    }
    IRtAcceptorConnectorSink* sink = GetUserSink();
    if (stoppedflag_.exchange(true) || !sink) {
        if (proxy)
            proxy->Disconnect(RT_ERROR_NOT_INITIALIZED);
        return;
    }
    sink->OnConnectIndication(inResult, proxy.Get(), this);
}

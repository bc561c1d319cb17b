#include "RtConditionVariable.h"
#include "RtNetworkThreadManager.h"
#include "RtThreadProxy.h"

class CRtEventStartListen : public IRtEvent {
public:
    CRtEventStartListen(CRtAcceptorThreadProxy* aProxy, const CRtInetAddr& aAddr)
        : m_threadProxy(aProxy), m_addr(aAddr) {}

    RtResult OnEventFire() override {
        RT_ASSERTE(CRtThreadManager::IsEqualCurrentThread(m_threadProxy->GetNetworkThread()->GetThreadId()));
        return m_threadProxy->m_pAcceptor->StartListen(m_threadProxy.Get(), m_addr);
    }

private:
    CRtAutoPtr<CRtAcceptorThreadProxy> m_threadProxy;
    CRtInetAddr m_addr;
};

class CRtEventStopListen : public IRtEvent {
public:
    CRtEventStopListen(CRtAcceptorThreadProxy* aProxy, RtResult aReason) : m_threadProxy(aProxy), m_reason(aReason) {}

    RtResult OnEventFire() override {
        RT_ASSERTE(CRtThreadManager::IsEqualCurrentThread(m_threadProxy->GetNetworkThread()->GetThreadId()));
        return m_threadProxy->m_pAcceptor->StopListen(m_reason);
    }

private:
    CRtAutoPtr<CRtAcceptorThreadProxy> m_threadProxy;
    RtResult m_reason;
};

CRtAcceptorThreadProxy::CRtAcceptorThreadProxy(unsigned long aType, ThreadStrategy aThreadStrategy,
                                               LBStrategy aLBStrategy, IRtAcceptor* aAcceptor)
    : m_dwType(aType),
      m_threadStrategy(aThreadStrategy),
      m_lbStrategy((aType & CTYPE_UDP) ? LB_CURRENT_THREAD : aLBStrategy),
      m_pAcceptor(aAcceptor) {
    RT_ASSERTE(aAcceptor);
}

CRtAcceptorThreadProxy::~CRtAcceptorThreadProxy() {
    // Released while listening: the base acceptor must forget this sink.
    if (!stoppedflag_.load() && m_pAcceptor)
        m_pAcceptor->StopListen(RT_OK);
}

void CRtAcceptorThreadProxy::OnLastUserRelease() { RT_ASSERTE(stoppedflag_); }

RtResult CRtAcceptorThreadProxy::StartListen(IRtAcceptorConnectorSink* inSink, const CRtInetAddr& aAddr) {
    RT_ASSERTE_RETURN(stoppedflag_, RT_ERROR_ALREADY_INITIALIZED);
    RT_ASSERTE_RETURN(inSink, RT_ERROR_INVALID_ARG);
    RT_ASSERTE_RETURN(m_pAcceptor, RT_ERROR_NULL_POINTER);
    CRtThreadManager* mgr = CRtThreadManager::Instance();
    CRtThread* user = mgr->GetCurrentThread();
    RT_ASSERTE_RETURN(user, RT_ERROR_NOT_INITIALIZED);
    m_userThread = user;
    // Set before the base starts: a transport moved to another network
    // thread may be indicated there before this call returns.
    m_pSink = inSink;
    stoppedflag_ = false;
    RtResult rv;
    if (user->GetThreadType() == CRtThreadManager::TT_NETWORK) {
        m_networkThread = user;
        rv = m_pAcceptor->StartListen(this, aAddr);
    } else {
        CRtThread* network = mgr->GetDefaultNetworkThread();
        m_networkThread = network;
        rv = CThreadSwitch::SendToThread(network, new CRtEventStartListen(this, aAddr));
    }
    if (RT_FAILED(rv)) {
        RT_WARNING_TRACE_THIS("CRtAcceptorThreadProxy::StartListen, listen failed. rv=" << rv);
        stoppedflag_ = true;
        m_pSink = nullptr;
        return rv;
    }
    return RT_OK;
}

RtResult CRtAcceptorThreadProxy::StopListen(RtResult aReason) {
    if (stoppedflag_.exchange(true))
        return RT_OK;
    m_pSink = nullptr;
    CRtThread* network = GetNetworkThread();
    if (!network)
        return RT_OK;
    if (CRtThreadManager::IsEqualCurrentThread(network->GetThreadId()))
        return m_pAcceptor->StopListen(aReason);
    if (network->IsStopped())
        return RT_OK;
    return CThreadSwitch::PostToThread(network, new CRtEventStopListen(this, aReason));
}

void CRtAcceptorThreadProxy::OnConnectIndication(RtResult inResult, IRtTransport* inTransport,
                                                 IRtAcceptorConnectorId*) {
    RT_ASSERTE(RT_SUCCEEDED(inResult));
    RT_ASSERTE_RETURN_VOID(inTransport);
    CRtThread* network = GetNetworkThread();
    CRtThread* user = GetUserThread();
    CRtThread* target = network;
    if (m_threadStrategy == TS_MULTI_THREAD && !(m_dwType & CTYPE_UDP)) {
        CRtThread* chosen = nullptr;
        RtResult rv = CRtNetworkThreadManager::Instance()->GetThreadByLBStrategy(m_lbStrategy, chosen);
        RT_ASSERTE(RT_SUCCEEDED(rv));
        if (RT_SUCCEEDED(rv) && chosen)
            target = chosen;
    }

    CRtAutoPtr<CRtTransportThreadProxy> proxy(
        new CRtTransportThreadProxy(inTransport, target, user, m_dwType, m_threadStrategy));
    if (RT_FAILED(inTransport->OpenWithSink(proxy.Get()))) {
        RT_ERROR_TRACE_THIS("CRtAcceptorThreadProxy::OnConnectIndication, inTransport->OpenWithSink failed!");
        return;
    }

    CRtTransportBindThreadParam param;
    param.m_thread = target;
    param.m_load = static_cast<uint32_t>(m_lbStrategy);
    if (m_threadStrategy == TS_SINGLE_THREAD && user->GetThreadType() != CRtThreadManager::TT_NETWORK) {
        CRtEventThread* moved = nullptr;
        if (target != network) {
            moved = new CRtEventThread();
            param.m_pEvent = moved;
        }
        if (RT_FAILED(RtProxyBindTransport(inTransport, param)))
            moved = nullptr;
        CThreadSwitch::PostToThread(
            user, new CRtEventOnConnectIndicationT<CRtAcceptorThreadProxy>(inResult, proxy.Get(), this, user));
        // The target waits on it right after taking the transport over, and
        // frees it.
        if (moved)
            moved->Signal();
        return;
    }
    if (target != network) {
        param.m_events.push_back(
            new CRtEventOnConnectIndicationT<CRtAcceptorThreadProxy>(inResult, proxy.Get(), this, target));
        RtProxyBindTransport(inTransport, param);
        return;
    }
    RtProxyBindTransport(inTransport, param);
    IRtAcceptorConnectorSink* sink = GetUserSink();
    if (IsStopped() || !sink) {
        proxy->Disconnect(RT_ERROR_NOT_INITIALIZED);
        return;
    }
    sink->OnConnectIndication(inResult, proxy.Get(), this);
}

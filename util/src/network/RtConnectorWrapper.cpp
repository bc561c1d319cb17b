#include "RtConnectorWrapper.h"

#include "RtConnectionManagerTypes.h"
#include "RtConnectorProxy.h"
#include "RtConnectorTcp.h"
#include "RtConnectorUdpT.h"
#include "RtDebug.h"
#include "RtSocket.h"
#include "RtTransportTcp.h"
#include "RtTransportUdp.h"

CRtConnectorWrapper::CRtConnectorWrapper() {}

CRtConnectorWrapper::~CRtConnectorWrapper() {
    Close_i();
    delete m_pConnector;
}

RtResult CRtConnectorWrapper::Init(uint32_t aType) {
    RT_ASSERTE_RETURN(!m_pConnector, RT_ERROR_ALREADY_INITIALIZED);
    switch (aType) {
    case CTYPE_TCP:
        m_pConnector = new CRtConnectorTcpT<CRtConnectorWrapper, CRtTransportTcp, CRtSocketStream>(nullptr, *this);
        break;
    case CTYPE_UDP:
        m_pConnector = new CRtConnectorUdpT<CRtConnectorWrapper, CRtTransportUdp, CRtSocketDgram>(this);
        break;
    case CTYPE_PROXY:
        m_pConnector = new CRtConnectorProxyT<CRtConnectorWrapper, CRtTransportTcp, CRtSocketStream>(nullptr, *this);
        break;
    default:
        RT_WARNING_TRACE_THIS("CRtConnectorWrapper::Init, error type=" << aType);
        return RT_ERROR_INVALID_ARG;
    }
    m_dwType = aType;
    return RT_OK;
}

RtResult CRtConnectorWrapper::AsycConnect(IRtAcceptorConnectorSink* aSink, const CRtInetAddr& aAddrPeer,
                                          CRtTimeValue* aTimeout, CRtInetAddr* aAddrLocal) {
    if (!m_bClosed)
        return RT_OK;
    RT_ASSERTE_RETURN(m_pConnector, RT_ERROR_NOT_INITIALIZED);
    RT_ASSERTE_RETURN(aSink, RT_ERROR_INVALID_ARG);
    m_pSink = aSink;
    m_bClosed = false;
    if (m_pConnector->Connect(aAddrPeer, aAddrLocal) == 0) {
        if (aTimeout) {
            m_nTimerReason = RT_ERROR_NETWORK_CONNECT_TIMEOUT;
            m_Timer.Schedule(this, *aTimeout, 1);
        }
        return RT_OK;
    }
    RT_WARNING_TRACE_THIS("CRtConnectorWrapper::AsycConnect, connect failed. addr=" << aAddrPeer.GetIpDisplayName()
                                                                                    << " err=" << RtErrorText(errno));
    // The failure reaches the sink from a timer pass, never from inside this
    // call.
    m_nTimerReason = RT_ERROR_NETWORK_CONNECT_FAILED;
    m_Timer.Schedule(this, CRtTimeValue(), 1);
    return RT_OK;
}

void CRtConnectorWrapper::Close_i() {
    if (m_pConnector)
        m_pConnector->Close(RT_OK);
    m_Timer.Cancel();
    m_bClosed = true;
}

RtResult CRtConnectorWrapper::CancelConnect(RtResult) {
    Close_i();
    m_pSink = nullptr;
    return RT_OK;
}

void CRtConnectorWrapper::OnTimer(CRtTimerWrapper*) {
    RtResult reason = m_nTimerReason;
    IRtAcceptorConnectorSink* sink = m_pSink;
    RT_ASSERTE(m_pSink);
    if (reason == RT_ERROR_NETWORK_CONNECT_FAILED) {
        RT_DEBUG_TRACE_THIS("CRtConnectorWrapper::OnTimeout, connect failed.");
    } else if (reason == RT_ERROR_NETWORK_CONNECT_TIMEOUT) {
        RT_DEBUG_TRACE_THIS("CRtConnectorWrapper::OnTimeout, connect timeout.");
    } else {
        RT_ERROR_TRACE_THIS("CRtConnectorWrapper::OnTimeout, unkown nReason=" << reason);
        RT_ASSERTE(false);
        return;
    }
    Close_i();
    m_pSink = nullptr;
    if (sink)
        sink->OnConnectIndication(reason, nullptr, this);
}

void CRtConnectorWrapper::OnConnectIndication(RtResult aReason, IRtTransport* aTrpt, IRtAcceptorConnectorId*) {
    RT_ASSERTE(m_pConnector);
    IRtAcceptorConnectorSink* sink = m_pSink;
    if (m_bClosed || !sink) {
        if (aTrpt)
            aTrpt->Disconnect(RT_OK);
        return;
    }
    CRtAutoPtr<IRtTransport> hold(aTrpt);
    // Closing drops the time limit; the inner connector has given the
    // transport up already.
    m_Timer.Cancel();
    m_bClosed = true;
    m_pSink = nullptr;
    if (RT_FAILED(aReason) && aTrpt)
        aTrpt->Disconnect(RT_OK);
    sink->OnConnectIndication(aReason, RT_SUCCEEDED(aReason) ? aTrpt : nullptr, this);
    // A sink that did not open the transport dropped it: a UDP peer would
    // otherwise stay in its endpoint.
    if (RT_SUCCEEDED(aReason) && aTrpt && !aTrpt->GetSink())
        aTrpt->Disconnect(RT_OK);
}

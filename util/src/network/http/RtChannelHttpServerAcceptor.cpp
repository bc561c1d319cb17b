#include "RtChannelHttpServer.h"

#include "RtConnectionManager.h"
#include "RtDebug.h"

CRtChannelHttpServerAcceptor::~CRtChannelHttpServerAcceptor() = default;

uint32_t CRtChannelHttpServerAcceptor::AddReference() {
    return CRtReferenceControlT<CRtMutexNullSingleThread>::AddReference();
}

uint32_t CRtChannelHttpServerAcceptor::ReleaseReference() {
    return CRtReferenceControlT<CRtMutexNullSingleThread>::ReleaseReference();
}

RtResult CRtChannelHttpServerAcceptor::StartListen(IRtChannelServerSink* aSink, const CRtInetAddr& aAddr) {
    RT_ASSERTE(!m_pAcceptorTcp);
    RT_ASSERTE_RETURN(aSink, RT_ERROR_INVALID_ARG);
    RT_ASSERTE(!m_pSink);
    m_pSink = aSink;
    m_pAcceptorTcp = nullptr;

    IRtAcceptor* acceptor = nullptr;
    RtResult rv = CRtConnectionManager::Instance()->CreateConnectionServer(CTYPE_TCP, acceptor, TS_SINGLE_THREAD,
                                                                           LB_CURRENT_THREAD);
    if (RT_SUCCEEDED(rv) && acceptor) {
        m_pAcceptorTcp = acceptor;
        acceptor->ReleaseReference();
        rv = m_pAcceptorTcp->StartListen(this, aAddr);
        if (RT_SUCCEEDED(rv))
            return RT_OK;
    } else if (RT_SUCCEEDED(rv)) {
        rv = RT_ERROR_FAILURE;
    }
    StopListen(rv);
    return rv;
}

RtResult CRtChannelHttpServerAcceptor::StopListen(RtResult aReason) {
    m_pSink = nullptr;
    if (!m_pAcceptorTcp)
        return RT_OK;
    CRtAutoPtr<IRtAcceptor> listener(m_pAcceptorTcp);
    m_pAcceptorTcp = nullptr;
    return listener->StopListen(aReason);
}

void CRtChannelHttpServerAcceptor::OnConnectIndication(RtResult aReason, IRtTransport* aTrpt,
                                                       IRtAcceptorConnectorId* aRequestId) {
    RT_ASSERTE(RT_SUCCEEDED(aReason));
    RT_ASSERTE_RETURN_VOID(aTrpt);
    RT_ASSERTE(aRequestId == m_pAcceptorTcp.Get());
    CRtAutoPtr<CRtChannelHttpServer> channel(new CRtChannelHttpServer(aTrpt));
    RT_ASSERTE_RETURN_VOID(m_pSink);
    // A sink that keeps the channel adds its own reference; otherwise the
    // channel goes when this one is released.
    m_pSink->OnServerCreation(channel.Get());
}

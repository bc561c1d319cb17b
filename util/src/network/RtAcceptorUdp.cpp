#include "RtAcceptorUdp.h"

#include "RtDebug.h"
#include "RtUdpEndpoint.h"

CRtAcceptorUdp::~CRtAcceptorUdp() { StopListen(RT_OK); }

RtResult CRtAcceptorUdp::StartListen(IRtAcceptorConnectorSink* aSink, const CRtInetAddr& aAddrListen) {
    if (m_bListening)
        return RT_ERROR_ALREADY_INITIALIZED;
    RT_ASSERTE_RETURN(aSink, RT_ERROR_INVALID_ARG);
    CRtInetAddr bound;
    RtResult rv = CRtUdpEndpointManager::Instance()->StartListen(this, aSink, aAddrListen, m_bMarker, bound);
    if (RT_FAILED(rv))
        return rv;
    m_pSink = aSink;
    m_addrListen = bound;
    m_bListening = true;
    return RT_OK;
}

RtResult CRtAcceptorUdp::StopListen(RtResult) {
    if (!m_bListening)
        return RT_OK;
    m_bListening = false;
    m_pSink = nullptr;
    CRtUdpEndpointManager::Instance()->StopListen(m_addrListen);
    return RT_OK;
}

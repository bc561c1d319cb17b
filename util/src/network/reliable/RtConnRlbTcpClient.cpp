#include "RtConnRlbTcpClient.h"

#include "RtDebug.h"
#include "RtObserver.h"
#include "RtThread.h"
#include "RtThreadProxyBase.h"

namespace {
CRtTimeValue Ms(uint32_t aMs) {
    return CRtTimeValue(static_cast<int64_t>(aMs / 1000), static_cast<int32_t>(aMs % 1000) * 1000);
}
}  // namespace

CRtConnRlbTcpClient::CRtConnRlbTcpClient(uint32_t aType, IRtConnector* aConnector, CRtThread* aThread)
    : CRtConnRlbTcp(aType & kTypeMask, aThread), m_pConnector(aConnector) {
    RT_ASSERTE(aConnector);
}

CRtConnRlbTcpClient::~CRtConnRlbTcpClient() {}

RtResult CRtConnRlbTcpClient::Connect(IRtAcceptorConnectorSink* aRequester, IRtAcceptorConnectorId* aRequestId,
                                      const CRtInetAddr& aAddr, const CRtTimeValue* aTimeout,
                                      const CRtInetAddr* aAddrLocal) {
    RT_ASSERTE_RETURN(m_pConnector, RT_ERROR_NULL_POINTER);
    RT_ASSERTE_RETURN(GetStatus() == CS_UNCONNECTED && !m_bConnecting && !m_bFirstDone, RT_ERROR_INVALID_STATE);
    m_pRequester = aRequester;
    m_pRequestId = aRequestId;
    m_addrPeer = aAddr;
    m_bConnecting = true;
    CRtTimeValue limit = aTimeout ? *aTimeout : CRtTimeValue();
    RtResult rv =
        m_pConnector->AsycConnect(this, aAddr, aTimeout ? &limit : nullptr, const_cast<CRtInetAddr*>(aAddrLocal));
    if (RT_FAILED(rv)) {
        m_bConnecting = false;
        m_pRequester = nullptr;
        return rv;
    }
    // The TCP connection and the handshake share the caller's limit.
    if (aTimeout)
        m_timer.Schedule(this, *aTimeout, 1);
    return RT_OK;
}

void CRtConnRlbTcpClient::CancelConnect(RtResult aReason) {
    m_pRequester = nullptr;
    if (m_bConnecting)
        Close_i(aReason);
}

void CRtConnRlbTcpClient::OnConnectIndication(RtResult aReason, IRtTransport* aTrpt, IRtAcceptorConnectorId*) {
    CRtAutoPtr<CRtConnRlbTcpClient> guard(this);
    const bool first = m_bConnecting && GetStatus() == CS_UNCONNECTED;
    if (!first && GetStatus() != CS_RECONNECTING) {
        // Cancelled or timed out meanwhile.
        if (aTrpt)
            aTrpt->Disconnect(RT_OK);
        return;
    }
    if (RT_SUCCEEDED(aReason) && !aTrpt)
        aReason = RT_ERROR_NETWORK_CONNECT_FAILED;
    if (RT_SUCCEEDED(aReason)) {
        SetStatus(first ? CS_CONNECTED : CS_RECONNECTED);
        aReason = AttachLower(aTrpt);
        if (RT_FAILED(aReason))
            aTrpt->Disconnect(RT_OK);
    }
    if (RT_FAILED(aReason)) {
        if (first) {
            Close_i(aReason);
            ReportToRequester(aReason);
        } else {
            SetStatus(CS_WAIT_RECONNECT);
            ScheduleAttempt();
        }
        return;
    }
    if (first && IsAppKeepAlive())
        m_wIdleTimeout = 25;
    uint32_t keepAlive = m_wIdleTimeout;
    if (RT_FAILED(m_lowerTransport->SetOption(RT_OPT_TRANSPORT_KEEPALIVE, &keepAlive))) {
        m_dwType |= RT_RLBTCP_TYPE_APP_KEEPALIVE;
        RT_WARNING_TRACE_THIS("set system tcp keep alive failed, use app tcp keep alive.");
    }
    CRtRlbTcpPdu req;
    req.type = RT_RLBTCP_PDU_CONN_REQ;
    req.connTypeHigh = static_cast<uint16_t>(m_dwType >> 16);
    req.channel = m_wChannel;
    req.ack = m_wRecvKept;
    req.ticket = m_dwTicket;
    RtResult rv = SendControlNow(req);
    if (RT_FAILED(rv) && rv != RT_ERROR_PARTIAL_DATA)
        OnLowerDisconnect(rv);
}

bool CRtConnRlbTcpClient::AcceptsHandshakeUnit(uint8_t aType) const {
    return aType == RT_RLBTCP_PDU_CONN_RESP && (GetStatus() == CS_CONNECTED || GetStatus() == CS_RECONNECTED);
}

void CRtConnRlbTcpClient::OnRecvConnReq(const CRtRlbTcpPdu&) {
    // Refused by AcceptsHandshakeUnit before it gets here.
    RT_ASSERTE(!"a client never takes a connection request");
}

void CRtConnRlbTcpClient::OnRecvConnResp(const CRtRlbTcpPdu& aPdu) {
    if (aPdu.result != 0) {
        RT_WARNING_TRACE_THIS("CRtConnRlbTcpClient::OnRecvConnResp, handshake failed! channel="
                              << m_wChannel << ", rv=" << aPdu.result << ", status=" << GetStatus());
        Fail_i(static_cast<RtResult>(aPdu.result));
        return;
    }
    const bool reconnect = GetStatus() == CS_RECONNECTED;
    SetStatus(CS_ESTABLISHED);
    m_wChannel = aPdu.channel;
    m_dwTicket = aPdu.ticket;
    m_nAttempts = 0;
    m_attemptTimer.Cancel();
    // The handshake's or the reconnection's limit ends here.
    m_timer.Cancel();
    if (IsAppKeepAlive())
        StartKeepAlive();
    if (!reconnect) {
        m_wPeerAck = aPdu.ack;
        RT_DEBUG_TRACE_THIS("CRtConnRlbTcpClient::OnRecvConnResp, channel=" << m_wChannel << " connType=" << m_dwType
                                                                            << " ticket=" << m_dwTicket);
        m_bConnecting = false;
        m_bFirstDone = true;
        ReportToRequester(RT_OK);
        return;
    }
    RT_DEBUG_TRACE_THIS("CRtConnRlbTcpClient::OnRecvConnResp, reconnecting case, channel="
                        << m_wChannel << " ack=" << aPdu.ack << " ticket=" << m_dwTicket);
    CRtTransportBindThreadParam param;
    param.m_thread = GetBindThread();
    RtProxyBindTransport(m_lowerTransport.Get(), param);
    if (RT_FAILED(ResendFrom(aPdu.ack)))
        OnException(RT_ERROR_NETWORK_INVALID_PDU);
}

void CRtConnRlbTcpClient::OnRecvDisconn() {
    Close_i(RT_ERROR_NETWORK_CONNECTION_CLOSED);
    NotifyDisconnect(RT_ERROR_NETWORK_CONNECTION_CLOSED);
}

void CRtConnRlbTcpClient::OnRecvRtt(uint32_t aValue) {
    // The server's probes are shifted into the upper half.
    if (aValue >= 0x10000) {
        SendRtt(aValue);
        return;
    }
    uint32_t rtt = (GetTickCountEx() - aValue) & 0xFFFF;
    if (m_pObserver)
        m_pObserver->OnObserve("rtt", &rtt);
    if (rtt >= 150) {
        uint32_t last = m_dwLastRttLogged;
        uint32_t diff = rtt > last ? rtt - last : last - rtt;
        if (rtt >= 1001 || diff * 5 > last) {
            m_dwLastRttLogged = rtt;
            RT_WARNING_TRACE_THIS("Poor network quality rtt=" << rtt << " BuffSize=" << m_sendBuffer.GetCurrentSize()
                                                              << ", encoded size=" << m_sendBuffer.GetEncodedSize());
        }
    }
}

void CRtConnRlbTcpClient::OnException(RtResult aReason) { Fail_i(aReason); }

void CRtConnRlbTcpClient::Fail_i(RtResult aReason) {
    const bool first = m_bConnecting;
    Close_i(aReason);
    if (first)
        ReportToRequester(aReason);
    else
        NotifyDisconnect(aReason);
}

void CRtConnRlbTcpClient::OnLowerDisconnect(RtResult aReason) {
    switch (GetStatus()) {
    case CS_ESTABLISHED:
        if (IsReconnectable()) {
            StartReconnect(false, aReason);
            return;
        }
        Close_i(aReason);
        NotifyDisconnect(aReason);
        return;
    case CS_RECONNECTED:
        // This attempt failed; the window is still open.
        DetachLower(false, aReason);
        SetStatus(CS_WAIT_RECONNECT);
        ScheduleAttempt();
        return;
    default:
        Fail_i(aReason);
        return;
    }
}

void CRtConnRlbTcpClient::OnIdleTimeout() {
    if (IsReconnectable()) {
        StartReconnect(true, RT_ERROR_NETWORK_CONNECTION_LOST);
        return;
    }
    RT_WARNING_TRACE_THIS("CRtConnRlbTcpClient::OnTimer, connection idle timeout! time=" << m_wIdleTime);
    Close_i(RT_ERROR_NETWORK_CONNECTION_LOST);
    NotifyDisconnect(RT_ERROR_NETWORK_CONNECTION_LOST);
}

void CRtConnRlbTcpClient::StartReconnect(bool aDisconnect, RtResult aReason) {
    m_timer.Cancel();
    DetachLower(aDisconnect, aReason);
    SetStatus(CS_WAIT_RECONNECT);
    m_nAttempts = 0;
    m_timer.Schedule(this, Ms(kReconnectWindowMs), 1);
    m_attemptTimer.Schedule(this, Ms(kFirstAttemptMs), 1);
}

void CRtConnRlbTcpClient::ScheduleAttempt() {
    m_attemptTimer.Schedule(this, CRtTimeValue(static_cast<int64_t>(m_nAttempts), 0), 1);
}

void CRtConnRlbTcpClient::Attempt_i() {
    if (GetStatus() != CS_WAIT_RECONNECT)
        return;
    RT_INFO_TRACE_THIS("CRtConnRlbTcpClient::OnTimer, reconnecting ... ip=" << m_addrPeer.GetIpDisplayName()
                                                                            << "port=" << m_addrPeer.GetPort());
    SetStatus(CS_RECONNECTING);
    ++m_nAttempts;
    // A finished attempt may still count as running in the connector.
    m_pConnector->CancelConnect(RT_OK);
    CRtTimeValue limit(static_cast<int64_t>(kAttemptLimitSeconds), 0);
    RtResult rv = m_pConnector->AsycConnect(this, m_addrPeer, &limit);
    if (RT_FAILED(rv)) {
        SetStatus(CS_WAIT_RECONNECT);
        ScheduleAttempt();
    }
}

void CRtConnRlbTcpClient::OnOtherTimer(CRtTimerWrapper* aId) {
    CRtAutoPtr<CRtConnRlbTcpClient> guard(this);
    if (aId == &m_attemptTimer) {
        Attempt_i();
        return;
    }
    if (aId != &m_timer)
        return;
    if (m_bConnecting) {
        RT_WARNING_TRACE_THIS("CRtConnRlbTcpClient::OnTimer, connect timeout! status=" << GetStatus());
        Fail_i(RT_ERROR_NETWORK_CONNECT_TIMEOUT);
        return;
    }
    const uint16_t status = GetStatus();
    if (status == CS_WAIT_RECONNECT || status == CS_RECONNECTING || status == CS_RECONNECTED) {
        RT_WARNING_TRACE_THIS("CRtConnRlbTcpClient::OnTimer, reconnecting timeout! status=" << status);
        Close_i(RT_ERROR_NETWORK_RECONNECT_TIMEOUT);
        NotifyDisconnect(RT_ERROR_NETWORK_RECONNECT_TIMEOUT);
    }
}

void CRtConnRlbTcpClient::Close_i(RtResult aReason) {
    const uint16_t status = GetStatus();
    StopTimers();
    m_attemptTimer.Cancel();
    if ((m_bConnecting && status == CS_UNCONNECTED) || status == CS_RECONNECTING)
        m_pConnector->CancelConnect(aReason);
    // A plain close: what was written (a 'C', a last 'D') still reaches
    // the peer before the socket goes.
    DetachLower(true, RT_OK);
    m_bConnecting = false;
    SetStatus(CS_UNCONNECTED);
}

void CRtConnRlbTcpClient::ReportToRequester(RtResult aReason) {
    IRtAcceptorConnectorSink* requester = m_pRequester;
    m_pRequester = nullptr;
    if (requester)
        requester->OnConnectIndication(aReason, RT_SUCCEEDED(aReason) ? this : nullptr, m_pRequestId);
}

RtResult CRtConnRlbTcpClient::Disconnect(RtResult aReason) {
    if (GetStatus() == CS_UNCONNECTED && !m_bConnecting)
        return RT_OK;
    RT_DEBUG_TRACE_THIS("CRtConnRlbTcpClient::Disconnect, reason=" << aReason << " status=" << GetStatus());
    CRtAutoPtr<CRtConnRlbTcpClient> guard(this);
    m_sink = nullptr;
    m_pRequester = nullptr;
    StopTimers();
    SayGoodbye();
    Close_i(aReason);
    return RT_OK;
}

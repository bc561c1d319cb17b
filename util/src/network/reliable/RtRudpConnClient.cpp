#include "RtRudpConn.h"

#include <cstring>

#include "RtDebug.h"
#include "RtOsSocket.h"

CRtRudpConnClient::CRtRudpConnClient(uint32_t aType, IRtConnector* aConnector, CRtThread* aThread)
    : CRtRudpConn(aType, aThread, true), m_pConnector(aConnector) {
    RT_ASSERTE(aConnector);
}

CRtRudpConnClient::~CRtRudpConnClient() {}

RtResult CRtRudpConnClient::Connect(IRtAcceptorConnectorSink* aRequester, IRtAcceptorConnectorId* aRequestId,
                                    const CRtInetAddr& aAddr, const CRtTimeValue* aTimeout,
                                    const CRtInetAddr* aAddrLocal) {
    RT_ASSERTE_RETURN(m_pConnector, RT_ERROR_NULL_POINTER);
    RT_ASSERTE_RETURN(GetState() == RUDP_STATE_INIT && !m_bFinished && !m_lowerTransport, RT_ERROR_INVALID_STATE);
    m_pRequester = aRequester;
    m_pRequestId = aRequestId;
    CRtTimeValue limit = aTimeout ? *aTimeout : CRtTimeValue();
    RtResult rv =
        m_pConnector->AsycConnect(this, aAddr, aTimeout ? &limit : nullptr, const_cast<CRtInetAddr*>(aAddrLocal));
    if (RT_FAILED(rv)) {
        m_pRequester = nullptr;
        return rv;
    }
    if (aTimeout)
        m_LimitTimer.Schedule(this, *aTimeout, 1);
    return RT_OK;
}

void CRtRudpConnClient::CancelConnect(RtResult aReason) {
    m_pRequester = nullptr;
    const uint32_t state = GetState();
    if (state == RUDP_STATE_CONNECTED || state == RUDP_STATE_CLOSED || m_bFinished)
        return;
    CRtAutoPtr<CRtRudpConnClient> hold(this);
    m_SyncTimer.Cancel();
    m_LimitTimer.Cancel();
    if (m_pConnector && !m_lowerTransport)
        m_pConnector->CancelConnect(aReason);
    Fail(aReason, true);
}

void CRtRudpConnClient::CancelHandShake() {
    const uint32_t state = GetState();
    if (state == RUDP_STATE_CONNECTED || state == RUDP_STATE_CLOSED)
        return;
    RT_INFO_TRACE_THIS("CRtRudpConnClient::CancelHandShake, state=" << state);
    Disconnect(RT_OK);
}

void CRtRudpConnClient::OnConnectIndication(RtResult aReason, IRtTransport* aTrpt, IRtAcceptorConnectorId*) {
    CRtAutoPtr<CRtRudpConnClient> hold(this);
    if (m_bFinished || GetState() != RUDP_STATE_INIT || m_lowerTransport) {
        if (aTrpt)
            aTrpt->Disconnect(RT_OK);
        return;
    }
    if (RT_SUCCEEDED(aReason) && !aTrpt)
        aReason = RT_ERROR_NETWORK_CONNECT_FAILED;
    if (RT_SUCCEEDED(aReason)) {
        aReason = AttachLower(aTrpt);
        if (RT_FAILED(aReason))
            aTrpt->Disconnect(RT_OK);
    }
    if (RT_FAILED(aReason)) {
        Fail(aReason);
        return;
    }
    ++m_nSendSyncCount;
    RtResult rv = SendRaw(0x00, 0xFF);
    if (RT_FAILED(rv)) {
        RT_WARNING_TRACE_THIS("CRtRudpConnClient::OnConnectIndication, send sync pdu failed! rv=" << rv);
        Fail(rv);
        return;
    }
    SetState(RUDP_STATE_SYNC_SENT);
    m_SyncTimer.Schedule(this, ScaledTime(1000000), 1);
}

void CRtRudpConnClient::OnTimer(CRtTimerWrapper* aId) {
    CRtAutoPtr<CRtRudpConnClient> hold(this);
    if (aId == &m_LimitTimer) {
        if (GetState() != RUDP_STATE_CONNECTED && GetState() != RUDP_STATE_CLOSED)
            Fail(RT_ERROR_NETWORK_CONNECT_TIMEOUT);
        return;
    }
    if (aId != &m_SyncTimer) {
        CRtRudpConn::OnTimer(aId);
        return;
    }
    if (GetState() != RUDP_STATE_SYNC_SENT)
        return;
    // After the fifth sync the attempt ends, but only once its answer has
    // had a second to come: a lossy path may let no other through.
    if (m_nSendSyncCount >= 5) {
        Fail(RT_ERROR_TIMEOUT);
        return;
    }
    const int mod = m_nSendSyncCount % 5;
    int64_t next = mod ? 5000000LL * mod : 1000000LL;
    ++m_nSendSyncCount;
    RT_WARNING_TRACE_THIS("CRtRudpConnClient::OnTimer, send sync again, m_sendSyncCount=" << m_nSendSyncCount);
    RtResult rv = SendRaw(0x00, 0xFF);
    if (RT_FAILED(rv) && rv != RT_ERROR_PARTIAL_DATA) {
        Fail(rv);
        return;
    }
    if (m_nSendSyncCount >= 5)
        next = 1000000LL;
    m_SyncTimer.Schedule(this, ScaledTime(next), 1);
}

void CRtRudpConnClient::OnRawReceive(const uint8_t* aData, size_t aLen) {
    const uint32_t state = GetState();
    if (state == RUDP_STATE_INIT)
        return;
    if (state == RUDP_STATE_SYNC_SENT) {
        if (aLen != 2) {
            RT_WARNING_TRACE_THIS("CRtRudpConnClient::OnReceive, unexpected datagram before sync! len=" << aLen);
            return;
        }
        if (aData[0] == 0x09 && aData[1] == 0xFF)
            return;
        if (aData[0] != 0x00 || aData[1] != 0xFF) {
            RT_WARNING_TRACE_THIS("CRtRudpConnClient::OnReceive, invalid sync! len=" << aLen);
            Fail(RT_ERROR_NETWORK_INVALID_DATA);
            return;
        }
        RT_INFO_TRACE_THIS("CRtRudpConnClient::OnReceive, receive sync pdu from server.");
        m_SyncTimer.Cancel();
        CRtInetAddr local;
        uint32_t ip = 0;
        uint16_t port = 0;
        if (m_lowerTransport && RT_SUCCEEDED(m_lowerTransport->GetOption(RT_OPT_TRANSPORT_LOCAL_ADDR, &local))) {
            port = local.GetPort();
            if (local.GetType() == rtos::kAfInet && !local.IsAny())  // IPv4 socket address
                memcpy(&ip, local.GetAddrBytes(), 4);
        }
        if (!ip)
            ip = RtGetLocalIP();
        CRtRudpBitStream req;
        req.Write8(1);
        req.Write32(0x12345678);
        // Address bytes in their network order.
        const uint8_t* b = reinterpret_cast<const uint8_t*>(&ip);
        for (int i = 0; i < 4; ++i)
            req.Write8(b[i]);
        req.Write16(port);
        QueueMessage(RUDP_PDU_CONN_REQ, reinterpret_cast<const char*>(req.GetData()), req.GetNumberOfBytesUsed(),
                     RUDP_RELIABLE, 0, 0);
        SetState(RUDP_STATE_CONN_REQ_SENT);
        FlushSend(NowUs());
        RegisterFlowControl();
        return;
    }
    if (aLen > 2) {
        OnReceive_i(aData, aLen);
        return;
    }
    if (aLen == 2 && aData[0] == 0x05 && aData[1] == 0xFF) {
        RT_WARNING_TRACE_THIS("CRtRudpConnClient::OnReceive, get RESET pdu! state=" << state);
        if (state != RUDP_STATE_CLOSED)
            Fail(RT_ERROR_NETWORK_CONNECTION_RESET);
        return;
    }
    RT_WARNING_TRACE_THIS("CRtRudpConnClient::OnReceive, invalid data! state=" << state << " len=" << aLen);
}

void CRtRudpConnClient::HandleConnReqPdu(const CRtRudpPacket& aPacket) {
    RT_WARNING_TRACE_THIS("CRtRudpConnClient::HandleConnReqPdu, state=" << GetState()
                                                                        << " length=" << aPacket.data.size());
}

void CRtRudpConnClient::HandleConnRespPdu(const CRtRudpPacket& aPacket) {
    const uint32_t state = GetState();
    if (state != RUDP_STATE_CONN_REQ_SENT) {
        RT_WARNING_TRACE_THIS("CRtRudpConnClient::HandleConnRespPdu, state=" << state
                                                                             << " length=" << aPacket.data.size());
        return;
    }
    const std::string& d = aPacket.data;
    if (d.size() == 2 && d[0] == 0x01 && d[1] == 0x00) {
        RT_INFO_TRACE_THIS("CRtRudpConnClient::HandleConnRespPdu, handshake successfully.");
        m_LimitTimer.Cancel();
        StartConnTimer();
        SetState(RUDP_STATE_CONNECTED);
        // A reliable packet right away: the server takes it as the proof
        // that its response arrived, even when our acknowledgement of it
        // is lost and our user has nothing to say yet.
        QueueMessage(RUDP_PDU_KEEPALIVE, nullptr, 0, RUDP_RELIABLE, 3, 0);
        IRtAcceptorConnectorSink* requester = m_pRequester;
        IRtAcceptorConnectorId* id = m_pRequestId;
        m_pRequester = nullptr;
        if (requester)
            requester->OnConnectIndication(RT_OK, this, id);
        if (!m_bFinished)
            FlushSend(NowUs());
        return;
    }
    if (d.size() >= 1 && d[0] == 0x01) {
        Fail(RT_ERROR_NETWORK_VERSION_MISMATCH);
        return;
    }
    RT_WARNING_TRACE_THIS("CRtRudpConnClient::HandleConnRespPdu, handshake failed! version="
                          << (d.empty() ? 0u : static_cast<unsigned>(static_cast<uint8_t>(d[0]))));
    Fail(RT_ERROR_NETWORK_HANDSHAKE_FAILED);
}

void CRtRudpConnClient::ReportEnd(RtResult aReason) {
    m_SyncTimer.Cancel();
    m_LimitTimer.Cancel();
    if (m_pRequester) {
        IRtAcceptorConnectorSink* requester = m_pRequester;
        m_pRequester = nullptr;
        requester->OnConnectIndication(aReason, nullptr, m_pRequestId);
        return;
    }
    IRtTransportSink* sink = m_sink;
    m_sink = nullptr;
    if (sink)
        sink->OnDisconnect(aReason, this);
}

void CRtRudpConnClient::OnConnTimerExtra() {
    const int64_t rtt = GetRtt();
    if (GetState() != RUDP_STATE_CONNECTED || rtt < 100)
        return;
    if (rtt > 1000 ||
        (rtt > m_llLastLoggedRtt ? rtt - m_llLastLoggedRtt : m_llLastLoggedRtt - rtt) > m_llLastLoggedRtt / 5) {
        RT_INFO_TRACE("CRtRudpConnClient::OnTimer, rtt=" << rtt << " BuffSize=" << GetBufferedForLog()
                                                         << " this=" << static_cast<const void*>(this));
        m_llLastLoggedRtt = rtt;
    }
}

#include "RtRudpConn.h"

#include <cstring>

#include "RtDebug.h"
#include "RtOsSocket.h"

CRtRudpConnServer::CRtRudpConnServer(IRtConnServerHostT<CRtRudpConnServer>* aHost, ServerList* aServerList,
                                     uint32_t aType, CRtThread* aThread)
    : CRtRudpConn(aType, aThread,
                  (aType & RT_RUDP_TYPE_SERVER_KEEPALIVE) != 0 || (aServerList && aServerList->GetFlag())),
      m_pHost(aHost),
      m_pServerList(aServerList) {
    // Nothing goes to a peer beyond what it sent until it shows it has our
    // response: a forged source address gains no amplifier.
    m_bConfirmed = false;
}

CRtRudpConnServer::~CRtRudpConnServer() {}

void CRtRudpConnServer::OnConnectIndication(RtResult aReason, IRtTransport* aTrpt, IRtAcceptorConnectorId*) {
    CRtAutoPtr<CRtRudpConnServer> hold(this);
    if (RT_SUCCEEDED(aReason) && !aTrpt)
        aReason = RT_ERROR_NETWORK_CONNECT_FAILED;
    if (RT_SUCCEEDED(aReason))
        aReason = AttachLower(aTrpt);
    if (RT_FAILED(aReason)) {
        if (aTrpt)
            aTrpt->Disconnect(RT_OK);
        Fail(aReason);
    }
}

void CRtRudpConnServer::OnRawReceive(const uint8_t* aData, size_t aLen) {
    const uint32_t state = GetState();
    const bool twoBytes = aLen == 2 && aData[1] == 0xFF;
    const bool sync = twoBytes && aData[0] == 0x00;
    const bool reset = twoBytes && aData[0] == 0x05;
    if (reset) {
        RT_WARNING_TRACE_THIS("CRtRudpConnServer::OnReceive, get RESET pdu! state=" << state);
        if (state != RUDP_STATE_CLOSED)
            Fail(RT_ERROR_NETWORK_CONNECTION_RESET);
        return;
    }
    if (state == RUDP_STATE_INIT) {
        if (!sync) {
            RT_WARNING_TRACE_THIS("CRtRudpConnServer::OnReceive, reset connection! state=" << state << " len=" << aLen);
            SendRaw(0x05, 0xFF);
            Fail(RT_ERROR_NETWORK_INVALID_DATA);
            return;
        }
        RtResult rv = SendRaw(0x00, 0xFF);
        if (RT_FAILED(rv)) {
            RT_WARNING_TRACE_THIS("CRtRudpConnServer::OnReceive, send sync pdu failed! rv=" << rv);
            Fail(rv);
            return;
        }
        SetState(RUDP_STATE_SYNC_RCVD);
        // A peer that stops here is let go by the handshake time-out.
        StartConnTimer();
        return;
    }
    if (sync && state == RUDP_STATE_SYNC_RCVD) {
        // Our echo was lost: one echo per sync.
        SendRaw(0x00, 0xFF);
        return;
    }
    if (aLen > 2) {
        OnReceive_i(aData, aLen);
        return;
    }
    RT_WARNING_TRACE_THIS("CRtRudpConnServer::OnReceive, invalid data! state=" << state << " len=" << aLen);
}

void CRtRudpConnServer::HandleConnReqPdu(const CRtRudpPacket& aPacket) {
    const uint32_t state = GetState();
    if (state != RUDP_STATE_SYNC_RCVD) {
        RT_WARNING_TRACE_THIS("CRtRudpConnServer::HandleConnReqPdu, state=" << state
                                                                            << " length=" << aPacket.data.size());
        return;
    }
    CRtRudpBitStream in(reinterpret_cast<const uint8_t*>(aPacket.data.data()), aPacket.data.size());
    uint8_t version = 0;
    uint32_t magic = 0;
    uint8_t ip[4] = {};
    uint16_t port = 0;
    bool ok = aPacket.data.size() == 11 && in.Read8(version) && version == 1 && in.Read32(magic) && magic == 0x12345678;
    for (int i = 0; ok && i < 4; ++i)
        ok = in.Read8(ip[i]);
    ok = ok && in.Read16(port);
    if (!ok) {
        RT_WARNING_TRACE_THIS("CRtRudpConnServer::HandleConnReqPdu, handshake failed!");
        static const char reject[2] = {0x01, 0x35};
        QueueMessage(RUDP_PDU_CONN_RESP, reject, 2, RUDP_UNRELIABLE, 0, 0);
        FlushSend(NowUs());
        Fail(RT_ERROR_NETWORK_HANDSHAKE_FAILED);
        return;
    }
    CRtInetAddr local;
    if (m_lowerTransport)
        m_lowerTransport->GetOption(RT_OPT_TRANSPORT_LOCAL_ADDR, &local);
    CRtInetAddr peer;
    peer.SetIpAddr(rtos::kAfInet, ip);
    RT_INFO_TRACE_THIS("CRtRudpConnServer::HandleConnReqPdu, PeerIP=" << peer.GetIpDisplayName() << " Port=" << port
                                                                      << " LocalIP=" << local.GetIpDisplayName()
                                                                      << " Port=" << local.GetPort());
    static const char accept[2] = {0x01, 0x00};
    QueueMessage(RUDP_PDU_CONN_RESP, accept, 2, RUDP_RELIABLE, 0, 0);
    FlushSend(NowUs());
    if (m_bFinished)
        return;
    RegisterFlowControl();
    StartConnTimer();
    SetState(RUDP_STATE_CONNECTED);
}

void CRtRudpConnServer::HandleConnRespPdu(const CRtRudpPacket& aPacket) {
    RT_WARNING_TRACE_THIS("CRtRudpConnServer::HandleConnRespPdu, state=" << GetState()
                                                                         << " length=" << aPacket.data.size());
}

void CRtRudpConnServer::OnHandshakeConfirmed() {
    if (m_bConfirmed || GetState() != RUDP_STATE_CONNECTED)
        return;
    m_bConfirmed = true;
    m_bHandedOver = true;
    IRtConnServerHostT<CRtRudpConnServer>* host = m_pHost;
    m_pHost = nullptr;
    if (host)
        host->OnServerReady(this);
    else
        Fail(RT_ERROR_NOT_INITIALIZED, true);
}

void CRtRudpConnServer::ReportEnd(RtResult aReason) {
    if (!m_bHandedOver) {
        IRtConnServerHostT<CRtRudpConnServer>* host = m_pHost;
        m_pHost = nullptr;
        if (host)
            host->OnServerGone(this);
        return;
    }
    IRtTransportSink* sink = m_sink;
    m_sink = nullptr;
    if (sink)
        sink->OnDisconnect(aReason, this);
}

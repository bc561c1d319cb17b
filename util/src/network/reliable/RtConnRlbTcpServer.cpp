#include "RtConnRlbTcpServer.h"

#include "RtDebug.h"
#include "RtObserver.h"
#include "RtOs.h"
#include "RtThread.h"
#include "RtThreadManager.h"
#include "RtThreadProxyBase.h"
#include "RtThreadSwitch.h"

namespace {
CRtTimeValue Ms(uint32_t aMs) {
    return CRtTimeValue(static_cast<int64_t>(aMs / 1000), static_cast<int32_t>(aMs % 1000) * 1000);
}

// Tickets guard a session against takeover by whoever can guess them: 32
// bits from the system's random source, never derived from the peer.
uint32_t NewTicket() {
    uint32_t ticket = 0;
    while (ticket == 0) {
        if (!rtos::RandomBytes(&ticket, sizeof ticket)) {
            RT_ERROR_TRACE("CRtConnRlbTcpServer, no random source!");
            return 0;
        }
    }
    return ticket;
}
}  // namespace

CRtConnRlbTcpServer::CRtConnRlbTcpServer(IRtConnServerHostT<CRtConnRlbTcpServer>* aHost, ServerList* aServerList,
                                         uint32_t aType, CRtThread* aThread)
    : CRtConnRlbTcp(aType, aThread), m_pHost(aHost), m_pServerList(aServerList), m_dwAcceptorType(aType) {}

CRtConnRlbTcpServer::~CRtConnRlbTcpServer() { LeaveList(); }

void CRtConnRlbTcpServer::OnReferenceDestory() {
    // Before the deferred delete: a reconnection looking the channel up
    // must not find an object on its way out.
    LeaveList();
    CRtConnRlbTcp::OnReferenceDestory();
}

void CRtConnRlbTcpServer::LeaveList() {
    if (m_pServerList && m_wChannel)
        m_pServerList->Release(m_wChannel, this);
}

void CRtConnRlbTcpServer::OnConnectIndication(RtResult aReason, IRtTransport* aTrpt, IRtAcceptorConnectorId*) {
    CRtAutoPtr<CRtConnRlbTcpServer> guard(this);
    if (RT_SUCCEEDED(aReason) && aTrpt) {
        SetStatus(CS_CONNECTED);
        aReason = AttachLower(aTrpt);
    } else if (RT_SUCCEEDED(aReason)) {
        aReason = RT_ERROR_NETWORK_CONNECT_FAILED;
    }
    if (RT_FAILED(aReason)) {
        if (aTrpt)
            aTrpt->Disconnect(RT_OK);
        Fail_i(aReason);
        return;
    }
    // No valid 'A' in time: the connection goes, as an idle one would.
    m_timer.Schedule(this,
                     CRtTimeValue(static_cast<int64_t>(m_wHandshakeLimit ? m_wHandshakeLimit : m_wIdleTimeout), 0), 1);
}

void CRtConnRlbTcpServer::OnReceive(CRtMessageBlock& aData, IRtTransport* aTrptId) {
    if (m_bHandingOver)
        return;
    CRtConnRlbTcp::OnReceive(aData, aTrptId);
}

void CRtConnRlbTcpServer::OnDisconnect(RtResult aReason, IRtTransport* aTrptId) {
    if (m_bHandingOver) {
        // On the old connection's thread, before its Retrieve runs there.
        if (aTrptId == m_lowerTransport.Get()) {
            m_lowerTransport = nullptr;
            SetStatus(CS_UNCONNECTED);
        }
        return;
    }
    CRtConnRlbTcp::OnDisconnect(aReason, aTrptId);
}

bool CRtConnRlbTcpServer::AcceptsHandshakeUnit(uint8_t aType) const {
    return aType == RT_RLBTCP_PDU_CONN_REQ && GetStatus() == CS_CONNECTED && !m_bHandingOver;
}

RtResult CRtConnRlbTcpServer::SendConnResp(uint32_t aResult) {
    CRtRlbTcpPdu resp;
    resp.type = RT_RLBTCP_PDU_CONN_RESP;
    resp.result = aResult;
    resp.channel = m_wChannel;
    resp.ack = m_wRecvKept;
    resp.ticket = m_dwTicket;
    return SendControlNow(resp);
}

void CRtConnRlbTcpServer::Reject(RtResult aResult) {
    SendConnResp(static_cast<uint32_t>(aResult));
    Fail_i(aResult);
}

void CRtConnRlbTcpServer::StartKeepAliveOrTcp() {
    if (IsAppKeepAlive()) {
        StartKeepAlive();
        return;
    }
    uint32_t keepAlive = m_wIdleTimeout;
    if (m_lowerTransport)
        m_lowerTransport->SetOption(RT_OPT_TRANSPORT_KEEPALIVE, &keepAlive);
}

void CRtConnRlbTcpServer::OnRecvConnReq(const CRtRlbTcpPdu& aPdu) {
    if (GetStatus() != CS_CONNECTED)
        ::RtAssertReport(__FILE__, __LINE__, "m_status==CS_CONNECTED");
    const uint32_t type = (m_dwType & 0xFFFF) | (static_cast<uint32_t>(aPdu.connTypeHigh) << 16);
    if ((type & m_dwAcceptorType) != type) {
        RT_WARNING_TRACE_THIS("CRtConnRlbTcpServer::OnRecvConnReq, invalid connType=" << type);
        Reject(RT_ERROR_NETWORK_HANDSHAKE_FAILED);
        return;
    }
    m_dwType = type;
    if (aPdu.channel == 0) {
        // The ticket is set before the channel is published in the list.
        m_dwTicket = NewTicket();
        if (IsReconnectable()) {
            uint16_t channel = m_pServerList ? m_pServerList->Allocate(this) : 0;
            if (channel == 0) {
                RT_WARNING_TRACE_THIS("CRtConnRlbTcpServer::OnRecvConnReq, too many connections!");
                Reject(RT_ERROR_NETWORK_TOO_MANY_CONNECTIONS);
                return;
            }
            m_wChannel = channel;
        }
        RT_INFO_TRACE_THIS("CRtConnRlbTcpServer::OnRecvConnReq, channel=" << m_wChannel << " connType=" << m_dwType
                                                                          << " ticket=" << m_dwTicket);
        m_wPeerAck = aPdu.ack;
        RtResult rv = SendConnResp(0);
        if (rv == RT_ERROR_NETWORK_SOCKET_ERROR) {
            Fail_i(RT_ERROR_NETWORK_CONNECTION_RESET);
            return;
        }
        SetStatus(CS_ESTABLISHED);
        m_timer.Cancel();
        if (IsAppKeepAlive())
            m_wIdleTimeout = 29;
        StartKeepAliveOrTcp();
        IRtConnServerHostT<CRtConnRlbTcpServer>* host = m_pHost;
        m_pHost = nullptr;
        // Last: the user may move this connection to another thread.
        if (host)
            host->OnServerReady(this);
        return;
    }

    CRtInetAddr peer;
    if (m_lowerTransport)
        m_lowerTransport->GetOption(RT_OPT_TRANSPORT_PEER_ADDR, &peer);
    if (!IsReconnectable()) {
        RT_WARNING_TRACE_THIS("CRtConnRlbTcpServer::OnRecvConnReq, illegal connection ip" << peer.GetIpDisplayName());
        Reject(RT_ERROR_NETWORK_HANDSHAKE_FAILED);
        return;
    }
    CRtAutoPtr<CRtConnRlbTcpServer> old = m_pServerList ? m_pServerList->Find(aPdu.channel) : nullptr;
    if (!old || old.Get() == this) {
        RT_WARNING_TRACE_THIS(
            "CRtConnRlbTcpServer::OnRecvConnReq, reconnect server not found! channel=" << aPdu.channel);
        Reject(RT_ERROR_NETWORK_CONNECTION_RESET);
        return;
    }
    if (old->GetTicket() != aPdu.ticket) {
        RT_WARNING_TRACE_THIS("CRtConnRlbTcpServer::OnRecvConnReq, ticket not match! newticket="
                              << aPdu.ticket << " oldticket=" << old->GetTicket()
                              << " oldserver=" << static_cast<const void*>(old.Get()));
        Reject(RT_ERROR_NETWORK_TICKET_MISMATCH);
        return;
    }
    RT_INFO_TRACE_THIS(
        "CRtConnRlbTcpServer::OnRecvConnReq, reconnect case. server=" << static_cast<const void*>(old.Get()));
    StopTimers();
    m_bHandingOver = true;
    IRtConnServerHostT<CRtConnRlbTcpServer>* host = m_pHost;
    m_pHost = nullptr;
    if (host)
        host->OnServerGone(this);
    CRtThread* oldThread = old->GetBindThread();
    CRtThread* thread = GetBindThread();
    // The transport counts in the load of the thread it goes to.
    CRtTransportBindThreadParam param;
    param.m_thread = oldThread;
    if (oldThread == thread) {
        RT_INFO_TRACE_THIS("CRtConnRlbTcpServer::OnRecvConnReq, reconnect in same thread. server="
                           << static_cast<const void*>(old.Get()));
        RT_ASSERTE(old->GetStatus() != CS_UNCONNECTED);
        RtProxyBindTransport(m_lowerTransport.Get(), param);
        CRtEventRlbTcpServerRetrieve retrieve(this, old.Get(), aPdu.ack);
        retrieve.OnEventFire();
        return;
    }
    // From here on this object belongs to the old one's thread, where its
    // transport is going; the receive loop here stops touching it.
    m_bindThread = oldThread;
    RtProxyBindTransport(m_lowerTransport.Get(), param);
    CThreadSwitch::PostToThread(oldThread, new CRtEventRlbTcpServerRetrieve(this, old.Get(), aPdu.ack));
}

RtResult CRtEventRlbTcpServerRetrieve::OnEventFire() {
    if (m_pNew->GetStatus() == CS_UNCONNECTED) {
        RT_WARNING_TRACE_THIS("CRtEventRlbTcpServerRetrieve::OnEventFire, new server closed! new="
                              << static_cast<const void*>(m_pNew.Get()));
        return RT_OK;
    }
    if (m_pOld->GetStatus() == CS_UNCONNECTED) {
        RT_WARNING_TRACE_THIS("CRtEventRlbTcpServerRetrieve::OnEventFire, old server closed! old="
                              << static_cast<const void*>(m_pOld.Get()));
        m_pNew->Reject(RT_ERROR_NETWORK_CONNECTION_RESET);
        return RT_OK;
    }
    m_pOld->Retrieve(m_pNew.Get(), m_wClientAck);
    return RT_OK;
}

void CRtConnRlbTcpServer::Retrieve(CRtConnRlbTcpServer* aNew, uint16_t aClientAck) {
    CRtAutoPtr<CRtConnRlbTcpServer> guard(this);
    if (GetStatus() == CS_ESTABLISHED) {
        RT_WARNING_TRACE_THIS("CRtConnRlbTcpServer::Retrieve, old server status is OK! transport="
                              << static_cast<const void*>(m_lowerTransport.Get()) << " old="
                              << static_cast<const void*>(this) << " new=" << static_cast<const void*>(aNew));
        DetachLower(true, RT_OK);
    }
    StopTimers();
    CRtAutoPtr<IRtTransport> transport = aNew->m_lowerTransport;
    aNew->m_lowerTransport = nullptr;
    aNew->m_reader.Reset();
    aNew->SetStatus(CS_UNCONNECTED);
    if (!transport || RT_FAILED(AttachLower(transport.Get()))) {
        Close_i(RT_ERROR_NETWORK_CONNECTION_RESET);
        NotifyDisconnect(RT_ERROR_NETWORK_CONNECTION_RESET);
        return;
    }
    if (SendConnResp(0) == RT_ERROR_NETWORK_SOCKET_ERROR) {
        Close_i(RT_ERROR_NETWORK_CONNECTION_RESET);
        NotifyDisconnect(RT_ERROR_NETWORK_CONNECTION_RESET);
        return;
    }
    SetStatus(CS_ESTABLISHED);
    m_reader.Reset();
    m_dwRecvSinceAck = 0;
    StartKeepAliveOrTcp();
    if (RT_FAILED(ResendFrom(aClientAck)))
        OnException(RT_ERROR_NETWORK_INVALID_PDU);
}

void CRtConnRlbTcpServer::OnRecvConnResp(const CRtRlbTcpPdu&) {
    RT_ASSERTE(!"a server never takes a connection response");
}

void CRtConnRlbTcpServer::OnRecvDisconn() {
    Close_i(RT_ERROR_NETWORK_CONNECTION_CLOSED);
    NotifyDisconnect(RT_ERROR_NETWORK_CONNECTION_CLOSED);
}

void CRtConnRlbTcpServer::OnRecvRtt(uint32_t aValue) {
    // The client's probes stay below 65536.
    if (aValue < 0x10000) {
        SendRtt(aValue);
        return;
    }
    uint32_t rtt = (GetTickCountEx() - (aValue >> 16)) & 0xFFFF;
    if (m_pObserver)
        m_pObserver->OnObserve("rtt", &rtt);
}

void CRtConnRlbTcpServer::OnException(RtResult aReason) { Fail_i(aReason); }

void CRtConnRlbTcpServer::Fail_i(RtResult aReason) {
    const bool handshake = GetStatus() == CS_CONNECTED || m_pHost;
    Close_i(aReason);
    if (handshake) {
        IRtConnServerHostT<CRtConnRlbTcpServer>* host = m_pHost;
        m_pHost = nullptr;
        if (host)
            host->OnServerGone(this);
        return;
    }
    NotifyDisconnect(aReason);
}

void CRtConnRlbTcpServer::OnLowerDisconnect(RtResult aReason) {
    if (GetStatus() == CS_ESTABLISHED && IsReconnectable()) {
        m_timer.Cancel();
        DetachLower(false, aReason);
        SetStatus(CS_WAIT_RECONNECT);
        m_timer.Schedule(this, Ms(kWaitReconnectMs), 1);
        return;
    }
    Fail_i(aReason);
}

void CRtConnRlbTcpServer::OnIdleTimeout() {
    RT_WARNING_TRACE_THIS("CRtConnRlbTcpServer::OnTimer, connection idle timeout! time=" << m_wIdleTime);
    Close_i(RT_ERROR_NETWORK_CONNECT_TIMEOUT);
    NotifyDisconnect(RT_ERROR_NETWORK_CONNECT_TIMEOUT);
}

void CRtConnRlbTcpServer::OnOtherTimer(CRtTimerWrapper* aId) {
    if (aId != &m_timer)
        return;
    CRtAutoPtr<CRtConnRlbTcpServer> guard(this);
    if (GetStatus() == CS_WAIT_RECONNECT) {
        RT_WARNING_TRACE_THIS("CRtConnRlbTcpServer::OnTimer, wait reconnecting timeout! status=" << GetStatus());
        Close_i(RT_ERROR_NETWORK_CONNECT_TIMEOUT);
        NotifyDisconnect(RT_ERROR_NETWORK_CONNECT_TIMEOUT);
    } else if (GetStatus() == CS_CONNECTED) {
        RT_WARNING_TRACE_THIS("CRtConnRlbTcpServer::OnTimer, handshake timeout! status=" << GetStatus());
        Fail_i(RT_ERROR_NETWORK_CONNECT_TIMEOUT);
    }
}

void CRtConnRlbTcpServer::Close_i(RtResult) {
    StopTimers();
    DetachLower(true, RT_OK);
    SetStatus(CS_UNCONNECTED);
    LeaveList();
}

RtResult CRtConnRlbTcpServer::Disconnect(RtResult aReason) {
    if (GetStatus() == CS_UNCONNECTED)
        return RT_OK;
    RT_DEBUG_TRACE_THIS("CRtConnRlbTcpServer::Disconnect, reason=" << aReason << " status=" << GetStatus());
    CRtAutoPtr<CRtConnRlbTcpServer> guard(this);
    m_sink = nullptr;
    StopTimers();
    SayGoodbye();
    Close_i(aReason);
    IRtConnServerHostT<CRtConnRlbTcpServer>* host = m_pHost;
    m_pHost = nullptr;
    if (host)
        host->OnServerGone(this);
    return RT_OK;
}

#include "RtConnRlbTcp.h"

#include <algorithm>

#include "RtDebug.h"
#include "RtMessageBlock.h"
#include "RtNetworkThreadManager.h"
#include "RtObserver.h"
#include "RtThread.h"
#include "RtThreadManager.h"
#include "RtTimeValue.h"

namespace {
CRtTimeValue Ms(uint32_t aMs) {
    return CRtTimeValue(static_cast<int64_t>(aMs / 1000), static_cast<int32_t>(aMs % 1000) * 1000);
}

CRtThreadInfo* InfoOf(CRtThread* aThread) {
    return aThread ? CRtNetworkThreadManager::Instance()->GetThreadInfo(aThread->GetThreadId()) : nullptr;
}
}  // namespace

// Resumes a connection on the network thread it was moved to, right after
// its TCP transport registered there.
class CRtEventRlbTcpOnBindThread : public IRtEvent {
public:
    explicit CRtEventRlbTcpOnBindThread(CRtConnRlbTcp* aConn) : m_pConn(aConn) {}

    RtResult OnEventFire() override {
        CRtConnRlbTcp* conn = m_pConn.Get();
        if (conn->GetStatus() != CS_ESTABLISHED) {
            RT_WARNING_TRACE_THIS("CRtEventRlbTcpOnBindThread::OnEventFire, status=" << conn->GetStatus() << " conn="
                                                                                     << static_cast<const void*>(conn));
            return RT_ERROR_INVALID_STATE;
        }
        if (conn->IsAppKeepAlive()) {
            RT_DEBUG_TRACE_THIS("CRtEventRlbTcpOnBindThread::OnEventFire, StartFllowCtrlTimer");
            conn->ScheduleKeepAlive();
        }
        conn->m_writeTimer.Schedule(conn, Ms(CRtConnRlbTcp::kWriteTickMs));
        if (conn->m_dwRecvSinceAck > 0)
            conn->m_ackTimer.Schedule(conn, Ms(CRtConnRlbTcp::kAckDelayMs), 1);
        conn->TrySend();
        // Units that came with the one that led to the move.
        conn->ProcessInput();
        return RT_OK;
    }

private:
    CRtAutoPtr<CRtConnRlbTcp> m_pConn;
};

CRtConnRlbTcp::CRtConnRlbTcp(uint32_t aType, CRtThread* aThread)
    : m_dwType(aType), m_bindThread(aThread), m_pThreadInfo(InfoOf(aThread)), m_sendBuffer(GetTickCountEx()) {}

CRtConnRlbTcp::~CRtConnRlbTcp() {
    // A connection released without a close must not stay the sink of its
    // transport.
    if (m_lowerTransport)
        m_lowerTransport->Disconnect(RT_OK);
}

const char* CRtConnRlbTcp::GetTypeName() const {
    if (m_dwType == 0x60001)
        return "[Package-TCP]";
    if (m_dwType == 0x1E0001 || m_dwType == 0x1A0001)
        return "[Reliable-TCP]";
    return "Unknown";
}

bool CRtConnRlbTcp::OnBindThread() const {
    CRtThread* thread = GetBindThread();
    return thread && CRtThreadManager::IsEqualCurrentThread(thread->GetThreadId());
}

// ---- Sending -------------------------------------------------------------------

RtResult CRtConnRlbTcp::SendData(CRtMessageBlock& aData, bool, bool aDestroy, long, bool aPduFlag) {
    if (!OnBindThread())
        ::RtAssertReport(__FILE__, __LINE__, "CRtThreadManager::IsEqualCurrentThread(m_bindThread->GetThreadId())");
    const uint32_t length = aData.GetChainedLength();
    if (length == 0) {
        RT_WARNING_TRACE_THIS("CRtConnRlbTcp::SendData, data length should not be 0!");
        if (aDestroy)
            aData.DestroyChained();
        return RT_OK;
    }
    if (GetStatus() == CS_UNCONNECTED)
        return RT_ERROR_NOT_AVAILABLE;
    if (m_bRefused)
        return RT_ERROR_PARTIAL_DATA;
    if (m_sendBuffer.IsFull()) {
        m_bRefused = true;
        return RT_ERROR_PARTIAL_DATA;
    }
    CRtMessageBlock* chain = aDestroy ? &aData : aData.DuplicateChained();
    if (!chain)
        return RT_ERROR_OUT_OF_MEMORY;
    m_bDataSent = true;
    uint8_t type = RT_RLBTCP_PDU_DATA;
    if (IsAckMode())
        type = aPduFlag ? RT_RLBTCP_PDU_DATA_KEPT : RT_RLBTCP_PDU_DATA_WITH_ACK;
    m_sendBuffer.Queue(type, chain);
    if (GetStatus() == CS_ESTABLISHED && m_sendBuffer.GetEncodedSize() == 0)
        TrySend();
    return RT_OK;
}

void CRtConnRlbTcp::TrySend() {
    if (!m_lowerTransport)
        return;
    for (;;) {
        // New units are encoded only once the last ones are out, so that
        // each carries the newest ack and the encoded bytes stay bounded.
        if (m_sendBuffer.GetEncodedSize() == 0) {
            if (GetStatus() != CS_ESTABLISHED)
                break;
            if (m_sendBuffer.HasQueued()) {
                if (m_sendBuffer.EncodeQueued(m_wRecvKept)) {
                    m_dwRecvSinceAck = 0;
                    m_bAckDue = false;
                }
            } else if (m_bAckDue) {
                CRtRlbTcpPdu ack;
                ack.type = RT_RLBTCP_PDU_KEEPALIVE;
                ack.ack = m_wRecvKept;
                m_sendBuffer.EncodeControl(ack);
                m_dwRecvSinceAck = 0;
                m_bAckDue = false;
            } else {
                break;
            }
        }
        if (m_sendBuffer.Write(*m_lowerTransport) != RT_OK)
            break;
    }
    NotifySendable();
}

void CRtConnRlbTcp::SayGoodbye() {
    if (GetStatus() != CS_ESTABLISHED)
        return;
    TrySend();
    if (m_sendBuffer.GetEncodedSize() == 0) {
        CRtRlbTcpPdu bye;
        bye.type = RT_RLBTCP_PDU_DISCONN;
        SendControlNow(bye);
    }
}

void CRtConnRlbTcp::NotifySendable() {
    if (!m_bRefused || m_sendBuffer.IsFull())
        return;
    m_bRefused = false;
    if (m_sink)
        m_sink->OnSend(this);
}

void CRtConnRlbTcp::SendAck() {
    if (GetStatus() != CS_ESTABLISHED || !m_lowerTransport)
        return;
    // A queued data unit carries the ack anyway.
    if (IsAckMode() && m_sendBuffer.HasQueued())
        return;
    // One 'D' at most waits behind the encoded bytes, with the newest ack
    // when it goes.
    m_bAckDue = true;
    if (m_sendBuffer.GetEncodedSize() == 0)
        TrySend();
}

void CRtConnRlbTcp::SendRtt(uint32_t aValue) {
    if (GetStatus() != CS_ESTABLISHED || !m_lowerTransport || m_sendBuffer.GetEncodedSize() > 0)
        return;
    CRtRlbTcpPdu probe;
    probe.type = RT_RLBTCP_PDU_RTT;
    probe.probe = aValue;
    SendControlNow(probe);
}

RtResult CRtConnRlbTcp::SendControlNow(const CRtRlbTcpPdu& aPdu) {
    if (!m_lowerTransport)
        return RT_ERROR_NOT_AVAILABLE;
    m_sendBuffer.EncodeControl(aPdu);
    return m_sendBuffer.Write(*m_lowerTransport);
}

RtResult CRtConnRlbTcp::ResendFrom(uint16_t aPeerAck) {
    RtResult rv = m_sendBuffer.Resend(aPeerAck, m_wRecvKept);
    if (RT_FAILED(rv))
        return rv;
    m_wPeerAck = aPeerAck;
    m_dwRecvSinceAck = 0;
    m_bAckDue = false;
    TrySend();
    return RT_OK;
}

// ---- Receiving -----------------------------------------------------------------

void CRtConnRlbTcp::OnReceive(CRtMessageBlock& aData, IRtTransport* aTrptId) {
    if (aTrptId != m_lowerTransport.Get())
        return;
    m_bDataReceived = true;
    if (RT_FAILED(m_reader.Append(aData)))
        return;
    ProcessInput();
}

void CRtConnRlbTcp::ProcessInput() {
    CRtAutoPtr<CRtConnRlbTcp> guard(this);
    CRtThread* thread = GetBindThread();
    for (;;) {
        IRtTransport* lower = m_lowerTransport.Get();
        if (!lower)
            return;
        CRtRlbTcpPdu pdu;
        CRtMessageBlock* payload = nullptr;
        RtResult rv = m_reader.Next(pdu, payload);
        if (rv == RT_ERROR_PARTIAL_DATA)
            return;
        if (RT_FAILED(rv)) {
            RT_ERROR_TRACE_THIS(
                "CRtConnRlbTcp::OnReceive, invalid pdu type=" << static_cast<int>(m_reader.GetBadType()));
            OnException(RT_ERROR_NETWORK_INVALID_PDU);
            return;
        }
        const uint8_t type = pdu.type;
        if (type == RT_RLBTCP_PDU_CONN_REQ || type == RT_RLBTCP_PDU_CONN_RESP) {
            if (!AcceptsHandshakeUnit(type)) {
                RT_WARNING_TRACE_THIS("CRtConnRlbTcp::OnReceive, unexpected handshake pdu type="
                                      << static_cast<int>(type) << " status=" << GetStatus());
                OnException(RT_ERROR_NETWORK_INVALID_PDU);
                return;
            }
            if (type == RT_RLBTCP_PDU_CONN_REQ)
                OnRecvConnReq(pdu);
            else
                OnRecvConnResp(pdu);
        } else if (GetStatus() != CS_ESTABLISHED) {
            if (payload)
                payload->DestroyChained();
            RT_WARNING_TRACE_THIS("CRtConnRlbTcp::OnReceive, pdu before the handshake, type="
                                  << static_cast<int>(type) << " status=" << GetStatus());
            OnException(RT_ERROR_NETWORK_INVALID_PDU);
            return;
        } else if (type == RT_RLBTCP_PDU_DISCONN) {
            OnRecvDisconn();
            return;
        } else if (type == RT_RLBTCP_PDU_KEEPALIVE) {
            if (IsAckMode() && RT_FAILED(m_sendBuffer.ApplyAck(pdu.ack))) {
                OnException(RT_ERROR_NETWORK_INVALID_PDU);
                return;
            }
            m_wPeerAck = pdu.ack;
            NotifySendable();
        } else if (type == RT_RLBTCP_PDU_RTT) {
            OnRecvRtt(pdu.probe);
        } else if (type == RT_RLBTCP_PDU_IDLE_TIMEOUT) {
            SetIdleTimeout(pdu.idleTimeout);
        } else {
            if (type != RT_RLBTCP_PDU_DATA && IsAckMode()) {
                if (RT_FAILED(m_sendBuffer.ApplyAck(pdu.ack))) {
                    if (payload)
                        payload->DestroyChained();
                    OnException(RT_ERROR_NETWORK_INVALID_PDU);
                    return;
                }
                m_wPeerAck = pdu.ack;
            }
            if (type == RT_RLBTCP_PDU_DATA_KEPT) {
                ++m_wRecvKept;
                m_dwRecvSinceAck += pdu.length;
                if (m_dwRecvSinceAck <= kAckBytes) {
                    m_bDataSent = false;
                    if (!m_ackTimer.IsScheduled())
                        m_ackTimer.Schedule(this, Ms(kAckDelayMs), 1);
                } else {
                    SendAck();
                    m_bDataSent = true;
                }
            }
            if (payload) {
                if (m_sink)
                    m_sink->OnReceive(*payload, this);
                else
                    ::RtAssertReport(__FILE__, __LINE__, "m_sink");
                payload->DestroyChained();
            }
            if (type != RT_RLBTCP_PDU_DATA)
                NotifySendable();
        }
        // A hook or the user may have closed the connection, replaced its
        // transport or moved it to another thread, which goes on there.
        if (GetBindThread() != thread)
            return;
    }
}

// ---- The TCP transport's other callbacks ----------------------------------------

void CRtConnRlbTcp::OnSend(IRtTransport* aTrptId) {
    if (aTrptId != m_lowerTransport.Get())
        return;
    TrySend();
}

void CRtConnRlbTcp::OnDisconnect(RtResult aReason, IRtTransport* aTrptId) {
    if (aTrptId != m_lowerTransport.Get())
        return;
    OnLowerDisconnect(aReason);
}

RtResult CRtConnRlbTcp::AttachLower(IRtTransport* aTransport) {
    RT_ASSERTE_RETURN(aTransport, RT_ERROR_INVALID_ARG);
    m_lowerTransport = aTransport;
    RtResult rv = aTransport->OpenWithSink(this);
    if (RT_FAILED(rv)) {
        m_lowerTransport = nullptr;
        return rv;
    }
    m_writeTimer.Schedule(this, Ms(kWriteTickMs));
    return RT_OK;
}

void CRtConnRlbTcp::DetachLower(bool aDisconnect, RtResult aReason) {
    CRtAutoPtr<IRtTransport> lower = m_lowerTransport;
    m_lowerTransport = nullptr;
    if (lower && aDisconnect)
        lower->Disconnect(aReason);
    // Both directions restart at a unit boundary on the next transport.
    m_reader.Reset();
    m_sendBuffer.DropEncoded();
    m_bAckDue = false;
    m_ackTimer.Cancel();
    m_writeTimer.Cancel();
}

void CRtConnRlbTcp::NotifyDisconnect(RtResult aReason) {
    IRtTransportSink* sink = m_sink;
    m_sink = nullptr;
    if (sink)
        sink->OnDisconnect(aReason, this);
}

// ---- Timers ----------------------------------------------------------------------

void CRtConnRlbTcp::StartKeepAlive() {
    m_wIdleTime = 0;
    m_bDataReceived = false;
    ScheduleKeepAlive();
}

void CRtConnRlbTcp::ScheduleKeepAlive() {
    m_timer.Schedule(this, CRtTimeValue(static_cast<int64_t>(m_wKeepAliveInterval), 0));
}

void CRtConnRlbTcp::StopTimers() {
    m_timer.Cancel();
    m_ackTimer.Cancel();
    m_writeTimer.Cancel();
}

void CRtConnRlbTcp::OnTimer(CRtTimerWrapper* aId) {
    CRtAutoPtr<CRtConnRlbTcp> guard(this);
    if (aId == &m_writeTimer) {
        m_sendBuffer.OnTick(GetTickCountEx());
        if (m_sendBuffer.IsHeldBack())
            TrySend();
        return;
    }
    if (aId == &m_ackTimer) {
        if (!m_bDataSent) {
            SendAck();
            m_bDataSent = true;
        }
        return;
    }
    if (aId != &m_timer || GetStatus() != CS_ESTABLISHED) {
        OnOtherTimer(aId);
        return;
    }
    if (m_bDataReceived) {
        m_wIdleTime = 0;
        m_bDataReceived = false;
    } else {
        m_wIdleTime = static_cast<uint16_t>(std::min<uint32_t>(m_wIdleTime + m_wKeepAliveInterval, 0xFFFF));
        if (m_wIdleTime >= m_wIdleTimeout && IsAppKeepAlive()) {
            OnIdleTimeout();
            return;
        }
    }
    if (!m_bRttOff) {
        uint32_t tick = GetTickCountEx();
        SendRtt(IsServerSide() ? (tick << 16) : (tick & 0xFFFF));
    }
    if (m_bDataSent || !IsAppKeepAlive())
        m_bDataSent = false;
    else
        SendAck();
}

// ---- Options ---------------------------------------------------------------------

RtResult CRtConnRlbTcp::SetIdleTimeout(uint16_t aSeconds) {
    // 0 would make every tick an idle timeout, and a third of 1 or 2 s an
    // interval the periodic timer refuses.
    if (aSeconds == 0) {
        RT_WARNING_TRACE_THIS("CRtConnRlbTcp::SetOption, idle timeout 0 ignored.");
        return RT_ERROR_INVALID_ARG;
    }
    m_wIdleTimeout = aSeconds;
    m_wKeepAliveInterval = static_cast<uint16_t>(std::min<uint32_t>(std::max(1, aSeconds / 3), kMaxKeepAliveInterval));
    RT_INFO_TRACE_THIS("CRtConnRlbTcp::SetOption, idle timeout " << m_wIdleTimeout << "s"
                                                                 << ", keep alive " << m_wKeepAliveInterval << "s.");
    if (GetStatus() == CS_ESTABLISHED && IsAppKeepAlive())
        ScheduleKeepAlive();
    return RT_OK;
}

RtResult CRtConnRlbTcp::SetOption(unsigned long aCommand, void* aArg) {
    switch (aCommand) {
    case RT_OPT_CONN_MAX_SEND_BUF: {
        RT_ASSERTE_RETURN(aArg, RT_ERROR_INVALID_ARG);
        RtResult rv = m_sendBuffer.SetLimit(*static_cast<uint32_t*>(aArg));
        NotifySendable();
        return rv;
    }
    case RT_OPT_CONN_KEEPALIVE_INTERVAL: {
        RT_ASSERTE_RETURN(aArg, RT_ERROR_INVALID_ARG);
        uint32_t seconds = *static_cast<uint32_t*>(aArg);
        RT_DEBUG_TRACE_THIS("CRtConnRlbTcp::SetOption, new keepalive interval=" << seconds);
        // A periodic timer needs a period.
        if (seconds == 0)
            return RT_ERROR_INVALID_ARG;
        m_wKeepAliveInterval = static_cast<uint16_t>(std::min<uint32_t>(seconds, 0xFFFF));
        if (GetStatus() == CS_ESTABLISHED && IsAppKeepAlive())
            ScheduleKeepAlive();
        return RT_OK;
    }
    case RT_OPT_CONN_UPLOAD_LIMIT:
        RT_ASSERTE_RETURN(aArg, RT_ERROR_INVALID_ARG);
        m_sendBuffer.GetBandWidthCtrl().SetLimit(*static_cast<uint32_t*>(aArg));
        return RT_OK;
    case RT_OPT_BIND_THREAD:
        RT_ASSERTE_RETURN(aArg, RT_ERROR_INVALID_ARG);
        return BindThread(static_cast<CRtTransportBindThreadParam*>(aArg));
    case RT_OPT_CONN_IDLE_TIMEOUT:
        RT_ASSERTE_RETURN(aArg, RT_ERROR_INVALID_ARG);
        return SetIdleTimeout(*static_cast<uint16_t*>(aArg));
    case RT_OPT_CONN_RTT_TOGGLE:
        m_bRttOff = !m_bRttOff;
        RT_INFO_TRACE("CRtConnRlbTcpClient::SetOption, rtt " << (m_bRttOff ? "disabled." : "enabled."));
        return RT_OK;
    default:
        if (!m_lowerTransport)
            return RT_ERROR_NOT_AVAILABLE;
        return m_lowerTransport->SetOption(aCommand, aArg);
    }
}

RtResult CRtConnRlbTcp::GetOption(unsigned long aCommand, void* aArg) {
    switch (aCommand) {
    case RT_OPT_CONN_MAX_SEND_BUF:
        RT_ASSERTE_RETURN(aArg, RT_ERROR_INVALID_ARG);
        *static_cast<uint32_t*>(aArg) = m_sendBuffer.GetLimit();
        return RT_OK;
    case RT_OPT_CONN_KEEPALIVE_INTERVAL:
        RT_ASSERTE_RETURN(aArg, RT_ERROR_INVALID_ARG);
        *static_cast<uint32_t*>(aArg) = m_wKeepAliveInterval;
        return RT_OK;
    case RT_OPT_CONN_UPLOAD_LIMIT:
        RT_ASSERTE_RETURN(aArg, RT_ERROR_INVALID_ARG);
        *static_cast<uint32_t*>(aArg) = m_sendBuffer.GetBandWidthCtrl().GetRequestedLimit();
        return RT_OK;
    case RT_OPT_CONN_IDLE_TIMEOUT:
        RT_ASSERTE_RETURN(aArg, RT_ERROR_INVALID_ARG);
        *static_cast<uint16_t*>(aArg) = m_wIdleTimeout;
        return RT_OK;
    default:
        if (!m_lowerTransport)
            return RT_ERROR_NOT_AVAILABLE;
        return m_lowerTransport->GetOption(aCommand, aArg);
    }
}

RtResult CRtConnRlbTcp::BindThread(CRtTransportBindThreadParam* aParam) {
    if (GetStatus() != CS_ESTABLISHED) {
        RT_WARNING_TRACE_THIS("CRtConnRlbTcp::SetOption, status is not OK! status=" << GetStatus());
        return RT_ERROR_INVALID_STATE;
    }
    RT_ASSERTE_RETURN(aParam->m_thread, RT_ERROR_INVALID_ARG);
    if (!m_lowerTransport)
        return RT_ERROR_NOT_AVAILABLE;
    CRtThread* old = GetBindThread();
    CRtThread* target = aParam->m_thread;
    if (target == old)
        return m_lowerTransport->SetOption(RT_OPT_BIND_THREAD, aParam);

    // Timers bind to the thread that schedules them: the event below
    // schedules them anew on the target.
    m_timer.DetachThread();
    m_ackTimer.DetachThread();
    m_writeTimer.DetachThread();
    m_pThreadInfo = InfoOf(target);
    m_bindThread = target;
    // Runs on the target once the transport is registered there, with the
    // caller's events.
    CRtEventRlbTcpOnBindThread* resume = new CRtEventRlbTcpOnBindThread(this);
    aParam->m_events.push_back(resume);
    CRtAutoPtr<IRtTransport> lower = m_lowerTransport;
    RtResult rv = lower->SetOption(RT_OPT_BIND_THREAD, aParam);
    if (RT_SUCCEEDED(rv))
        return rv;  // the target may be running this connection already
    auto it = std::find(aParam->m_events.begin(), aParam->m_events.end(), resume);
    if (it != aParam->m_events.end()) {
        aParam->m_events.erase(it);
        resume->OnDestorySelf();
    }
    m_bindThread = old;
    m_pThreadInfo = InfoOf(old);
    if (IsAppKeepAlive())
        ScheduleKeepAlive();
    m_writeTimer.Schedule(this, Ms(kWriteTickMs));
    if (m_dwRecvSinceAck > 0)
        m_ackTimer.Schedule(this, Ms(kAckDelayMs), 1);
    return rv;
}

#include "RtTransportUdp.h"

#include <atomic>
#include <cerrno>

#include "RtDebug.h"
#include "RtNetworkThreadManager.h"
#include "RtThread.h"
#include "RtThreadManager.h"

namespace {
std::atomic<long> s_nLiveUdpTransports{0};
constexpr unsigned long kIovCount = 64;
}  // namespace

long CRtTransportUdp::GetLiveCount() { return s_nLiveUdpTransports.load(); }

CRtTransportUdp::CRtTransportUdp(CRtUdpEndpoint* aEndpoint, const rtos::SocketAddress& aPeer, bool aAccepted)
    : m_pEndpoint(aEndpoint), m_Peer(aPeer), m_bAccepted(aAccepted), m_dwLastRecv(GetTickCountEx()) {
    ++s_nLiveUdpTransports;
    m_addrPeer.SetIpAddr(static_cast<unsigned short>(aPeer.family), aPeer.addr);
    m_addrPeer.SetPortA(aPeer.port);
    RT_DEBUG_TRACE_THIS("CRtTransportUdp, fd=" << static_cast<unsigned long long>(GetHandle()));
}

CRtTransportUdp::~CRtTransportUdp() {
    RT_DEBUG_TRACE_THIS("~CRtTransportUdp");
    Close_i(RT_OK);
    --s_nLiveUdpTransports;
}

RT_HANDLE CRtTransportUdp::GetHandle() const { return m_pEndpoint ? m_pEndpoint->GetHandle() : RT_INVALID_HANDLE; }

bool CRtTransportUdp::SocketOpen() const { return GetHandle() != RT_INVALID_HANDLE; }

RtResult CRtTransportUdp::Close_i(RtResult) {
    if (!m_pEndpoint)
        return RT_OK;
    m_IdleTimer.Cancel();
    if (m_isLoadAdded) {
        m_isLoadAdded = false;
        CRtNetworkThreadManager::Instance()->DecreaseThreadLoad(m_pEndpoint->GetNetworkThread()->GetThreadId(), 0,
                                                                true);
    }
    CRtAutoPtr<CRtUdpEndpoint> endpoint(m_pEndpoint);
    m_pEndpoint = nullptr;
    endpoint->RemoveTransport(this);
    return RT_OK;
}

void CRtTransportUdp::OnDatagram_i(char* aData, unsigned long aLen) {
    m_dwLastRecv = GetTickCountEx();
    m_dwBytesRecv += static_cast<uint32_t>(aLen);
    if (!m_pSink)
        return;
    CRtMessageBlock block(aLen, aData, CRtMessageBlock::DONT_DELETE | CRtMessageBlock::WRITE_LOCKED, aLen);
    m_pSink->OnReceive(block, this);
}

void CRtTransportUdp::OnEndpointError_i(RtResult aReason) {
    // Deletion is deferred to a timer pass: this object outlives the sink's
    // last release inside the callback.
    Close_i(aReason);
    IRtTransportSink* sink = m_pSink;
    m_pSink = nullptr;
    if (sink)
        sink->OnDisconnect(aReason, this);
}

void CRtTransportUdp::OnTimer(CRtTimerWrapper*) {
    if (!m_wIdleTimeout || !m_pEndpoint)
        return;
    if (RtTickDiff(GetTickCountEx(), m_dwLastRecv) < static_cast<uint32_t>(m_wIdleTimeout) * 1000u)
        return;
    RT_INFO_TRACE_THIS("CRtTransportUdp::OnTimer, idle timeout!");
    OnEndpointError_i(RT_ERROR_NETWORK_CONNECT_TIMEOUT);
}

RtResult CRtTransportUdp::SendData(CRtMessageBlock& aData, bool, bool aDestroy, long, bool) {
    if (!SocketOpen()) {
        RT_WARNING_TRACE_THIS(
            "CRtTransportUdp::SendData, socket is invalid. endpoint=" << static_cast<const void*>(m_pEndpoint.Get()));
        return RT_ERROR_NOT_INITIALIZED;
    }
    rtos::IoVec iov[kIovCount];
    unsigned long fillLength = 0;
    const CRtMessageBlock* rest = nullptr;
    unsigned long iovNum = aData.FillIov(iov, kIovCount, fillLength, rest);
    if (iovNum == 0) {
        // Nothing to send: an empty chain is no datagram.
        ::RtAssertReport(__FILE__, __LINE__, "iovNum > 0");
        return RT_ERROR_INVALID_ARG;
    }
    long sent;
    if (rest && rest->GetChainedLength() > 0) {
        // More pieces than one gathered send takes: the datagram still goes
        // out whole, from one flat copy.
        CRtString flat = aData.FlattenChained();
        fillLength = static_cast<unsigned long>(flat.size());
        sent = rtos::SocketSendTo(GetHandle(), flat.data(), flat.size(), m_Peer);
    } else {
        sent = rtos::SocketSendToV(GetHandle(), iov, iovNum, m_Peer);
    }
    if (sent < 0) {
        int err = rtos::LastSocketError();
        if (RtIsWouldBlock(err))
            return RT_ERROR_PARTIAL_DATA;
        RT_WARNING_TRACE_THIS("CRtTransportUdp::SendData, SendVTo() failed! fillLen="
                              << fillLength << " iovNum=" << iovNum << " errno=" << RtErrorText(err)
                              << " addr=" << m_addrPeer.GetIpDisplayName() << " port=" << m_addrPeer.GetPort());
        return RT_ERROR_NETWORK_SOCKET_ERROR;
    }
    m_dwBytesSent += static_cast<uint32_t>(fillLength);
    if (aDestroy)
        aData.DestroyChained();
    return RT_OK;
}

RtResult CRtTransportUdp::SetIdleTimeout(uint16_t aSeconds) {
    m_wIdleTimeout = aSeconds;
    if (aSeconds == 0)
        return m_IdleTimer.Cancel();
    return m_IdleTimer.Schedule(this, CRtTimeValue(static_cast<long>(aSeconds), 0));
}

RtResult CRtTransportUdp::BindThread(CRtTransportBindThreadParam* aParam) {
    RT_ASSERTE_RETURN(aParam, RT_ERROR_INVALID_ARG);
    if (!m_pEndpoint)
        return RT_ERROR_NOT_AVAILABLE;
    CRtThread* thread = m_pEndpoint->GetNetworkThread();
    if (!CRtThreadManager::IsEqualCurrentThread(thread->GetThreadId())) {
        ::RtAssertReport(__FILE__, __LINE__,
                         "CRtThreadManager::IsEqualCurrentThread( m_endpoint->GetNetworkThread()->GetThreadId())");
        return RT_ERROR_UNEXPECTED;
    }
    if (thread != aParam->m_thread) {
        ::RtAssertReport(__FILE__, __LINE__, "m_endpoint->GetNetworkThread()==optParam->m_thread");
        return RT_ERROR_UNEXPECTED;
    }
    if (m_isLoadAdded) {
        ::RtAssertReport(__FILE__, __LINE__, "!m_isLoadAdded");
        return RT_OK;
    }
    RtResult rv = CRtNetworkThreadManager::Instance()->IncreaseThreadLoad(thread->GetThreadId(), aParam->m_load, true);
    if (RT_FAILED(rv)) {
        RT_ERROR_TRACE_THIS("CRtTransportUdp::SetOption, RT_OPT_BIND_THREAD, IncreaseThreadLoad failed! threadid="
                            << thread->GetThreadId());
        return rv;
    }
    m_isLoadAdded = true;
    return RT_OK;
}

RtResult CRtTransportUdp::SetOption(unsigned long aCommand, void* aArg) {
    RT_ASSERTE_RETURN(aArg, RT_ERROR_INVALID_ARG);
    switch (aCommand) {
    case RT_OPT_TRANSPORT_RCV_BUF_LEN:
    case RT_OPT_TRANSPORT_SND_BUF_LEN: {
        if (!m_pEndpoint)
            return RT_ERROR_NOT_INITIALIZED;
        bool rcv = aCommand == RT_OPT_TRANSPORT_RCV_BUF_LEN;
        int value = static_cast<int>(*static_cast<uint32_t*>(aArg));
        if (m_pEndpoint->GetSocket().SetOption(rtos::kSolSocket, rcv ? rtos::kSoRcvBuf : rtos::kSoSndBuf, &value,
                                               sizeof value) != 0) {
            if (rcv)
                RT_WARNING_TRACE_THIS("CRtTransportUdp::SetOption, SetOption(SO_RCVBUF) failed! err=" << errno);
            else
                RT_WARNING_TRACE_THIS("CRtTransportUdp::SetOption, SetOption(SO_SNDBUF) failed! err=" << errno);
            return RT_ERROR_NETWORK_SOCKET_ERROR;
        }
        return RT_OK;
    }
    case RT_OPT_TRANSPORT_TOS:
        if (!m_pEndpoint)
            return RT_ERROR_NOT_INITIALIZED;
        return SetTos2Socket(m_pEndpoint->GetSocket(), static_cast<const int*>(aArg));
    case RT_OPT_BIND_THREAD:
        return BindThread(static_cast<CRtTransportBindThreadParam*>(aArg));
    case RT_OPT_TRANSPORT_UDP_IDLE_TIMEOUT:
        return SetIdleTimeout(*static_cast<uint16_t*>(aArg));
    default:
        RT_WARNING_TRACE_THIS("CRtTransportUdp::SetOption, unknow aCommand=" << aCommand << " aArg=" << aArg);
        return RT_ERROR_INVALID_ARG;
    }
}

RtResult CRtTransportUdp::GetOption(unsigned long aCommand, void* aArg) {
    RT_ASSERTE_RETURN(aArg, RT_ERROR_INVALID_ARG);
    switch (aCommand) {
    case RT_OPT_TRANSPORT_FIO_NREAD:
        if (!m_pEndpoint || m_pEndpoint->GetSocket().Control(rtos::kFionread, aArg) != 0) {
            RT_WARNING_TRACE_THIS("CRtTransportUdp::GetOption, (RT_OPT_TRANSPORT_FIO_NREAD) failed! err=" << errno);
            return RT_ERROR_NETWORK_SOCKET_ERROR;
        }
        return RT_OK;
    case RT_OPT_TRANSPORT_FD:
        *static_cast<RT_HANDLE*>(aArg) = GetHandle();
        return RT_OK;
    case RT_OPT_TRANSPORT_LOCAL_ADDR:
        if (!m_pEndpoint)
            return RT_ERROR_NOT_INITIALIZED;
        *static_cast<CRtInetAddr*>(aArg) = m_pEndpoint->GetLocalAddr();
        return RT_OK;
    case RT_OPT_TRANSPORT_PEER_ADDR:
        *static_cast<CRtInetAddr*>(aArg) = m_addrPeer;
        return RT_OK;
    case RT_OPT_TRANSPORT_SOCK_ALIVE:
        *static_cast<char*>(aArg) = SocketOpen() ? 1 : 0;
        return SocketOpen() ? RT_OK : RT_ERROR_NOT_INITIALIZED;
    case RT_OPT_TRANSPORT_TRAN_TYPE:
        *static_cast<uint32_t*>(aArg) = 2;
        return RT_OK;
    case RT_OPT_TRANSPORT_RCV_BUF_LEN:
    case RT_OPT_TRANSPORT_SND_BUF_LEN: {
        bool rcv = aCommand == RT_OPT_TRANSPORT_RCV_BUF_LEN;
        int value = 0;
        int len = sizeof value;
        if (!m_pEndpoint || m_pEndpoint->GetSocket().GetOption(
                                rtos::kSolSocket, rcv ? rtos::kSoRcvBuf : rtos::kSoSndBuf, &value, &len) != 0) {
            if (rcv)
                RT_WARNING_TRACE_THIS("CRtTransportUdp::GetOption, GetOption(SO_RCVBUF) failed! fd="
                                      << static_cast<unsigned long long>(GetHandle()));
            else
                RT_WARNING_TRACE_THIS("CRtTransportUdp::GetOption, GetOption(SO_SNDBUF) failed! fd="
                                      << static_cast<unsigned long long>(GetHandle()));
            return RT_ERROR_NETWORK_SOCKET_ERROR;
        }
        *static_cast<uint32_t*>(aArg) = static_cast<uint32_t>(value);
        return RT_OK;
    }
    case RT_OPT_BIND_THREAD:
        *static_cast<uint32_t*>(aArg) = m_pEndpoint ? m_pEndpoint->GetNetworkThread()->GetThreadId() : 0;
        return RT_OK;
    case RT_OPT_TRANSPORT_UDP_IDLE_TIMEOUT:
        *static_cast<uint16_t*>(aArg) = m_wIdleTimeout;
        return RT_OK;
    default:
        return CRtTransportBase::GetOption(aCommand, aArg);
    }
}

#include "RtTransportTcp.h"

#include <atomic>
#include <cerrno>
#include <mutex>

#include "RtDebug.h"
#include "RtErrnoGuard.h"
#include "RtNetworkThreadManager.h"
#include "RtThread.h"
#include "RtThreadManager.h"
#include "RtThreadSwitch.h"

// ---- CRtTransportBase ------------------------------------------------------------

CRtTransportBase::CRtTransportBase() : m_tickCreated(GetTickCountEx()), m_tickLast(m_tickCreated) {}

CRtTransportBase::~CRtTransportBase() {}

RtResult CRtTransportBase::OpenWithSink(IRtTransportSink* aSink) {
    RT_ASSERTE_RETURN(aSink, RT_ERROR_INVALID_ARG);
    IRtTransportSink* old = m_pSink;
    m_pSink = aSink;
    if (old)
        return RT_OK;  // re-opening only swaps the sink
    RtResult rv = Open_i();
    if (RT_FAILED(rv)) {
        Close_i(RT_OK);
        m_pSink = nullptr;
    }
    return rv;
}

RtResult CRtTransportBase::GetOption(unsigned long aCommand, void* aArg) {
    switch (aCommand) {
        case RT_OPT_TRANSPORT_RCV_BYTES:
            *static_cast<uint32_t*>(aArg) = m_dwBytesRecv;
            m_dwBytesRecv = 0;
            return RT_OK;
        case RT_OPT_TRANSPORT_SND_BYTES:
            *static_cast<uint32_t*>(aArg) = m_dwBytesSent;
            m_dwBytesSent = 0;
            return RT_OK;
        default:
            RT_WARNING_TRACE_THIS("CRtTransportBase::GetOption, unknow aCommand=" << aCommand
                                                                                << " aArg=" << aArg);
            return RT_ERROR_INVALID_ARG;
    }
}

RtResult CRtTransportBase::Disconnect(RtResult aReason) {
    RtResult rv = Close_i(aReason);
    m_pSink = nullptr;
    return rv;
}

int CRtTransportBase::OnClose(RT_HANDLE aFd, MASK) {
    RT_DEBUG_TRACE_THIS("CRtTransportBase::OnClose, fd=" << static_cast<unsigned long long>(aFd)
                                                         << " sink=" << static_cast<const void*>(m_pSink));
    // The sink may release the last reference in its callback: the
    // deletion is deferred to a timer pass, so this object stays valid.
    // The reactor has let the socket go either way: nothing more is read.
    if (!KeepOpenAtPeerClose_i())
        Close_i(RT_OK);
    IRtTransportSink* sink = m_pSink;
    m_pSink = nullptr;
    if (sink)
        sink->OnDisconnect(RT_ERROR_NETWORK_SOCKET_ERROR, this);
    return 0;
}

RtResult CRtTransportBase::SetTos2Socket(CRtSocketBase& aSocket, const int* aTos) {
    int current = 0;
    int len = sizeof current;
    if (aSocket.GetOption(rtos::kIpProtoIp, rtos::kIpTos, &current, &len) != 0)
        RT_ERROR_TRACE_THIS("CRtTransportBase::SetTos2Socket, GetOption(IP_TOS) failed! err=" << RtErrorText(errno));
    if (aSocket.SetOption(rtos::kIpProtoIp, rtos::kIpTos, aTos, sizeof *aTos) != 0) {
        RT_ERROR_TRACE_THIS("CRtTransportBase::SetTos2Socket, SetOption(IP_TOS) failed! err=" << RtErrorText(errno));
        return RT_ERROR_NETWORK_SOCKET_ERROR;
    }
    return RT_OK;
}

// ---- CRtEventOnBindThread --------------------------------------------------------

// Finishes a move of a transport on its new thread.
class CRtEventOnBindThread : public IRtEvent {
public:
    CRtEventOnBindThread(CRtTransportTcp* aTransport, CRtEventThread* aEvent, const std::vector<IRtEvent*>& aEvents)
        : m_pTransport(aTransport), m_pEvent(aEvent), m_Events(aEvents) {}
    ~CRtEventOnBindThread() override {
        for (IRtEvent* ev : m_Events)
            ev->OnDestorySelf();
        // Never run (a stopped queue): nobody will wait on it any more.
        delete m_pEvent;
    }

    RtResult OnEventFire() override {
        IRtReactor* reactor = m_pTransport->m_bindThread->GetReactor();
        if (reactor && m_pTransport->GetHandle() != RT_INVALID_HANDLE)
            reactor->RegisterHandler(m_pTransport.Get(), IRtEventHandler::READ_MASK | IRtEventHandler::WRITE_MASK);
        std::vector<IRtEvent*> events;
        events.swap(m_Events);
        for (auto it = events.rbegin(); it != events.rend(); ++it) {
            (*it)->OnEventFire();
            (*it)->OnDestorySelf();
        }
        if (m_pEvent) {
            m_pEvent->Wait(nullptr);
            delete m_pEvent;
            m_pEvent = nullptr;
        }
        return RT_OK;
    }

private:
    CRtAutoPtr<CRtTransportTcp> m_pTransport;
    CRtEventThread* m_pEvent;
    std::vector<IRtEvent*> m_Events;
};

// Delivers the bytes a tunnel read ahead, on the transport's thread, when
// no read of the socket came first.
class CRtEventPreRead : public IRtEvent {
public:
    explicit CRtEventPreRead(CRtTransportTcp* aTransport) : m_pTransport(aTransport) {}
    RtResult OnEventFire() override {
        CRtThread* bound = m_pTransport->m_bindThread;
        if (bound && !CRtThreadManager::IsEqualCurrentThread(bound->GetThreadId()))
            return CThreadSwitch::PostToThread(bound, new CRtEventPreRead(m_pTransport.Get()));
        m_pTransport->DeliverPreRead_i();
        return RT_OK;
    }

private:
    CRtAutoPtr<CRtTransportTcp> m_pTransport;
};

// ---- CRtTransportTcp ---------------------------------------------------------------

namespace {
std::atomic<long> s_nLiveTransports{0};
}

long CRtTransportTcp::GetLiveCount() { return s_nLiveTransports.load(); }

CRtTransportTcp::CRtTransportTcp(CRtThread* aThread) : m_bindThread(aThread) {
    ++s_nLiveTransports;
    RT_DEBUG_TRACE_THIS("CRtTransportTcp");
    TakeScratch();
}

CRtTransportTcp::~CRtTransportTcp() {
    RT_DEBUG_TRACE_THIS("~CRtTransportTcp");
    Close_i(RT_OK);
    --s_nLiveTransports;
}

void CRtTransportTcp::TakeScratch() {
    CRtThreadInfo* info =
        m_bindThread ? CRtNetworkThreadManager::Instance()->GetThreadInfo(m_bindThread->GetThreadId()) : nullptr;
    m_pIov = info ? info->GetIov() : nullptr;
    m_pRecvBuffer = info ? info->GetRecvBuffer() : nullptr;
}

RtResult CRtTransportTcp::Open_i() {
    uint32_t noDelay = 1;
    SetOption(RT_OPT_TRANSPORT_TCP_NODELAY, &noDelay);
    IRtReactor* reactor = m_bindThread ? m_bindThread->GetReactor() : nullptr;
    RT_ASSERTE_RETURN(reactor, RT_ERROR_NOT_INITIALIZED);
    MASK mask = READ_MASK | WRITE_MASK;
    RtResult rv = reactor->RegisterHandler(this, mask);
    if (rv == RT_ERROR_FOUND)
        return RT_OK;
    if (RT_FAILED(rv)) {
        RT_ERROR_TRACE_THIS("CRtTransportTcp::RegisterHandler, RegisterHandler(" << mask << ") failed! rv=" << rv);
        return rv;
    }
    // Not from inside OnConnectIndication: whoever opened the transport
    // hands it on first.
    if (!m_strPreRead.empty())
        CThreadSwitch::PostToThread(m_bindThread, new CRtEventPreRead(this));
    return rv;
}

void CRtTransportTcp::DeliverPreRead_i() {
    if (m_strPreRead.empty() || !m_pSink || m_SocketTcp.GetHandle() == RT_INVALID_HANDLE)
        return;
    CRtString data;
    data.swap(m_strPreRead);
    CRtMessageBlock block(static_cast<unsigned long>(data.size()), data.data(), CRtMessageBlock::DONT_DELETE,
                          static_cast<unsigned long>(data.size()));
    m_pSink->OnReceive(block, this);
}

RtResult CRtTransportTcp::Close_i(RtResult aReason) {
    if (m_SocketTcp.GetHandle() == RT_INVALID_HANDLE)
        return RT_OK;
    Leave_i();
    m_SocketTcp.Close(aReason);
    return RT_OK;
}

void CRtTransportTcp::Leave_i() {
    if (m_isLoadAdded) {
        m_isLoadAdded = false;
        CRtNetworkThreadManager::Instance()->DecreaseThreadLoad(m_bindThread->GetThreadId(), m_dwLoad, false);
    }
    if (IRtReactor* reactor = m_bindThread ? m_bindThread->GetReactor() : nullptr)
        reactor->RemoveHandler(this, ALL_EVENTS_MASK);
}

RtResult CRtTransportTcp::SendData(CRtMessageBlock& aData, bool, bool aDestroy, long, bool) {
    if (m_SocketTcp.GetHandle() == RT_INVALID_HANDLE)
        return RT_ERROR_NOT_AVAILABLE;
    if (m_bWouldBlock)
        return RT_ERROR_PARTIAL_DATA;
    RT_ASSERTE_RETURN(m_pIov, RT_ERROR_NOT_INITIALIZED);

    uint32_t total = 0;
    const CRtMessageBlock* current = &aData;
    while (current) {
        unsigned long fillLength = 0;
        const CRtMessageBlock* rest = nullptr;
        unsigned long entries = current->FillIov(m_pIov, CRtThreadInfo::kIovCount, fillLength, rest);
        if (entries == 0)
            break;
        int sent = m_SocketTcp.SendV(m_pIov, entries);
        if (sent < 0) {
            if (RtIsWouldBlock(errno)) {
                m_bWouldBlock = true;
                break;
            }
            RT_WARNING_TRACE_THIS("CRtTransportTcp::SendData, sendv failed!"
                                  << ", fd=" << static_cast<unsigned long long>(GetHandle())
                                  << ", err=" << RtErrorText(errno) << ", rv=" << sent << ", fillLen=" << fillLength);
            return RT_ERROR_NETWORK_SOCKET_ERROR;
        }
        total += static_cast<uint32_t>(sent);
        if (static_cast<unsigned long>(sent) < fillLength) {
            m_bWouldBlock = true;
            break;
        }
        current = rest;
    }
    m_dwBytesSent += total;
    if (m_bWouldBlock) {
        aData.AdvanceChainedReadPtr(total);
        return RT_ERROR_PARTIAL_DATA;
    }
    if (aDestroy)
        aData.DestroyChained();
    return RT_OK;
}

int CRtTransportTcp::OnOutput(RT_HANDLE) {
    if (m_bWouldBlock && m_SocketTcp.GetHandle() != RT_INVALID_HANDLE) {
        m_bWouldBlock = false;
        if (m_pSink)
            m_pSink->OnSend(this);
    }
    return 0;
}

bool CRtTransportTcp::KeepOpenAtPeerClose_i() {
    // The end of the peer's data reads as 0, and a zero-length send still
    // succeeds only while our direction is open: after a reset it fails.
    char peek;
    bool halfClosed = GetHandle() != RT_INVALID_HANDLE && m_SocketTcp.Recv(&peek, 1, RT_MSG_PEEK) == 0 &&
                      rtos::SocketCanSend(GetHandle());
    if (halfClosed)
        RT_DEBUG_TRACE_THIS("CRtTransportTcp::OnClose, peer finished sending, fd="
                            << static_cast<unsigned long long>(GetHandle()) << " sink=" << static_cast<const void*>(m_pSink));
    return halfClosed;
}

int CRtTransportTcp::Recv_i(char* aBuf, unsigned long aLen) {
    RT_ASSERTE_RETURN(aBuf && aLen > 0, -1);
    int n = m_SocketTcp.Recv(aBuf, aLen);
    if (n < 0) {
        if (RtIsWouldBlock(errno))
            return -2;
        CRtErrnoGuard keep;
        RT_WARNING_TRACE_THIS("CRtTransportTcp::Recv_i, recv() failed! fd="
                              << static_cast<unsigned long long>(GetHandle()) << " err=" << RtErrorText(errno));
        return -1;
    }
    if (n == 0) {
        RT_WARNING_TRACE_THIS("CRtTransportTcp::Recv_i, recv() 0! fd=" << static_cast<unsigned long long>(GetHandle()));
        return -1;
    }
    m_dwBytesRecv += static_cast<uint32_t>(n);
    return n;
}

int CRtTransportTcp::OnInput(RT_HANDLE) {
    if (!m_strPreRead.empty()) {
        DeliverPreRead_i();
        if (m_SocketTcp.GetHandle() == RT_INVALID_HANDLE || !m_pSink)
            return 0;
    }
    int n = Recv_i(m_pRecvBuffer, m_pRecvBuffer ? static_cast<unsigned long>(CRtThreadInfo::kRecvBufferSize) : 0);
    if (n < 1)
        return n;
    CRtMessageBlock block(static_cast<unsigned long>(n), m_pRecvBuffer,
                          CRtMessageBlock::DONT_DELETE | CRtMessageBlock::WRITE_LOCKED, static_cast<unsigned long>(n));
    if (m_pSink)
        m_pSink->OnReceive(block, this);
    return 0;
}

RtResult CRtTransportTcp::SetOption(unsigned long aCommand, void* aArg) {
    RT_ASSERTE_RETURN(aArg, RT_ERROR_INVALID_ARG);
    switch (aCommand) {
        case RT_OPT_TRANSPORT_FD: {
            RT_HANDLE hdNew = *static_cast<RT_HANDLE*>(aArg);
            RT_ASSERTE_RETURN(hdNew == RT_INVALID_HANDLE, RT_ERROR_INVALID_ARG);
            // The socket goes on in another transport: this one stops
            // hearing of it and counting it, but does not close it.
            if (m_SocketTcp.GetHandle() != RT_INVALID_HANDLE)
                Leave_i();
            m_SocketTcp.SetHandle(RT_INVALID_HANDLE);
            return RT_OK;
        }
        case RT_OPT_TRANSPORT_PEER_ADDR:
            m_addrPeer = *static_cast<CRtInetAddr*>(aArg);
            return RT_OK;
        case RT_OPT_TRANSPORT_KEEPALIVE: {
            uint32_t dwTime = *static_cast<uint32_t*>(aArg);
            int on = dwTime ? 1 : 0;
            if (m_SocketTcp.SetOption(rtos::kSolSocket, rtos::kSoKeepAlive, &on, sizeof on) != 0) {
                RT_ERROR_TRACE_THIS("CRtTransportTcp::SetOption, SetOption(SO_KEEPALIVE) failed! dwTime="
                                    << dwTime << " err=" << errno);
                return RT_ERROR_NETWORK_SOCKET_ERROR;
            }
            if (dwTime == 0)
                return RT_OK;
            if (rtos::SocketSetKeepAliveTimes(GetHandle(), dwTime * 1000u, 1000u) != 0) {
                RT_ERROR_TRACE_THIS("CRtTransportTcp::SetOption, SetOption(TCP_KEEPALIVE) failed!"
                                    << " keepalivetime=" << dwTime * 1000u << ", keepaliveinterval=" << 1000
                                    << ", errno=" << rtos::LastSocketError());
                return RT_ERROR_NETWORK_SOCKET_ERROR;
            }
            return RT_OK;
        }
        case RT_OPT_TRANSPORT_RCV_BUF_LEN:
        case RT_OPT_TRANSPORT_SND_BUF_LEN: {
            int option = aCommand == RT_OPT_TRANSPORT_RCV_BUF_LEN ? rtos::kSoRcvBuf : rtos::kSoSndBuf;
            int value = static_cast<int>(*static_cast<uint32_t*>(aArg));
            return m_SocketTcp.SetOption(rtos::kSolSocket, option, &value, sizeof value) == 0
                       ? RT_OK
                       : RT_ERROR_NETWORK_SOCKET_ERROR;
        }
        case RT_OPT_TRANSPORT_TOS:
            return SetTos2Socket(m_SocketTcp, static_cast<const int*>(aArg));
        case RT_OPT_TRANSPORT_TCP_NODELAY: {
            int value = static_cast<int>(*static_cast<uint32_t*>(aArg));
            if (m_SocketTcp.SetOption(rtos::kIpProtoTcp, rtos::kTcpNoDelay, &value, sizeof value) != 0) {
                RT_ERROR_TRACE("CRtTransportTcp::SetOption, SetOption(TCP_NODELAY) failed! err=" << errno);
                return -1;
            }
            return 0;
        }
        case RT_OPT_TRANSPORT_UNUSED_118:
            return RT_OK;
        case RT_OPT_BIND_THREAD:
            return BindThread(static_cast<CRtTransportBindThreadParam*>(aArg));
        default:
            RT_WARNING_TRACE_THIS("CRtTransportTcp::SetOption, unknow aCommand=" << aCommand << " aArg=" << aArg);
            return RT_ERROR_INVALID_ARG;
    }
}

RtResult CRtTransportTcp::GetOption(unsigned long aCommand, void* aArg) {
    RT_ASSERTE_RETURN(aArg, RT_ERROR_INVALID_ARG);
    switch (aCommand) {
        case RT_OPT_TRANSPORT_FIO_NREAD:
            if (m_SocketTcp.Control(rtos::kFionread, aArg) != 0) {
                RT_WARNING_TRACE_THIS("CRtTransportTcp::GetOption, (RT_OPT_TRANSPORT_FIO_NREAD) failed! err=" << errno);
                return RT_ERROR_NETWORK_SOCKET_ERROR;
            }
            return RT_OK;
        case RT_OPT_TRANSPORT_FD:
            *static_cast<RT_HANDLE*>(aArg) = GetHandle();
            return RT_OK;
        case RT_OPT_TRANSPORT_LOCAL_ADDR:
            if (m_SocketTcp.GetLocalAddr(*static_cast<CRtInetAddr*>(aArg)) != 0) {
                RT_WARNING_TRACE_THIS("CRtTransportTcp::GetOption, (RT_OPT_TRANSPORT_LOCAL_ADDR) failed! err=" << errno);
                return RT_ERROR_NETWORK_SOCKET_ERROR;
            }
            return RT_OK;
        case RT_OPT_TRANSPORT_PEER_ADDR:
            if (m_addrPeer.GetPort() != 0) {
                *static_cast<CRtInetAddr*>(aArg) = m_addrPeer;
                return RT_OK;
            }
            if (m_SocketTcp.GetRemoteAddr(*static_cast<CRtInetAddr*>(aArg)) != 0) {
                RT_WARNING_TRACE_THIS("CRtTransportTcp::GetOption, (RT_OPT_TRANSPORT_PEER_ADDR) failed! err=" << errno);
                return RT_ERROR_NETWORK_SOCKET_ERROR;
            }
            return RT_OK;
        case RT_OPT_TRANSPORT_SOCK_ALIVE: {
            uint32_t& alive = *static_cast<uint32_t*>(aArg);
            if (GetHandle() == RT_INVALID_HANDLE) {
                alive = 0;
                return RT_ERROR_NOT_INITIALIZED;
            }
            char peek;
            int n = m_SocketTcp.Recv(&peek, 1, RT_MSG_PEEK);
            alive = n > 0 || (n < 0 && RtIsWouldBlock(errno)) ? 1 : 0;
            return RT_OK;
        }
        case RT_OPT_TRANSPORT_TRAN_TYPE:
            *static_cast<uint32_t*>(aArg) = 1;
            return RT_OK;
        case RT_OPT_TRANSPORT_RCV_BUF_LEN:
        case RT_OPT_TRANSPORT_SND_BUF_LEN: {
            int option = aCommand == RT_OPT_TRANSPORT_RCV_BUF_LEN ? rtos::kSoRcvBuf : rtos::kSoSndBuf;
            int value = 0;
            int len = sizeof value;
            if (m_SocketTcp.GetOption(rtos::kSolSocket, option, &value, &len) != 0)
                return RT_ERROR_NETWORK_SOCKET_ERROR;
            *static_cast<uint32_t*>(aArg) = static_cast<uint32_t>(value);
            return RT_OK;
        }
        case RT_OPT_BIND_THREAD:
            *static_cast<uint32_t*>(aArg) = m_bindThread ? m_bindThread->GetThreadId() : 0;
            return RT_OK;
        default:
            return CRtTransportBase::GetOption(aCommand, aArg);
    }
}

RtResult CRtTransportTcp::BindThread(CRtTransportBindThreadParam* aParam) {
    if (GetHandle() == RT_INVALID_HANDLE) {
        RT_WARNING_TRACE_THIS("CRtTransportTcp::SetOption, RT_OPT_BIND_THREAD, invalid fd!");
        return RT_ERROR_NOT_AVAILABLE;
    }
    RT_ASSERTE_RETURN(CRtThreadManager::IsEqualCurrentThread( m_bindThread->GetThreadId()), RT_ERROR_UNEXPECTED);
    RT_ASSERTE_RETURN(aParam->m_thread, RT_ERROR_INVALID_ARG);
    CRtTransportBindThreadParam* optParam = aParam;
    RT_ASSERTE_RETURN(!(m_isLoadAdded && m_bindThread==optParam->m_thread), RT_OK);

    CRtNetworkThreadManager* ntm = CRtNetworkThreadManager::Instance();
    RtResult rv = ntm->IncreaseThreadLoad(aParam->m_thread->GetThreadId(), aParam->m_load, false);
    if (RT_FAILED(rv)) {
        RT_ERROR_TRACE_THIS("CRtTransportTcp::SetOption, RT_OPT_BIND_THREAD, IncreaseThreadLoad failed! threadid="
                            << aParam->m_thread->GetThreadId());
        return rv;
    }
    if (m_isLoadAdded)
        ntm->DecreaseThreadLoad(m_bindThread->GetThreadId(), m_dwLoad, false);
    m_isLoadAdded = true;
    m_dwLoad = aParam->m_load;
    if (aParam->m_thread == m_bindThread)
        return RT_OK;

    if (IRtReactor* reactor = m_bindThread->GetReactor())
        reactor->RemoveHandler(this, ALL_EVENTS_MASK);
    m_bindThread = aParam->m_thread;
    TakeScratch();
    auto* ev = new CRtEventOnBindThread(this, aParam->m_pEvent, aParam->m_events);
    // The events now belong to the move.
    aParam->m_events.clear();
    aParam->m_pEvent = nullptr;
    return CThreadSwitch::PostToThread(m_bindThread, ev);
}

#include "RtUdpEndpoint.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <vector>

#include "RtDebug.h"
#include "RtNetworkThreadManager.h"
#include "RtThread.h"
#include "RtThreadManager.h"
#include "RtTimeValue.h"
#include "RtTransportUdp.h"

namespace {

constexpr int kSocketBufferSize = 0x40000;
std::atomic<long> s_nLiveEndpoints{0};

CRtInetAddr ToInetAddr(const rtos::SocketAddress& aAddr) {
    CRtInetAddr out;
    out.SetIpAddr(static_cast<unsigned short>(aAddr.family), aAddr.addr);
    out.SetPortA(aAddr.port);
    return out;
}

bool IsMarker(const char* aData, unsigned long aLen) {
    return aLen == 2 && aData[0] == 0 && static_cast<unsigned char>(aData[1]) == 0xFF;
}

}  // namespace

long CRtUdpEndpointManager::GetLiveEndpoints() { return s_nLiveEndpoints.load(); }

CRtUdpEndpoint::CRtUdpEndpoint(CRtUdpEndpointManager* aManager, CRtThread* aThread)
    : m_pManager(aManager), m_networkThread(aThread) {
    ++s_nLiveEndpoints;
    RT_ASSERTE(m_networkThread->GetThreadType() == CRtThreadManager::TT_NETWORK);
    m_dwReceiveSize = aManager->GetReceiveSizeForTest();
}

CRtUdpEndpoint::~CRtUdpEndpoint() {
    Leave_i();
    free(m_pOwnBuffer);
    --s_nLiveEndpoints;
}

char* CRtUdpEndpoint::ReceiveBuffer_i(unsigned long& aLen) {
    char* buffer = nullptr;
    if (CRtThreadInfo* info = CRtNetworkThreadManager::Instance()->GetThreadInfo(m_networkThread->GetThreadId()))
        buffer = info->GetRecvBuffer();
    if (!buffer) {
        // A network thread started after the thread records were made.
        if (!m_pOwnBuffer)
            m_pOwnBuffer = static_cast<char*>(malloc(CRtThreadInfo::kRecvBufferSize));
        buffer = m_pOwnBuffer;
    }
    aLen = CRtThreadInfo::kRecvBufferSize;
    if (m_dwReceiveSize && m_dwReceiveSize < aLen)
        aLen = m_dwReceiveSize;
    return buffer;
}

RtResult CRtUdpEndpoint::Open(const CRtInetAddr& aLocal) {
    // An unresolved name has no address to bind: never fall back to all
    // interfaces.
    if (!aLocal.IsResolved() || m_Socket.Open(aLocal) != 0) {
        if (!aLocal.IsResolved())
            errno = EINVAL;
        RT_ERROR_TRACE_THIS("CRtUdpEndpoint::Open, socket Open failed! addr=" << aLocal.GetIpDisplayName()
                                                                              << " port=" << aLocal.GetPort()
                                                                              << " err=" << RtErrorText(errno));
        return RT_ERROR_NETWORK_SOCKET_ERROR;
    }
    if (m_Socket.GetLocalAddr(m_addrLocal) != 0) {
        RT_ERROR_TRACE_THIS("CRtUdpEndpoint::Open, GetLocalAddr failed! err=" << RtErrorText(errno));
        m_Socket.Close(1);
        return RT_ERROR_NETWORK_SOCKET_ERROR;
    }
    int nOption = m_Socket.Enable(RT_IPC_SAP::NON_BLOCK);
    RT_ASSERTE(nOption == 0);
    int size = kSocketBufferSize;
    nOption = m_Socket.SetOption(rtos::kSolSocket, rtos::kSoSndBuf, &size, sizeof size);
    RT_ASSERTE(nOption == 0);
    nOption = m_Socket.SetOption(rtos::kSolSocket, rtos::kSoRcvBuf, &size, sizeof size);
    RT_ASSERTE(nOption == 0);
    IRtReactor* reactor = m_networkThread->GetReactor();
    RtResult rv = reactor ? reactor->RegisterHandler(this, READ_MASK) : RT_ERROR_NOT_INITIALIZED;
    if (RT_FAILED(rv)) {
        RT_WARNING_TRACE_THIS("CRtUdpEndpoint::Open, RegisterHandler failed! rv=" << rv);
        if (reactor)
            reactor->RemoveHandler(this, ALL_EVENTS_MASK);
        m_Socket.Close(1);
        return rv;
    }
    RT_DEBUG_TRACE_THIS("CRtUdpEndpoint::Open, ip=" << m_addrLocal.GetIpDisplayName()
                                                    << " port=" << m_addrLocal.GetPort()
                                                    << " fd=" << static_cast<unsigned long long>(GetHandle()));
    return RT_OK;
}

RtResult CRtUdpEndpoint::StartListen(IRtAcceptorConnectorId* aAcceptor, IRtAcceptorConnectorSink* aSink,
                                     const CRtInetAddr& aLocal, bool aMarker, uint32_t aPeerLimit) {
    RT_ASSERTE(CRtThreadManager::IsEqualCurrentThread(m_networkThread->GetThreadId()));
    if (m_pAcceptor) {
        RT_WARNING_TRACE_THIS("CRtUdpEndpoint::StartListen, already listen!");
        return RT_ERROR_ALREADY_INITIALIZED;
    }
    if (GetHandle() == RT_INVALID_HANDLE) {
        RtResult rv = Open(aLocal);
        if (RT_FAILED(rv))
            return rv;
    }
    m_pAcceptor = aAcceptor;
    m_pSink = aSink;
    m_bMarker = aMarker;
    m_dwPeerLimit = aPeerLimit;
    RT_DEBUG_TRACE_THIS("CRtUdpEndpoint::StartListen, ip=" << m_addrLocal.GetIpDisplayName()
                                                           << " port=" << m_addrLocal.GetPort()
                                                           << " sink=" << static_cast<const void*>(aSink)
                                                           << " fd=" << static_cast<unsigned long long>(GetHandle()));
    return RT_OK;
}

RtResult CRtUdpEndpoint::StopListen() {
    RT_DEBUG_TRACE_THIS("CRtUdpEndpoint::StopListen, m_pAcceptor=" << static_cast<const void*>(m_pAcceptor));
    if (!m_pAcceptor)
        return RT_OK;
    // The transports' closes call back into RemoveTransport, and the last
    // one may take the manager's reference away.
    CRtAutoPtr<CRtUdpEndpoint> hold(this);
    CloseTransports_i(true, RT_OK, false);
    m_pAcceptor = nullptr;
    m_pSink = nullptr;
    if (m_Peers.empty()) {
        RT_DEBUG_TRACE_THIS("CRtUdpEndpoint::StopListen, trpt empty.");
        Leave_i();
    }
    return RT_OK;
}

RtResult CRtUdpEndpoint::Connect(const CRtInetAddr& aPeer, const CRtInetAddr* aLocal, CRtTransportUdp*& aTransport) {
    RT_ASSERTE(CRtThreadManager::IsEqualCurrentThread(m_networkThread->GetThreadId()));
    if (GetHandle() == RT_INVALID_HANDLE) {
        RtResult rv = aLocal ? Open(*aLocal) : Open(CRtInetAddr(aPeer.GetType()));
        if (RT_FAILED(rv))
            return rv;
    }
    rtos::SocketAddress peer;
    peer.family = aPeer.GetType();
    memcpy(peer.addr, aPeer.GetAddrBytes(), peer.family == rtos::kAfInet6 ? 16 : 4);
    peer.port = aPeer.GetPort();
    CRtUdpAddressKey key(peer);
    if (m_Peers.find(key) != m_Peers.end()) {
        RT_WARNING_TRACE_THIS("CRtUdpEndpoint::Connect, transport found!");
        errno = 10012;
        return RT_ERROR_FOUND;
    }
    CRtTransportUdp* transport = new CRtTransportUdp(this, peer, false);
    transport->AddReference();
    m_Peers.emplace(key, transport);
    aTransport = transport;
    RT_DEBUG_TRACE_THIS("CRtUdpEndpoint::Connect, localip="
                        << m_addrLocal.GetIpDisplayName() << " localport=" << m_addrLocal.GetPort()
                        << " peerip=" << aPeer.GetIpDisplayName() << " peerport=" << aPeer.GetPort()
                        << " fd=" << static_cast<unsigned long long>(GetHandle()));
    return RT_OK;
}

void CRtUdpEndpoint::RemoveTransport(CRtTransportUdp* aTransport) {
    auto found = m_Peers.find(CRtUdpAddressKey(aTransport->GetPeer()));
    if (found == m_Peers.end() || found->second.Get() != aTransport)
        return;
    if (aTransport->IsAccepted() && m_dwAccepted > 0)
        --m_dwAccepted;
    // The map's reference goes last: the caller still holds the transport.
    m_Peers.erase(found);
    if (!m_pAcceptor && m_Peers.empty()) {
        RT_DEBUG_TRACE_THIS("CRtUdpEndpoint::RemoveTransport, trpt & acceptor empty.");
        Leave_i();
    }
}

void CRtUdpEndpoint::Leave_i() {
    // Out of the manager first, so that a listen on the same address right
    // after finds no endpoint, and the socket closed now, so that it can
    // bind the port again; the object itself goes on a later timer pass.
    if (m_bInManager) {
        m_bInManager = false;
        m_pManager->RemoveEndpoint(this);
    }
    if (GetHandle() != RT_INVALID_HANDLE) {
        if (IRtReactor* reactor = m_networkThread->GetReactor())
            reactor->RemoveHandler(this, ALL_EVENTS_MASK);
        m_Socket.Close(1);
    }
}

void CRtUdpEndpoint::CloseTransports_i(bool aAcceptedOnly, RtResult aReason, bool aTellSink) {
    // Each close erases its own entry: walk a copy that holds the transports.
    std::vector<CRtAutoPtr<CRtTransportUdp>> snapshot;
    snapshot.reserve(m_Peers.size());
    for (auto& item : m_Peers) {
        if (!aAcceptedOnly || item.second->IsAccepted())
            snapshot.push_back(item.second);
    }
    for (auto& transport : snapshot) {
        if (aTellSink)
            transport->OnEndpointError_i(aReason);
        else
            transport->Disconnect(aReason);
    }
}

int CRtUdpEndpoint::OnInput(RT_HANDLE) {
    CRtAutoPtr<CRtUdpEndpoint> hold(this);
    unsigned long size = 0;
    char* buffer = ReceiveBuffer_i(size);
    if (!buffer)
        return 0;
    for (int i = 0; i < kReadBatch && GetHandle() != RT_INVALID_HANDLE; ++i) {
        rtos::SocketAddress from;
        from.family = 0;
        size_t full = 0;
        long n = rtos::SocketRecvFrom(GetHandle(), buffer, size, &from, &full);
        if (n > 0) {
            OnDatagram(from, buffer, static_cast<unsigned long>(n));
            continue;
        }
        if (n == 0)
            continue;  // an empty datagram carries nothing to deliver
        int err = rtos::LastSocketError();
        if (RtIsWouldBlock(err))
            break;
        if (rtos::SocketErrorIsMessageTooLong(err)) {
            OnOversized_i(from, full, size);
            continue;
        }
        OnRecvError_i(from, from.family != 0, err);
        // An unreachable peer is one peer's matter; the socket reads on.
        if (!rtos::SocketErrorIsPeerUnreachable(err))
            break;
    }
    return 0;
}

void CRtUdpEndpoint::OnDatagram(const rtos::SocketAddress& aFrom, char* aData, unsigned long aLen) {
    CRtUdpAddressKey key(aFrom);
    auto found = m_Peers.find(key);
    if (found != m_Peers.end()) {
        CRtAutoPtr<CRtTransportUdp> transport(found->second);
        transport->OnDatagram_i(aData, aLen);
        return;
    }
    if (!m_pAcceptor || !m_pSink)
        return;
    if (m_bMarker && !IsMarker(aData, aLen))
        return;
    if (m_dwAccepted >= m_dwPeerLimit) {
        CountDropped_i();
        return;
    }
    CRtAutoPtr<CRtTransportUdp> transport(new CRtTransportUdp(this, aFrom, true));
    m_Peers.emplace(key, transport);
    ++m_dwAccepted;
    RT_DEBUG_TRACE_THIS("CRtUdpEndpoint::OnInput, new peer ip=" << ToInetAddr(aFrom).GetIpDisplayName()
                                                                << " port=" << aFrom.port << " transport="
                                                                << static_cast<const void*>(transport.Get()));
    CRtAutoPtr<CRtUdpEndpoint> hold(this);
    m_pSink->OnConnectIndication(RT_OK, transport.Get(), m_pAcceptor);
    // A sink that did not open the transport dropped the peer; the map
    // must not keep it alive.
    if (!transport->GetSink()) {
        transport->Disconnect(RT_OK);
        return;
    }
    transport->OnDatagram_i(aData, aLen);
}

void CRtUdpEndpoint::CountDropped_i() {
    ++m_dwDropped;
    uint32_t now = GetTickCountEx();
    if (m_bDropReported && RtTickDiff(now, m_dwDropReportTick) < 1000)
        return;
    RT_WARNING_TRACE_THIS("CRtUdpEndpoint::OnInput, peer limit reached, datagrams of new senders dropped="
                          << m_dwDropped << " limit=" << m_dwPeerLimit << " ip=" << m_addrLocal.GetIpDisplayName()
                          << " port=" << m_addrLocal.GetPort());
    m_dwDropped = 0;
    m_dwDropReportTick = now;
    m_bDropReported = true;
}

void CRtUdpEndpoint::OnOversized_i(const rtos::SocketAddress& aFrom, size_t aSize, unsigned long aMax) {
    // Never delivered cut: a datagram is whole or nothing. The sender's
    // transport stays.
    CRtInetAddr from = ToInetAddr(aFrom);
    if (aSize)
        RT_WARNING_TRACE_THIS("CRtUdpEndpoint::OnInput, datagram too large, dropped! ip="
                              << from.GetIpDisplayName() << " port=" << aFrom.port << " size=" << aSize
                              << " max=" << aMax);
    else
        RT_WARNING_TRACE_THIS("CRtUdpEndpoint::OnInput, datagram too large, dropped! ip="
                              << from.GetIpDisplayName() << " port=" << aFrom.port << " size=more than " << aMax
                              << " max=" << aMax);
}

void CRtUdpEndpoint::OnRecvError_i(const rtos::SocketAddress& aFrom, bool aHaveFrom, int aError) {
    CRtInetAddr from;
    if (aHaveFrom)
        from = ToInetAddr(aFrom);
    RT_WARNING_TRACE_THIS("CRtUdpEndpoint::OnInput, RecvFrom() failed! ip=" << from.GetIpDisplayName() << " port="
                                                                            << from.GetPort() << " nRecv=" << -1
                                                                            << " err=" << RtErrorText(aError));
    if (!aHaveFrom)
        return;
    auto found = m_Peers.find(CRtUdpAddressKey(aFrom));
    if (found == m_Peers.end())
        return;
    CRtAutoPtr<CRtTransportUdp> transport(found->second);
    transport->OnEndpointError_i(RT_ERROR_NETWORK_SOCKET_ERROR);
}

int CRtUdpEndpoint::OnClose(RT_HANDLE aFd, MASK aMask) {
    RT_DEBUG_TRACE_THIS("CRtUdpEndpoint::OnClose, aFd=" << static_cast<unsigned long long>(aFd) << " aMask=" << aMask);
    CRtAutoPtr<CRtUdpEndpoint> hold(this);
    CloseTransports_i(false, RT_ERROR_NETWORK_SOCKET_ERROR, true);
    m_pAcceptor = nullptr;
    m_pSink = nullptr;
    Leave_i();
    return 0;
}

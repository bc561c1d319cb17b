#include "RtAcceptorTcp.h"

#include <cerrno>
#include <cstring>

#include "RtDebug.h"
#include "RtThread.h"
#include "RtThreadManager.h"
#include "RtTransportTcp.h"

namespace {
constexpr int kListenBacklog = 1024;
}

CRtAcceptorTcp::~CRtAcceptorTcp() { StopListen(RT_OK); }

RtResult CRtAcceptorTcp::StartListen(IRtAcceptorConnectorSink* aSink, const CRtInetAddr& aAddrListen) {
    RT_ASSERTE_RETURN(m_Socket.GetHandle() == RT_INVALID_HANDLE, RT_ERROR_ALREADY_INITIALIZED);
    RT_ASSERTE(!m_pSink);
    RT_ASSERTE_RETURN(aSink, RT_ERROR_INVALID_ARG);
    m_pSink = aSink;

    if (m_Socket.Open(false, aAddrListen.GetType()) != 0) {
        RT_ERROR_TRACE_THIS("CRtAcceptorTcp::StartListen, Open() failed! addr=" << aAddrListen.GetIpDisplayName()
                                                                                << " port=" << aAddrListen.GetPort()
                                                                                << " err=" << RtErrorText(errno));
        StopListen(RT_ERROR_NETWORK_SOCKET_ERROR);
        return RT_ERROR_NETWORK_SOCKET_ERROR;
    }
    {
        // An unresolved name has no address to bind: never fall back to all
        // interfaces.
        rtos::SocketAddress local;
        local.family = aAddrListen.GetType();
        memcpy(local.addr, aAddrListen.GetAddrBytes(), local.family == rtos::kAfInet6 ? 16 : 4);
        local.port = aAddrListen.GetPort();
        bool bound = aAddrListen.IsResolved() && rtos::SocketBind(m_Socket.GetHandle(), local) == 0;
        if (!bound) {
            errno = aAddrListen.IsResolved() ? rtos::LastSocketError() : EINVAL;
            RT_ERROR_TRACE_THIS("CRtAcceptorTcp::StartListen, bind() failed! addr=" << aAddrListen.GetIpDisplayName()
                                                                                    << " port=" << aAddrListen.GetPort()
                                                                                    << " err=" << RtErrorText(errno));
            StopListen(RT_ERROR_NETWORK_SOCKET_ERROR);
            return RT_ERROR_NETWORK_SOCKET_ERROR;
        }
    }
    if (rtos::SocketListen(m_Socket.GetHandle(), kListenBacklog) != 0) {
        errno = rtos::LastSocketError();
        RT_ERROR_TRACE_THIS("CRtAcceptorTcp::StartListen, listen() failed! err=" << RtErrorText(errno));
        StopListen(RT_ERROR_NETWORK_SOCKET_ERROR);
        return RT_ERROR_NETWORK_SOCKET_ERROR;
    }

    m_networkThread = CRtThreadManager::Instance()->GetCurrentThread();
    if (!m_networkThread || !m_networkThread->GetReactor()) {
        StopListen(RT_ERROR_NOT_INITIALIZED);
        return RT_ERROR_NOT_INITIALIZED;
    }
    RT_ASSERTE(m_networkThread->GetThreadType() == CRtThreadManager::TT_NETWORK);
    RtResult rv = m_networkThread->GetReactor()->RegisterHandler(this, ACCEPT_MASK);
    if (RT_FAILED(rv)) {
        StopListen(rv);
        return rv;
    }
    RT_DEBUG_TRACE_THIS("CRtAcceptorTcp::StartListen, addr=" << aAddrListen.GetIpDisplayName()
                                                             << " port=" << aAddrListen.GetPort()
                                                             << " aSink=" << static_cast<const void*>(aSink)
                                                             << " fd=" << static_cast<unsigned long long>(GetHandle()));
    return RT_OK;
}

RtResult CRtAcceptorTcp::StopListen(RtResult aReason) {
    if (m_Socket.GetHandle() != RT_INVALID_HANDLE) {
        if (m_networkThread) {
            if (IRtReactor* reactor = m_networkThread->GetReactor())
                reactor->RemoveHandler(this, ALL_EVENTS_MASK);
            m_networkThread = nullptr;
        }
        m_Socket.Close(aReason);
    }
    m_pSink = nullptr;
    return RT_OK;
}

int CRtAcceptorTcp::OnInput(RT_HANDLE aFd) {
    RT_ASSERTE(aFd == GetHandle());
    CRtAutoPtr<CRtTransportTcp> transport(new CRtTransportTcp(m_networkThread));
    rtos::SocketAddress peer;
    RT_HANDLE accepted = rtos::SocketAccept(GetHandle(), &peer);
    if (accepted == RT_INVALID_HANDLE) {
        errno = rtos::LastSocketError();
        RT_ERROR_TRACE_THIS("CRtAcceptorTcp::OnInput, accept() failed! err=" << RtErrorText(errno));
        return 0;
    }
    transport->GetPeer().SetHandle(accepted);
    if (transport->GetPeer().Enable(RT_IPC_SAP::NON_BLOCK) != 0) {
        RT_ERROR_TRACE_THIS("CRtAcceptorTcp::OnInput, Enable(NON_BLOCK) failed! err=" << RtErrorText(errno));
        return 0;  // the transport closes the socket when it goes
    }
    CRtInetAddr peerAddr;
    peerAddr.SetIpAddr(static_cast<unsigned short>(peer.family), peer.addr);
    peerAddr.SetPortA(peer.port);
    RT_DEBUG_TRACE_THIS("CRtAcceptorTcp::OnInput, addr=" << peerAddr.GetIpDisplayName()
                                                         << " port=" << peerAddr.GetPort()
                                                         << " fd=" << static_cast<unsigned long long>(accepted)
                                                         << " transport=" << static_cast<const void*>(transport.Get()));
    if (!m_pSink)
        RT_ASSERTE(m_pSink);
    else
        m_pSink->OnConnectIndication(RT_OK, transport.Get(), this);
    return 0;
}

int CRtAcceptorTcp::OnClose(RT_HANDLE aFd, MASK aMask) {
    RT_ERROR_TRACE_THIS("CRtAcceptorTcp::OnClose, it's impossible! aFd=" << static_cast<unsigned long long>(aFd)
                                                                         << " aMask=" << aMask);
    return 0;
}

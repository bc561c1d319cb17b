// The direct TCP connector: opens a stream socket, connects it without
// blocking and hands the connected socket, inside an unopened transport, to
// the connector above it (the wrapper, or a proxy tunnel). Host names are
// looked up through the DNS manager first. Everything runs on the network
// thread it was made on.
#pragma once

#include <cerrno>
#include <cstring>

#include "RtConnectorInternal.h"
#include "RtDebug.h"
#include "RtDnsManager.h"
#include "RtInetAddr.h"
#include "RtObserver.h"
#include "RtReactorInterface.h"
#include "RtSocket.h"
#include "RtThread.h"
#include "RtThreadManager.h"

// UpperType has OnConnectIndication(RtResult, IRtTransport*, IRtConnectorInternal*)
// and is told exactly once per Connect that returned 0, unless Close comes
// first. TrptType is made with the network thread and gives GetPeer(), a
// SockType.
template <class UpperType, class TrptType, class SockType>
class CRtConnectorTcpT : public IRtConnectorInternal, public IRtEventHandler, public IRtObserver {
public:
    // A null thread: the thread that calls Connect.
    CRtConnectorTcpT(CRtThread* aNetworkThread, UpperType& aUpper)
        : m_upper(aUpper), m_networkThread(aNetworkThread), m_bFixedThread(aNetworkThread != nullptr) {}
    ~CRtConnectorTcpT() override { Close(RT_OK); }

    int Connect(const CRtInetAddr& aAddr, CRtInetAddr* aAddrLocal = nullptr) override {
        Close(RT_OK);
        if (!m_bFixedThread)
            m_networkThread = CRtThreadManager::Instance()->GetCurrentThread();
        m_addrPeer = aAddr;
        m_addrLocal = aAddrLocal ? *aAddrLocal : CRtInetAddr();
        if (!m_addrPeer.IsResolved()) {
            CRtDnsRecord* record = nullptr;
            RtResult rv =
                CRtDnsManager::Instance()->AsyncResolve(record, m_addrPeer.GetHostName(), this, false, m_networkThread);
            if (rv == RT_ERROR_WOULD_BLOCK) {
                m_bResolving = true;
                return 0;
            }
            bool found = RT_SUCCEEDED(rv) && record && TakeFirstAddress(*record);
            if (record)
                record->ReleaseReference();
            if (!found) {
                RT_WARNING_TRACE_THIS("CRtConnectorTcpT::Connect, resolve failed! host=" << m_addrPeer.GetHostName()
                                                                                         << " rv=" << rv);
                return -1;
            }
        }
        return Connect_i();
    }

    int Close(RtResult = RT_OK) override {
        if (m_bResolving) {
            m_bResolving = false;
            CRtDnsManager::Instance()->CancelResolve(this);
        }
        if (m_pTransport) {
            if (m_bRegistered && m_networkThread && m_networkThread->GetReactor())
                m_networkThread->GetReactor()->RemoveHandler(this, ALL_EVENTS_MASK);
            m_bRegistered = false;
            m_pTransport->ReleaseReference();  // closes the socket
            m_pTransport = nullptr;
        }
        return 0;
    }

    RT_HANDLE GetHandle() const override {
        return m_pTransport ? m_pTransport->GetPeer().GetHandle() : RT_INVALID_HANDLE;
    }

    // Connected: the socket is writable.
    int OnOutput(RT_HANDLE aFd) override {
        RT_ASSERTE_RETURN(m_pTransport, -1);
        RT_ASSERTE(aFd == m_pTransport->GetHandle());
        CRtInetAddr local;
        m_pTransport->GetOption(RT_OPT_TRANSPORT_LOCAL_ADDR, &local);
        RT_INFO_TRACE_THIS("CRtConnectorTcpT::OnOutput, localip="
                           << local.GetIpDisplayName() << " port=" << local.GetPort()
                           << " fd=" << static_cast<unsigned long long>(aFd)
                           << " trpt=" << static_cast<const void*>(m_pTransport));
        Succeed_i();
        // The handler is gone from the reactor: nothing more to report.
        return 0;
    }

    // The connect failed.
    int OnClose(RT_HANDLE, MASK aMask) override {
        if (aMask != CONNECT_MASK)
            RT_ASSERTE(aMask == IRtEventHandler::CONNECT_MASK);
        // The reactor has already dropped the registration.
        m_bRegistered = false;
        Fail_i(RT_ERROR_NETWORK_SOCKET_ERROR);
        return 0;
    }

    // The DNS manager's answer, on the network thread.
    void OnObserve(const char* aTopic, void* aData) override {
        if (!m_bResolving)
            return;
        RT_ASSERTE(aTopic && !strcmp(aTopic, "DnsManager"));
        m_bResolving = false;
        int error = aData ? *static_cast<int*>(aData) : -1;
        CRtDnsRecord* record = nullptr;
        bool found = error == 0 &&
                     RT_SUCCEEDED(CRtDnsManager::Instance()->AsyncResolve(record, m_addrPeer.GetHostName())) &&
                     record && TakeFirstAddress(*record);
        if (record)
            record->ReleaseReference();
        if (!found) {
            RT_WARNING_TRACE_THIS("CRtConnectorTcpT::Connect, resolve failed! host=" << m_addrPeer.GetHostName()
                                                                                     << " err=" << error);
            m_upper.OnConnectIndication(RT_ERROR_NETWORK_DNS_FAILURE, nullptr, Self());
            return;
        }
        RT_INFO_TRACE_THIS("CRtConnectorTcpT::Connect, resolved ip=" << m_addrPeer.GetIpDisplayName());
        if (Connect_i() != 0)
            m_upper.OnConnectIndication(RT_ERROR_NETWORK_SOCKET_ERROR, nullptr, Self());
    }

    bool IsResolvingForTest() const { return m_bResolving; }

private:
    IRtConnectorInternal* Self() { return this; }

    bool TakeFirstAddress(const CRtDnsRecord& aRecord) {
        auto first = aRecord.begin();
        if (first == aRecord.end())
            return false;
        unsigned short port = m_addrPeer.GetPort();
        m_addrPeer.SetIpAddr(*first);
        m_addrPeer.SetPortA(port);
        return true;
    }

    int Connect_i() {
        IRtReactor* reactor = m_networkThread ? m_networkThread->GetReactor() : nullptr;
        RT_ASSERTE_RETURN(reactor, -1);
        RT_ASSERTE_RETURN(!m_pTransport, -1);
        m_pTransport = new TrptType(m_networkThread);
        m_pTransport->AddReference();
        SockType& sock = m_pTransport->GetPeer();
        RT_ASSERTE(sock.GetHandle() == RT_INVALID_HANDLE);
        // The any-address means no local address: the system picks one.
        bool bind = !m_addrLocal.IsAny();
        int rc = bind ? sock.Open(false, m_addrLocal) : sock.Open(false, m_addrPeer.GetType());
        if (rc != 0) {
            RT_ERROR_TRACE_THIS("CRtConnectorTcpT::Connect_i, Open() failed! laddr="
                                << m_addrLocal.GetIpDisplayName() << " lport=" << m_addrLocal.GetPort()
                                << " err=" << RtErrorText(errno));
            Close(RT_OK);
            return -1;
        }
        if (sock.Enable(RT_IPC_SAP::NON_BLOCK) != 0) {
            RT_ERROR_TRACE_THIS("CRtConnectorTcpT::Connect_i, Enable(NON_BLOCK) failed! err=" << RtErrorText(errno));
            Close(RT_OK);
            return -1;
        }
        RT_INFO_TRACE_THIS("CRtConnectorTcpT::Connect_i, addr=" << m_addrPeer.GetIpDisplayName()
                                                                << " port=" << m_addrPeer.GetPort() << " fd="
                                                                << static_cast<unsigned long long>(sock.GetHandle()));
        if (RT_FAILED(reactor->RegisterHandler(this, CONNECT_MASK))) {
            Close(RT_OK);
            return -1;
        }
        m_bRegistered = true;
        int result = sock.Connect(m_addrPeer);
        if (result == 0) {
            // Rare on a non-blocking socket; the reactor still reports the
            // socket writable, which completes it as usual.
            RT_INFO_TRACE_THIS("CRtConnectorTcpT::Connect, connect return 0.");
            return 0;
        }
        if (RtIsWouldBlock(errno))
            return 0;
        RT_ERROR_TRACE_THIS("CRtConnectorTcpT::Connect_i, connect() failed! addr=" << m_addrPeer.GetIpDisplayName()
                                                                                   << " port=" << m_addrPeer.GetPort()
                                                                                   << " err=" << RtErrorText(errno));
        Close(RT_OK);
        return -1;
    }

    void Succeed_i() {
        if (m_bRegistered)
            m_networkThread->GetReactor()->RemoveHandler(this, ALL_EVENTS_MASK);
        m_bRegistered = false;
        TrptType* transport = m_pTransport;
        m_pTransport = nullptr;
        m_upper.OnConnectIndication(RT_OK, transport, Self());
        transport->ReleaseReference();
    }

    void Fail_i(RtResult aReason) {
        Close(RT_OK);
        m_upper.OnConnectIndication(aReason, nullptr, Self());
    }

    UpperType& m_upper;
    TrptType* m_pTransport = nullptr;
    CRtInetAddr m_addrPeer;
    CRtInetAddr m_addrLocal;
    CRtThread* m_networkThread;
    bool m_bFixedThread;
    bool m_bResolving = false;
    bool m_bRegistered = false;
};

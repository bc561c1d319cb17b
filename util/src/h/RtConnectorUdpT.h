// The UDP connector: resolves the peer's name if it has one, then asks the
// endpoint manager for a transport to the peer and tells the upper
// connector the outcome, always from a later timer pass. Used only on one
// network thread.
#pragma once

#include "RtConnectorWrapper.h"
#include "RtDebug.h"
#include "RtDnsManager.h"
#include "RtObserver.h"
#include "RtThreadManager.h"
#include "RtUdpEndpoint.h"

template <class UpperType, class TrptType, class SockType>
class CRtConnectorUdpT : public IRtConnectorInternal, public IRtObserver, public CRtTimerWrapperSink {
public:
    explicit CRtConnectorUdpT(UpperType* aUpper) : m_pUpper(aUpper) {}
    ~CRtConnectorUdpT() override { Close(RT_OK); }

    int Connect(const CRtInetAddr& aAddr, CRtInetAddr* aAddrLocal = nullptr) override {
        Close(RT_OK);
        m_addrPeer = aAddr;
        m_bHasLocal = aAddrLocal != nullptr;
        if (aAddrLocal)
            m_addrLocal = *aAddrLocal;
        if (!m_addrPeer.IsResolved()) {
            CRtDnsRecord* record = nullptr;
            RtResult rv = CRtDnsManager::Instance()->AsyncResolve(record, m_addrPeer.GetHostName(), this, false,
                                                                  CRtThreadManager::Instance()->GetCurrentThread());
            if (record)
                record->ReleaseReference();
            if (rv == RT_ERROR_WOULD_BLOCK) {
                m_bResolving = true;
                return 0;
            }
            if (RT_FAILED(rv) || RT_FAILED(m_addrPeer.TryResolve()))
                return -1;
        }
        Connect_i();
        return 0;
    }

    int Close(RtResult = RT_OK) override {
        // A closed connector must not be told of its lookup any more.
        if (m_bResolving) {
            m_bResolving = false;
            CRtDnsManager::Instance()->CancelResolve(this);
        }
        m_Timer.Cancel();
        if (m_pTransport) {
            m_pTransport->Disconnect(RT_OK);
            m_pTransport->ReleaseReference();
            m_pTransport = nullptr;
        }
        m_nResult = RT_OK;
        return 0;
    }

    void OnObserve(const char*, void* aData) override {
        if (!m_bResolving)
            return;
        m_bResolving = false;
        int error = aData ? *static_cast<int*>(aData) : 0;
        if (error != 0 || RT_FAILED(m_addrPeer.TryResolve())) {
            Indicate_i(RT_ERROR_NETWORK_DNS_FAILURE);
            return;
        }
        RT_INFO_TRACE_THIS("CRtConnectorUdpT::Connect, resolved ip=" << m_addrPeer.GetIpDisplayName());
        Connect_i();
    }

    void OnTimer(CRtTimerWrapper*) override {
        TrptType* transport = m_pTransport;
        m_pTransport = nullptr;
        RtResult result = m_nResult;
        m_nResult = RT_OK;
        m_pUpper->OnConnectIndication(result, transport, m_pUpper);
        if (transport)
            transport->ReleaseReference();
    }

private:
    void Connect_i() {
        TrptType* transport = nullptr;
        RtResult rv =
            CRtUdpEndpointManager::Instance()->Connect(m_addrPeer, m_bHasLocal ? &m_addrLocal : nullptr, transport);
        m_pTransport = RT_SUCCEEDED(rv) ? transport : nullptr;
        Indicate_i(rv);
    }
    // The outcome goes up from a timer pass, never from inside the call
    // that started the connect.
    void Indicate_i(RtResult aResult) {
        m_nResult = aResult;
        m_Timer.Schedule(this, CRtTimeValue(), 1);
    }

    UpperType* m_pUpper;
    CRtInetAddr m_addrPeer;
    CRtInetAddr m_addrLocal;
    bool m_bHasLocal = false;
    bool m_bResolving = false;
    TrptType* m_pTransport = nullptr;
    RtResult m_nResult = RT_OK;
    CRtTimerWrapper m_Timer;
};

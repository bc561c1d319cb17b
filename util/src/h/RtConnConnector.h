// The connector of a reliable-connection type: makes a client connection
// over a base connector (which makes the TCP connections) and tells its
// sink once the client's handshake is done or failed. Used on one network
// thread (users go through the connector thread proxy).
#pragma once

#include <cstdint>

#include "RtDebug.h"
#include "RtNetworkBase.h"
#include "RtThreadManager.h"

// Client is made as Client(type word, base connector, network thread) and
// offers Connect(sink, id, address, limit, local) and CancelConnect.
template <class Client>
class CConnConnectorT : public IRtConnector, public CRtReferenceControlT<CRtMutexThread> {
public:
    CConnConnectorT(IRtConnector* pConnector, uint32_t aType, bool aFlag)
        : m_pConnector(pConnector), m_dwType(aType), m_bFlag(aFlag) {
        RT_ASSERTE(pConnector);
        RT_DEBUG_TRACE_THIS("CConnConnectorT");
    }

    uint32_t AddReference() override { return CRtReferenceControlT::AddReference(); }
    uint32_t ReleaseReference() override { return CRtReferenceControlT::ReleaseReference(); }
    bool IsConnector() override { return true; }

    RtResult AsycConnect(IRtAcceptorConnectorSink* aSink, const CRtInetAddr& aAddrPeer,
                         CRtTimeValue* aTimeout = nullptr, CRtInetAddr* aAddrLocal = nullptr) override {
        RT_ASSERTE_RETURN(aSink, RT_ERROR_INVALID_ARG);
        RT_ASSERTE_RETURN(m_pConnector, RT_ERROR_NULL_POINTER);
        CancelConnect(RT_OK);
        m_addrPeer = aAddrPeer;
        CRtThread* thread = CRtThreadManager::Instance()->GetCurrentThread();
        m_pClient = new Client(m_dwType, m_pConnector.Get(), thread);
        RtResult rv = m_pClient->Connect(aSink, this, aAddrPeer, aTimeout, aAddrLocal);
        if (RT_FAILED(rv))
            m_pClient = nullptr;
        return rv;
    }

    RtResult CancelConnect(RtResult aReason) override {
        if (m_pClient) {
            m_pClient->CancelConnect(aReason);
            m_pClient = nullptr;
        }
        return RT_OK;
    }

    uint32_t GetType() const { return m_dwType; }
    bool GetFlag() const { return m_bFlag; }

protected:
    ~CConnConnectorT() override {
        RT_DEBUG_TRACE_THIS("~CConnConnectorT");
        CancelConnect(RT_OK);
    }

private:
    CRtAutoPtr<IRtConnector> m_pConnector;
    uint32_t m_dwType;
    bool m_bFlag;
    CRtInetAddr m_addrPeer;
    CRtAutoPtr<Client> m_pClient;
};

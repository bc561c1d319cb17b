// The base connector the connection manager hands out (behind a connector
// thread proxy): it owns one inner connector of the connection type, adds
// the time limit, and makes sure its sink hears exactly one indication per
// connect, never from inside AsycConnect. Used only on one network thread.
#pragma once

#include "RtConnectorInternal.h"
#include "RtNetworkBase.h"
#include "RtReferenceControl.h"
#include "RtDebug.h"
#include "RtTimerWrapper.h"

class CRtConnectorWrapper : public IRtConnector,
                            public IRtAcceptorConnectorSink,
                            public CRtTimerWrapperSink,
                            public CRtReferenceControlT<CRtMutexThread> {
public:
    CRtConnectorWrapper();

    uint32_t AddReference() override { return CRtReferenceControlT::AddReference(); }
    uint32_t ReleaseReference() override { return CRtReferenceControlT::ReleaseReference(); }
    bool IsConnector() override { return true; }

    // Makes the inner connector for the type: 1 (TCP), 2 (UDP), 0x8000
    // (through the proxy the proxy manager names). Other types are refused
    // with RT_ERROR_INVALID_ARG ("error type=").
    RtResult Init(uint32_t aType);

    RtResult AsycConnect(IRtAcceptorConnectorSink* aSink, const CRtInetAddr& aAddrPeer,
                         CRtTimeValue* aTimeout = nullptr, CRtInetAddr* aAddrLocal = nullptr) override;
    // No indication follows.
    RtResult CancelConnect(RtResult aReason) override;

    // From the inner connector.
    void OnConnectIndication(RtResult aReason, IRtTransport* aTrpt, IRtAcceptorConnectorId* aId) override;
    void OnConnectIndication(RtResult aReason, IRtTransport* aTrpt, IRtConnectorInternal* aId) {
        RT_ASSERTE(aId == m_pConnector);
        OnConnectIndication(aReason, aTrpt, static_cast<IRtAcceptorConnectorId*>(this));
    }
    void OnTimer(CRtTimerWrapper* aId) override;

    IRtConnectorInternal* GetInner() const { return m_pConnector; }

protected:
    ~CRtConnectorWrapper() override;

private:
    void Close_i();

    IRtAcceptorConnectorSink* m_pSink = nullptr;
    IRtConnectorInternal* m_pConnector = nullptr;
    uint32_t m_dwType = 0;
    bool m_bClosed = true;
    RtResult m_nTimerReason = RT_OK;
    CRtTimerWrapper m_Timer;
};

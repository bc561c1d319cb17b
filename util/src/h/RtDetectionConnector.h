// Runs several connectors for one target and keeps the first that
// succeeds: each item is a base connector of one connection type (for
// instance 0x8000, through the proxy the proxy manager names, and 1,
// direct) behind a connector thread proxy, so the detection connector
// itself, its timer and every indication live on the thread that calls
// AsycConnect (any framework thread).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "RtInetAddr.h"
#include "RtMutex.h"
#include "RtNetworkBase.h"
#include "RtReferenceControl.h"
#include "RtTimerWrapper.h"

class IRtDetectionConnector : public IRtConnector {
public:
    // One more connection type to try, towards aAddr; a default address
    // (port 0) means the target given to AsycConnect.
    virtual RtResult AddConnection(uint32_t aType, const CRtInetAddr& aAddr) = 0;
    // Mode 1 starts the items one second apart, in the order they were
    // added; any other mode starts them all at once. Items need their own
    // addresses here.
    virtual RtResult AsycConnect(IRtAcceptorConnectorSink* aSink, CRtTimeValue* aTimeout, int aMode,
                                 CRtInetAddr* aAddrLocal) = 0;
    // To aAddrPeer, in mode 1.
    using IRtConnector::AsycConnect;

protected:
    ~IRtDetectionConnector() override {}
};

class CRtDetectionConnector : public IRtDetectionConnector,
                              public CRtTimerWrapperSink,
                              public CRtReferenceControlT<CRtMutexThread> {
public:
    CRtDetectionConnector() = default;

    uint32_t AddReference() override { return CRtReferenceControlT::AddReference(); }
    uint32_t ReleaseReference() override { return CRtReferenceControlT::ReleaseReference(); }
    bool IsConnector() override { return true; }

    RtResult AddConnection(uint32_t aType, const CRtInetAddr& aAddr) override;
    RtResult AsycConnect(IRtAcceptorConnectorSink* aSink, const CRtInetAddr& aAddrPeer,
                         CRtTimeValue* aTimeout = nullptr, CRtInetAddr* aAddrLocal = nullptr) override;
    RtResult AsycConnect(IRtAcceptorConnectorSink* aSink, CRtTimeValue* aTimeout, int aMode,
                         CRtInetAddr* aAddrLocal) override;
    // Stops the timer and every item; no indication follows.
    RtResult CancelConnect(RtResult aReason) override;

    void OnTimer(CRtTimerWrapper* aId) override;

protected:
    ~CRtDetectionConnector() override;

private:
    class CConnectorItem : public IRtAcceptorConnectorSink {
    public:
        CConnectorItem(CRtDetectionConnector* aOwner, uint32_t aType, const CRtInetAddr& aAddr,
                       IRtConnector* aConnector)
            : m_pOwner(aOwner), m_dwType(aType), m_addr(aAddr), m_pConnector(aConnector) {}
        void OnConnectIndication(RtResult aReason, IRtTransport* aTrpt, IRtAcceptorConnectorId*) override {
            m_pOwner->OnItem_i(this, aReason, aTrpt);
        }

        CRtDetectionConnector* m_pOwner;
        uint32_t m_dwType;
        CRtInetAddr m_addr;
        CRtAutoPtr<IRtConnector> m_pConnector;
        bool m_bStarted = false;
        bool m_bEnded = false;
    };

    RtResult Start_i(IRtAcceptorConnectorSink* aSink, const CRtInetAddr* aAddrPeer, CRtTimeValue* aTimeout, int aMode,
                     CRtInetAddr* aAddrLocal);
    void StartItem_i(size_t aIndex);
    void OnItem_i(CConnectorItem* aItem, RtResult aReason, IRtTransport* aTrpt);
    void StopAll_i();

    std::vector<std::unique_ptr<CConnectorItem>> m_conn_list;
    IRtAcceptorConnectorSink* m_pSink = nullptr;
    bool m_bHasTarget = false;
    CRtInetAddr m_addrPeer;
    bool m_bHasTimeout = false;
    CRtTimeValue m_tvTimeout;
    bool m_bHasLocal = false;
    CRtInetAddr m_addrLocal;
    // Items not started yet, and the next one to start.
    size_t m_nToStart = 0;
    size_t m_nNext = 0;
    size_t m_nEnded = 0;
    RtResult m_nLastReason = RT_ERROR_NETWORK_CONNECT_FAILED;
    CRtTimerWrapper m_Timer;
};

// The client end of the reliable TCP connection: makes the TCP connection
// through a base connector, runs the handshake, and (type bit 0x80000)
// reconnects within 4 seconds after losing its transport, resending every
// unacknowledged 'G' unit, without its user seeing the loss.
#pragma once

#include "RtConnRlbTcp.h"
#include "RtInetAddr.h"
#include "RtTimeValue.h"

class CRtConnRlbTcpClient : public CRtConnRlbTcp {
public:
    static constexpr uint32_t kTypeMask = 0x1E0001;
    static constexpr uint32_t kReconnectWindowMs = 4000;
    static constexpr uint32_t kFirstAttemptMs = 100;
    static constexpr uint32_t kAttemptLimitSeconds = 3;

    // aConnector makes the TCP connections (first and later ones); the
    // client keeps a reference.
    CRtConnRlbTcpClient(uint32_t aType, IRtConnector* aConnector, CRtThread* aThread);

    // Starts the first connection. aRequester hears the outcome once, as
    // OnConnectIndication(result, this or null, aRequestId): success after
    // the handshake, or the failure. With aTimeout the whole of it must end
    // in that time (RT_ERROR_NETWORK_CONNECT_TIMEOUT otherwise).
    RtResult Connect(IRtAcceptorConnectorSink* aRequester, IRtAcceptorConnectorId* aRequestId, const CRtInetAddr& aAddr,
                     const CRtTimeValue* aTimeout = nullptr, const CRtInetAddr* aAddrLocal = nullptr);
    // The requester gives up: nothing more is told to it.
    void CancelConnect(RtResult aReason);

    RtResult Disconnect(RtResult aReason) override;
    // From the base connector.
    void OnConnectIndication(RtResult aReason, IRtTransport* aTrpt, IRtAcceptorConnectorId* aRequestId) override;

    uint32_t GetReconnectAttempts() const { return m_nAttempts; }

protected:
    ~CRtConnRlbTcpClient() override;

    void OnRecvConnReq(const CRtRlbTcpPdu& aPdu) override;
    void OnRecvConnResp(const CRtRlbTcpPdu& aPdu) override;
    void OnRecvDisconn() override;
    void OnRecvRtt(uint32_t aValue) override;
    void OnException(RtResult aReason) override;
    void OnLowerDisconnect(RtResult aReason) override;
    void OnIdleTimeout() override;
    bool AcceptsHandshakeUnit(uint8_t aType) const override;
    void OnOtherTimer(CRtTimerWrapper* aId) override;
    bool IsServerSide() const override { return false; }

private:
    // Leaves every state for CS_UNCONNECTED: timers, the connector's
    // attempt and the transport go.
    void Close_i(RtResult aReason);
    // Tells the requester of the first connection and forgets it.
    void ReportToRequester(RtResult aReason);
    // The first connection's failure, or a failure later: to whom it goes.
    void Fail_i(RtResult aReason);
    void StartReconnect(bool aDisconnect, RtResult aReason);
    void ScheduleAttempt();
    void Attempt_i();

    CRtAutoPtr<IRtConnector> m_pConnector;
    IRtAcceptorConnectorSink* m_pRequester = nullptr;
    IRtAcceptorConnectorId* m_pRequestId = nullptr;
    CRtInetAddr m_addrPeer;
    bool m_bConnecting = false;  // the first connection, until its handshake ends
    bool m_bFirstDone = false;
    uint32_t m_nAttempts = 0;
    CRtTimerWrapper m_attemptTimer;
};

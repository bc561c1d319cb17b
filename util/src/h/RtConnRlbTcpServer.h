// The server end of the reliable TCP connection. Made by its acceptor for
// each accepted TCP transport, it answers the client's 'A': a new
// connection gets a channel in the acceptor's ServerListT and a random
// ticket, and goes to the acceptor's user; a reconnecting client's
// transport is handed to the connection that already has its channel
// (Retrieve), whose user never sees the change.
#pragma once

#include "RtConnAcceptor.h"
#include "RtConnRlbTcp.h"

class CRtConnRlbTcpServer : public CRtConnRlbTcp {
public:
    typedef ServerListT<CRtConnRlbTcpServer> ServerList;
    static constexpr uint32_t kWaitReconnectMs = 4000;

    CRtConnRlbTcpServer(IRtConnServerHostT<CRtConnRlbTcpServer>* aHost, ServerList* aServerList, uint32_t aType,
                        CRtThread* aThread);

    RtResult Disconnect(RtResult aReason) override;
    // From the acceptor: the accepted TCP transport.
    void OnConnectIndication(RtResult aReason, IRtTransport* aTrpt, IRtAcceptorConnectorId* aRequestId) override;
    void OnReceive(CRtMessageBlock& aData, IRtTransport* aTrptId) override;
    void OnDisconnect(RtResult aReason, IRtTransport* aTrptId) override;

    // The acceptor goes away: nothing more is told to it.
    void DetachHost() { m_pHost = nullptr; }
    // Seconds a new connection waits for a valid 'A'.
    void SetHandshakeLimit(uint16_t aSeconds) { m_wHandshakeLimit = aSeconds; }

    // On this (the old) connection's thread: takes aNew's transport over
    // and answers the reconnecting client, resending from aClientAck.
    void Retrieve(CRtConnRlbTcpServer* aNew, uint16_t aClientAck);
    // Answers the client with a 'B' of aResult and closes (a reconnection
    // that found its old connection closed).
    void Reject(RtResult aResult);

protected:
    ~CRtConnRlbTcpServer() override;
    void OnReferenceDestory() override;

    void OnRecvConnReq(const CRtRlbTcpPdu& aPdu) override;
    void OnRecvConnResp(const CRtRlbTcpPdu& aPdu) override;
    void OnRecvDisconn() override;
    void OnRecvRtt(uint32_t aValue) override;
    void OnException(RtResult aReason) override;
    void OnLowerDisconnect(RtResult aReason) override;
    void OnIdleTimeout() override;
    bool AcceptsHandshakeUnit(uint8_t aType) const override;
    void OnOtherTimer(CRtTimerWrapper* aId) override;
    bool IsServerSide() const override { return true; }

private:
    // Timers, transport and channel go; CS_UNCONNECTED.
    void Close_i(RtResult aReason);
    // A failure: to the acceptor during the handshake, else to the user.
    void Fail_i(RtResult aReason);
    void LeaveList();
    void StartKeepAliveOrTcp();
    RtResult SendConnResp(uint32_t aResult);

    IRtConnServerHostT<CRtConnRlbTcpServer>* m_pHost;
    CRtAutoPtr<ServerList> m_pServerList;
    const uint32_t m_dwAcceptorType;
    uint16_t m_wHandshakeLimit = 0;
    // The transport is on its way to an older connection: callbacks from
    // it come on that connection's thread and are not this one's business.
    bool m_bHandingOver = false;
};

// Runs Retrieve on the old connection's thread.
class CRtEventRlbTcpServerRetrieve : public IRtEvent {
public:
    CRtEventRlbTcpServerRetrieve(CRtConnRlbTcpServer* aNew, CRtConnRlbTcpServer* aOld, uint16_t aClientAck)
        : m_pNew(aNew), m_pOld(aOld), m_wClientAck(aClientAck) {}
    RtResult OnEventFire() override;

private:
    CRtAutoPtr<CRtConnRlbTcpServer> m_pNew;
    CRtAutoPtr<CRtConnRlbTcpServer> m_pOld;
    uint16_t m_wClientAck;
};

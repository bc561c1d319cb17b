// The acceptor of a reliable-connection type: listens through a base
// acceptor, wraps each accepted transport in a server connection, and
// hands the connection to its user once the connection's handshake is
// done. Lives on the network thread it listens on; the connections it
// made belong to it only until their handshake ends.
#pragma once

#include <cstdint>
#include <set>

#include "RtConnServerList.h"
#include "RtConnectionManagerTypes.h"
#include "RtDebug.h"
#include "RtNetworkBase.h"
#include "RtThreadManager.h"

// What a server connection in its handshake tells its acceptor.
template <class Server>
class IRtConnServerHostT {
public:
    // The handshake succeeded: the connection goes to the acceptor's user.
    virtual void OnServerReady(Server* aServer) = 0;
    // The handshake failed, or the connection was taken over by an older
    // one: the acceptor forgets it.
    virtual void OnServerGone(Server* aServer) = 0;
    virtual uint32_t GetType() const = 0;

protected:
    virtual ~IRtConnServerHostT() {}
};

// Server is made as Server(host, server list, type word, network thread)
// and offers OnConnectIndication (the accepted transport), DetachHost()
// and Disconnect.
template <class Server>
class CConnAcceptorT : public IRtAcceptor,
                       public IRtAcceptorConnectorSink,
                       public IRtConnServerHostT<Server>,
                       public CRtReferenceControlT<CRtMutexThread> {
public:
    CConnAcceptorT(IRtAcceptor* aAcceptor, ServerListT<Server>* aServerList, uint32_t aType, LBStrategy aLBStrategy,
                   bool aFlag)
        : m_pAcceptor(aAcceptor),
          m_pServerList(aServerList),
          m_dwType(aType),
          m_lbStrategy(aLBStrategy),
          m_bFlag(aFlag) {
        RT_ASSERTE(aAcceptor);
        if (aAcceptor)
            aAcceptor->AddReference();
        RT_DEBUG_TRACE_THIS("CConnAcceptorT");
    }

    uint32_t AddReference() override { return CRtReferenceControlT::AddReference(); }
    uint32_t ReleaseReference() override { return CRtReferenceControlT::ReleaseReference(); }
    bool IsConnector() override { return false; }

    RtResult StartListen(IRtAcceptorConnectorSink* aSink, const CRtInetAddr& aAddrListen) override {
        RT_ASSERTE_RETURN(aSink, RT_ERROR_INVALID_ARG);
        RT_ASSERTE_RETURN(m_pAcceptor, RT_ERROR_NULL_POINTER);
        m_pSink = aSink;
        RtResult rv = m_pAcceptor->StartListen(this, aAddrListen);
        if (RT_FAILED(rv))
            m_pSink = nullptr;
        return rv;
    }

    RtResult StopListen(RtResult aReason) override {
        m_pSink = nullptr;
        RtResult rv = m_pAcceptor ? m_pAcceptor->StopListen(aReason) : RT_OK;
        DropPending(aReason);
        return rv;
    }

    // From the base acceptor: a new transport, unopened.
    void OnConnectIndication(RtResult aReason, IRtTransport* aTrpt, IRtAcceptorConnectorId*) override {
        if (RT_FAILED(aReason) || !aTrpt)
            return;
        CRtThread* thread = CRtThreadManager::Instance()->GetCurrentThread();
        Server* server = new Server(this, m_pServerList.Get(), m_dwType, thread);
        server->AddReference();
        m_Pending.insert(server);
        if (m_wHandshakeLimit)
            server->SetHandshakeLimit(m_wHandshakeLimit);
        server->OnConnectIndication(RT_OK, aTrpt, this);
    }

    void OnServerReady(Server* aServer) override {
        if (!m_Pending.erase(aServer))
            return;
        IRtAcceptorConnectorSink* sink = m_pSink;
        if (sink)
            sink->OnConnectIndication(RT_OK, aServer, this);
        else
            aServer->Disconnect(RT_ERROR_NOT_INITIALIZED);
        aServer->ReleaseReference();
    }

    void OnServerGone(Server* aServer) override {
        if (m_Pending.erase(aServer))
            aServer->ReleaseReference();
    }

    uint32_t GetType() const override { return m_dwType; }
    LBStrategy GetLBStrategy() const { return m_lbStrategy; }
    bool GetFlag() const { return m_bFlag; }
    ServerListT<Server>* GetServerList() const { return m_pServerList.Get(); }
    size_t GetPendingCount() const { return m_Pending.size(); }
    // The seconds a new connection has for its handshake (its idle timeout
    // unless set).
    void SetHandshakeLimit(uint16_t aSeconds) { m_wHandshakeLimit = aSeconds; }

protected:
    ~CConnAcceptorT() override {
        RT_DEBUG_TRACE_THIS("~CConnAcceptorT");
        DropPending(RT_OK);
        if (m_pAcceptor)
            m_pAcceptor->ReleaseReference();
    }

private:
    void DropPending(RtResult aReason) {
        std::set<Server*> pending;
        pending.swap(m_Pending);
        for (Server* server : pending) {
            server->DetachHost();
            server->Disconnect(aReason);
            server->ReleaseReference();
        }
    }

    IRtAcceptor* m_pAcceptor;
    CRtAutoPtr<ServerListT<Server>> m_pServerList;
    uint32_t m_dwType;
    LBStrategy m_lbStrategy;
    bool m_bFlag;
    IRtAcceptorConnectorSink* m_pSink = nullptr;
    // Connections in their handshake, with a reference each; only the
    // listening network thread touches it.
    std::set<Server*> m_Pending;
    uint16_t m_wHandshakeLimit = 0;
};

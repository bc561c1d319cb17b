// The status endpoint: one listener on the loopback address, and one client
// per accepted connection that answers every request with the status body.
// Accepting, receiving and disconnecting run on the thread that called
// Init; Uninit may be called from any thread and does its work there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "RtChannelManager.h"
#include "RtMutex.h"
#include "RtReferenceControl.h"

class CClientManager;

class CHttpClient : public IRtTransportSink {
public:
    CHttpClient(IRtChannelHttpServer* aServer, CClientManager* aManager);
    ~CHttpClient() override;

    void OnReceive(CRtMessageBlock& aData, IRtTransport* aTrptId) override;
    void OnSend(IRtTransport*) override {}
    void OnDisconnect(RtResult aReason, IRtTransport* aTrptId) override;

private:
    CRtAutoPtr<IRtChannelHttpServer> m_pServer;
    CClientManager* m_pManager;
};

class CClientManager : public IRtChannelServerSink {
public:
    static const uint16_t kStatusPort = 5161;

    CClientManager() = default;
    ~CClientManager() override;

    // Listens on 127.0.0.1 at the status port (another port for tests).
    RtResult Init(uint16_t aPort = kStatusPort);
    void Uninit();

    void OnServerCreation(IRtChannelHttpServer* aServer) override;

    // Called by a client's destructor.
    void Remove(CHttpClient* aClient);
    size_t GetClientCount();

private:
    friend class CUninitFunctor;
    void Uninit_i();

    std::vector<CHttpClient*> m_Clients;
    CRtMutexThread m_Lock;  // the list is shared with the thread that stops the service
    CRtAutoPtr<IRtChannelServerAcceptor> m_pAcceptor;
    unsigned long m_dwOwnerThread = 0;
};

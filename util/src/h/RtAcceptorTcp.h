// Listeners that hand each new connection to a sink as an unopened
// transport. Used only on their network thread (users go through the
// acceptor thread proxy).
#pragma once

#include "RtNetworkBase.h"
#include "RtReactorInterface.h"
#include "RtSocket.h"

class CRtThread;

class CRtAcceptorBase : public IRtAcceptor, public CRtReferenceControlT<CRtMutexThread> {
public:
    uint32_t AddReference() override { return CRtReferenceControlT::AddReference(); }
    uint32_t ReleaseReference() override { return CRtReferenceControlT::ReleaseReference(); }
    bool IsConnector() override { return false; }

protected:
    ~CRtAcceptorBase() override {}

    IRtAcceptorConnectorSink* m_pSink = nullptr;
};

class CRtAcceptorTcp : public CRtAcceptorBase, public IRtEventHandler {
public:
    CRtAcceptorTcp() = default;

    RtResult StartListen(IRtAcceptorConnectorSink* aSink, const CRtInetAddr& aAddrListen) override;
    RtResult StopListen(RtResult aReason) override;

    RT_HANDLE GetHandle() const override { return m_Socket.GetHandle(); }
    // Accepts one connection per call; never unregisters the listener.
    int OnInput(RT_HANDLE aFd) override;
    int OnClose(RT_HANDLE aFd, MASK aMask) override;

protected:
    ~CRtAcceptorTcp() override;

    CRtThread* m_networkThread = nullptr;
    CRtSocketStream m_Socket;
};

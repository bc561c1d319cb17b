// The common transport base and the TCP transport. A transport lives on
// one network thread (its bind thread) and all its operations run there;
// other threads reach it through a thread proxy.
#pragma once

#include "RtNetworkBase.h"
#include "RtReactorInterface.h"
#include "RtSocket.h"
#include "RtUtilTemplates.h"

class CRtThreadInfo;

class CRtTransportBase : public IRtEventHandler,
                         public IRtTransport,
                         public CRtReferenceControlTimerDeleteT<CRtMutexThread> {
public:
    uint32_t AddReference() override { return CRtReferenceControlTimerDeleteT::AddReference(); }
    uint32_t ReleaseReference() override { return CRtReferenceControlTimerDeleteT::ReleaseReference(); }

    RtResult OpenWithSink(IRtTransportSink* aSink) override;
    IRtTransportSink* GetSink() override { return m_pSink; }
    RtResult GetOption(unsigned long aCommand, void* aArg) override;
    RtResult Disconnect(RtResult aReason) override;
    int OnClose(RT_HANDLE aFd, MASK aMask) override;

protected:
    CRtTransportBase();
    ~CRtTransportBase() override;

    virtual RtResult Open_i() = 0;
    virtual RtResult Close_i(RtResult aReason) = 0;
    // At a close the reactor reported: whether the socket stays open for
    // sending (the peer only finished its side).
    virtual bool KeepOpenAtPeerClose_i() { return false; }
    RtResult SetTos2Socket(CRtSocketBase& aSocket, const int* aTos);

    IRtTransportSink* m_pSink = nullptr;
    bool m_isLoadAdded = false;
    uint32_t m_dwBytesSent = 0;
    uint32_t m_dwBytesRecv = 0;
    uint64_t m_tickCreated;
    uint64_t m_tickLast;
};

class CRtTransportTcp : public CRtTransportBase {
public:
    explicit CRtTransportTcp(CRtThread* aThread);

    RT_HANDLE GetHandle() const override { return m_SocketTcp.GetHandle(); }
    int OnInput(RT_HANDLE aFd) override;
    int OnOutput(RT_HANDLE aFd) override;

    RtResult SendData(CRtMessageBlock& aData, bool aFlag = true, bool aDestroy = false, long aPriority = 2,
                      bool aPduFlag = true) override;
    RtResult SetOption(unsigned long aCommand, void* aArg) override;
    RtResult GetOption(unsigned long aCommand, void* aArg) override;

    // TCP transports alive in the process, for leak checks.
    static long GetLiveCount();

    // For acceptors and connectors: the connected socket.
    CRtSocketStream& GetPeer() { return m_SocketTcp; }
    // For connectors that take over a socket from a proxy tunnel: bytes
    // already read from it (the target's first bytes behind the proxy's
    // answer). The sink receives them first, once the transport is open.
    void SetPreReadData(const CRtString& aData) { m_strPreRead = aData; }
    CRtThread* GetBindThread() const { return m_bindThread; }

protected:
    ~CRtTransportTcp() override;

    RtResult Open_i() override;
    RtResult Close_i(RtResult aReason) override;
    // Leaves the reactor and the thread's load, keeping the socket.
    void Leave_i();
    // A peer that only finished sending (FIN, no error) ends the connection
    // for the sink as any close does, but the socket stays open for sending
    // until Disconnect or the last release: answers to what the peer sent
    // may still be on their way from another thread.
    bool KeepOpenAtPeerClose_i() override;
    int Recv_i(char* aBuf, unsigned long aLen);
    RtResult BindThread(CRtTransportBindThreadParam* aParam);
    void TakeScratch();

    // Hands the pre-read bytes to the sink, once.
    void DeliverPreRead_i();

    friend class CRtEventOnBindThread;
    friend class CRtEventPreRead;

    CRtThread* m_bindThread;
    iovec* m_pIov = nullptr;
    char* m_pRecvBuffer = nullptr;
    CRtSocketStream m_SocketTcp;
    bool m_bWouldBlock = false;
    CRtInetAddr m_addrPeer;
    uint32_t m_dwLoad = 0;
    CRtString m_strPreRead;
};

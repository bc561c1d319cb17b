// Thread proxies: a transport, acceptor or connector that lives on a
// network thread, used from another thread (the user thread) as if it were
// local. Calls go to the network thread as events and callbacks come back
// to the user thread as events; when both are one thread, calls go straight
// through.
#pragma once

#include <atomic>
#include <cstdint>

#include "RtConnectionManagerTypes.h"
#include "RtDebug.h"
#include "RtEventQueue.h"
#include "RtMutex.h"
#include "RtNetworkBase.h"
#include "RtObserver.h"
#include "RtReferenceControl.h"
#include "RtThread.h"
#include "RtThreadManager.h"
#include "RtThreadProxyBase.h"

class CRtCarriedData;

// ---- Transport proxy ---------------------------------------------------------

// The user's observer (RT_OPT_RUDP_OBSERVER) is told on the user thread,
// and never after Disconnect: the lower transport observes the proxy.
class CRtTransportThreadProxy : public IRtTransport,
                                public IRtTransportSink,
                                public IRtObserver,
                                public CRtThreadProxyReference {
public:
    // Datagrams one UDP proxy lets travel between its threads at a time,
    // each way: posted sends not yet sent, and received datagrams not yet
    // delivered to the user thread. A slower side cannot queue without end.
    static constexpr uint32_t kUdpInFlightMax = 1024;

    CRtTransportThreadProxy(IRtTransport* aLower, CRtThread* aNetworkThread, CRtThread* aUserThread,
                            unsigned long aType, ThreadStrategy aStrategy);

    uint32_t AddReference() override { return ProxyAddReference(); }
    uint32_t ReleaseReference() override { return ProxyReleaseReference(); }

    // IRtTransport, for the user thread.
    RtResult OpenWithSink(IRtTransportSink* aSink) override;
    void SetParameter(unsigned long aValue) override;
    IRtTransportSink* GetSink() override { return m_pSink.load(std::memory_order_acquire); }
    RtResult SendDataEx(CRtMessageBlock& aData, uint32_t a2, uint32_t a3, uint32_t a4, uint32_t a5, uint32_t a6,
                        uint32_t a7) override;
    RtResult SendData(CRtMessageBlock& aData, bool aFlag = true, bool aDestroy = false, long aPriority = 2,
                      bool aPduFlag = true) override;
    RtResult SetOption(unsigned long aCommand, void* aArg) override;
    RtResult GetOption(unsigned long aCommand, void* aArg) override;
    RtResult Disconnect(RtResult aReason) override;

    // IRtTransportSink, for the lower transport on the network thread.
    void OnReceive(CRtMessageBlock& aData, IRtTransport* aTrptId) override;
    void OnSend(IRtTransport* aTrptId) override;
    void OnDisconnect(RtResult aReason, IRtTransport* aTrptId) override;
    // IRtObserver, for the lower transport on the network thread.
    void OnObserve(const char* aTopic, void* aData) override;

    CRtThread* GetNetworkThread() const { return m_networkThread.load(std::memory_order_acquire); }
    CRtThread* GetUserThread() const { return m_userThread.load(std::memory_order_acquire); }
    bool IsStopped() const { return stoppedflag_.load(std::memory_order_acquire); }
    // How many pending sends the queue has room for (it only grows).
    uint32_t GetSendBufferCapacity() const { return m_sendBuffer.GetCapacity(); }
    // Proxies alive in the process, for the tests' leak checks.
    static long GetLiveCountForTest();
    uint32_t GetUdpSendsInFlight() const { return m_nUdpSendsInFlight.load(); }
    uint32_t GetUdpReceivesInFlight() const { return m_nUdpRecvInFlight.load(); }

protected:
    ~CRtTransportThreadProxy() override;
    CRtThread* GetDeleteThread() override { return GetNetworkThread(); }

private:
    friend class CRtEventSendData;
    template <class E>
    friend class CRtCarrierEventT;
    friend class CRtEventSendUdpData;
    friend class CRtEventDisconnect;
    friend class CRtEventOnReceive;
    friend class CRtEventOnSend;
    friend class CRtEventOnDisconnect;
    friend class CRtEventOnObserve;

    bool OnNetworkThread() const;
    bool OnUserThread() const;
    bool UserThreadStopped() const;
    // Network thread: sends aData now, or queues what is left of it behind
    // what is pending. Returns the lower result, RT_OK when queued.
    RtResult SendOrQueue_n(CRtCarriedData& aData, bool aFlag, long aPriority, bool aPduFlag);
    RtResult Queue_n(CRtMessageBlock* aData, bool aFlag, long aPriority, bool aPduFlag);
    RtResult PostToNetwork(IRtEvent* aEvent);
    RtResult PostToUser(IRtEvent* aEvent);
    RtResult SetOption_n(unsigned long aCommand, void* aArg);
    RtResult GetOption_n(unsigned long aCommand, void* aArg);
    // Runs a forwarded option on the network thread.
    RtResult OptionOnNetwork(bool aSet, unsigned long aCommand, void* aArg);
    // A datagram dropped on its way (aSend: refused by the socket when its
    // event fired; else past the receive bound): counted, and the count
    // logged at most once a second.
    void CountUdpDrop(bool aSend);

    CRtLowerRef<IRtTransport> m_lowerTransport;
    std::atomic<IRtTransportSink*> m_pSink{nullptr};
    std::atomic<IRtObserver*> m_pObserver{nullptr};
    std::atomic<CRtThread*> m_networkThread;
    std::atomic<CRtThread*> m_userThread;
    unsigned long m_dwType;
    ThreadStrategy m_threadStrategy;
    std::atomic<bool> m_bSendRefused{false};
    CRtPendingSendQueue m_sendBuffer;
    std::atomic<bool> stoppedflag_{false};
    CRtMutexThreadRecursive m_Mutex;
    std::atomic<uint32_t> m_nUdpSendsInFlight{0};
    std::atomic<uint32_t> m_nUdpRecvInFlight{0};
    // Network thread only.
    uint32_t m_nUdpDropped[2] = {0, 0};
    uint32_t m_dwUdpDropTick[2] = {0, 0};
    bool m_bUdpDropLogged[2] = {false, false};
};

// ---- Acceptor and connector proxies --------------------------------------------

class CRtAcceptorThreadProxy : public IRtAcceptor, public IRtAcceptorConnectorSink, public CRtThreadProxyReference {
public:
    CRtAcceptorThreadProxy(unsigned long aType, ThreadStrategy aThreadStrategy, LBStrategy aLBStrategy,
                           IRtAcceptor* aAcceptor);

    uint32_t AddReference() override { return ProxyAddReference(); }
    uint32_t ReleaseReference() override { return ProxyReleaseReference(); }
    bool IsConnector() override { return false; }

    RtResult StartListen(IRtAcceptorConnectorSink* inSink, const CRtInetAddr& aAddr) override;
    RtResult StopListen(RtResult aReason) override;

    // From the base acceptor, on the network thread.
    void OnConnectIndication(RtResult inResult, IRtTransport* inTransport, IRtAcceptorConnectorId* aRequestId) override;

    CRtThread* GetNetworkThread() const { return m_networkThread.load(std::memory_order_acquire); }
    CRtThread* GetUserThread() const { return m_userThread.load(std::memory_order_acquire); }
    IRtAcceptorConnectorSink* GetUserSink() const { return m_pSink.load(std::memory_order_acquire); }
    bool IsStopped() const { return stoppedflag_.load(std::memory_order_acquire); }
    // An acceptor goes on indicating after a connection.
    void OnIndicationDelivered() {}

protected:
    ~CRtAcceptorThreadProxy() override;
    CRtThread* GetDeleteThread() override { return GetNetworkThread(); }
    void OnLastUserRelease() override;

private:
    friend class CRtEventStartListen;
    friend class CRtEventStopListen;

    std::atomic<IRtAcceptorConnectorSink*> m_pSink{nullptr};
    unsigned long m_dwType;
    ThreadStrategy m_threadStrategy;
    LBStrategy m_lbStrategy;
    CRtLowerRef<IRtAcceptor> m_pAcceptor;
    std::atomic<CRtThread*> m_userThread{nullptr};
    std::atomic<CRtThread*> m_networkThread{nullptr};
    std::atomic<bool> stoppedflag_{true};
};

class CRtConnectorThreadProxy : public IRtConnector, public IRtAcceptorConnectorSink, public CRtThreadProxyReference {
public:
    CRtConnectorThreadProxy(unsigned long aType, ThreadStrategy aThreadStrategy, IRtConnector* aConnector);

    uint32_t AddReference() override { return ProxyAddReference(); }
    uint32_t ReleaseReference() override { return ProxyReleaseReference(); }
    bool IsConnector() override { return true; }

    RtResult AsycConnect(IRtAcceptorConnectorSink* inSink, const CRtInetAddr& aAddrPeer,
                         CRtTimeValue* aTimeout = nullptr, CRtInetAddr* aAddrLocal = nullptr) override;
    RtResult CancelConnect(RtResult aReason) override;

    // From the base connector, on the network thread.
    void OnConnectIndication(RtResult inResult, IRtTransport* inTransport, IRtAcceptorConnectorId* aRequestId) override;

    CRtThread* GetNetworkThread() const { return pThreadNetwork_.load(std::memory_order_acquire); }
    CRtThread* GetUserThread() const { return pThreadUser_.load(std::memory_order_acquire); }
    IRtAcceptorConnectorSink* GetUserSink() const { return m_pSink.load(std::memory_order_acquire); }
    bool IsStopped() const { return stoppedflag_.load(std::memory_order_acquire); }
    // A connector indicates once.
    void OnIndicationDelivered() { stoppedflag_ = true; }

protected:
    ~CRtConnectorThreadProxy() override;
    CRtThread* GetDeleteThread() override { return GetNetworkThread(); }
    void OnLastUserRelease() override;

private:
    friend class CRtEventAsycConnect;
    friend class CRtEventCancelConnect;

    std::atomic<IRtAcceptorConnectorSink*> m_pSink{nullptr};
    ThreadStrategy m_threadStrategy;
    std::atomic<CRtThread*> pThreadUser_{nullptr};
    std::atomic<CRtThread*> pThreadNetwork_{nullptr};
    CRtLowerRef<IRtConnector> m_pConnector;
    unsigned long m_dwType;
    std::atomic<bool> stoppedflag_{true};
};

// A connection indicated to the user thread (or, for a transport moved to
// another network thread, to that thread). P is the acceptor or connector
// proxy.
template <class P>
class CRtEventOnConnectIndicationT : public IRtEvent {
public:
    CRtEventOnConnectIndicationT(RtResult aResult, CRtTransportThreadProxy* aTransport, P* aProxy, CRtThread* aThread)
        : m_threadProxy(aProxy), m_result(aResult), m_pTransport(aTransport), m_pThread(aThread) {}

    RtResult OnEventFire() override {
        RT_ASSERTE(!m_pThread || CRtThreadManager::IsEqualCurrentThread(m_pThread->GetThreadId()));
        if (m_threadProxy->IsStopped()) {
            RT_WARNING_TRACE("CRtEventOnConnectIndicationT::OnEventFire, stopped. m_threadProxy="
                             << static_cast<const void*>(m_threadProxy.Get()));
            if (m_pTransport)
                m_pTransport->Disconnect(RT_ERROR_NOT_INITIALIZED);
            return RT_OK;
        }
        IRtAcceptorConnectorSink* sink = m_threadProxy->GetUserSink();
        RT_ASSERTE_RETURN(sink, RT_ERROR_NULL_POINTER);
        m_threadProxy->OnIndicationDelivered();
        sink->OnConnectIndication(m_result, m_pTransport.Get(), m_threadProxy.Get());
        return RT_OK;
    }

private:
    CRtAutoPtr<P> m_threadProxy;
    RtResult m_result;
    CRtAutoPtr<CRtTransportThreadProxy> m_pTransport;
    CRtThread* m_pThread;
};

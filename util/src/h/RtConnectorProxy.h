// The proxy connector: asks the proxy manager which proxy reaches the
// target, drives a SOCKS or HTTP tunnel through it, and hands the connector
// above a plain TCP transport that holds the tunnel's socket and names the
// target as its peer. It never connects directly. Runs on one network
// thread; the proxy manager's late answer may come on any thread and is
// brought back with an event.
#pragma once

#include <cstring>
#include <memory>

#include "RtConnectorHttpProxy.h"
#include "RtConnectorSocksProxy.h"
#include "RtDebug.h"
#include "RtHttpProxyManager.h"
#include "RtMutex.h"
#include "RtObserver.h"
#include "RtThread.h"
#include "RtThreadManager.h"
#include "RtThreadSwitch.h"

// UpperType has OnConnectIndication(RtResult, IRtTransport*, IRtConnectorInternal*);
// TrptType is the TCP transport the tunnel's socket moves into.
template <class UpperType, class TrptType, class SockType>
class CRtConnectorProxyT : public IRtConnectorInternal {
public:
    typedef CRtConnectorSocksProxyT<CRtConnectorProxyT, TrptType, SockType> SocksType;
    typedef CRtConnectorHttpProxyT<CRtConnectorProxyT> HttpType;

    // A null thread: the thread that calls Connect.
    CRtConnectorProxyT(CRtThread* aNetworkThread, UpperType& aUpper)
        : m_upper(aUpper), m_networkThread(aNetworkThread), m_bFixedThread(aNetworkThread != nullptr) {}
    ~CRtConnectorProxyT() override { Close(RT_OK); }

    int Connect(const CRtInetAddr& aAddr, CRtInetAddr* aAddrLocal = nullptr) override {
        Close(RT_OK);
        if (!m_bFixedThread)
            m_networkThread = CRtThreadManager::Instance()->GetCurrentThread();
        m_addrTarget = aAddr;
        m_bHasLocal = aAddrLocal != nullptr;
        m_addrLocal = aAddrLocal ? *aAddrLocal : CRtInetAddr();
        return Connect_i();
    }

    int Close(RtResult aReason = RT_OK) override {
        StopWaiting_i();
        if (m_pTunnel) {
            IRtConnectorInternal* tunnel = m_pTunnel;
            m_pTunnel = nullptr;
            tunnel->Close(aReason);
            delete tunnel;
        }
        m_pProxy = nullptr;
        return 0;
    }

    // The tunnel's outcome.
    void OnConnectIndication(RtResult aReason, IRtTransport* aTrpt, IRtConnectorInternal*) {
        CRtAutoPtr<CRtHttpProxyInfo> proxy(m_pProxy);
        if (RT_SUCCEEDED(aReason) && aTrpt) {
            CRtAutoPtr<TrptType> moved(Move_i(aTrpt));
            if (moved) {
                m_upper.OnConnectIndication(RT_OK, moved.Get(), static_cast<IRtConnectorInternal*>(this));
                return;
            }
            aReason = RT_ERROR_NETWORK_SOCKET_ERROR;
        } else if (RT_SUCCEEDED(aReason)) {
            aReason = RT_ERROR_NETWORK_SOCKET_ERROR;
        }
        // Credentials may change, and a target the proxy's protocol cannot
        // carry is no fault of the proxy; any other failure says the proxy
        // is no use for now.
        if (aReason != RT_ERROR_NETWORK_PROXY_AUTH_REQUIRED && aReason != RT_ERROR_INVALID_ARG && proxy)
            CRtHttpProxyManager::Instance()->ClearCacheProxy(proxy->GetHostName(), proxy->GetPort());
        m_upper.OnConnectIndication(aReason, nullptr, static_cast<IRtConnectorInternal*>(this));
    }

private:
    // Waits for the proxy manager on the connector's behalf. The manager
    // may tell it on any thread, even while the connector goes away: the
    // waiter keeps itself alive while it is registered, and whoever takes
    // it off the manager's list (the manager telling it, or the connector
    // giving up) drops that hold.
    class CRtProxyWaiter : public IRtObserver {
    public:
        CRtProxyWaiter(CRtConnectorProxyT* aOwner, CRtThread* aThread) : m_pOwner(aOwner), m_pThread(aThread) {}

        void OnObserve(const char* aTopic, void*) override {
            RT_ASSERTE(aTopic && !strcmp(aTopic, "HttpProxyManager"));
            std::shared_ptr<CRtProxyWaiter> keep;
            {
                CRtMutexGuardT<CRtMutexThread> guard(m_Mutex);
                keep.swap(m_pSelf);
            }
            if (keep)
                CThreadSwitch::PostToThread(m_pThread, new CRtEventRetry(keep));
        }
        // On the connector's thread.
        void Cancel() {
            {
                CRtMutexGuardT<CRtMutexThread> guard(m_Mutex);
                m_pOwner = nullptr;
            }
            if (RT_SUCCEEDED(CRtHttpProxyManager::Instance()->RemoveObserver(this))) {
                std::shared_ptr<CRtProxyWaiter> keep;
                CRtMutexGuardT<CRtMutexThread> guard(m_Mutex);
                keep.swap(m_pSelf);
            }
        }
        // On the connector's thread.
        CRtConnectorProxyT* Owner() {
            CRtMutexGuardT<CRtMutexThread> guard(m_Mutex);
            return m_pOwner;
        }
        std::shared_ptr<CRtProxyWaiter> m_pSelf;

    private:
        CRtMutexThread m_Mutex;
        CRtConnectorProxyT* m_pOwner;
        CRtThread* m_pThread;
    };

    // Restarts the look-up on the connector's thread, unless the attempt
    // ended meanwhile.
    class CRtEventRetry : public IRtEvent {
    public:
        explicit CRtEventRetry(std::shared_ptr<CRtProxyWaiter> aWaiter) : m_pWaiter(std::move(aWaiter)) {}
        RtResult OnEventFire() override {
            CRtConnectorProxyT* owner = m_pWaiter->Owner();
            if (!owner || owner->m_pWaiter != m_pWaiter)
                return RT_OK;
            owner->m_pWaiter.reset();
            if (owner->Connect_i() != 0)
                owner->m_upper.OnConnectIndication(RT_ERROR_NETWORK_PROXY_FAILED, nullptr,
                                                   static_cast<IRtConnectorInternal*>(owner));
            return RT_OK;
        }

    private:
        std::shared_ptr<CRtProxyWaiter> m_pWaiter;
    };

    void StopWaiting_i() {
        if (m_pWaiter) {
            m_pWaiter->Cancel();
            m_pWaiter.reset();
        }
    }

    // The name (or address) the manager is asked about.
    CRtString TargetHost() const {
        return m_addrTarget.IsResolved() ? m_addrTarget.GetIpDisplayName() : m_addrTarget.GetHostName();
    }

    int Connect_i() {
        CRtHttpProxyManager* manager = CRtHttpProxyManager::Instance();
        // A tunnel that fails at once makes the manager forget nothing, so
        // the same proxy may come back: each is tried once.
        CRtAutoPtr<CRtHttpProxyInfo> last;
        for (int tries = 0; tries < 4; ++tries) {
            CRtHttpProxyInfo* found = nullptr;
            switch (manager->GetProxyInfo(TargetHost(), m_addrTarget.GetPort(), found)) {
            case IRtHttpProxyInfoGetter::NEXT_RETURN_PENDING:
                StopWaiting_i();
                m_pWaiter = std::make_shared<CRtProxyWaiter>(this, m_networkThread);
                m_pWaiter->m_pSelf = m_pWaiter;
                manager->AddObserver(m_pWaiter.get());
                return 0;
            case IRtHttpProxyInfoGetter::NEXT_RETURN_FOUND:
                break;
            default:
                RT_WARNING_TRACE_THIS("CRtConnectorProxyT::Connect, GetProxyInfo() none. addr="
                                      << TargetHost() << " port=" << m_addrTarget.GetPort());
                RT_WARNING_TRACE_THIS(
                    "CRtConnectorProxyT::Connect, as a proxy connector, we don't support \"DIRECT\"!");
                return -1;
            }
            CRtAutoPtr<CRtHttpProxyInfo> proxy(found);
            found->ReleaseReference();
            if (last && last->Equal(proxy.Get()))
                return -1;
            last = proxy;
            if (Start_i(proxy.Get()) == 0)
                return 0;
        }
        return -1;
    }

    int Start_i(CRtHttpProxyInfo* aProxy) {
        if (m_pTunnel) {
            delete m_pTunnel;
            m_pTunnel = nullptr;
        }
        switch (aProxy->GetProxyType()) {
        case CRtHttpProxyInfo::SOCK4_PROXY:
        case CRtHttpProxyInfo::SOCK5_PROXY:
            m_pTunnel = new SocksType(m_networkThread, *this, aProxy);
            break;
        default:
            m_pTunnel = new HttpType(*this, aProxy);
            break;
        }
        m_pProxy = aProxy;
        RT_INFO_TRACE_THIS("CRtConnectorProxyT::Connect, proxy=" << aProxy->GetHostAndPort()
                                                                 << " type=" << aProxy->GetProxyType());
        return m_pTunnel->Connect(m_addrTarget, m_bHasLocal ? &m_addrLocal : nullptr);
    }

    // The tunnel's socket in a transport of its own whose peer is the target.
    TrptType* Move_i(IRtTransport* aTrpt) {
        uint32_t alive = 0;
        aTrpt->GetOption(RT_OPT_TRANSPORT_SOCK_ALIVE, &alive);
        if (!alive) {
            RT_ERROR_TRACE_THIS("CRtConnectorProxyT::OnConnectIndication, transport isn't alive! err=" << errno);
            aTrpt->Disconnect(RT_OK);
            return nullptr;
        }
        RT_HANDLE hdNew = RT_INVALID_HANDLE;
        aTrpt->GetOption(RT_OPT_TRANSPORT_FD, &hdNew);
        RT_ASSERTE_RETURN(hdNew != RT_INVALID_HANDLE, nullptr);
        RT_HANDLE none = RT_INVALID_HANDLE;
        aTrpt->SetOption(RT_OPT_TRANSPORT_FD, &none);
        TrptType* moved = new TrptType(CRtThreadManager::Instance()->GetCurrentThread());
        moved->GetPeer().SetHandle(hdNew);
        moved->SetOption(RT_OPT_TRANSPORT_PEER_ADDR, &m_addrTarget);
        if (m_pTunnel)
            moved->SetPreReadData(m_pTunnel->TakeUnreadData());
        return moved;
    }

    UpperType& m_upper;
    CRtThread* m_networkThread;
    bool m_bFixedThread;
    CRtInetAddr m_addrTarget;
    CRtInetAddr m_addrLocal;
    bool m_bHasLocal = false;
    IRtConnectorInternal* m_pTunnel = nullptr;
    CRtAutoPtr<CRtHttpProxyInfo> m_pProxy;
    std::shared_ptr<CRtProxyWaiter> m_pWaiter;
};

// What the thread proxies share: a proxy's own reference and its deletion
// on the network thread, the counted reference to the object below it, the
// queue of sends a socket refused, and moving a new transport to its thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "RtDebug.h"
#include "RtEventQueue.h"
#include "RtMutex.h"
#include "RtNetworkBase.h"
#include "RtReferenceControl.h"
#include "RtThread.h"
#include "RtThreadManager.h"
#include "RtThreadSwitch.h"

// Reference control shared by the proxies. The object below a proxy calls
// it through a plain pointer on the network thread, so a callback may take
// a reference after the user dropped the last one. The proxy therefore
// holds one reference on its own behalf; when every other one is gone, a
// delete event posted to the network thread drops it there, unless a
// callback took a reference in the meantime (the next release tries again).
class CRtThreadProxyReference : public CRtReferenceControlT<CRtMutexThread> {
public:
    CRtThreadProxyReference();

    // The counts returned leave out the proxy's own reference.
    uint32_t ProxyAddReference() { return CRtReferenceControlT::AddReference() - 1; }
    uint32_t ProxyReleaseReference();
    // Gives a reference back without starting a delete (a delete event
    // that never ran: its thread is gone).
    void ProxyReleaseQuiet() { CRtReferenceControlT::ReleaseReference(); }

    // The delete event, on the network thread: true when the object is gone.
    bool TryDeleteOnNetworkThread();

    // The thread the object must be deleted on; null when it never reached
    // one (then the last release deletes it at once).
    virtual CRtThread* GetDeleteThread() = 0;

protected:
    ~CRtThreadProxyReference() override {}
    // The user let go: only the proxy's own reference remains.
    virtual void OnLastUserRelease() {}

private:
    void LaunchDelete();

    std::atomic<bool> m_bSelfHeld{true};
};

// Deletes a proxy on its network thread.
template <class P>
class CRtEventDeleteT : public IRtEvent {
public:
    // Takes a reference that the delete step gives back.
    explicit CRtEventDeleteT(P* aProxy) : m_pProxy(aProxy) { m_pProxy->ProxyAddReference(); }

    // Refused, the event is gone already and its reference given back.
    RtResult Launch(CRtThread* aThread) {
        RT_ASSERTE_RETURN(!m_bHaveLaunched, RT_ERROR_ALREADY_INITIALIZED);
        m_bHaveLaunched = true;
        RtResult rv = CThreadSwitch::PostToThread(aThread, this);
        if (RT_FAILED(rv))
            RT_ERROR_TRACE("CRtEventDeleteT::Launch, PostEvent() failed! rv=" << rv);
        return rv;
    }

    RtResult OnEventFire() override {
        m_bFired = true;
        CRtThread* target = m_pProxy->GetDeleteThread();
        if (target && !CRtThreadManager::IsEqualCurrentThread(target->GetThreadId())) {
            // The transport moved to another network thread meanwhile.
            CRtEventDeleteT* next = new CRtEventDeleteT(m_pProxy);
            next->Launch(target);
            return RT_OK;
        }
        if (m_pProxy->TryDeleteOnNetworkThread())
            m_pProxy = nullptr;
        return RT_OK;
    }

    void OnDestorySelf() override {
        if (m_pProxy && m_bFired)
            m_pProxy->ProxyReleaseReference();
        else if (m_pProxy)
            m_pProxy->ProxyReleaseQuiet();
        delete this;
    }

private:
    P* m_pProxy;
    bool m_bHaveLaunched = false;
    bool m_bFired = false;
};

// Sends the socket refused, in the order they were made. Only the network
// thread changes it; any thread may ask whether it is empty. Starts with 16
// entries, doubles when full and never shrinks.
class CRtPendingSendQueue {
public:
    struct Entry {
        CRtMessageBlock* m_pData;
        bool m_bFlag;
        int32_t m_nPriority;
        bool m_bPduFlag;
    };

    CRtPendingSendQueue() = default;
    ~CRtPendingSendQueue() { delete[] m_pEntries; }
    CRtPendingSendQueue(const CRtPendingSendQueue&) = delete;
    CRtPendingSendQueue& operator=(const CRtPendingSendQueue&) = delete;

    bool IsEmpty() const { return m_nHead.load(std::memory_order_acquire) == m_nTail.load(std::memory_order_acquire); }
    // Network thread only.
    bool Push(const Entry& aEntry);
    Entry& Front() { return m_pEntries[m_nHead.load(std::memory_order_relaxed)]; }
    void Pop();
    uint32_t GetCapacity() const { return m_nCapacity; }

private:
    Entry* m_pEntries = nullptr;
    std::atomic<uint32_t> m_nHead{0};
    std::atomic<uint32_t> m_nTail{0};
    uint32_t m_nCapacity = 0;
};

// The counted reference to the object below a proxy. Only the network
// thread changes it or calls through it; other threads may test it.
template <class T>
class CRtLowerRef {
public:
    explicit CRtLowerRef(T* aLower) : m_pLower(aLower) {
        if (aLower)
            aLower->AddReference();
    }
    ~CRtLowerRef() { Release(); }
    CRtLowerRef(const CRtLowerRef&) = delete;
    CRtLowerRef& operator=(const CRtLowerRef&) = delete;

    T* Get() const { return m_pLower.load(std::memory_order_acquire); }
    T* operator->() const { return Get(); }
    explicit operator bool() const { return Get() != nullptr; }
    void Release() {
        T* old = m_pLower.exchange(nullptr, std::memory_order_acq_rel);
        if (old)
            old->ReleaseReference();
    }

private:
    std::atomic<T*> m_pLower;
};

// Sets RT_OPT_BIND_THREAD on a base transport and disposes of what the
// argument still holds afterwards (what the transport did not take over).
RtResult RtProxyBindTransport(IRtTransport* aTransport, CRtTransportBindThreadParam& aParam);

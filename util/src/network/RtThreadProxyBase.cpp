#include "RtThreadProxyBase.h"

#include <new>

#include "RtConditionVariable.h"

// ---- CRtThreadProxyReference ---------------------------------------------------

CRtThreadProxyReference::CRtThreadProxyReference() { CRtReferenceControlT::AddReference(); }

uint32_t CRtThreadProxyReference::ProxyReleaseReference() {
    uint32_t left = CRtReferenceControlT::ReleaseReference();
    // At one only the proxy's own reference is left, and no delete event is
    // under way (it would hold a reference too).
    if (left == 1 && m_bSelfHeld.load(std::memory_order_acquire)) {
        OnLastUserRelease();
        LaunchDelete();
    }
    return left == 0 ? 0 : left - 1;
}

void CRtThreadProxyReference::LaunchDelete() {
    CRtThread* thread = GetDeleteThread();
    if (!thread) {
        // Never bound to a network thread: nothing below can call it.
        m_bSelfHeld = false;
        CRtReferenceControlT::ReleaseReference();
        return;
    }
    CRtEventDeleteT<CRtThreadProxyReference>* ev = new CRtEventDeleteT<CRtThreadProxyReference>(this);
    ev->Launch(thread);
}

bool CRtThreadProxyReference::TryDeleteOnNetworkThread() {
    // Ours and the delete event's: a callback on this thread or a user
    // elsewhere took another meanwhile, and its release launches anew.
    if (GetReference() != 2)
        return false;
    m_bSelfHeld = false;
    CRtReferenceControlT::ReleaseReference();
    CRtReferenceControlT::ReleaseReference();
    return true;
}

// ---- CRtPendingSendQueue ---------------------------------------------------------

bool CRtPendingSendQueue::Push(const Entry& aEntry) {
    if (!m_pEntries) {
        m_pEntries = new (std::nothrow) Entry[16];
        if (!m_pEntries)
            return false;
        m_nCapacity = 16;
    }
    uint32_t head = m_nHead.load(std::memory_order_relaxed);
    uint32_t tail = m_nTail.load(std::memory_order_relaxed);
    uint32_t next = (tail + 1) % m_nCapacity;
    if (next == head) {
        // Grow before the tail meets the head: a reader on another thread
        // must never see head == tail while entries are pending.
        Entry* bigger = new (std::nothrow) Entry[m_nCapacity * 2];
        if (!bigger)
            return false;
        uint32_t n = 0;
        for (uint32_t i = head; i != tail; i = (i + 1) % m_nCapacity)
            bigger[n++] = m_pEntries[i];
        bigger[n++] = aEntry;
        delete[] m_pEntries;
        m_pEntries = bigger;
        m_nCapacity *= 2;
        // Tail first: a reader that sees the new head also sees the new tail.
        m_nTail.store(n, std::memory_order_release);
        m_nHead.store(0, std::memory_order_release);
        return true;
    }
    m_pEntries[tail] = aEntry;
    m_nTail.store(next, std::memory_order_release);
    return true;
}

void CRtPendingSendQueue::Pop() {
    uint32_t head = m_nHead.load(std::memory_order_relaxed);
    RT_ASSERTE_RETURN_VOID(head != m_nTail.load(std::memory_order_relaxed));
    m_pEntries[head].m_pData = nullptr;
    m_nHead.store((head + 1) % m_nCapacity, std::memory_order_release);
}

// ---- Moving a transport -----------------------------------------------------------

RtResult RtProxyBindTransport(IRtTransport* aTransport, CRtTransportBindThreadParam& aParam) {
    RtResult rv = aTransport->SetOption(RT_OPT_BIND_THREAD, &aParam);
    // What the transport did not take over is still ours.
    for (IRtEvent* ev : aParam.m_events)
        ev->OnDestorySelf();
    aParam.m_events.clear();
    delete aParam.m_pEvent;
    aParam.m_pEvent = nullptr;
    return rv;
}

#include <atomic>
#include <cstring>
#include <new>
#include <optional>
#include <string>

#include "RtHandle.h"
#include "RtRecycler.h"
#include "RtThreadProxy.h"
#include "RtThreadSwitch.h"

// ---- Events ------------------------------------------------------------------------

namespace {

void DestroyChain(CRtMessageBlock*& aData) {
    if (aData) {
        aData->DestroyChained();
        aData = nullptr;
    }
}

}  // namespace

// The thread fields are atomics; the reports name them as plain members.
#define RT_ASSERTE_TEXT(expr, text)                     \
    do {                                                \
        if (!(expr))                                    \
            ::RtAssertReport(__FILE__, __LINE__, text); \
    } while (0)
#define RT_PROXY_ON_NETWORK_THREAD(proxy)                                                             \
    RT_ASSERTE_TEXT(CRtThreadManager::IsEqualCurrentThread(proxy->GetNetworkThread()->GetThreadId()), \
                    "CRtThreadManager::IsEqualCurrentThread(" #proxy "->m_networkThread->GetThreadId())")
#define RT_PROXY_ON_USER_THREAD(proxy)                                                             \
    RT_ASSERTE_TEXT(CRtThreadManager::IsEqualCurrentThread(proxy->GetUserThread()->GetThreadId()), \
                    "CRtThreadManager::IsEqualCurrentThread(" #proxy "->m_userThread->GetThreadId())")

// Bytes on their way to another thread: copied into the event's own buffer
// when they fit (a request or an answer, as a rule), else a chain of their
// own. With the events recycled, the common case allocates nothing.
class CRtCarriedData {
public:
    static constexpr unsigned long kInline = 2048;

    ~CRtCarriedData() { Reset(); }

    // Copies the readable bytes of aData; false when out of memory.
    bool Carry(const CRtMessageBlock& aData) {
        unsigned long total = aData.GetChainedLength();
        if (total > kInline) {
            m_pData = aData.DuplicateChained();
            return m_pData != nullptr;
        }
        unsigned long at = 0;
        for (const CRtMessageBlock* b = &aData; b; b = b->GetNext()) {
            std::memcpy(m_Buffer + at, b->GetTopLevelReadPtr(), b->GetTopLevelLength());
            at += b->GetTopLevelLength();
        }
        m_Inline.emplace(total, m_Buffer, CRtMessageBlock::DONT_DELETE, total);
        m_pData = &*m_Inline;
        return true;
    }
    // Takes over a chain its maker gave away.
    void Adopt(CRtMessageBlock* aData) { m_pData = aData; }
    CRtMessageBlock& Get() { return *m_pData; }
    // What is still unread, as a chain of the caller's; null when out of
    // memory.
    CRtMessageBlock* Release() {
        CRtMessageBlock* rest = m_pData;
        if (m_Inline && rest == &*m_Inline)
            rest = m_Inline->DuplicateChained();
        m_pData = nullptr;
        Reset();
        return rest;
    }
    void Reset() {
        if (m_pData && !(m_Inline && m_pData == &*m_Inline))
            m_pData->DestroyChained();
        m_pData = nullptr;
        m_Inline.reset();
    }

private:
    CRtMessageBlock* m_pData = nullptr;
    std::optional<CRtMessageBlock> m_Inline;
    char m_Buffer[kInline];
};

// An event that carries data for one proxy and is kept for reuse when spent.
template <class E>
class CRtCarrierEventT : public IRtEvent, public CRtRecyclable {
public:
    ~CRtCarrierEventT() override { Clear(); }

    // Spent: back to the recycler, without the data and the proxy.
    void OnDestorySelf() override {
        Clear();
        CRtRecycler<E>::Give(static_cast<E*>(this));
    }

protected:
    // A kept or new event for aProxy, or null when out of memory.
    static E* Make(CRtTransportThreadProxy* aProxy) {
        E* ev = CRtRecycler<E>::Take();
        if (!ev)
            ev = new (std::nothrow) E;
        if (ev) {
            ev->m_pProxy = aProxy;
            aProxy->AddReference();
        }
        return ev;
    }
    void Clear() {
        m_Data.Reset();
        if (m_pInFlight) {
            m_pInFlight->fetch_sub(1);
            m_pInFlight = nullptr;
        }
        if (CRtTransportThreadProxy* proxy = m_pProxy) {
            m_pProxy = nullptr;
            proxy->ReleaseReference();
        }
    }

    CRtTransportThreadProxy* m_pProxy = nullptr;
    CRtCarriedData m_Data;
    // A counter of datagrams under way that this event stands in.
    std::atomic<uint32_t>* m_pInFlight = nullptr;
};

// A send on its way to the network thread, with its flags.
class CRtEventSendData final : public CRtCarrierEventT<CRtEventSendData> {
public:
    // aDestroy: aData is the caller's to give away and is taken as it is.
    static CRtEventSendData* Make(CRtTransportThreadProxy* aProxy, CRtMessageBlock& aData, bool aDestroy, bool aFlag,
                                  long aPriority, bool aPduFlag) {
        CRtEventSendData* ev = CRtCarrierEventT::Make(aProxy);
        if (!ev)
            return nullptr;
        if (aDestroy) {
            ev->m_Data.Adopt(&aData);
        } else if (!ev->m_Data.Carry(aData)) {
            ev->OnDestorySelf();
            return nullptr;
        }
        ev->m_bFlag = aFlag;
        ev->m_nPriority = aPriority;
        ev->m_bPduFlag = aPduFlag;
        return ev;
    }

    RtResult OnEventFire() override {
        RT_PROXY_ON_NETWORK_THREAD(m_pProxy);
        IRtTransport* lower = m_pProxy->m_lowerTransport.Get();
        if (!lower)
            return RT_ERROR_NOT_AVAILABLE;
        RtResult rv = m_pProxy->SendOrQueue_n(m_Data, m_bFlag, m_nPriority, m_bPduFlag);
        if (rv == RT_OK)
            return RT_OK;
        RT_ERROR_TRACE("CRtEventSendData::OnEventFire, send data failed! rv="
                       << rv << " proxy=" << static_cast<const void*>(m_pProxy)
                       << " trpt=" << static_cast<const void*>(lower) << " this=" << static_cast<const void*>(this));
        return rv;
    }

private:
    bool m_bFlag = true;
    long m_nPriority = 2;
    bool m_bPduFlag = true;
};

// A datagram on its way to the network thread, with the send's flags; the
// chain is destroyed with the event unless the transport took it.
class CRtEventSendUdpData : public IRtEvent {
public:
    // Counts itself among the proxy's sends under way until it is gone.
    CRtEventSendUdpData(CRtTransportThreadProxy* aProxy, CRtMessageBlock* aData, bool aFlag, long aPriority,
                        bool aPduFlag)
        : m_threadProxy(aProxy), m_pData(aData), m_bFlag(aFlag), m_nPriority(aPriority), m_bPduFlag(aPduFlag) {
        aProxy->m_nUdpSendsInFlight.fetch_add(1);
    }
    ~CRtEventSendUdpData() override {
        DestroyChain(m_pData);
        m_threadProxy->m_nUdpSendsInFlight.fetch_sub(1);
    }

    RtResult OnEventFire() override {
        RT_PROXY_ON_NETWORK_THREAD(m_threadProxy);
        IRtTransport* lower = m_threadProxy->m_lowerTransport.Get();
        if (!lower)
            return RT_ERROR_NOT_AVAILABLE;
        RtResult rv = lower->SendData(*m_pData, m_bFlag, true, m_nPriority, m_bPduFlag);
        if (rv == RT_OK)
            m_pData = nullptr;
        else if (rv == RT_ERROR_PARTIAL_DATA)
            m_threadProxy->CountUdpDrop(true);  // the caller has long returned: the datagram is lost
        return rv;
    }

private:
    CRtAutoPtr<CRtTransportThreadProxy> m_threadProxy;
    CRtMessageBlock* m_pData;
    bool m_bFlag;
    long m_nPriority;
    bool m_bPduFlag;
};

class CRtEventDisconnect : public IRtEvent {
public:
    CRtEventDisconnect(CRtTransportThreadProxy* aProxy, RtResult aReason)
        : m_pOwnerThreadProxy(aProxy), m_reason(aReason) {}

    RtResult OnEventFire() override {
        RT_PROXY_ON_NETWORK_THREAD(m_pOwnerThreadProxy);
        IRtTransport* lower = m_pOwnerThreadProxy->m_lowerTransport.Get();
        if (!lower)
            return RT_ERROR_NULL_POINTER;
        return lower->Disconnect(m_reason);
    }

private:
    CRtAutoPtr<CRtTransportThreadProxy> m_pOwnerThreadProxy;
    RtResult m_reason;
};

// Received bytes on their way to the user thread.
class CRtEventOnReceive final : public CRtCarrierEventT<CRtEventOnReceive> {
public:
    static CRtEventOnReceive* Make(CRtTransportThreadProxy* aProxy, const CRtMessageBlock& aData,
                                   std::atomic<uint32_t>* aInFlight = nullptr) {
        CRtEventOnReceive* ev = CRtCarrierEventT::Make(aProxy);
        if (ev && !ev->m_Data.Carry(aData)) {
            ev->OnDestorySelf();
            return nullptr;
        }
        if (ev && aInFlight) {
            aInFlight->fetch_add(1);
            ev->m_pInFlight = aInFlight;
        }
        return ev;
    }

    RtResult OnEventFire() override {
        RT_PROXY_ON_USER_THREAD(m_pProxy);
        IRtTransportSink* sink = m_pProxy->GetSink();
        if (!m_pProxy->IsStopped() && sink)
            sink->OnReceive(m_Data.Get(), m_pProxy);
        return RT_OK;
    }
};

class CRtEventOnSend : public IRtEvent {
public:
    explicit CRtEventOnSend(CRtTransportThreadProxy* aProxy) : m_threadProxy(aProxy) {}

    RtResult OnEventFire() override {
        RT_PROXY_ON_USER_THREAD(m_threadProxy);
        CRtTransportThreadProxy* p = m_threadProxy.Get();
        IRtTransportSink* sink = p->GetSink();
        // Only a refused user hears of it, and only once the queue drained:
        // several of these may be under way for one refusal.
        if (!p->IsStopped() && p->m_bSendRefused.load() && p->m_sendBuffer.IsEmpty() && sink) {
            p->m_bSendRefused = false;
            sink->OnSend(p);
        }
        return RT_OK;
    }

private:
    CRtAutoPtr<CRtTransportThreadProxy> m_threadProxy;
};

class CRtEventOnObserve : public IRtEvent {
public:
    CRtEventOnObserve(CRtTransportThreadProxy* aProxy, const char* aTopic) : m_threadProxy(aProxy), m_topic(aTopic) {}

    RtResult OnEventFire() override {
        RT_PROXY_ON_USER_THREAD(m_threadProxy);
        CRtTransportThreadProxy* p = m_threadProxy.Get();
        IRtObserver* observer = p->m_pObserver.load();
        if (!p->IsStopped() && observer)
            observer->OnObserve(m_topic.c_str(), nullptr);
        return RT_OK;
    }

private:
    CRtAutoPtr<CRtTransportThreadProxy> m_threadProxy;
    std::string m_topic;
};

class CRtEventOnDisconnect : public IRtEvent {
public:
    CRtEventOnDisconnect(CRtTransportThreadProxy* aProxy, RtResult aReason)
        : m_threadProxy(aProxy), m_reason(aReason) {}

    RtResult OnEventFire() override {
        RT_PROXY_ON_USER_THREAD(m_threadProxy);
        CRtTransportThreadProxy* p = m_threadProxy.Get();
        RT_DEBUG_TRACE("CEventOnDisconnect::OnEventFire, proxy=" << static_cast<const void*>(p)
                                                                 << " sink=" << static_cast<const void*>(p->GetSink())
                                                                 << " this=" << static_cast<const void*>(this));
        if (p->stoppedflag_.exchange(true)) {
            RT_WARNING_TRACE("CEventOnDisconnect::OnEventFire, stopped. proxy="
                             << static_cast<const void*>(p) << " this=" << static_cast<const void*>(this));
            return RT_OK;
        }
        IRtTransportSink* sink = p->m_pSink.exchange(nullptr);
        if (sink)
            sink->OnDisconnect(m_reason, p);
        return RT_OK;
    }

private:
    CRtAutoPtr<CRtTransportThreadProxy> m_threadProxy;
    RtResult m_reason;
};

// Runs one option call on the network thread for a caller elsewhere.
class CRtEventProxyOption : public Function::Functor {
public:
    CRtEventProxyOption(CRtTransportThreadProxy* aProxy,
                        RtResult (CRtTransportThreadProxy::*aCall)(unsigned long, void*), unsigned long aCommand,
                        void* aArg)
        : m_threadProxy(aProxy), m_pCall(aCall), m_dwCommand(aCommand), m_pArg(aArg) {}

    RtResult OnEventFire() override { return (m_threadProxy.Get()->*m_pCall)(m_dwCommand, m_pArg); }

private:
    CRtAutoPtr<CRtTransportThreadProxy> m_threadProxy;
    RtResult (CRtTransportThreadProxy::*m_pCall)(unsigned long, void*);
    unsigned long m_dwCommand;
    void* m_pArg;
};

// ---- CRtTransportThreadProxy ----------------------------------------------------------

namespace {
std::atomic<long> s_nLiveProxies{0};
}

long CRtTransportThreadProxy::GetLiveCountForTest() { return s_nLiveProxies.load(std::memory_order_relaxed); }

CRtTransportThreadProxy::CRtTransportThreadProxy(IRtTransport* aLower, CRtThread* aNetworkThread,
                                                 CRtThread* aUserThread, unsigned long aType, ThreadStrategy aStrategy)
    : m_lowerTransport(aLower),
      m_networkThread(aNetworkThread),
      m_userThread(aStrategy == TS_MULTI_THREAD ? aNetworkThread : aUserThread),
      m_dwType(aType),
      m_threadStrategy(aStrategy) {
    RT_ASSERTE(m_lowerTransport);
    RT_ASSERTE_TEXT(m_networkThread.load(), "m_networkThread");
    RT_ASSERTE_TEXT(m_userThread.load(), "m_userThread");
    RT_DEBUG_TRACE_THIS("CRtTransportThreadProxy, transport=" << static_cast<const void*>(aLower));
    s_nLiveProxies.fetch_add(1, std::memory_order_relaxed);
}

CRtTransportThreadProxy::~CRtTransportThreadProxy() {
    RT_ASSERTE_TEXT(CRtThreadManager::IsEqualCurrentThread(GetNetworkThread()->GetThreadId()),
                    "CRtThreadManager::IsEqualCurrentThread(m_networkThread->GetThreadId())");
    RT_DEBUG_TRACE_THIS("~CRtTransportThreadProxy");
    if (m_lowerTransport) {
        m_lowerTransport->Disconnect(RT_OK);
        m_lowerTransport.Release();
    }
    while (!m_sendBuffer.IsEmpty()) {
        DestroyChain(m_sendBuffer.Front().m_pData);
        m_sendBuffer.Pop();
    }
    s_nLiveProxies.fetch_sub(1, std::memory_order_relaxed);
}

bool CRtTransportThreadProxy::OnNetworkThread() const {
    CRtThread* t = GetNetworkThread();
    return t && CRtThreadManager::IsEqualCurrentThread(t->GetThreadId());
}

bool CRtTransportThreadProxy::OnUserThread() const {
    CRtThread* t = GetUserThread();
    return t && CRtThreadManager::IsEqualCurrentThread(t->GetThreadId());
}

bool CRtTransportThreadProxy::UserThreadStopped() const {
    CRtThread* t = GetUserThread();
    return !t || t->IsStopped();
}

RtResult CRtTransportThreadProxy::PostToNetwork(IRtEvent* aEvent) {
    return CThreadSwitch::PostToThread(GetNetworkThread(), aEvent);
}

RtResult CRtTransportThreadProxy::PostToUser(IRtEvent* aEvent) {
    return CThreadSwitch::PostToThread(GetUserThread(), aEvent);
}

RtResult CRtTransportThreadProxy::OpenWithSink(IRtTransportSink* aSink) {
    m_pSink = aSink;
    return RT_OK;
}

void CRtTransportThreadProxy::SetParameter(unsigned long aValue) {
    if (m_lowerTransport)
        m_lowerTransport->SetParameter(aValue);
}

RtResult CRtTransportThreadProxy::Queue_n(CRtMessageBlock* aData, bool aFlag, long aPriority, bool aPduFlag) {
    CRtPendingSendQueue::Entry e{aData, aFlag, static_cast<int32_t>(aPriority), aPduFlag};
    if (!m_sendBuffer.Push(e)) {
        DestroyChain(aData);
        return RT_ERROR_OUT_OF_MEMORY;
    }
    return RT_OK;
}

RtResult CRtTransportThreadProxy::SendOrQueue_n(CRtCarriedData& aData, bool aFlag, long aPriority, bool aPduFlag) {
    // Behind what is pending, untried, so that bytes keep their order; what
    // the socket refused waits from its first unsent byte.
    RtResult rv = RT_ERROR_PARTIAL_DATA;
    if (m_sendBuffer.IsEmpty())
        rv = m_lowerTransport->SendData(aData.Get(), aFlag, false, aPriority, aPduFlag);
    if (rv != RT_ERROR_PARTIAL_DATA)
        return rv;
    CRtMessageBlock* rest = aData.Release();
    return rest ? Queue_n(rest, aFlag, aPriority, aPduFlag) : RT_ERROR_OUT_OF_MEMORY;
}

RtResult CRtTransportThreadProxy::SendDataEx(CRtMessageBlock& aData, uint32_t a2, uint32_t a3, uint32_t a4, uint32_t a5,
                                             uint32_t a6, uint32_t a7) {
    IRtTransport* lower = m_lowerTransport.Get();
    if (!lower)
        return RT_ERROR_NOT_AVAILABLE;
    RtResult rv = lower->SendDataEx(aData, a2, a3, a4, a5, a6, a7);
    if (rv == RT_ERROR_PARTIAL_DATA)
        m_bSendRefused = true;
    return rv;
}

RtResult CRtTransportThreadProxy::SendData(CRtMessageBlock& aData, bool aFlag, bool aDestroy, long aPriority,
                                           bool aPduFlag) {
    IRtTransport* lower = m_lowerTransport.Get();
    if (!lower)
        return RT_ERROR_NOT_AVAILABLE;
    if (m_bSendRefused.load() || !m_sendBuffer.IsEmpty()) {
        m_bSendRefused = true;
        return RT_ERROR_PARTIAL_DATA;
    }
    bool onNetwork = OnNetworkThread();
    if (m_dwType == CTYPE_UDP) {
        if (onNetwork) {
            RtResult rv = lower->SendData(aData, aFlag, aDestroy, aPriority, aPduFlag);
            if (RT_FAILED(rv) && rv != RT_ERROR_PARTIAL_DATA)
                RT_ERROR_TRACE_THIS("CRtTransportThreadProxy::SendData, send data failed! rv="
                                    << rv << " trpt=" << static_cast<const void*>(lower));
            return rv;
        }
        // Past the bound the datagram stays the caller's, as a socket's
        // refusal leaves it.
        if (m_nUdpSendsInFlight.load() >= kUdpInFlightMax)
            return RT_ERROR_PARTIAL_DATA;
        CRtMessageBlock* data = aDestroy ? &aData : aData.DuplicateChained();
        if (!data)
            return RT_ERROR_OUT_OF_MEMORY;
        return PostToNetwork(new CRtEventSendUdpData(this, data, aFlag, aPriority, aPduFlag));
    }
    if (onNetwork) {
        if ((m_dwType & 0x120002) == 0x120002)
            return SendDataEx(aData, 4, static_cast<uint32_t>(-1), aFlag, aDestroy, 2, 0);
        RtResult rv = lower->SendData(aData, aFlag, aDestroy, aPriority, aPduFlag);
        if (rv == RT_OK)
            return RT_OK;
        if (rv == RT_ERROR_PARTIAL_DATA) {
            CRtMessageBlock* rest = aDestroy ? &aData : aData.DuplicateChained();
            if (!rest)
                return RT_ERROR_OUT_OF_MEMORY;
            return Queue_n(rest, aFlag, aPriority, aPduFlag);
        }
        RT_ERROR_TRACE_THIS("CRtTransportThreadProxy::SendData, send data failed! rv="
                            << rv << " trpt=" << static_cast<const void*>(lower));
        return rv;
    }
    CRtEventSendData* ev = CRtEventSendData::Make(this, aData, aDestroy, aFlag, aPriority, aPduFlag);
    if (!ev)
        return RT_ERROR_OUT_OF_MEMORY;
    return PostToNetwork(ev);
}

RtResult CRtTransportThreadProxy::Disconnect(RtResult aReason) {
    if (stoppedflag_.exchange(true))
        return RT_OK;
    m_pSink = nullptr;
    m_pObserver = nullptr;
    RT_INFO_TRACE_THIS("CRtTransportThreadProxy::Disconnect, aReason="
                       << aReason << " trpt=" << static_cast<const void*>(m_lowerTransport.Get()));
    return PostToNetwork(new CRtEventDisconnect(this, aReason));
}

void CRtTransportThreadProxy::OnReceive(CRtMessageBlock& aData, IRtTransport* aTrptId) {
    RT_ASSERTE_TEXT(CRtThreadManager::IsEqualCurrentThread(GetNetworkThread()->GetThreadId()),
                    "CRtThreadManager::IsEqualCurrentThread(m_networkThread->GetThreadId())");
    RT_ASSERTE(aTrptId == m_lowerTransport.Get());
    if (stoppedflag_.load() || UserThreadStopped())
        return;
    IRtTransportSink* sink = OnUserThread() ? GetSink() : nullptr;
    if (sink) {
        sink->OnReceive(aData, this);
        return;
    }
    if (m_dwType == CTYPE_UDP) {
        // Datagrams may be lost; a user thread that falls behind loses the
        // newest rather than queueing without end.
        if (m_nUdpRecvInFlight.load() >= kUdpInFlightMax) {
            CountUdpDrop(false);
            return;
        }
        if (CRtEventOnReceive* ev = CRtEventOnReceive::Make(this, aData, &m_nUdpRecvInFlight))
            PostToUser(ev);
        return;
    }
    if (CRtEventOnReceive* ev = CRtEventOnReceive::Make(this, aData))
        PostToUser(ev);
}

void CRtTransportThreadProxy::CountUdpDrop(bool aSend) {
    int i = aSend ? 0 : 1;
    ++m_nUdpDropped[i];
    uint32_t now = GetTickCountEx();
    if (m_bUdpDropLogged[i] && RtTickDiff(now, m_dwUdpDropTick[i]) < 1000)
        return;
    if (aSend)
        RT_WARNING_TRACE_THIS("CRtTransportThreadProxy::SendData, datagrams refused by the socket, dropped="
                              << m_nUdpDropped[i] << " trpt=" << static_cast<const void*>(m_lowerTransport.Get()));
    else
        RT_WARNING_TRACE_THIS("CRtTransportThreadProxy::OnReceive, user thread behind, datagrams dropped="
                              << m_nUdpDropped[i] << " trpt=" << static_cast<const void*>(m_lowerTransport.Get()));
    m_nUdpDropped[i] = 0;
    m_dwUdpDropTick[i] = now;
    m_bUdpDropLogged[i] = true;
}

void CRtTransportThreadProxy::OnSend(IRtTransport* aTrptId) {
    RT_ASSERTE_TEXT(CRtThreadManager::IsEqualCurrentThread(GetNetworkThread()->GetThreadId()),
                    "CRtThreadManager::IsEqualCurrentThread(m_networkThread->GetThreadId())");
    RT_ASSERTE(aTrptId == m_lowerTransport.Get());
    IRtTransport* lower = m_lowerTransport.Get();
    while (lower && !m_sendBuffer.IsEmpty()) {
        CRtPendingSendQueue::Entry& head = m_sendBuffer.Front();
        RtResult rv = lower->SendData(*head.m_pData, head.m_bFlag, true, head.m_nPriority, head.m_bPduFlag);
        if (rv == RT_OK) {
            m_sendBuffer.Pop();
            continue;
        }
        if (rv == RT_ERROR_PARTIAL_DATA)
            return;
        RT_ASSERTE(false);
        RT_ERROR_TRACE_THIS("CRtTransportThreadProxy::OnSend, send data failed! rv="
                            << rv << " trpt=" << static_cast<const void*>(lower));
        return;
    }
    if (UserThreadStopped())
        return;
    IRtTransportSink* sink = OnUserThread() ? GetSink() : nullptr;
    if (sink) {
        RT_ASSERTE(m_sendBuffer.IsEmpty());
        m_bSendRefused = false;
        sink->OnSend(this);
        return;
    }
    if (!OnUserThread())
        PostToUser(new CRtEventOnSend(this));
}

void CRtTransportThreadProxy::OnObserve(const char* aTopic, void*) {
    if (stoppedflag_.load() || UserThreadStopped() || !aTopic)
        return;
    if (!OnUserThread()) {
        PostToUser(new CRtEventOnObserve(this, aTopic));
        return;
    }
    if (IRtObserver* observer = m_pObserver.load())
        observer->OnObserve(aTopic, nullptr);
}

void CRtTransportThreadProxy::OnDisconnect(RtResult aReason, IRtTransport* aTrptId) {
    if (stoppedflag_.load() || UserThreadStopped()) {
        RT_DEBUG_TRACE_THIS("CRtTransportThreadProxy::OnDisconnect, stoppedflag_="
                            << stoppedflag_.load() << " m_userThread->IsStopped()=" << UserThreadStopped()
                            << ", reason=" << aReason << " trpt=" << static_cast<const void*>(aTrptId));
        RT_ASSERTE(aTrptId == m_lowerTransport.Get());
        m_lowerTransport.Release();
        return;
    }
    RT_INFO_TRACE_THIS(
        "CRtTransportThreadProxy::OnDisconnect, reason=" << aReason << " trpt=" << static_cast<const void*>(aTrptId));
    // A transport whose peer only finished sending keeps its socket for the
    // answers the user thread may already have sent our way; the user's
    // Disconnect or last release closes it, after those sends.
    RT_HANDLE fd = RT_INVALID_HANDLE;
    IRtTransport* lower = m_lowerTransport.Get();
    if (!lower || lower->GetOption(RT_OPT_TRANSPORT_FD, &fd) != RT_OK || fd == RT_INVALID_HANDLE)
        m_lowerTransport.Release();
    if (OnUserThread() && GetSink()) {
        stoppedflag_ = true;
        IRtTransportSink* sink = m_pSink.exchange(nullptr);
        if (sink)
            sink->OnDisconnect(aReason, this);
        return;
    }
    PostToUser(new CRtEventOnDisconnect(this, aReason));
}

RtResult CRtTransportThreadProxy::OptionOnNetwork(bool aSet, unsigned long aCommand, void* aArg) {
    if (OnNetworkThread())
        return aSet ? SetOption_n(aCommand, aArg) : GetOption_n(aCommand, aArg);
    // The lower transport is not safe to touch here, and releasing it here
    // could delete it off its thread.
    CRtThread* t = GetNetworkThread();
    return CThreadSwitch::SwitchToThreadSyn(
        new CRtEventProxyOption(
            this, aSet ? &CRtTransportThreadProxy::SetOption_n : &CRtTransportThreadProxy::GetOption_n, aCommand, aArg),
        t->GetThreadId());
}

RtResult CRtTransportThreadProxy::GetOption(unsigned long aCommand, void* aArg) {
    {
        CRtMutexGuardT<CRtMutexThreadRecursive> guard(m_Mutex);
        IRtTransport* lower = m_lowerTransport.Get();
        if (!lower)
            return RT_ERROR_NULL_POINTER;
        if (aCommand == RT_OPT_LOWER_TRANSPORT) {
            RT_ASSERTE_RETURN(aArg, RT_ERROR_INVALID_ARG);
            *static_cast<IRtTransport**>(aArg) = lower;
            return RT_OK;
        }
        if (aCommand == RT_OPT_RUDP_OBSERVER) {
            RT_ASSERTE_RETURN(aArg, RT_ERROR_INVALID_ARG);
            *static_cast<IRtObserver**>(aArg) = m_pObserver.load();
            return RT_OK;
        }
    }
    return OptionOnNetwork(false, aCommand, aArg);
}

RtResult CRtTransportThreadProxy::GetOption_n(unsigned long aCommand, void* aArg) {
    CRtMutexGuardT<CRtMutexThreadRecursive> guard(m_Mutex);
    IRtTransport* lower = m_lowerTransport.Get();
    if (!lower)
        return RT_ERROR_NULL_POINTER;
    return lower->GetOption(aCommand, aArg);
}

RtResult CRtTransportThreadProxy::SetOption(unsigned long aCommand, void* aArg) {
    {
        CRtMutexGuardT<CRtMutexThreadRecursive> guard(m_Mutex);
        if (aCommand == RT_OPT_BIND_THREAD) {
            if (m_threadStrategy != TS_MULTI_THREAD) {
                RT_ERROR_TRACE_THIS("CRtTransportThreadProxy::SetOption,should not involk in TS_SINGLE_THREAD!");
                return RT_ERROR_UNEXPECTED;
            }
            if (!(m_dwType & CTYPE_TCP)) {
                RT_ERROR_TRACE_THIS("CRtTransportThreadProxy::SetOption,only tcp support RT_OPT_BIND_THREAD option!");
                return RT_ERROR_UNEXPECTED;
            }
        }
    }
    if (aCommand == RT_OPT_RUDP_OBSERVER) {
        // The lower transport tells the proxy, which tells the user on its thread.
        IRtObserver* observer = static_cast<IRtObserver*>(aArg);
        IRtObserver* self = observer ? static_cast<IRtObserver*>(this) : nullptr;
        RtResult rv = OptionOnNetwork(true, aCommand, self);
        if (RT_SUCCEEDED(rv) && !IsStopped())
            m_pObserver = observer;
        return rv;
    }
    return OptionOnNetwork(true, aCommand, aArg);
}

RtResult CRtTransportThreadProxy::SetOption_n(unsigned long aCommand, void* aArg) {
    CRtMutexGuardT<CRtMutexThreadRecursive> guard(m_Mutex);
    if (aCommand == RT_OPT_LOWER_TRANSPORT) {
        RT_DEBUG_TRACE_THIS("CRtTransportThreadProxy::SetOption, RT_OPT_LOWER_TRANSPORT arg=" << aArg);
        m_lowerTransport.Release();
        return RT_OK;
    }
    CRtThread* target = nullptr;
    if (aCommand == RT_OPT_BIND_THREAD) {
        CRtTransportBindThreadParam* param = static_cast<CRtTransportBindThreadParam*>(aArg);
        CRtThread* pDesired = param ? param->m_thread : nullptr;
        RT_ASSERTE_RETURN(pDesired, RT_ERROR_INVALID_ARG);
        target = pDesired;
    }
    IRtTransport* lower = m_lowerTransport.Get();
    if (!lower)
        return RT_ERROR_NULL_POINTER;
    RtResult rv = lower->SetOption(aCommand, aArg);
    if (RT_SUCCEEDED(rv) && target && target != m_networkThread.load()) {
        m_networkThread = target;
        m_userThread = target;
    }
    return rv;
}

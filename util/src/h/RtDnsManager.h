// Host names to socket addresses for the whole process: a cache of
// finished lookups, a queue of pending ones, and observers told of results
// on the threads they named. Lookups run one after another on the
// manager's own task thread (or on the caller's, for SyncResolve).
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <vector>

#include "RtEventQueue.h"
#include "RtObserver.h"
#include "RtReferenceControl.h"
#include "RtString.h"
#include "RtTimerWrapper.h"
#include "RtUtilTemplates.h"

class CRtThread;

namespace rtos {
struct SocketAddress;
}

// One lookup and its result.
class CRtDnsRecord : public CRtReferenceControlT<CRtMutexThread> {
public:
    enum State { RSV_IDLE = 0, RSV_PROCESSING = 1, RSV_SUCCESS = 2, RSV_FAILED = 3 };
    static constexpr size_t kAreaSize = 1024;
    static constexpr size_t kSlotSize = 65;
    static constexpr size_t kMaxAddresses = 15;

    // Walks the resolved addresses: each is a system socket address (the
    // form CRtInetAddr::SetIpAddr takes).
    class iterator {
    public:
        iterator(const CRtDnsRecord* aRecord, size_t aIndex) : m_pRecord(aRecord), m_nIndex(aIndex) {}
        const void* operator*() const { return m_pRecord->m_Area + m_nIndex * kSlotSize; }
        iterator& operator++() {
            ++m_nIndex;
            return *this;
        }
        bool operator==(const iterator& aOther) const { return m_nIndex == aOther.m_nIndex; }
        bool operator!=(const iterator& aOther) const { return m_nIndex != aOther.m_nIndex; }

    private:
        const CRtDnsRecord* m_pRecord;
        size_t m_nIndex;
    };

    explicit CRtDnsRecord(const CRtString& aHostName) : m_strHostName(aHostName) { ClearAddresses(); }

    iterator begin() const { return iterator(this, 0); }
    iterator end() const { return iterator(this, m_nCount); }
    size_t GetCount() const { return m_nCount; }
    const CRtString& GetHostName() const { return m_strHostName; }
    State GetState() const { return m_State; }

    CRtString m_strHostName;
    State m_State = RSV_IDLE;
    CRtTimeValue m_tvResolved;

private:
    friend class CRtDnsManager;
    void ClearAddresses();
    void AddAddress(const rtos::SocketAddress& aAddr);

    uint8_t m_Area[kAreaSize];
    size_t m_nCount = 0;
};

class CRtDnsManager : public IRtEvent, public CRtTimerWrapperSink {
public:
    // Replaces the system resolver: for tests that need names this machine
    // cannot look up, slow lookups or failures. Null restores the system.
    typedef int (*Resolver)(const char* aHost, rtos::SocketAddress* aOut, size_t aMax, size_t* aCount);
    static void SetResolverForTest(Resolver aResolver);

    static CRtDnsManager* Instance();

    // RT_OK with a cached record (one reference for the caller), else starts
    // a lookup and returns RT_ERROR_WOULD_BLOCK; the observer is told on
    // aThreadListener (null: the calling thread).
    RtResult AsyncResolve(CRtDnsRecord*& aRecord, const CRtString& aHostName, IRtObserver* aObserver = nullptr,
                          bool aBypassCache = false, CRtThread* aThreadListener = nullptr);
    // Blocks for the lookup; RT_ERROR_NETWORK_DNS_FAILURE when it fails.
    RtResult SyncResolve(CRtDnsRecord*& aRecord, const CRtString& aHostName, bool aBypassCache = false);
    // Once it returns nothing more is posted for the observer; called on the
    // listener thread, no callback can be running or come later either.
    RtResult CancelResolve(IRtObserver* aObserver);
    RtResult RefreshHost(const CRtString& aHostName);
    RtResult GetLocalIps(CRtDnsRecord*& aRecord);
    RtResult Shutdown();

    RtResult OnEventFire() override;
    // The manager posts itself to its lookup thread; it is not disposable.
    void OnDestorySelf() override {}
    void OnTimer(CRtTimerWrapper* aId) override;

    // For tests: system lookups made so far.
    uint32_t GetLookupCount() const { return m_nLookups; }

private:
    friend class CRtSingletonT<CRtDnsManager>;
    CRtDnsManager();
    ~CRtDnsManager() override;

    struct CObserverAndListener;
    typedef std::map<CRtString, CRtDnsRecord*> CacheType;
    typedef std::list<CRtDnsRecord*> PendingType;

    RtResult FindInCache_l(CRtDnsRecord*& aRecord, const CRtString& aHostName);
    RtResult TryAddObserver_l(IRtObserver* aObserver, CRtThread* aThreadListener, const CRtString& aHostName);
    // A new record for the name, queued for the lookup thread.
    RtResult StartLookup_l(const CRtString& aHostName);
    RtResult BeginResolve_l(CRtDnsRecord* aRecord);
    RtResult SpawnDnsThread_l();
    int DoGetHostByName_l(CRtDnsRecord* aRecord);
    void Resolved_l(CRtDnsRecord* aRecord, int aError, bool aCallback);
    // Records the outcome in the cache, replacing an older record.
    void Cache_l(CRtDnsRecord* aRecord, int aError);
    void CacheFailed_l(CRtDnsRecord* aRecord);
    void DoCallback_l(int aError, const CRtString& aHostName);
    CRtDnsRecord* FindPending_l(const CRtString& aHostName);

    CacheType m_CacheRecords;
    PendingType m_PendingRecords;
    std::vector<CObserverAndListener> m_Observers;
    CRtMutexThread m_Mutex;
    CRtThread* m_pThreadDNS = nullptr;
    CRtThread* m_pThreadNetwork = nullptr;
    CRtTimerWrapper m_TimerExpired;
    uint32_t m_nLookups = 0;
};

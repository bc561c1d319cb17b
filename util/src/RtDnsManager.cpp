#include "RtDnsManager.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "RtDebug.h"
#include "RtInetAddr.h"
#include "RtOsSocket.h"
#include "RtThread.h"
#include "RtThreadManager.h"
#include "RtThreadSwitch.h"

namespace {
std::atomic<CRtDnsManager::Resolver> s_resolver{nullptr};
constexpr int64_t kFailedRecordSeconds = 3;
constexpr size_t kHostNameSize = 512;

int SystemResolve(const char* aHost, rtos::SocketAddress* aOut, size_t aMax, size_t* aCount) {
    return rtos::ResolveHost(aHost, true, aOut, aMax, aCount);
}
}  // namespace

// ---- CRtDnsRecord ----------------------------------------------------------------

void CRtDnsRecord::ClearAddresses() {
    memset(m_Area, 0, sizeof m_Area);
    m_nCount = 0;
}

void CRtDnsRecord::AddAddress(const rtos::SocketAddress& aAddr) {
    if (m_nCount >= kMaxAddresses)
        return;
    CRtInetAddr addr(static_cast<unsigned short>(aAddr.family));
    if (addr.SetIpAddr(static_cast<unsigned short>(aAddr.family), aAddr.addr) != RT_OK)
        return;
    addr.SetPortA(aAddr.port);
    memcpy(m_Area + m_nCount * kSlotSize, addr.GetPtr(), static_cast<size_t>(addr.GetSize()));
    ++m_nCount;
}

// ---- Observer entries ------------------------------------------------------------

// An observer waiting for a name; a copy of it is the event that tells the
// observer on its listener thread.
struct CRtDnsManager::CObserverAndListener : public IRtEvent {
    CObserverAndListener(IRtObserver* aObserver, CRtThread* aThread, const CRtString& aHostName)
        : m_pObserver(aObserver), m_pThreadListener(aThread), m_strHostName(aHostName) {}
    CObserverAndListener(const CObserverAndListener&) = default;
    CObserverAndListener& operator=(const CObserverAndListener&) = default;
    ~CObserverAndListener() override = default;

    RtResult OnEventFire() override {
        RT_ASSERTE(CRtThreadManager::IsEqualCurrentThread(m_pThreadListener->GetThreadId()));
        if (CRtDnsManager::Instance()->CancelResolve(m_pObserver) == RT_OK)
            m_pObserver->OnObserve("DnsManager", &m_nResult);
        return RT_OK;
    }

    IRtObserver* m_pObserver;
    CRtThread* m_pThreadListener;
    CRtString m_strHostName;
    int m_nResult = 0;
};

// ---- CRtDnsManager ---------------------------------------------------------------

void CRtDnsManager::SetResolverForTest(Resolver aResolver) { s_resolver.store(aResolver); }

CRtDnsManager* CRtDnsManager::Instance() { return CRtSingletonT<CRtDnsManager>::Instance(); }

CRtDnsManager::CRtDnsManager() {
    m_pThreadNetwork = CRtThreadManager::Instance()->GetDefaultNetworkThread();
    RT_ASSERTE(m_pThreadNetwork);
    // Failed records leave the cache a few seconds after they failed. The
    // timer runs on the creating thread when that thread has a timer queue.
    if (CRtThreadManager::GetThread(CRtThreadManager::GetThreadSelfId()))
        m_TimerExpired.Schedule(this, CRtTimeValue(kFailedRecordSeconds), 0);
}

CRtDnsManager::~CRtDnsManager() {
    Shutdown();
    // A timer bound to a thread that is gone can no longer be reached.
    if (m_TimerExpired.GetThread() && !CRtThreadManager::GetThread(m_TimerExpired.GetThread()->GetThreadId()))
        m_TimerExpired.DetachThread();
}

RtResult CRtDnsManager::FindInCache_l(CRtDnsRecord*& aRecord, const CRtString& aHostName) {
    auto found = m_CacheRecords.find(aHostName);
    if (found == m_CacheRecords.end())
        return RT_ERROR_NOT_FOUND;
    CRtDnsRecord* record = found->second;
    switch (record->m_State) {
    case CRtDnsRecord::RSV_SUCCESS:
        record->AddReference();
        aRecord = record;
        return RT_OK;
    case CRtDnsRecord::RSV_FAILED:
        return RT_ERROR_NETWORK_DNS_FAILURE;
    default:
        RT_ERROR_TRACE("CRtDnsManager::FindInCache_l, error state in m_CacheRecords aHostName="
                       << aHostName << " aRecord=" << static_cast<const void*>(record)
                       << " state=" << static_cast<int>(record->m_State));
        return RT_ERROR_UNEXPECTED;
    }
}

RtResult CRtDnsManager::AsyncResolve(CRtDnsRecord*& aRecord, const CRtString& aHostName, IRtObserver* aObserver,
                                     bool aBypassCache, CRtThread* aThreadListener) {
    RT_INFO_TRACE("CRtDnsManager::AsyncResolve, aHostName="
                  << aHostName << " aObserver=" << static_cast<const void*>(aObserver) << " aBypassCache="
                  << aBypassCache << " aThreadListener=" << static_cast<const void*>(aThreadListener));
    RT_ASSERTE(!aRecord);
    CRtMutexGuardT<CRtMutexThread> guard(m_Mutex);
    if (!aBypassCache && FindInCache_l(aRecord, aHostName) == RT_OK)
        return RT_OK;

    if (RT_FAILED(StartLookup_l(aHostName)))
        return RT_ERROR_FAILURE;
    TryAddObserver_l(aObserver, aThreadListener, aHostName);
    return RT_ERROR_WOULD_BLOCK;
}

RtResult CRtDnsManager::TryAddObserver_l(IRtObserver* aObserver, CRtThread* aThreadListener,
                                         const CRtString& aHostName) {
    if (!aObserver)
        return RT_ERROR_INVALID_ARG;
    if (!aThreadListener) {
        aThreadListener = CRtThreadManager::GetThread(CRtThreadManager::GetThreadSelfId());
        RT_ASSERTE_RETURN(aThreadListener, RT_ERROR_INVALID_ARG);
    }
    for (const CObserverAndListener& entry : m_Observers) {
        if (entry.m_pObserver == aObserver) {
            RT_WARNING_TRACE("CRtDnsManager::TryAddObserver_l, observer already exist. aObserver="
                             << static_cast<const void*>(aObserver)
                             << " aThreadListener=" << static_cast<const void*>(aThreadListener));
            return RT_ERROR_FOUND;
        }
    }
    m_Observers.emplace_back(aObserver, aThreadListener, aHostName);
    return RT_OK;
}

CRtDnsRecord* CRtDnsManager::FindPending_l(const CRtString& aHostName) {
    for (CRtDnsRecord* record : m_PendingRecords) {
        if (record->m_strHostName == aHostName)
            return record;
    }
    return nullptr;
}

RtResult CRtDnsManager::StartLookup_l(const CRtString& aHostName) {
    CRtDnsRecord* record = new CRtDnsRecord(aHostName);
    record->AddReference();
    RtResult rv = BeginResolve_l(record);
    // A lookup that cannot start counts as failed at once, without callbacks.
    if (RT_FAILED(rv))
        CacheFailed_l(record);
    record->ReleaseReference();
    return rv;
}

RtResult CRtDnsManager::BeginResolve_l(CRtDnsRecord* aRecord) {
    // One lookup per name at a time: its end tells every observer.
    if (FindPending_l(aRecord->m_strHostName))
        return RT_OK;
    aRecord->AddReference();
    m_PendingRecords.push_back(aRecord);
    if (!m_pThreadDNS) {
        RtResult rv = SpawnDnsThread_l();
        if (RT_FAILED(rv)) {
            m_PendingRecords.remove(aRecord);
            aRecord->ReleaseReference();
            return rv;
        }
    }
    return CThreadSwitch::PostToThread(m_pThreadDNS, this);
}

RtResult CRtDnsManager::SpawnDnsThread_l() {
    RtResult rv = CRtThreadManager::Instance()->CreateUserTaskThread(m_pThreadDNS, true, 1, "network");
    if (RT_FAILED(rv)) {
        RT_ERROR_TRACE("CRtDnsManager::SpawnDnsThread_l, create DNS thread failed!");
        m_pThreadDNS = nullptr;
        return rv;
    }
    RT_INFO_TRACE("CRtDnsManager::SpawnDnsThread_l, create DNS thread.");
    return RT_OK;
}

RtResult CRtDnsManager::OnEventFire() {
    CRtMutexGuardT<CRtMutexThread> guard(m_Mutex);
    if (!m_pThreadDNS)
        return RT_OK;  // shut down meanwhile
    RT_ASSERTE(CRtThreadManager::IsEqualCurrentThread(m_pThreadDNS->GetThreadId()));
    for (;;) {
        // Records a synchronous caller is looking up are not idle: skip them.
        CRtDnsRecord* record = nullptr;
        for (CRtDnsRecord* pending : m_PendingRecords) {
            if (pending->m_State == CRtDnsRecord::RSV_IDLE) {
                record = pending;
                break;
            }
        }
        if (!record)
            break;
        record->AddReference();
        int rv = DoGetHostByName_l(record);
        if (!m_pThreadDNS) {
            record->ReleaseReference();  // shut down during the lookup: nobody waits
            break;
        }
        Resolved_l(record, rv, true);
        record->ReleaseReference();
    }
    return RT_OK;
}

int CRtDnsManager::DoGetHostByName_l(CRtDnsRecord* aRecord) {
    RT_ASSERTE(aRecord->m_State == CRtDnsRecord::RSV_IDLE);
    aRecord->m_State = CRtDnsRecord::RSV_PROCESSING;
    ++m_nLookups;
    CRtString host = aRecord->m_strHostName;
    m_Mutex.UnLock();

    rtos::SocketAddress found[CRtDnsRecord::kMaxAddresses];
    size_t count = 0;
    Resolver resolver = s_resolver.load();
    int rv = (resolver ? resolver : SystemResolve)(host.c_str(), found, CRtDnsRecord::kMaxAddresses, &count);
    if (rv == 0 && count == 0)
        rv = rtos::kResolveNoAddress;
    if (rv != 0) {
        char text[256];
        rtos::ResolveErrorText(rv, text, sizeof text);
        RT_ERROR_TRACE("CRtDnsManager::DoGetHostByName_l failed."
                       << " hostName: " << host << " errInfo: " << text);
    }

    m_Mutex.Lock();
    // The record is only written under the lock, and only while nobody else
    // can hold it (it is not in the cache while it is being looked up).
    aRecord->ClearAddresses();
    for (size_t i = 0; i < count; ++i)
        aRecord->AddAddress(found[i]);
    return rv;
}

void CRtDnsManager::Cache_l(CRtDnsRecord* aRecord, int aError) {
    aRecord->m_State = aError ? CRtDnsRecord::RSV_FAILED : CRtDnsRecord::RSV_SUCCESS;
    aRecord->m_tvResolved = CRtTimeValue::GetMonotonicTime();
    aRecord->AddReference();
    auto cached = m_CacheRecords.find(aRecord->m_strHostName);
    if (cached != m_CacheRecords.end()) {
        cached->second->ReleaseReference();
        cached->second = aRecord;
    } else {
        m_CacheRecords[aRecord->m_strHostName] = aRecord;
    }
}

void CRtDnsManager::CacheFailed_l(CRtDnsRecord* aRecord) { Cache_l(aRecord, RT_ERROR_FAILURE); }

void CRtDnsManager::Resolved_l(CRtDnsRecord* aRecord, int aError, bool aCallback) {
    RT_ASSERTE(aRecord->m_State == CRtDnsRecord::RSV_PROCESSING);
    RT_INFO_TRACE("CRtDnsManager::Resolved_l, pRecord=" << static_cast<const void*>(aRecord) << " hostname="
                                                        << aRecord->m_strHostName << " aError=" << aError);
    Cache_l(aRecord, aError);

    auto pending = std::find(m_PendingRecords.begin(), m_PendingRecords.end(), aRecord);
    if (pending == m_PendingRecords.end()) {
        RT_ERROR_TRACE(
            "CRtDnsManager::Resolved_l, can't find pending. maybe it's removed due to Sync and Aysnc "
            "resolve the same hostname. hsotname"
            << aRecord->m_strHostName);
        RT_ASSERTE(false);
    } else {
        m_PendingRecords.erase(pending);
        aRecord->ReleaseReference();
    }
    if (aCallback)
        DoCallback_l(aError, aRecord->m_strHostName);
}

void CRtDnsManager::DoCallback_l(int aError, const CRtString& aHostName) {
    // Posts go out under the lock, so that once CancelResolve has returned
    // nothing more is posted for that observer: its owner may then destroy
    // the listener thread. Observers on this very thread are called outside
    // the lock, as they may resolve again.
    std::vector<CObserverAndListener> here;
    for (const CObserverAndListener& entry : m_Observers) {
        if (entry.m_strHostName != aHostName)
            continue;
        if (CRtThreadManager::IsEqualCurrentThread(entry.m_pThreadListener->GetThreadId())) {
            here.push_back(entry);
            here.back().m_nResult = aError;
        } else {
            CObserverAndListener* event = new CObserverAndListener(entry);
            event->m_nResult = aError;
            CThreadSwitch::PostToThread(entry.m_pThreadListener, event);
        }
    }
    if (here.empty())
        return;
    m_Mutex.UnLock();
    for (CObserverAndListener& entry : here) {
        if (CancelResolve(entry.m_pObserver) == RT_OK)
            entry.m_pObserver->OnObserve("DnsManager", &entry.m_nResult);
    }
    m_Mutex.Lock();
}

RtResult CRtDnsManager::SyncResolve(CRtDnsRecord*& aRecord, const CRtString& aHostName, bool aBypassCache) {
    RT_INFO_TRACE("CRtDnsManager::SyncResolve, aHostName=" << aHostName << " aBypassCache=" << aBypassCache);
    RT_ASSERTE(!aRecord);
    CRtMutexGuardT<CRtMutexThread> guard(m_Mutex);
    if (!aBypassCache && FindInCache_l(aRecord, aHostName) == RT_OK)
        return RT_OK;

    CRtDnsRecord* record = FindPending_l(aHostName);
    // Only a lookup nobody has started yet can be taken over; one that is
    // running on the lookup thread keeps its record.
    if (record && record->m_State == CRtDnsRecord::RSV_IDLE) {
        RT_WARNING_TRACE("CRtDnsManager::SyncResolve, remove pending for hostname=" << aHostName);
        m_PendingRecords.remove(record);  // its pending reference moves with it
    } else {
        record = new CRtDnsRecord(aHostName);
        record->AddReference();  // the pending list's
    }
    record->AddReference();  // the caller's
    m_PendingRecords.push_back(record);
    int rv = DoGetHostByName_l(record);
    // Observers waiting for this name learn the outcome too.
    Resolved_l(record, rv, true);
    if (rv != 0) {
        // Resolved_l released the pending reference; this one was the caller's.
        record->ReleaseReference();
        return RT_ERROR_NETWORK_DNS_FAILURE;
    }
    aRecord = record;
    return RT_OK;
}

RtResult CRtDnsManager::CancelResolve(IRtObserver* aObserver) {
    CRtMutexGuardT<CRtMutexThread> guard(m_Mutex);
    for (auto it = m_Observers.begin(); it != m_Observers.end(); ++it) {
        if (it->m_pObserver == aObserver) {
            m_Observers.erase(it);
            return RT_OK;
        }
    }
    return RT_ERROR_NOT_FOUND;
}

RtResult CRtDnsManager::RefreshHost(const CRtString& aHostName) {
    RT_INFO_TRACE("CRtDnsManager::RefreshHost, aHostName=" << aHostName);
    CRtMutexGuardT<CRtMutexThread> guard(m_Mutex);
    // Always a new record: holders of the cached one keep reading it
    // unchanged until the new one replaces it in the cache.
    return RT_FAILED(StartLookup_l(aHostName)) ? RT_ERROR_FAILURE : RT_ERROR_WOULD_BLOCK;
}

RtResult CRtDnsManager::GetLocalIps(CRtDnsRecord*& aRecord) {
    char name[kHostNameSize];
    if (rtos::GetLocalHostName(name, sizeof name) != 0) {
        RT_ERROR_TRACE("CRtDnsManager::GetLocalIps, gethostname() failed! err=" << rtos::LastSocketError());
        return RT_ERROR_FAILURE;
    }
    return SyncResolve(aRecord, CRtString(name), false);
}

void CRtDnsManager::OnTimer(CRtTimerWrapper*) {
    CRtMutexGuardT<CRtMutexThread> guard(m_Mutex);
    CRtTimeValue now = CRtTimeValue::GetMonotonicTime();
    for (auto it = m_CacheRecords.begin(); it != m_CacheRecords.end();) {
        CRtDnsRecord* record = it->second;
        if (record->m_State == CRtDnsRecord::RSV_FAILED &&
            now - record->m_tvResolved > CRtTimeValue(kFailedRecordSeconds)) {
            record->ReleaseReference();
            it = m_CacheRecords.erase(it);
        } else {
            ++it;
        }
    }
}

RtResult CRtDnsManager::Shutdown() {
    CRtThread* thread = nullptr;
    {
        CRtMutexGuardT<CRtMutexThread> guard(m_Mutex);
        thread = m_pThreadDNS;
        m_pThreadDNS = nullptr;
        m_Observers.clear();
        for (CRtDnsRecord* record : m_PendingRecords)
            record->ReleaseReference();
        m_PendingRecords.clear();
        for (auto& item : m_CacheRecords)
            item.second->ReleaseReference();
        m_CacheRecords.clear();
    }
    // Outside the lock: a lookup under way takes the lock when it ends.
    if (thread) {
        thread->Stop();
        thread->Join();
        thread->Destory(RT_OK);
    }
    return RT_OK;
}

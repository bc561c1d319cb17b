#include "RtHttpProxyManager.h"

#include <algorithm>
#include <cstring>

#include "RtDebug.h"

typedef CRtMutexGuardT<CRtMutexThreadRecursive> ManagerGuard;

CRtHttpProxyManager* CRtHttpProxyManager::Instance() { return CRtSingletonT<CRtHttpProxyManager>::Instance(); }

CRtHttpProxyManager::~CRtHttpProxyManager() {
    for (CRtHttpProxyInfo* proxy : m_Proxies)
        proxy->ReleaseReference();
}

bool CRtHttpProxyManager::CreateProxyInfo(const CRtString& aHostAndPort, CRtHttpProxyInfo::PROXY_TYPE aType,
                                          CRtHttpProxyInfo*& aProxy) {
    ManagerGuard guard(m_Mutex);
    for (CRtHttpProxyInfo* proxy : m_Proxies) {
        if (proxy->GetHostAndPort() == aHostAndPort) {
            proxy->AddReference();
            aProxy = proxy;
            return true;
        }
    }
    CRtHttpProxyInfo* proxy = new CRtHttpProxyInfo;
    proxy->AddReference();
    if (proxy->Init(aHostAndPort, aType) != RT_OK) {
        RT_ERROR_TRACE("CRtHttpProxyManager::CreateProxyInfo, Init() failed!");
        proxy->ReleaseReference();
        return false;
    }
    m_Proxies.push_back(proxy);
    proxy->AddReference();
    aProxy = proxy;
    return true;
}

bool CRtHttpProxyManager::FindProxyInfo(const CRtString& aHostAndPort, CRtHttpProxyInfo*& aProxy) {
    ManagerGuard guard(m_Mutex);
    for (CRtHttpProxyInfo* proxy : m_Proxies) {
        if (proxy->GetHostAndPort() == aHostAndPort) {
            proxy->AddReference();
            aProxy = proxy;
            return true;
        }
    }
    return false;
}

IRtHttpProxyInfoGetter::NextReturn CRtHttpProxyManager::GetProxyInfo(const CRtString&, uint16_t,
                                                                     CRtHttpProxyInfo*& aProxy) {
    ManagerGuard guard(m_Mutex);
    if (m_Proxies.empty())
        return IRtHttpProxyInfoGetter::NEXT_RETURN_NONE;
    aProxy = m_Proxies.front();
    aProxy->AddReference();
    return IRtHttpProxyInfoGetter::NEXT_RETURN_FOUND;
}

RtResult CRtHttpProxyManager::ClearCacheProxy() {
    RT_DEBUG_TRACE("CRtHttpProxyManager::ClearCacheProxy");
    std::vector<CRtHttpProxyInfo*> gone;
    {
        ManagerGuard guard(m_Mutex);
        gone.swap(m_Proxies);
    }
    for (CRtHttpProxyInfo* proxy : gone)
        proxy->ReleaseReference();
    return RT_OK;
}

RtResult CRtHttpProxyManager::ClearCacheProxy(const CRtString& aHost, uint16_t aPort) {
    RT_INFO_TRACE("CRtHttpProxyManager::ClearCacheProxy aHost=" << aHost << " aPort=" << aPort);
    std::vector<CRtHttpProxyInfo*> gone;
    {
        ManagerGuard guard(m_Mutex);
        auto keep = std::stable_partition(m_Proxies.begin(), m_Proxies.end(), [&](CRtHttpProxyInfo* aProxy) {
            return !(aProxy->GetHostName() == aHost && aProxy->GetPort() == aPort);
        });
        gone.assign(keep, m_Proxies.end());
        m_Proxies.erase(keep, m_Proxies.end());
    }
    for (CRtHttpProxyInfo* proxy : gone)
        proxy->ReleaseReference();
    return gone.empty() ? RT_ERROR_NOT_FOUND : RT_ERROR_FOUND;
}

RtResult CRtHttpProxyManager::AddObserver(IRtObserver* aObserver) {
    RT_ASSERTE_RETURN(aObserver, RT_ERROR_INVALID_ARG);
    ManagerGuard guard(m_Mutex);
    if (std::find(m_Observers.begin(), m_Observers.end(), aObserver) != m_Observers.end())
        return RT_ERROR_FOUND;
    m_Observers.push_back(aObserver);
    return RT_OK;
}

RtResult CRtHttpProxyManager::RemoveObserver(IRtObserver* aObserver) {
    ManagerGuard guard(m_Mutex);
    auto it = std::find(m_Observers.begin(), m_Observers.end(), aObserver);
    if (it == m_Observers.end())
        return RT_ERROR_NOT_FOUND;
    m_Observers.erase(it);
    return RT_OK;
}

void CRtHttpProxyManager::OnObserve(const char* aTopic, void*) {
    RT_ASSERTE_RETURN_VOID(aTopic);
    RT_ASSERTE(!strcmp(aTopic, "HttpProxyInfoGetterFile"));
    std::vector<IRtObserver*> waiting;
    {
        ManagerGuard guard(m_Mutex);
        waiting = m_Observers;
    }
    // Whoever removes an observer tells it, so a change reported on two
    // threads at once still tells each registration once; an observer that
    // adds itself again from its callback waits for the next change.
    for (IRtObserver* observer : waiting) {
        if (RemoveObserver(observer) == RT_OK)
            observer->OnObserve("HttpProxyManager", nullptr);
    }
}

CRtString CRtHttpProxyManager::GetSchemeFromChallenge(const CRtString& aChallenge) {
    return aChallenge.substr(0, aChallenge.find(' '));
}

IRtHttpAuthInfoGetter::GETTER_RESULT CRtHttpProxyManager::GetAuthInfoFromDialog(IRtChannelHttpClient*,
                                                                                CRtHttpProxyInfo*) {
    return IRtHttpAuthInfoGetter::GETTER_GO_AHEAD;
}

IRtHttpAuthInfoGetter* CRtHttpProxyManager::GetHttpAuthInfoGetter() {
    ManagerGuard guard(m_Mutex);
    return m_pAuthInfoGetter;
}

void CRtHttpProxyManager::SetHttpAuthInfoGetter(IRtHttpAuthInfoGetter* aGetter) {
    ManagerGuard guard(m_Mutex);
    m_pAuthInfoGetter = aGetter;
}

size_t CRtHttpProxyManager::GetProxyCountForTest() {
    ManagerGuard guard(m_Mutex);
    return m_Proxies.size();
}

size_t CRtHttpProxyManager::GetObserverCountForTest() {
    ManagerGuard guard(m_Mutex);
    return m_Observers.size();
}

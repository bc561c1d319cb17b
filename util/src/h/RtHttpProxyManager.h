// The process's proxy settings: the proxies made so far, the observers
// waiting for the next change, and where credentials come from.
#pragma once

#include <cstdint>
#include <vector>

#include "RtError.h"
#include "RtHttpProxyInfo.h"
#include "RtMutex.h"
#include "RtObserver.h"
#include "RtString.h"
#include "RtUtilTemplates.h"

class IRtChannelHttpClient;

// A source of proxy settings (the browser's, a file).
class IRtHttpProxyInfoGetter {
public:
    enum NextReturn : uint32_t {
        NEXT_RETURN_FOUND = 0,    // a proxy, with one reference for the caller
        NEXT_RETURN_NONE = 1,     // no proxy
        NEXT_RETURN_PENDING = 2,  // ask again once the observers are told
    };

    virtual NextReturn GetProxyInfo(const CRtString& aHost, uint16_t aPort, CRtHttpProxyInfo*& aProxy) = 0;

protected:
    virtual ~IRtHttpProxyInfoGetter() {}
};

// Where a channel gets a user name and password when its proxy settings
// carry none.
class IRtHttpAuthInfoGetter {
public:
    enum GETTER_RESULT : uint32_t {
        GETTER_CANCELED = 0,
        GETTER_GO_AHEAD = 1,  // the credentials are set
        GETTER_PENDING = 2,   // the user is being asked
    };

    virtual GETTER_RESULT GetAuthInfo(IRtChannelHttpClient* aChannel, CRtHttpProxyInfo* aProxy) = 0;

protected:
    virtual ~IRtHttpAuthInfoGetter() {}
};

// Safe from any thread: one recursive lock covers the proxy list and the
// observer list. Observers are called outside it.
class CRtHttpProxyManager : public IRtObserver {
public:
    static CRtHttpProxyManager* Instance();

    // The proxy whose "host:port" is aHostAndPort, made and listed when new;
    // false when the text names no host (or a port above 65535).
    bool CreateProxyInfo(const CRtString& aHostAndPort, CRtHttpProxyInfo::PROXY_TYPE aType, CRtHttpProxyInfo*& aProxy);
    // The listed settings whose "host:port" is aHostAndPort, with one
    // reference for the caller; false when none is listed.
    bool FindProxyInfo(const CRtString& aHostAndPort, CRtHttpProxyInfo*& aProxy);
    // The first listed proxy, whatever host and port are asked for.
    IRtHttpProxyInfoGetter::NextReturn GetProxyInfo(const CRtString& aHost, uint16_t aPort, CRtHttpProxyInfo*& aProxy);
    // Forgets every listed proxy.
    RtResult ClearCacheProxy();
    // Forgets the proxies at aHost and aPort: RT_ERROR_FOUND when there was
    // one, RT_ERROR_NOT_FOUND otherwise.
    RtResult ClearCacheProxy(const CRtString& aHost, uint16_t aPort);

    // An observer is told of the next change once, on the thread that
    // reports the change, and must add itself again for the one after.
    RtResult AddObserver(IRtObserver* aObserver);
    RtResult RemoveObserver(IRtObserver* aObserver);
    // A proxy settings source reports a change ("HttpProxyInfoGetterFile").
    void OnObserve(const char* aTopic, void* aData) override;

    // The scheme word of a challenge: the text before the first space.
    static CRtString GetSchemeFromChallenge(const CRtString& aChallenge);

    // No browser settings and no dialog exist in this system.
    bool IsBrowerProxySet() const { return false; }
    bool InitGetterArray() { return true; }
    IRtHttpAuthInfoGetter::GETTER_RESULT GetAuthInfoFromDialog(IRtChannelHttpClient* aChannel,
                                                               CRtHttpProxyInfo* aProxy);
    IRtHttpAuthInfoGetter* GetHttpAuthInfoGetter();
    void SetHttpAuthInfoGetter(IRtHttpAuthInfoGetter* aGetter);

    // For tests: the number of listed proxies and waiting observers.
    size_t GetProxyCountForTest();
    size_t GetObserverCountForTest();

private:
    friend class CRtSingletonT<CRtHttpProxyManager>;
    CRtHttpProxyManager() = default;
    ~CRtHttpProxyManager() override;

    CRtMutexThreadRecursive m_Mutex;
    std::vector<CRtHttpProxyInfo*> m_Proxies;  // one reference each, in creation order
    std::vector<IRtObserver*> m_Observers;
    IRtHttpAuthInfoGetter* m_pAuthInfoGetter = nullptr;
};

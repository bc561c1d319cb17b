// One proxy the client side can go through: where it is, what it speaks,
// and the credentials and scheme to answer its challenges with.
#pragma once

#include <cstdint>

#include "RtError.h"
#include "RtMutex.h"
#include "RtReferenceControl.h"
#include "RtString.h"

// Shared by the proxy manager's list and the channels and connectors that
// use it, hence the atomic count. The fields themselves have no lock: the
// credentials are set by the channel that answers a challenge, on its
// thread.
class CRtHttpProxyInfo : public CRtReferenceControlT<CRtMutexThread> {
public:
    enum PROXY_TYPE : uint32_t { HTTP_PROXY = 1, HTTPS_PROXY = 2, SOCK4_PROXY = 3, SOCK5_PROXY = 4 };

    CRtHttpProxyInfo() = default;
    ~CRtHttpProxyInfo() override {}

    // "host" or "host:port", the host trimmed of spaces; the port is read
    // from its leading digits, 0 (or none) giving the type's default.
    // RT_ERROR_INVALID_ARG for an empty host or a port above 65535.
    RtResult Init(const CRtString& aHostAndPort, PROXY_TYPE aType);
    RtResult Init(const CRtString& aHost, uint32_t aPort, PROXY_TYPE aType);

    const CRtString& GetHostName() const { return m_strHostName; }
    uint16_t GetPort() const { return m_wPort; }
    PROXY_TYPE GetProxyType() const { return m_Type; }
    // "host:port", the port always written.
    CRtString GetHostAndPort() const;

    const CRtString& GetUserName() const { return m_strUserName; }
    void SetUserName(const CRtString& aUserName) { m_strUserName = aUserName; }
    const CRtString& GetPasswd() const { return m_strPasswd; }
    void SetPasswd(const CRtString& aPasswd) { m_strPasswd = aPasswd; }
    const CRtString& GetAuthScheme() const { return m_strAuthScheme; }
    void SetAuthScheme(const CRtString& aScheme) { m_strAuthScheme = aScheme; }
    // Set once the first attempt without a user name has been made.
    bool IsFirstTryWithoutUserName() const { return m_bFirstTryedWithoutUserName; }
    void SetFirstTryedWithoutUserName(bool aTried = true) { m_bFirstTryedWithoutUserName = aTried; }

    // The same object, or the same host name and port (the type does not
    // count).
    bool Equal(const CRtHttpProxyInfo* aOther) const;

    static uint16_t DefaultPort(PROXY_TYPE aType);

private:
    CRtString m_strHostName;
    uint16_t m_wPort = 0;
    PROXY_TYPE m_Type = HTTP_PROXY;
    CRtString m_strUserName;
    CRtString m_strPasswd;
    CRtString m_strAuthScheme;
    bool m_bFirstTryedWithoutUserName = false;
};

// An absolute URL (scheme, host, port, path) for the HTTP client side, its
// canonical text, and percent encoding for query and form values.
#pragma once

#include <cstdint>

#include "RtMutex.h"
#include "RtReferenceControl.h"
#include "RtString.h"

// Belongs to one thread, hence the plain reference count. Made by
// CRtChannelManager::CreateUrl and handed around by reference.
class CRtHttpUrl : public CRtReferenceControlT<CRtMutexNullSingleThread> {
public:
    static const char* const s_pszSchemeHttp;   // "http"
    static const char* const s_pszSchemeHttps;  // "https"
    static const char* const s_pszSchemeFile;   // "file"

    CRtHttpUrl() = default;
    virtual ~CRtHttpUrl() {}

    // "http://host[:port][/path]", "https://..." or "file://...", the
    // scheme in any case, after any leading spaces. No userinfo and no
    // IPv6 literal. False on any error; the fields may then be partly set.
    bool Init(const CRtString& aURL);

    // scheme "://" host [":" port] path, the port left out when it is the
    // scheme's default.
    CRtString GetAsciiSpec();

    // "host" or "host:port"; the port is read from its leading digits (none
    // gives the default port). False for an empty host or a port above 65535.
    bool SetNameAndPort(const CRtString& aNameAndPort);
    // The host, then ":port" unless the port is the default and
    // aAlwaysAppendPort is false.
    CRtString GetNameAndPort(bool aAlwaysAppendPort) const;

    CRtString GetHostName() const { return m_strHostName; }
    uint16_t GetPort() const { return m_wPort; }
    // 0 stands for the scheme's default port.
    void SetPort(uint16_t aPort);

    CRtString GetPath() const { return m_strPath; }
    // An empty path is stored as "/".
    void SetPath(const CRtString& aPath);

    CRtString GetScheme() const { return m_strScheme; }

    // Space becomes '+', [0-9A-Za-z-._] stay, every other byte becomes %XX.
    static CRtString Encode(const CRtString& aText);
    // Reverses Encode in place and returns the new length. A NUL is written
    // after the result, which may be at aBuffer[aLength]: the buffer must
    // hold aLength + 1 bytes. A '%' not followed by two hex digits stays.
    static int Decode(char* aBuffer, int aLength);

private:
    uint16_t GetDefaultPort() const;

    CRtString m_strAsciiText;  // empty until GetAsciiSpec rebuilds it
    CRtString m_strScheme;
    CRtString m_strPath;
    CRtString m_strHostName;
    uint16_t m_wPort = 0;
};

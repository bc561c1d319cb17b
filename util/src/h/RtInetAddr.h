// A socket address: IPv4 or IPv6 with a port, laid out as the system's
// sockaddr_in / sockaddr_in6, plus a host name still to be resolved.
#pragma once

#include <cstdint>
#include <vector>

#include "RtError.h"
#include "RtString.h"

class CRtInetAddr {
public:
    static constexpr size_t kSockAddrSize = 28;
    static constexpr size_t kSockAddrSizeV4 = 16;

    CRtInetAddr();
    explicit CRtInetAddr(unsigned short aFamily);
    CRtInetAddr(const char* aHostName, unsigned short aPort);
    // "host:port".
    explicit CRtInetAddr(const char* aIpAddrAndPort);

    RtResult Set(const char* aHostName, unsigned short aPort);
    // "host:port"; the first ':' splits, so an IPv6 literal cannot be given
    // this way. Ports above 65535 are refused.
    RtResult SetV4(const char* aIpAddrAndPort);
    // Numeric text: IPv4 first, then IPv6. Keeps the port.
    RtResult SetIpAddr(const char* aIpAddr);
    RtResult SetIpAddr(unsigned short aFamily, const void* aAddr);
    // A whole system socket address (28 bytes for IPv6, else 16).
    void SetIpAddr(const void* aSockAddr);
    void SetPortA(unsigned short aPort);

    unsigned short GetPort() const;
    unsigned short GetType() const;
    const CRtString& GetHostName() const { return m_strHostName; }
    bool IsResolved() const { return m_strHostName.empty(); }
    // The unspecified address (0.0.0.0 or ::) with port 0.
    bool IsAny() const;
    CRtString GetIpDisplayName() const;
    CRtString GetIpAndPort() const;
    // The system socket address, or null while the name is unresolved.
    const void* GetPtr() const { return IsResolved() ? m_SockAddr : nullptr; }
    int GetSize() const;
    // The raw address bytes (4 or 16).
    const uint8_t* GetAddrBytes() const;

    // Asks the DNS manager; RT_ERROR_WOULD_BLOCK while the lookup runs.
    RtResult TryResolve();

    bool operator==(const CRtInetAddr& aRight) const;
    bool operator!=(const CRtInetAddr& aRight) const { return !(*this == aRight); }
    // A key order for sorted containers, not a numeric order.
    bool operator<(const CRtInetAddr& aRight) const;

    // 1 when aText is an address of aFamily, 0 when not, -1 (errno
    // EAFNOSUPPORT) for an unknown family.
    static int RtInet_pton(int aFamily, const char* aText, void* aOut);
    // The text form in aBuf, or null when it does not fit (errno ENOSPC) or
    // the family is unknown.
    static char* RtInet_ntop(int aFamily, const void* aAddr, char* aBuf, size_t aSize);
    // Appends the numeric text of every address the system gives for aHost.
    static void GetIpWithHostName(const char* aHost, std::vector<CRtString>& aIps);

private:
    static bool IsIpv4Legal(const char* aText);
    void SetFamily(unsigned short aFamily);

    alignas(8) uint8_t m_SockAddr[kSockAddrSize];
    CRtString m_strHostName;
};

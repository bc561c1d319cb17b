#include "RtInetAddr.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "RtDebug.h"
#include "RtDnsManager.h"
#include "RtOsSocket.h"

namespace {
// Offsets in the system layout shared by sockaddr_in and sockaddr_in6.
constexpr size_t kOffFamily = 0;
constexpr size_t kOffPort = 2;
constexpr size_t kOffAddrV4 = 4;
constexpr size_t kOffAddrV6 = 8;
// Long enough for any IPv6 text with an IPv4 tail.
constexpr size_t kAddrTextSize = 46;
constexpr size_t kHostPartMax = 256;
}  // namespace

CRtInetAddr::CRtInetAddr() : CRtInetAddr(static_cast<unsigned short>(rtos::kAfInet)) {}

CRtInetAddr::CRtInetAddr(unsigned short aFamily) {
    memset(m_SockAddr, 0, sizeof m_SockAddr);
    SetFamily(aFamily);
    m_strHostName.reserve(64);
}

CRtInetAddr::CRtInetAddr(const char* aHostName, unsigned short aPort) : CRtInetAddr() { Set(aHostName, aPort); }

CRtInetAddr::CRtInetAddr(const char* aIpAddrAndPort) : CRtInetAddr() { SetV4(aIpAddrAndPort); }

void CRtInetAddr::SetFamily(unsigned short aFamily) { memcpy(m_SockAddr + kOffFamily, &aFamily, 2); }

unsigned short CRtInetAddr::GetType() const {
    unsigned short family;
    memcpy(&family, m_SockAddr + kOffFamily, 2);
    return family;
}

void CRtInetAddr::SetPortA(unsigned short aPort) {
    m_SockAddr[kOffPort] = static_cast<uint8_t>(aPort >> 8);
    m_SockAddr[kOffPort + 1] = static_cast<uint8_t>(aPort & 0xFF);
}

unsigned short CRtInetAddr::GetPort() const {
    return static_cast<unsigned short>((m_SockAddr[kOffPort] << 8) | m_SockAddr[kOffPort + 1]);
}

int CRtInetAddr::GetSize() const {
    return GetType() == rtos::kAfInet ? static_cast<int>(kSockAddrSizeV4) : static_cast<int>(kSockAddrSize);
}

const uint8_t* CRtInetAddr::GetAddrBytes() const {
    return m_SockAddr + (GetType() == rtos::kAfInet6 ? kOffAddrV6 : kOffAddrV4);
}

RtResult CRtInetAddr::Set(const char* aHostName, unsigned short aPort) {
    if (!aHostName || !*aHostName || aPort == 0)
        return RT_ERROR_INVALID_ARG;
    memset(m_SockAddr, 0, sizeof m_SockAddr);
    SetFamily(static_cast<unsigned short>(rtos::kAfInet));
    SetPortA(aPort);
    if (SetIpAddr(aHostName) == RT_OK)
        return RT_OK;
    m_strHostName = aHostName;
    return TryResolve();
}

RtResult CRtInetAddr::SetV4(const char* aIpAddrAndPort) {
    RT_ASSERTE_RETURN(aIpAddrAndPort, RT_ERROR_INVALID_ARG);
    const char* colon = strchr(aIpAddrAndPort, ':');
    size_t nAddrLen = strlen(aIpAddrAndPort);
    unsigned short port = 0;
    if (colon) {
        nAddrLen = static_cast<size_t>(colon - aIpAddrAndPort);
        // Read as atoi does (leading digits), but a port must fit 16 bits.
        long value = strtol(colon + 1, nullptr, 10);
        if (value < 0 || value > 65535)
            return RT_ERROR_INVALID_ARG;
        port = static_cast<unsigned short>(value);
    } else {
        RT_WARNING_TRACE("CRtInetAddr::Set, unknow aIpAddrAndPort=" << aIpAddrAndPort);
    }
    char szBuf[kHostPartMax];
    RT_ASSERTE_RETURN((size_t)nAddrLen < sizeof(szBuf), RT_ERROR_NOT_AVAILABLE);
    memcpy(szBuf, aIpAddrAndPort, nAddrLen);
    szBuf[nAddrLen] = '\0';
    return Set(szBuf, port);
}

RtResult CRtInetAddr::SetIpAddr(const char* aIpAddr) {
    uint8_t addr[16];
    if (aIpAddr && RtInet_pton(rtos::kAfInet, aIpAddr, addr) == 1)
        return SetIpAddr(static_cast<unsigned short>(rtos::kAfInet), addr);
    if (aIpAddr && RtInet_pton(rtos::kAfInet6, aIpAddr, addr) == 1)
        return SetIpAddr(static_cast<unsigned short>(rtos::kAfInet6), addr);
    RT_WARNING_TRACE("CRtInetAddr::SetIpAddr, wrong aIpAddr=" << aIpAddr);
    return RT_ERROR_FAILURE;
}

RtResult CRtInetAddr::SetIpAddr(unsigned short aFamily, const void* aAddr) {
    if (aFamily != rtos::kAfInet && aFamily != rtos::kAfInet6)
        return RT_ERROR_INVALID_ARG;
    RT_ASSERTE_RETURN(aAddr, RT_ERROR_INVALID_ARG);
    m_strHostName.clear();
    unsigned short port = GetPort();
    memset(m_SockAddr + kOffAddrV4, 0, sizeof m_SockAddr - kOffAddrV4);
    SetFamily(aFamily);
    SetPortA(port);
    if (aFamily == rtos::kAfInet)
        memcpy(m_SockAddr + kOffAddrV4, aAddr, 4);
    else
        memcpy(m_SockAddr + kOffAddrV6, aAddr, 16);
    return RT_OK;
}

void CRtInetAddr::SetIpAddr(const void* aSockAddr) {
    if (!aSockAddr)
        return;
    unsigned short family;
    memcpy(&family, aSockAddr, 2);
    memset(m_SockAddr, 0, sizeof m_SockAddr);
    memcpy(m_SockAddr, aSockAddr, family == rtos::kAfInet6 ? kSockAddrSize : kSockAddrSizeV4);
    m_strHostName.clear();
}

CRtString CRtInetAddr::GetIpDisplayName() const {
    if (!IsResolved())
        return m_strHostName;
    char text[kAddrTextSize];
    unsigned short family = GetType();
    if (family != rtos::kAfInet && family != rtos::kAfInet6)
        return CRtString();
    return CRtString(RtInet_ntop(family, GetAddrBytes(), text, sizeof text));
}

CRtString CRtInetAddr::GetIpAndPort() const {
    unsigned short family = GetType();
    if (family != rtos::kAfInet && family != rtos::kAfInet6)
        return CRtString();
    char text[64];
    const char* format = family == rtos::kAfInet6 && IsResolved() ? "[%s]:%d" : "%s:%d";
    // Cut at 63 characters, whatever the length of an unresolved name.
    snprintf(text, sizeof text, format, GetIpDisplayName().c_str(), GetPort());
    return CRtString(text);
}

RtResult CRtInetAddr::TryResolve() {
    if (IsResolved()) {
        RT_ERROR_TRACE("CRtInetAddr::TryResolve, IsResolved");
        return RT_OK;
    }
    CRtDnsRecord* pRecord = nullptr;
    RtResult rv = CRtDnsManager::Instance()->AsyncResolve(pRecord, m_strHostName, nullptr, false, nullptr);
    if (rv == RT_OK && pRecord) {
        auto first = pRecord->begin();
        if (first == pRecord->end()) {
            RT_ASSERTE(NULL != *(pRecord->begin()));
            rv = RT_ERROR_FAILURE;
        } else {
            unsigned short port = GetPort();
            SetIpAddr(*first);
            SetPortA(port);
        }
    }
    if (pRecord)
        pRecord->ReleaseReference();
    return rv;
}

bool CRtInetAddr::IsAny() const {
    if (!IsResolved() || GetPort() != 0)
        return false;
    const uint8_t* bytes = GetAddrBytes();
    const size_t n = GetType() == rtos::kAfInet6 ? 16 : 4;
    for (size_t i = 0; i < n; ++i) {
        if (bytes[i])
            return false;
    }
    return true;
}

bool CRtInetAddr::operator==(const CRtInetAddr& aRight) const {
    RT_ASSERTE(IsResolved());
    if (GetType() == rtos::kAfInet) {
        return aRight.GetType() == rtos::kAfInet && GetPort() == aRight.GetPort() &&
               memcmp(m_SockAddr + kOffAddrV4, aRight.m_SockAddr + kOffAddrV4, 4) == 0;
    }
    return memcmp(m_SockAddr + kOffAddrV6, aRight.m_SockAddr + kOffAddrV6, 16) == 0 && GetPort() == aRight.GetPort();
}

bool CRtInetAddr::operator<(const CRtInetAddr& aRight) const {
    RT_ASSERTE(IsResolved());
    uint16_t port, rightPort;
    memcpy(&port, m_SockAddr + kOffPort, 2);
    memcpy(&rightPort, aRight.m_SockAddr + kOffPort, 2);
    if (GetType() == rtos::kAfInet) {
        uint32_t a, b;
        memcpy(&a, m_SockAddr + kOffAddrV4, 4);
        memcpy(&b, aRight.m_SockAddr + kOffAddrV4, 4);
        return a != b ? a < b : port < rightPort;
    }
    int cmp = memcmp(m_SockAddr + kOffAddrV6, aRight.m_SockAddr + kOffAddrV6, 16);
    return cmp != 0 ? cmp < 0 : port < rightPort;
}

bool CRtInetAddr::IsIpv4Legal(const char* aText) {
    if (!aText || !*aText)
        return false;
    int dots = 0;
    for (const char* p = aText; *p; ++p) {
        if (*p == '.')
            ++dots;
        else if (*p < '0' || *p > '9')
            return false;
    }
    return dots == 3;
}

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Four decimal numbers 0..255 separated by dots, nothing else.
bool ParseV4(const char* aText, uint8_t* aOut) {
    int part = 0;
    int value = -1;
    for (const char* p = aText;; ++p) {
        if (*p >= '0' && *p <= '9') {
            // A leading zero followed by more digits is not decimal text.
            if (value == 0)
                return false;
            value = (value < 0 ? 0 : value * 10) + (*p - '0');
            if (value > 255)
                return false;
        } else if (*p == '.' || *p == '\0') {
            if (value < 0 || part > 3)
                return false;
            aOut[part++] = static_cast<uint8_t>(value);
            value = -1;
            if (*p == '\0')
                return part == 4;
        } else {
            return false;
        }
    }
}

bool ParseV6(const char* aText, uint8_t* aOut) {
    uint8_t words[16] = {};
    int filled = 0;    // bytes written
    int gapAt = -1;    // byte index of "::"
    const char* p = aText;
    if (p[0] == ':') {
        if (p[1] != ':')
            return false;
        gapAt = 0;
        p += 2;
        if (*p == '\0') {
            memset(aOut, 0, 16);
            return true;
        }
    }
    while (*p) {
        if (filled >= 16)
            return false;
        // A dotted IPv4 tail takes the last four bytes.
        const char* next = p;
        while (*next && *next != ':')
            ++next;
        bool dotted = false;
        for (const char* q = p; q < next; ++q) {
            if (*q == '.')
                dotted = true;
        }
        if (dotted) {
            if (*next != '\0' || filled > 12 || !ParseV4(p, words + filled))
                return false;
            filled += 4;
            break;
        }
        int value = 0;
        int digits = 0;
        for (; p < next; ++p) {
            int h = HexValue(*p);
            if (h < 0 || ++digits > 4)
                return false;
            value = (value << 4) | h;
        }
        if (digits == 0)
            return false;
        words[filled++] = static_cast<uint8_t>(value >> 8);
        words[filled++] = static_cast<uint8_t>(value & 0xFF);
        if (*p == ':') {
            ++p;
            if (*p == ':') {
                if (gapAt >= 0)
                    return false;
                gapAt = filled;
                ++p;
            } else if (*p == '\0') {
                return false;  // a trailing single ':'
            }
        }
    }
    if (gapAt < 0) {
        if (filled != 16)
            return false;
        memcpy(aOut, words, 16);
        return true;
    }
    if (filled == 16)
        return false;  // "::" must stand for at least one group
    int tail = filled - gapAt;
    memset(aOut, 0, 16);
    memcpy(aOut, words, static_cast<size_t>(gapAt));
    memcpy(aOut + 16 - tail, words + gapAt, static_cast<size_t>(tail));
    return true;
}

}  // namespace

int CRtInetAddr::RtInet_pton(int aFamily, const char* aText, void* aOut) {
    if (aFamily != rtos::kAfInet && aFamily != rtos::kAfInet6) {
        errno = EAFNOSUPPORT;
        return -1;
    }
    if (!aText || !aOut)
        return 0;
    uint8_t bytes[16];
    bool ok = aFamily == rtos::kAfInet ? ParseV4(aText, bytes) : ParseV6(aText, bytes);
    if (!ok)
        return 0;
    memcpy(aOut, bytes, aFamily == rtos::kAfInet ? 4 : 16);
    return 1;
}

char* CRtInetAddr::RtInet_ntop(int aFamily, const void* aAddr, char* aBuf, size_t aSize) {
    if (aFamily != rtos::kAfInet && aFamily != rtos::kAfInet6) {
        RT_ASSERTE(false);
        errno = EAFNOSUPPORT;
        return nullptr;
    }
    if (!aAddr || !aBuf)
        return nullptr;
    const uint8_t* b = static_cast<const uint8_t*>(aAddr);
    char text[kAddrTextSize];
    if (aFamily == rtos::kAfInet) {
        snprintf(text, sizeof text, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    } else {
        unsigned words[8];
        for (int i = 0; i < 8; ++i)
            words[i] = static_cast<unsigned>((b[2 * i] << 8) | b[2 * i + 1]);
        // The longest run of two or more zero groups (the first of equals).
        int bestAt = -1, bestLen = 0;
        for (int i = 0; i < 8;) {
            if (words[i] != 0) {
                ++i;
                continue;
            }
            int j = i;
            while (j < 8 && words[j] == 0)
                ++j;
            if (j - i > bestLen) {
                bestAt = i;
                bestLen = j - i;
            }
            i = j;
        }
        if (bestLen < 2)
            bestAt = -1;
        bool v4Tail = (bestAt == 0 && bestLen == 6) ||
                      (bestAt == 0 && bestLen == 5 && words[5] == 0xFFFF);
        size_t used = 0;
        int end = v4Tail ? 6 : 8;
        for (int i = 0; i < end; ++i) {
            if (i == bestAt) {
                used += static_cast<size_t>(snprintf(text + used, sizeof text - used, "::"));
                i += bestLen - 1;
                continue;
            }
            if (used > 0 && text[used - 1] != ':')
                text[used++] = ':';
            used += static_cast<size_t>(snprintf(text + used, sizeof text - used, "%x", words[i]));
        }
        if (v4Tail) {
            if (used > 0 && text[used - 1] != ':')
                text[used++] = ':';
            snprintf(text + used, sizeof text - used, "%d.%d.%d.%d", b[12], b[13], b[14], b[15]);
        } else {
            text[used] = '\0';
        }
    }
    size_t len = strlen(text);
    if (len + 1 > aSize) {
        errno = ENOSPC;
        return nullptr;
    }
    memcpy(aBuf, text, len + 1);
    return aBuf;
}

void CRtInetAddr::GetIpWithHostName(const char* aHost, std::vector<CRtString>& aIps) {
    rtos::SocketAddress found[32];
    size_t count = 0;
    int rv = rtos::ResolveHost(aHost, false, found, 32, &count);
    if (rv != 0) {
        char text[1024];
        rtos::ResolveErrorText(rv, text, sizeof text);
        RT_ERROR_TRACE("GetIpWithHostName  getaddrinfo Errinfo: " << text);
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        char text[kAddrTextSize];
        const char* shown = RtInet_ntop(found[i].family, found[i].addr, text, sizeof text);
        aIps.push_back(CRtString(shown ? shown : ""));
    }
}

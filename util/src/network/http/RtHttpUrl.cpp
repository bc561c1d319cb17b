#include "RtHttpUrl.h"

#include <cstring>
#include <string>

const char* const CRtHttpUrl::s_pszSchemeHttp = "http";
const char* const CRtHttpUrl::s_pszSchemeHttps = "https";
const char* const CRtHttpUrl::s_pszSchemeFile = "file";

namespace {

// ASCII only: URL syntax must not depend on the process locale.
bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

char ToLowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool HasPrefixNoCase(const char* aText, size_t aLen, const char* aPrefix) {
    size_t n = strlen(aPrefix);
    if (aLen < n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        if (ToLowerAscii(aText[i]) != aPrefix[i])
            return false;
    }
    return true;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Reads a port as atoi would (blanks, a sign, the leading digits; 0 when
// there are none) but refuses what does not fit 16 bits instead of letting
// it wrap: "host:70000" must not become port 4464.
bool ParsePort(const char* aText, uint16_t& aPort) {
    const char* p = aText;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = (*p++ == '-');
    unsigned long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + static_cast<unsigned long>(*p - '0');
        if (value > 65535)
            return false;
    }
    if (negative && value != 0)
        return false;
    aPort = static_cast<uint16_t>(value);
    return true;
}

struct SchemePrefix {
    const char* m_pszPrefix;
    const char* m_pszScheme;
};

}  // namespace

bool CRtHttpUrl::Init(const CRtString& aURL) {
    // A fresh parse: nothing of an earlier URL may leak into this one.
    m_strAsciiText.clear();
    m_strScheme.clear();
    m_strPath.clear();
    m_strHostName.clear();
    m_wPort = 0;

    // The text ends at its first NUL, as a character string does.
    const char* text = aURL.c_str();
    while (*text == ' ')
        ++text;
    size_t len = strlen(text);
    if (len == 0)
        return false;

    static const SchemePrefix kPrefixes[] = {
        {"https://", s_pszSchemeHttps},
        {"http://", s_pszSchemeHttp},
        {"file://", s_pszSchemeFile},
    };
    size_t skip = 0;
    for (const SchemePrefix& prefix : kPrefixes) {
        if (HasPrefixNoCase(text, len, prefix.m_pszPrefix)) {
            m_strScheme = prefix.m_pszScheme;
            skip = strlen(prefix.m_pszPrefix);
            break;
        }
    }
    if (skip == 0)
        return false;

    const char* rest = text + skip;
    size_t restLen = len - skip;
    const char* found = static_cast<const char*>(memchr(rest, '/', restLen));
    size_t slash = found ? static_cast<size_t>(found - rest) : CRtString::npos;

    if (m_strScheme != s_pszSchemeFile) {
        if (!SetNameAndPort(CRtString(rest, found ? slash : restLen)))
            return false;
        SetPath(found ? CRtString(found, restLen - slash) : CRtString());
        return true;
    }

    // A drive letter keeps its place whether the URL has two or three
    // slashes: "file://C:/x" and "file:///C:/x" both give "C:\x".
    size_t start = 0;
    if (found) {
        if (slash >= 2 && rest[slash - 1] == ':' && IsAsciiLetter(rest[slash - 2]))
            start = slash - 2;
        else if (slash + 1 < restLen && IsAsciiLetter(rest[slash + 1]))
            start = slash + 1;
        else
            start = slash;
    }
    m_strPath.assign(rest + start, restLen - start);
    for (char& c : m_strPath) {
        if (c == '/')
            c = '\\';
    }
    return true;
}

CRtString CRtHttpUrl::GetAsciiSpec() {
    if (m_strAsciiText.empty()) {
        CRtString text = m_strScheme;
        text += "://";
        text += GetNameAndPort(false);
        if (m_strPath.empty() || m_strPath[0] != '/')
            text += '/';
        text += m_strPath;
        m_strAsciiText = std::move(text);
    }
    return m_strAsciiText;
}

bool CRtHttpUrl::SetNameAndPort(const CRtString& aNameAndPort) {
    // Checked before anything is stored, so a refused text leaves the URL
    // as it was.
    const char* text = aNameAndPort.c_str();
    const char* colon = strchr(text, ':');
    size_t hostLen = colon ? static_cast<size_t>(colon - text) : strlen(text);
    if (hostLen == 0)
        return false;
    uint16_t port = 0;
    if (colon && !ParsePort(colon + 1, port))
        return false;
    m_strHostName.assign(text, hostLen);
    SetPort(port);
    return true;
}

CRtString CRtHttpUrl::GetNameAndPort(bool aAlwaysAppendPort) const {
    CRtString text = m_strHostName;
    if (aAlwaysAppendPort || m_wPort != GetDefaultPort()) {
        text += ':';
        text += std::to_string(m_wPort);
    }
    return text;
}

void CRtHttpUrl::SetPort(uint16_t aPort) {
    m_wPort = aPort != 0 ? aPort : GetDefaultPort();
    m_strAsciiText.clear();
}

void CRtHttpUrl::SetPath(const CRtString& aPath) {
    if (aPath.empty())
        m_strPath = "/";
    else
        m_strPath = aPath;
    m_strAsciiText.clear();
}

uint16_t CRtHttpUrl::GetDefaultPort() const {
    if (m_strScheme == s_pszSchemeHttp)
        return 80;
    if (m_strScheme == s_pszSchemeHttps)
        return 443;
    return 0;
}

CRtString CRtHttpUrl::Encode(const CRtString& aText) {
    static const char kHex[] = "0123456789ABCDEF";
    CRtString out;
    out.reserve(aText.size() * 3);
    for (char c : aText) {
        unsigned char b = static_cast<unsigned char>(c);
        if (b == ' ') {
            out += '+';
        } else if ((b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || b == '-' || b == '.' ||
                   b == '_') {
            out += c;
        } else {
            out += '%';
            out += kHex[b >> 4];
            out += kHex[b & 0x0F];
        }
    }
    return out;
}

int CRtHttpUrl::Decode(char* aBuffer, int aLength) {
    if (!aBuffer || aLength < 0)
        return 0;
    int out = 0;
    for (int i = 0; i < aLength; ++i) {
        char c = aBuffer[i];
        if (c == '+') {
            c = ' ';
        } else if (c == '%' && aLength - i > 2) {
            int hi = HexValue(aBuffer[i + 1]);
            int lo = HexValue(aBuffer[i + 2]);
            if (hi >= 0 && lo >= 0) {
                c = static_cast<char>((hi << 4) | lo);
                i += 2;
            }
        }
        aBuffer[out++] = c;
    }
    aBuffer[out] = '\0';
    return out;
}

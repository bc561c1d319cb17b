#include "RtHttpProxyInfo.h"

namespace {

CRtString TrimSpaces(const CRtString& aText) {
    size_t first = aText.find_first_not_of(' ');
    if (first == CRtString::npos)
        return CRtString();
    size_t last = aText.find_last_not_of(' ');
    return aText.substr(first, last - first + 1);
}

// atoi's reading (leading white space, a sign, the leading digits), except
// that a value outside 0..65535 is refused instead of being cut to 16 bits:
// "host:70000" must not quietly become port 4464.
bool ParsePort(const CRtString& aText, uint32_t& aPort) {
    size_t i = 0;
    while (i < aText.size() && (aText[i] == ' ' || (aText[i] >= '\t' && aText[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < aText.size() && (aText[i] == '+' || aText[i] == '-'))
        negative = aText[i++] == '-';
    uint32_t value = 0;
    for (; i < aText.size() && aText[i] >= '0' && aText[i] <= '9'; ++i) {
        value = value * 10 + static_cast<uint32_t>(aText[i] - '0');
        if (value > 0xFFFF)
            return false;
    }
    if (negative && value != 0)
        return false;
    aPort = value;
    return true;
}

}  // namespace

uint16_t CRtHttpProxyInfo::DefaultPort(PROXY_TYPE aType) {
    return (aType == SOCK4_PROXY || aType == SOCK5_PROXY) ? 1080 : 80;
}

RtResult CRtHttpProxyInfo::Init(const CRtString& aHostAndPort, PROXY_TYPE aType) {
    size_t colon = aHostAndPort.find(':');
    uint32_t port = 0;
    if (colon != CRtString::npos && !ParsePort(aHostAndPort.substr(colon + 1), port))
        return RT_ERROR_INVALID_ARG;
    return Init(aHostAndPort.substr(0, colon), port, aType);
}

RtResult CRtHttpProxyInfo::Init(const CRtString& aHost, uint32_t aPort, PROXY_TYPE aType) {
    CRtString host = TrimSpaces(aHost);
    if (host.empty() || aPort > 0xFFFF)
        return RT_ERROR_INVALID_ARG;
    m_strHostName = host;
    m_Type = aType;
    m_wPort = aPort ? static_cast<uint16_t>(aPort) : DefaultPort(aType);
    return RT_OK;
}

CRtString CRtHttpProxyInfo::GetHostAndPort() const { return m_strHostName + ":" + std::to_string(m_wPort); }

bool CRtHttpProxyInfo::Equal(const CRtHttpProxyInfo* aOther) const {
    if (aOther == this)
        return true;
    return aOther && m_strHostName == aOther->m_strHostName && m_wPort == aOther->m_wPort;
}

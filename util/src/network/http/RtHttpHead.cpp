#include "RtHttpHead.h"

#include <climits>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#include "RtDebug.h"

namespace {

const char kLineEnd[] = "\r\n";

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view StripBlanks(std::string_view aText) {
    while (!aText.empty() && IsBlank(aText.front()))
        aText.remove_prefix(1);
    while (!aText.empty() && IsBlank(aText.back()))
        aText.remove_suffix(1);
    return aText;
}

// A header name must be a token: with blanks, controls or separators in it,
// readers disagree on where the name ends or whether the line is a header.
bool IsToken(std::string_view aName) {
    for (char c : aName) {
        unsigned char u = static_cast<unsigned char>(c);
        bool ok = (u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') ||
                  (u != 0 && strchr("!#$%&'*+-.^_`|~", u) != nullptr);
        if (!ok)
            return false;
    }
    return !aName.empty();
}

// atoi's reading (leading white space, a sign, the leading digits), but
// saturating instead of overflowing.
int32_t ReadLeadingInt(const char* aText) {
    while (*aText == ' ' || (*aText >= '\t' && *aText <= '\r'))
        ++aText;
    bool negative = *aText == '-';
    if (*aText == '-' || *aText == '+')
        ++aText;
    long long value = 0;
    for (; IsDigit(*aText); ++aText) {
        if (value <= INT_MAX)
            value = value * 10 + (*aText - '0');
    }
    if (negative)
        return value > INT_MAX ? INT_MIN : static_cast<int32_t>(-value);
    return value > INT_MAX ? INT_MAX : static_cast<int32_t>(value);
}

bool IsSingleValued(const CRtHttpAtom& aAtom) {
    static const CRtHttpAtom* const s_single[] = {
        &CRtHttpAtomList::Accept_Charset,
        &CRtHttpAtomList::Content_Type,
        &CRtHttpAtomList::Content_Length,
        &CRtHttpAtomList::User_Agent,
        &CRtHttpAtomList::Referer,
        &CRtHttpAtomList::Host,
        &CRtHttpAtomList::Authorization,
        &CRtHttpAtomList::Proxy_Authorization,
        &CRtHttpAtomList::If_Modified_Since,
        &CRtHttpAtomList::If_Unmodified_Since,
        &CRtHttpAtomList::From,
        &CRtHttpAtomList::Location,
        &CRtHttpAtomList::Max_Forwards,
    };
    for (const CRtHttpAtom* single : s_single) {
        if (*single == aAtom)
            return true;
    }
    return false;
}

// Names whose repeated values are kept one per line.
bool IsLineJoined(const CRtHttpAtom& aAtom) {
    return aAtom == CRtHttpAtomList::Set_Cookie || aAtom == CRtHttpAtomList::WWW_Authenticate ||
           aAtom == CRtHttpAtomList::Proxy_Authenticate;
}

bool IsMethod(const CRtHttpAtom& aAtom) {
    static const CRtHttpAtom* const s_methods[] = {
        &CRtHttpAtomList::Options, &CRtHttpAtomList::Head,   &CRtHttpAtomList::Post,   &CRtHttpAtomList::Put,
        &CRtHttpAtomList::Get,     &CRtHttpAtomList::Index,  &CRtHttpAtomList::Delete, &CRtHttpAtomList::Trace,
        &CRtHttpAtomList::Connect, &CRtHttpAtomList::M_Post,
    };
    for (const CRtHttpAtom* method : s_methods) {
        if (*method == aAtom)
            return true;
    }
    return false;
}

void AppendVersion(CRtString& aOut, int32_t aVersion, bool& aOk) {
    if (aVersion == 10) {
        aOut += "1.0";
    } else if (aVersion == 11) {
        aOut += "1.1";
    } else {
        RT_ASSERTE(false);
        aOk = false;
    }
}

}  // namespace

CRtHttpHeaderArray::~CRtHttpHeaderArray() = default;

bool CRtHttpHeaderArray::Clear() {
    m_Headers.clear();
    m_bHaveAllHeaders = false;
    m_bFirstLineParsed = false;
    m_nHeaderLines = 0;
    m_nHeadLength = 0;
    m_LastAtom = CRtHttpAtom();
    return true;
}

bool CRtHttpHeaderArray::ParseFirstLine_t(const char*) {
    RT_ASSERTE(!"CRtHttpHeaderArray::ParseFirstLine_t");
    return false;
}

bool CRtHttpHeaderArray::ParseLine(const CRtString& aLine) { return ParseLine(aLine.data(), aLine.size()); }

bool CRtHttpHeaderArray::ParseLine(const char* aLine, size_t aLength) {
    RT_ASSERTE_RETURN(!m_bHaveAllHeaders, true);

    size_t len = aLength;
    if (len < 2 || aLine[len - 2] != '\r' || aLine[len - 1] != '\n') {
        RT_ERROR_TRACE_THIS("CRtHttpHeaderArray::ParseLine, not a line. aLine=" << CRtString(aLine, len));
        return false;
    }
    if (len > kMaxLineLength) {
        RT_ERROR_TRACE_THIS("CRtHttpHeaderArray::ParseLine, line too long! length=" << len
                                                                                    << " max=" << kMaxLineLength);
        return false;
    }
    if (len > kMaxHeadLength - m_nHeadLength) {
        RT_ERROR_TRACE_THIS("CRtHttpHeaderArray::ParseLine, head too long! length=" << (m_nHeadLength + len)
                                                                                    << " max=" << kMaxHeadLength);
        return false;
    }
    m_nHeadLength += len;
    // A CR that does not end the line, or a NUL, ends it early for some
    // readers: they would see other lines than we do.
    if (memchr(aLine, '\r', len - 2) || memchr(aLine, '\0', len - 2)) {
        RT_ERROR_TRACE_THIS(
            "CRtHttpHeaderArray::ParseLine, control character in line! aLine=" << CRtString(aLine, len - 2));
        return false;
    }

    if (len == 2)
        return FinishHead_i();

    if (!m_bFirstLineParsed) {
        // Terminated for the first-line parser, in text kept for the next head.
        m_strFirstLine.assign(aLine, len - 2);
        bool ok = ParseFirstLine_t(m_strFirstLine.c_str());
        if (ok)
            m_bFirstLineParsed = true;
        return ok;
    }
    return ParseHeaderLine_i(aLine, len - 2);
}

bool CRtHttpHeaderArray::FinishHead_i() {
    if (!m_bFirstLineParsed) {
        RT_ERROR_TRACE_THIS("CRtHttpHeaderArray::ParseLine, no first line!");
        return false;
    }
    // The base rule on purpose: a response that ignores its length must
    // still not declare a malformed one.
    int32_t length = CRtHttpHeaderArray::GetContentLength();
    if (length == kBadContentLength) {
        CRtString value;
        GetHeader(CRtHttpAtomList::Content_Length, value);
        RT_ERROR_TRACE_THIS("CRtHttpHeaderArray::ParseLine, invalid content length! value=" << value);
        return false;
    }
    CRtString coding;
    if (m_eKind == Kind::kRequest && GetHeader(CRtHttpAtomList::Transfer_Encoding, coding) &&
        !RtHttpEqualNoCase(StripBlanks(coding).data(), StripBlanks(coding).size(), "chunked", 7)) {
        // Only chunked is understood; a body in any other coding would be
        // read as the next request.
        RT_ERROR_TRACE_THIS("CRtHttpHeaderArray::ParseLine, unsupported transfer coding! value=" << coding);
        return false;
    }
    int32_t limit = GetContentLimit();
    if (length > limit) {
        RT_ERROR_TRACE_THIS("CRtHttpHeaderArray::ParseLine, content too long! length=" << length << " max=" << limit);
        return false;
    }
    m_bHaveAllHeaders = true;
    return true;
}

bool CRtHttpHeaderArray::ParseHeaderLine(const CRtString& aLine) {
    return ParseHeaderLine_i(aLine.data(), aLine.size());
}

bool CRtHttpHeaderArray::ParseHeaderLine_i(const char* aLine, size_t aLength) {
    if (m_nHeaderLines >= kMaxHeaderLines) {
        RT_ERROR_TRACE_THIS("CRtHttpHeaderArray::ParseLine, too many header lines! max=" << kMaxHeaderLines);
        return false;
    }
    ++m_nHeaderLines;
    if (aLength > 0 && IsBlank(aLine[0]))
        return JoinFoldedLine_i(aLine, aLength);
    m_LastAtom = CRtHttpAtom();

    const std::string_view line(aLine, aLength);
    size_t sep = line.find(':');
    for (char alt : {' ', '\t', '='}) {
        if (sep != std::string_view::npos)
            break;
        sep = line.find(alt);
    }
    if (sep == std::string_view::npos || sep == 0)
        return true;
    if (!IsToken(line.substr(0, sep))) {
        RT_ERROR_TRACE_THIS("CRtHttpHeaderArray::ParseLine, invalid header name! aLine=" << CRtString(line));
        return false;
    }

    // Beyond the received-name bounds an unknown name gives no atom and the
    // line is dropped.
    CRtHttpAtom atom = CRtHttpAtomList::Instance()->ResolveReceivedAtom(aLine, sep);
    if (!atom.get())
        return true;
    if (!CheckFramingHeader_i(atom, aLine, aLength, sep))
        return false;
    m_LastAtom = atom;
    return SetHeader_i(atom, aLine + sep + 1, aLength - sep - 1);
}

bool CRtHttpHeaderArray::CheckFramingHeader_i(const CRtHttpAtom& aAtom, const char* aLine, size_t aLength,
                                              size_t aSep) {
    if (aAtom != CRtHttpAtomList::Content_Length && aAtom != CRtHttpAtomList::Transfer_Encoding)
        return true;
    // The lenient forms of a header line (no colon, an empty value that
    // removes the header) are kept for other names only: for these two they
    // would change where the body ends.
    std::string_view value = StripBlanks(std::string_view(aLine + aSep + 1, aLength - aSep - 1));
    if (aLine[aSep] != ':' || value.empty()) {
        RT_ERROR_TRACE_THIS(
            "CRtHttpHeaderArray::ParseLine, malformed framing header! aLine=" << CRtString(aLine, aLength));
        return false;
    }
    size_t index = Find_i(aAtom);
    if (aAtom == CRtHttpAtomList::Content_Length && index != CRtString::npos &&
        StripBlanks(m_Headers[index].second) != value) {
        RT_ERROR_TRACE_THIS("CRtHttpHeaderArray::ParseLine, conflicting content length! old="
                            << m_Headers[index].second << " new=" << CRtString(value));
        return false;
    }
    return true;
}

bool CRtHttpHeaderArray::JoinFoldedLine_i(const char* aLine, size_t aLength) {
    // An obsolete folded line continues the previous value. Taken as a line
    // of its own, it would be a header no other reader sees; requests may
    // not use it at all.
    std::string_view more = StripBlanks(std::string_view(aLine, aLength));
    size_t index = m_LastAtom.get() ? Find_i(m_LastAtom) : CRtString::npos;
    if (m_eKind != Kind::kResponse || index == CRtString::npos || m_LastAtom == CRtHttpAtomList::Content_Length ||
        m_LastAtom == CRtHttpAtomList::Transfer_Encoding) {
        RT_ERROR_TRACE_THIS("CRtHttpHeaderArray::ParseLine, folded header line! aLine=" << CRtString(aLine, aLength));
        return false;
    }
    if (!more.empty()) {
        m_Headers[index].second += ' ';
        m_Headers[index].second += more;
    }
    return true;
}

bool CRtHttpHeaderArray::HasConflictingLengths() const {
    return HasHeader(CRtHttpAtomList::Transfer_Encoding) && HasHeader(CRtHttpAtomList::Content_Length);
}

size_t CRtHttpHeaderArray::Find_i(const CRtHttpAtom& aAtom) const {
    for (size_t i = 0; i < m_Headers.size(); ++i) {
        if (m_Headers[i].first == aAtom)
            return i;
    }
    return CRtString::npos;
}

bool CRtHttpHeaderArray::SetHeader(const CRtHttpAtom& aAtom, const CRtString& aValue) {
    return SetHeader_i(aAtom, aValue.data(), aValue.size());
}

bool CRtHttpHeaderArray::SetHeader_i(const CRtHttpAtom& aAtom, const char* aValue, size_t aLength) {
    RT_ASSERTE_RETURN(aAtom.get(), false);
    size_t index = Find_i(aAtom);
    CRtString value(RtHttpStripSpaces(std::string_view(aValue, aLength)));

    if (value.empty()) {
        if (index != CRtString::npos)
            m_Headers.erase(m_Headers.begin() + static_cast<std::ptrdiff_t>(index));
        return true;
    }
    if (index == CRtString::npos) {
        m_Headers.emplace_back(aAtom, std::move(value));
        return true;
    }
    CRtString& stored = m_Headers[index].second;
    if (IsSingleValued(aAtom)) {
        stored = std::move(value);
    } else {
        stored += IsLineJoined(aAtom) ? "\n" : ", ";
        stored += value;
    }
    return true;
}

bool CRtHttpHeaderArray::GetHeader(const CRtHttpAtom& aAtom, CRtString& aValue) const {
    size_t index = Find_i(aAtom);
    if (index == CRtString::npos)
        return false;
    aValue = m_Headers[index].second;
    return true;
}

bool CRtHttpHeaderArray::HasHeader(const CRtHttpAtom& aAtom) const { return Find_i(aAtom) != CRtString::npos; }

int32_t CRtHttpHeaderArray::GetContentLength() const {
    size_t index = Find_i(CRtHttpAtomList::Content_Length);
    if (index == CRtString::npos)
        return kNoContentLength;

    // Digits only, with optional blanks around them: a sign, trailing text or
    // a value beyond 31 bits would let the body be framed differently by
    // whoever reads the message next.
    const CRtString& text = m_Headers[index].second;
    size_t pos = text.find_first_not_of(" \t");
    if (pos == CRtString::npos || !IsDigit(text[pos]))
        return kBadContentLength;
    int64_t value = 0;
    for (; pos < text.size() && IsDigit(text[pos]); ++pos) {
        value = value * 10 + (text[pos] - '0');
        if (value > INT32_MAX)
            return kBadContentLength;
    }
    if (text.find_first_not_of(" \t", pos) != CRtString::npos)
        return kBadContentLength;
    return static_cast<int32_t>(value);
}

void CRtHttpHeaderArray::Flatten(CRtString& aOut) const {
    for (const Entry& entry : m_Headers) {
        // Joined values go out as one line each: a bare LF inside a line
        // would not be a line end to the peer.
        size_t begin = 0;
        for (;;) {
            size_t end = IsLineJoined(entry.first) ? entry.second.find('\n', begin) : CRtString::npos;
            aOut += entry.first.get();
            aOut += ": ";
            aOut.append(entry.second, begin, end == CRtString::npos ? CRtString::npos : end - begin);
            aOut += kLineEnd;
            if (end == CRtString::npos)
                break;
            begin = end + 1;
        }
    }
}

bool CRtHttpRequestHead::Clear() {
    CRtHttpHeaderArray::Clear();
    m_Method = CRtHttpAtom();
    m_nVersion = 0;
    m_strRequestURI.clear();
    return true;
}

bool CRtHttpRequestHead::ParseFirstLine_t(const char* aLine) {
    RT_ASSERTE_RETURN(aLine, false);
    const char* space1 = strchr(aLine, ' ');
    if (!space1 || space1 == aLine) {
        RT_ERROR_TRACE_THIS("CRtHttpRequestHead::ParseFirstLine_t, unknow method. aLine=" << aLine);
        return false;
    }
    CRtHttpAtom method = CRtHttpAtomList::Instance()->ResolveReceivedAtom(CRtString(aLine, space1));
    if (method == CRtHttpAtomList::Post)
        m_bCheckLength = true;
    const char* uri = space1 + 1;
    const char* space2 = strchr(uri, ' ');
    // A null method here means the received-name bounds are reached.
    if (!method.get() || !space2 || space2 == uri) {
        RT_ERROR_TRACE_THIS("CRtHttpRequestHead::ParseFirstLine_t, unknow method. aLine=" << aLine);
        return false;
    }

    const char* version = space2 + 1;
    size_t versionLen = strlen(version);
    int32_t nVersion = 0;
    if (RtHttpEqualNoCase(version, versionLen, "HTTP/1.1", 8)) {
        nVersion = 11;
    } else if (RtHttpEqualNoCase(version, versionLen, "HTTP/1.0", 8)) {
        nVersion = 10;
    } else {
        RT_ERROR_TRACE_THIS("CRtHttpRequestHead::ParseFirstLine_t, unknow HTTP version. aLine=" << aLine);
        return false;
    }
    m_Method = method;
    m_strRequestURI.assign(uri, space2);
    m_nVersion = nVersion;
    return true;
}

bool CRtHttpRequestHead::SetMethod(const CRtHttpAtom& aMethod) {
    if (!IsMethod(aMethod))
        return false;
    m_Method = aMethod;
    return true;
}

bool CRtHttpRequestHead::Encode(CRtString& aOut) const {
    aOut.reserve(aOut.size() + 256);
    if (m_Method.get())
        aOut += m_Method.get();
    aOut += ' ';
    aOut += m_strRequestURI;
    aOut += " HTTP/";
    bool ok = true;
    AppendVersion(aOut, m_nVersion, ok);
    aOut += kLineEnd;
    Flatten(aOut);
    return ok;
}

bool CRtHttpResponseHead::Clear() {
    CRtHttpHeaderArray::Clear();
    m_nVersion = 0;
    m_nStatus = -1;
    m_strStatusText.clear();
    return true;
}

bool CRtHttpResponseHead::ParseFirstLine_t(const char* aLine) {
    RT_ASSERTE_RETURN(aLine, false);
    size_t len = strlen(aLine);
    if (len < 4 || !RtHttpEqualNoCase(aLine, 4, "HTTP", 4)) {
        RT_ERROR_TRACE_THIS("CRtHttpResponseHead::ParseFirstLine_t, no HTTP ahead. aLine=" << aLine);
        return false;
    }
    int32_t nVersion = 10;
    size_t statusAt = 5;
    if (len > 4 && aLine[4] == '/') {
        if (len >= 8 && memcmp(aLine + 5, "1.0", 3) == 0) {
            nVersion = 10;
        } else if (len >= 8 && memcmp(aLine + 5, "1.1", 3) == 0) {
            nVersion = 11;
        } else {
            RT_ERROR_TRACE_THIS("CRtHttpResponseHead::ParseFirstLine_t, unknow HTTP version. aLine=" << (aLine + 5));
            return false;
        }
        statusAt = 9;
    }
    // A line that stops after the version has no status text: status 0.
    const char* status = aLine + (statusAt < len ? statusAt : len);
    m_nVersion = nVersion;
    m_nStatus = ReadLeadingInt(status);
    const char* space = strchr(status, ' ');
    m_strStatusText = space ? space + 1 : "OK";
    return true;
}

int32_t CRtHttpResponseHead::GetContentLength() const {
    if (m_nStatus == 204 || m_nStatus == 205 || m_nStatus == 304)
        return 0;
    return CRtHttpHeaderArray::GetContentLength();
}

bool CRtHttpResponseHead::Encode(CRtString& aOut) const {
    aOut.reserve(aOut.size() + 256);
    aOut += "HTTP/";
    bool ok = true;
    AppendVersion(aOut, m_nVersion, ok);
    if (ok)
        aOut += ' ';
    aOut += std::to_string(m_nStatus);
    aOut += ' ';
    aOut += m_strStatusText;
    aOut += kLineEnd;
    Flatten(aOut);
    return ok;
}

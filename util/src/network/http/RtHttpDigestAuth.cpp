#include "RtHttpDigestAuth.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "RtBase.h"
#include "RtChannelManager.h"
#include "RtDebug.h"
#include "RtHttpUrl.h"

namespace {

bool IsBlank(char aChar) { return aChar == ' ' || aChar == '\t'; }

bool SameNoCase(const CRtString& aText, const char* aWord) {
    size_t n = strlen(aWord);
    if (aText.size() != n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        char c = aText[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        char w = aWord[i];
        if (w >= 'A' && w <= 'Z')
            w = static_cast<char>(w - 'A' + 'a');
        if (c != w)
            return false;
    }
    return true;
}

void NoteQop(const CRtString& aList, CRtHttpDigestChallenge& aOut) {
    size_t i = 0;
    while (i < aList.size()) {
        while (i < aList.size() && (IsBlank(aList[i]) || aList[i] == ','))
            ++i;
        size_t start = i;
        while (i < aList.size() && !IsBlank(aList[i]) && aList[i] != ',')
            ++i;
        CRtString member = aList.substr(start, i - start);
        if (SameNoCase(member, "auth"))
            aOut.qopAuth = true;
        else if (SameNoCase(member, "auth-int"))
            aOut.qopAuthInt = true;
    }
}

void Md5(const CRtString& aText, unsigned char aDigest[16]) {
    RtMD5(reinterpret_cast<const unsigned char*>(aText.data()), aText.size(), aDigest);
}

CRtString Hex(const unsigned char aDigest[16]) {
    static const char kDigits[] = "0123456789abcdef";
    CRtString hex(32, '0');
    for (size_t i = 0; i < 16; ++i) {
        hex[2 * i] = kDigits[aDigest[i] >> 4];
        hex[2 * i + 1] = kDigits[aDigest[i] & 0x0F];
    }
    return hex;
}

}  // namespace

bool CRtHttpDigestAuth::ParseChallenge(const char* aParams, size_t aLength, CRtHttpDigestChallenge& aOut) {
    aOut = CRtHttpDigestChallenge();
    if (!aParams)
        return false;
    const char* p = aParams;
    size_t i = 0;
    size_t count = 0;
    auto more = [&]() { return i < aLength && p[i] != '\0'; };
    for (;;) {
        while (more() && (IsBlank(p[i]) || p[i] == ','))
            ++i;
        if (!more())
            break;
        if (++count > kMaxParameterCount)
            return false;
        size_t nameStart = i;
        while (more() && p[i] != '=' && !IsBlank(p[i]) && p[i] != ',')
            ++i;
        CRtString name(p + nameStart, i - nameStart);
        while (more() && IsBlank(p[i]))
            ++i;
        if (!more() || p[i] != '=')
            return false;
        ++i;
        while (more() && IsBlank(p[i]))
            ++i;
        CRtString value;
        if (more() && p[i] == '"') {
            size_t start = ++i;
            while (more() && p[i] != '"')
                ++i;
            if (!more())
                return false;
            value.assign(p + start, i - start);
            ++i;
        } else {
            size_t start = i;
            while (more() && !IsBlank(p[i]) && p[i] != ',')
                ++i;
            if (i == start)
                return false;
            value.assign(p + start, i - start);
        }
        if (name.size() > kMaxParameterLength || value.size() > kMaxParameterLength || !IsHeadText(name) ||
            !IsHeadText(value))
            return false;

        if (SameNoCase(name, "realm")) {
            aOut.realm = value;
        } else if (SameNoCase(name, "nonce")) {
            aOut.nonce = value;
        } else if (SameNoCase(name, "opaque")) {
            aOut.opaque = value;
            aOut.hasOpaque = true;
        } else if (SameNoCase(name, "algorithm")) {
            aOut.algorithmNamed = true;
            aOut.sess = SameNoCase(value, "MD5-sess");
            aOut.unsupportedAlgorithm = !aOut.sess && !SameNoCase(value, "MD5");
        } else if (SameNoCase(name, "qop")) {
            NoteQop(value, aOut);
        }
    }
    return count > 0;
}

CRtString CRtHttpDigestAuth::MakeClientNonce() const {
    if (!m_strClientNonceForTest.empty())
        return m_strClientNonceForTest;
    // Fifteen of the sixteen digits, so 'f' never occurs; taken modulo so
    // that the index stays in range whatever RAND_MAX is.
    static const char kDigits[] = "0123456789abcdef";
    CRtString nonce(16, '0');
    for (char& c : nonce)
        c = kDigits[std::rand() % 15];
    return nonce;
}

CRtString CRtHttpDigestAuth::do_GenerateCredentials(IRtChannelHttpClient* aChannel, const char* aChallenge,
                                                    const char* aUsername, const char* aPassword) {
    RT_ASSERTE_RETURN(aChannel && aChallenge, CRtString());
    RT_INFO_TRACE_THIS("CRtHttpDigestAuth::do_GenerateCredentials, Username=" << (aUsername ? aUsername : ""));
    if (!aUsername || !*aUsername || !StartsWithScheme(aChallenge, "Digest"))
        return CRtString();
    // The user name is echoed between quotes into the request head.
    CRtString user(aUsername);
    if (!IsHeadText(user) || user.find('"') != CRtString::npos)
        return CRtString();

    CRtHttpUrl* url = nullptr;
    if (aChannel->GetUrl(url) != RT_OK || !url)
        return CRtString();
    CRtString uri = url->GetPath();
    url->ReleaseReference();
    CRtString method;
    if (aChannel->GetRequestMethod(method) != RT_OK)
        return CRtString();
    // Both are echoed too; a path that could break the quoting is refused.
    if (!IsHeadText(uri) || uri.find('"') != CRtString::npos || !IsHeadText(method))
        return CRtString();

    // The parameters follow "Digest" and one blank; a challenge that ends
    // before them, or is longer than any server sends, has none to parse.
    size_t length = strnlen(aChallenge, kMaxChallengeLength + 1);
    CRtHttpDigestChallenge challenge;
    if (length < 8 || length > kMaxChallengeLength || !IsBlank(aChallenge[6]) ||
        !ParseChallenge(aChallenge + 7, length - 7, challenge)) {
        RT_WARNING_TRACE_THIS("CRtHttpDigestAuth::::do_GenerateCredentials, ParseChallenge() failed!");
        return CRtString();
    }
    if (challenge.unsupportedAlgorithm) {
        RT_WARNING_TRACE_THIS(
            "CRtHttpDigestAuth::::do_GenerateCredentials, unsupported algorithm requested by Digest authentication");
        return CRtString();
    }

    // An offer of auth-int alone is answered as if nothing was offered.
    bool qop = challenge.qopAuth;
    char nc[16];
    snprintf(nc, sizeof nc, "%08x", ++m_nNonceCount);
    CRtString cnonce = MakeClientNonce();

    unsigned char digest[16];
    Md5(user + ":" + challenge.realm + ":" + (aPassword ? aPassword : ""), digest);
    if (challenge.sess) {
        // The raw 16-byte digest, not its hex form, as the RFC's sample code
        // and the servers that follow it compute it.
        CRtString sess(reinterpret_cast<const char*>(digest), sizeof digest);
        Md5(sess + ":" + challenge.nonce + ":" + cnonce, digest);
    }
    CRtString ha1 = Hex(digest);
    Md5(method + ":" + uri, digest);
    CRtString ha2 = Hex(digest);
    if (qop)
        Md5(ha1 + ":" + challenge.nonce + ":" + nc + ":" + cnonce + ":auth:" + ha2, digest);
    else
        Md5(ha1 + ":" + challenge.nonce + ":" + ha2, digest);
    CRtString response = Hex(digest);

    CRtString value("Digest username=\"");
    value += user + "\", realm=\"" + challenge.realm + "\", nonce=\"" + challenge.nonce + "\", uri=\"" + uri;
    if (challenge.algorithmNamed)
        value += CRtString("\", algorithm=") + (challenge.sess ? "MD5-sess" : "MD5");
    else
        value += "\"";
    value += ", response=\"" + response;
    if (challenge.hasOpaque)
        value += "\", opaque=\"" + challenge.opaque;
    if (qop)
        value += CRtString("\", qop=auth, nc=") + nc + ", cnonce=\"" + cnonce;
    value += "\"";
    return value;
}

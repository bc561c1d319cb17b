#include "RtHttpAuthenticator.h"

#include <cstring>

#include "RtDebug.h"
#include "RtHttpDigestAuth.h"
#include "RtHttpNTLMAuth.h"

namespace {

bool EqualNoCase(const char* aLeft, const char* aRight, size_t aCount) {
    for (size_t i = 0; i < aCount; ++i) {
        char l = aLeft[i], r = aRight[i];
        if (l >= 'A' && l <= 'Z')
            l = static_cast<char>(l - 'A' + 'a');
        if (r >= 'A' && r <= 'Z')
            r = static_cast<char>(r - 'A' + 'a');
        if (l != r)
            return false;
        if (l == '\0')
            return true;
    }
    return true;
}

}  // namespace

IRtHttpAuthenticator* IRtHttpAuthenticator::GetAuthenticatorFromScheme(const CRtString& aScheme) {
    if (aScheme.size() == 5 && EqualNoCase(aScheme.c_str(), "Basic", 5)) {
        RT_INFO_TRACE("IRtHttpAuthenticator::GetAuthenticatorFromScheme, Basic");
        return new CRtHttpBasicAuth;
    }
    if (aScheme.size() == 6 && EqualNoCase(aScheme.c_str(), "Digest", 6)) {
        RT_INFO_TRACE("IRtHttpAuthenticator::GetAuthenticatorFromScheme, Digest");
        return new CRtHttpDigestAuth;
    }
    if (aScheme.size() == 4 && EqualNoCase(aScheme.c_str(), "NTLM", 4)) {
        RT_INFO_TRACE("IRtHttpAuthenticator::GetAuthenticatorFromScheme, NTLM");
        return new CRtHttpNTLMAuth;
    }
    return nullptr;
}

CRtString CRtHttpAuthSteps::GenerateCredentials(IRtChannelHttpClient* aChannel, const char* aChallenge,
                                                const char* aUsername, const char* aPassword) {
    RT_ASSERTE_RETURN(!HaveAuthenticateComplete(), CRtString());
    CRtString value = do_GenerateCredentials(aChannel, aChallenge, aUsername, aPassword);
    --m_nStepsRemaining;
    return value;
}

bool CRtHttpAuthSteps::IsHeadText(const CRtString& aText) {
    for (char c : aText) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F)
            return false;
    }
    return true;
}

bool CRtHttpAuthSteps::StartsWithScheme(const char* aChallenge, const char* aScheme) {
    size_t n = strlen(aScheme);
    return aChallenge && strnlen(aChallenge, n) == n && EqualNoCase(aChallenge, aScheme, n);
}

#include "RtHttpNTLMAuth.h"

#include <cstring>

#include "RtBase.h"
#include "RtDebug.h"
#include "RtOsNtlm.h"

namespace {

bool IsBase64Text(const char* aText, size_t aLength) {
    for (size_t i = 0; i < aLength; ++i) {
        char c = aText[i];
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' ||
                  c == '=';
        if (!ok)
            return false;
    }
    return true;
}

CRtString Value(const std::string& aToken) {
    CRtString value("NTLM ");
    RtBase64Encode(reinterpret_cast<const unsigned char*>(aToken.data()), aToken.size(), value);
    return value;
}

}  // namespace

CRtHttpNTLMAuth::~CRtHttpNTLMAuth() { rtos::NtlmRelease(m_pContext); }

CRtString CRtHttpNTLMAuth::do_GenerateCredentials(IRtChannelHttpClient* aChannel, const char* aChallenge,
                                                  const char* aUsername, const char* aPassword) {
    RT_ASSERTE_RETURN(aChannel && aChallenge && aUsername, CRtString());
    RT_INFO_TRACE_THIS("CRtHttpNTLMAuth::do_GenerateCredentials, aUsername=" << aUsername
                                                                             << " aChallenge=" << aChallenge);
    if (GetCurrentStep() == 0)
        return FirstStep(aUsername, aPassword);
    return SecondStep(aChallenge);
}

CRtString CRtHttpNTLMAuth::FirstStep(const CRtString& aUser, const char* aPassword) {
    // "DOMAIN\user" names its domain; a bare user name logs on at this
    // computer.
    CRtString user = aUser;
    CRtString domain;
    size_t slash = aUser.find('\\');
    if (slash != CRtString::npos) {
        domain = aUser.substr(0, slash);
        user = aUser.substr(slash + 1);
    } else {
        domain = rtos::NtlmComputerName();
    }
    std::string token;
    rtos::NtlmStatus status;
    m_pContext = rtos::NtlmStart(user, domain, aPassword ? aPassword : "", token, status);
    if (m_pContext)
        return Value(token);
    switch (status.stage) {
    case rtos::NtlmStage::kLoad:
        RT_ERROR_TRACE_THIS("CRtHttpNTLMAuth::InitAuthorizationHeader, LoadLibrary failed! lpszDLL="
                            << status.what << " err=" << status.code);
        break;
    case rtos::NtlmStage::kPackage:
        RT_ERROR_TRACE_THIS(
            "CRtHttpNTLMAuth::InitAuthorizationHeader, QuerySecurityPackageInfo failed! ss=" << status.code);
        break;
    case rtos::NtlmStage::kAcquire:
        RT_ERROR_TRACE_THIS("CRtHttpNTLMAuth::do_GenerateCredentials, AcquireCredentialsHandle failed! ss="
                            << status.code << " " << status.what);
        break;
    default:
        LogStepFailure(status.stage, status.code, status.what);
        break;
    }
    return CRtString();
}

CRtString CRtHttpNTLMAuth::SecondStep(const char* aChallenge) {
    // The server's token follows "NTLM" and one blank. A challenge without
    // one, an over-long one, or one that is not base64 gets no answer.
    size_t length = strnlen(aChallenge, kMaxChallengeLength + 1);
    if (!m_pContext || length <= 5 || length > kMaxChallengeLength || !StartsWithScheme(aChallenge, "NTLM") ||
        aChallenge[4] != ' ' || !IsBase64Text(aChallenge + 5, length - 5)) {
        RT_WARNING_TRACE_THIS("CRtHttpNTLMAuth::do_GenerateCredentials, no server token in the challenge");
        return CRtString();
    }
    CRtString serverToken;
    RtBase64Decode(aChallenge + 5, serverToken);
    std::string token;
    rtos::NtlmStatus status;
    if (serverToken.empty() || !rtos::NtlmAnswer(m_pContext, serverToken, token, status)) {
        LogStepFailure(status.stage, status.code, status.what);
        return CRtString();
    }
    return Value(token);
}

void CRtHttpNTLMAuth::LogStepFailure(rtos::NtlmStage aStage, long aCode, const std::string& aWhat) {
    if (aStage == rtos::NtlmStage::kComplete)
        RT_ERROR_TRACE_THIS("CRtHttpNTLMAuth::do_GenerateCredentials, CompleteAuthToken failed! ss=" << aCode << " "
                                                                                                     << aWhat);
    else
        RT_ERROR_TRACE_THIS(
            "CRtHttpNTLMAuth::do_GenerateCredentials, InitializeSecurityContext failed! ss=" << aCode << " " << aWhat);
}

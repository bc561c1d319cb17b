// The NTLM scheme: two steps on one connection, the tokens made by the
// platform's NTLM provider.
#pragma once

#include <string>

#include "RtHttpAuthenticator.h"

namespace rtos {
struct NtlmContext;
enum class NtlmStage;
}  // namespace rtos

class CRtHttpNTLMAuth : public CRtHttpAuthSteps {
public:
    CRtHttpNTLMAuth() : CRtHttpAuthSteps(2) {}

    bool IsConnectionBased() const override { return true; }
    CRtString GetAuthScheme() const override { return "NTLM"; }

protected:
    ~CRtHttpNTLMAuth() override;
    CRtString do_GenerateCredentials(IRtChannelHttpClient* aChannel, const char* aChallenge, const char* aUsername,
                                     const char* aPassword) override;

private:
    // Loads the provider, checks that it offers NTLM, acquires the
    // credentials and makes the negotiate token.
    CRtString FirstStep(const CRtString& aUser, const char* aPassword);
    // The answer to the server's challenge token.
    CRtString SecondStep(const char* aChallenge);
    void LogStepFailure(rtos::NtlmStage aStage, long aCode, const std::string& aWhat);

    // The provider's credentials and security context.
    rtos::NtlmContext* m_pContext = nullptr;
};

// Answers to HTTP authentication challenges: the interface every scheme
// implements, its step bookkeeping, and the Basic scheme.
#pragma once

#include <cstddef>
#include <cstdint>

#include "RtMutex.h"
#include "RtReferenceControl.h"
#include "RtString.h"

class IRtChannelHttpClient;

// Turns a challenge and a user's credentials into the value of an
// Authorization or Proxy-Authorization header. One authenticator serves one
// exchange and belongs to the channel (and thread) that made it.
class IRtHttpAuthenticator : public CRtReferenceControlT<CRtMutexNullSingleThread> {
public:
    // Bounds on what a challenge may carry. Anything beyond them, and any
    // control character in a value that would be echoed into the request
    // head, gives an empty value.
    static constexpr size_t kMaxChallengeLength = 16384;
    static constexpr size_t kMaxParameterLength = 1024;
    static constexpr size_t kMaxParameterCount = 32;

    // A new authenticator for "Basic", "Digest" or "NTLM" (any case), not
    // yet referenced: hold it with CRtAutoPtr. Null for any other scheme.
    static IRtHttpAuthenticator* GetAuthenticatorFromScheme(const CRtString& aScheme);

    // The header value for the next step; empty when the challenge or the
    // credentials do not allow one, or when every step is done. The
    // channel answers the request's URL and method. A null password is an
    // empty one.
    virtual CRtString GenerateCredentials(IRtChannelHttpClient* aChannel, const char* aChallenge, const char* aUsername,
                                          const char* aPassword) = 0;
    // True only for Basic.
    virtual bool IsBasic() const = 0;
    virtual bool HaveAuthenticateComplete() const = 0;
    // True only for NTLM: its steps must go on one connection.
    virtual bool IsConnectionBased() const = 0;
    // "Basic", "Digest" or "NTLM".
    virtual CRtString GetAuthScheme() const = 0;
    // Steps already done.
    virtual uint32_t GetCurrentStep() const = 0;

protected:
    ~IRtHttpAuthenticator() override {}
    // The scheme's own work for one step.
    virtual CRtString do_GenerateCredentials(IRtChannelHttpClient* aChannel, const char* aChallenge,
                                             const char* aUsername, const char* aPassword) = 0;
};

// Counts the steps of a scheme: Basic and Digest take one, NTLM two.
class CRtHttpAuthSteps : public IRtHttpAuthenticator {
public:
    explicit CRtHttpAuthSteps(uint32_t aSteps) : m_nStepsRemaining(aSteps), m_nStepsTotal(aSteps) {}

    CRtString GenerateCredentials(IRtChannelHttpClient* aChannel, const char* aChallenge, const char* aUsername,
                                  const char* aPassword) override;
    bool IsBasic() const override { return false; }
    bool HaveAuthenticateComplete() const override { return m_nStepsRemaining == 0; }
    bool IsConnectionBased() const override { return false; }
    uint32_t GetCurrentStep() const override { return m_nStepsTotal - m_nStepsRemaining; }

    // Whether aText may stand in a request head: no control character.
    static bool IsHeadText(const CRtString& aText);
    // Whether aChallenge starts with the scheme word aScheme (any case).
    static bool StartsWithScheme(const char* aChallenge, const char* aScheme);

private:
    uint32_t m_nStepsRemaining;
    uint32_t m_nStepsTotal;
};

class CRtHttpBasicAuth : public CRtHttpAuthSteps {
public:
    CRtHttpBasicAuth() : CRtHttpAuthSteps(1) {}

    bool IsBasic() const override { return true; }
    CRtString GetAuthScheme() const override { return "Basic"; }

protected:
    CRtString do_GenerateCredentials(IRtChannelHttpClient* aChannel, const char* aChallenge, const char* aUsername,
                                     const char* aPassword) override;
};

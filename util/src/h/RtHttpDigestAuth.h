// The Digest scheme of RFC 2617 (MD5 and MD5-sess, quality of protection
// "auth" or none).
#pragma once

#include <cstddef>
#include <cstdint>

#include "RtHttpAuthenticator.h"

// What a Digest challenge says, as far as the answer needs it.
struct CRtHttpDigestChallenge {
    CRtString realm;
    CRtString nonce;
    CRtString opaque;
    bool hasOpaque = false;
    bool algorithmNamed = false;
    bool sess = false;  // MD5-sess rather than MD5
    bool unsupportedAlgorithm = false;
    bool qopAuth = false;
    bool qopAuthInt = false;
};

class CRtHttpDigestAuth : public CRtHttpAuthSteps {
public:
    CRtHttpDigestAuth() : CRtHttpAuthSteps(1) {}

    CRtString GetAuthScheme() const override { return "Digest"; }

    // Parses the parameter list after "Digest ": name=value pairs
    // separated by commas and blanks, a value quoted or running to the next
    // blank or comma. False for an unterminated quote, a name without a
    // value, a control character, or more than the bounds of
    // IRtHttpAuthenticator allow; aLength bytes are read at most.
    static bool ParseChallenge(const char* aParams, size_t aLength, CRtHttpDigestChallenge& aOut);

    // For tests: the client nonce to use instead of a random one.
    void SetClientNonceForTest(const CRtString& aNonce) { m_strClientNonceForTest = aNonce; }

protected:
    CRtString do_GenerateCredentials(IRtChannelHttpClient* aChannel, const char* aChallenge, const char* aUsername,
                                     const char* aPassword) override;

private:
    CRtString MakeClientNonce() const;

    uint32_t m_nNonceCount = 0;
    CRtString m_strClientNonceForTest;
};

// The NTLM client of the platform: Windows' security support provider
// (secur32.dll, loaded at run time), GSSAPI with the gss-ntlmssp mechanism
// on Linux.
#pragma once

#include <string>

namespace rtos {

// Credentials and security context of one NTLM exchange.
struct NtlmContext;

// Which call of the provider failed, for the caller's log line.
enum class NtlmStage {
    kNone,
    kLoad,        // the provider (library or mechanism) is not there
    kPackage,     // it does not offer NTLM
    kAcquire,     // the credentials were refused
    kInitialize,  // no token could be made (a malformed server token, say)
    kComplete,    // the token could not be finished
};

struct NtlmStatus {
    NtlmStage stage = NtlmStage::kNone;
    long code = 0;     // the provider's status (SECURITY_STATUS, GSS minor status)
    std::string what;  // the library or mechanism, or the provider's text
};

// First step: the Type 1 (negotiate) token for aUser in aDomain with
// aPassword. Null with aStatus filled on failure; the context is released
// with NtlmRelease.
NtlmContext* NtlmStart(const std::string& aUser, const std::string& aDomain, const std::string& aPassword,
                       std::string& aToken, NtlmStatus& aStatus);
// Second step: the Type 3 (authenticate) token answering the server's
// Type 2 token. False with aStatus filled on failure.
bool NtlmAnswer(NtlmContext* aContext, const std::string& aServerToken, std::string& aToken, NtlmStatus& aStatus);
void NtlmRelease(NtlmContext* aContext);

// The computer's name, the domain of a user name that names none; empty
// when unknown.
std::string NtlmComputerName();

// For tests: the provider to load instead of the system's (a DLL name on
// Windows, a mechanism OID in dotted form on Linux); null restores it.
void NtlmSetProviderForTest(const char* aProvider);

}  // namespace rtos

// NTLM through the security support provider interface. The library is
// loaded at run time and its functions looked up by name, so the program
// starts on systems without it and merely fails the NTLM scheme.
#include "RtOsNtlm.h"

#define SECURITY_WIN32
#include <windows.h>
#include <security.h>
#include <sspi.h>

#include <atomic>
#include <vector>

namespace rtos {

struct NtlmContext {
    HMODULE library = nullptr;
    FREE_CREDENTIALS_HANDLE_FN freeCredentialsHandle = nullptr;
    QUERY_SECURITY_PACKAGE_INFO_FN_A querySecurityPackageInfo = nullptr;
    ACQUIRE_CREDENTIALS_HANDLE_FN_A acquireCredentialsHandle = nullptr;
    FREE_CONTEXT_BUFFER_FN freeContextBuffer = nullptr;
    INITIALIZE_SECURITY_CONTEXT_FN_A initializeSecurityContext = nullptr;
    COMPLETE_AUTH_TOKEN_FN completeAuthToken = nullptr;
    ENUMERATE_SECURITY_PACKAGES_FN_A enumerateSecurityPackages = nullptr;
    DELETE_SECURITY_CONTEXT_FN deleteSecurityContext = nullptr;
    unsigned long maxToken = 0;
    CredHandle cred{};
    CtxtHandle ctx{};
    bool haveCred = false;
    bool haveCtx = false;
};

namespace {

std::atomic<const char*> g_providerForTest{nullptr};
char kPackage[] = "NTLM";
char kTarget[] = "InetSvcs";

// A refused logon is told as the system error it stands for.
long Code(SECURITY_STATUS aStatus) {
    return aStatus == SEC_E_LOGON_DENIED ? static_cast<long>(ERROR_LOGON_FAILURE) : static_cast<long>(aStatus);
}

template <class Fn>
bool Lookup(HMODULE aLibrary, const char* aName, Fn& aFn) {
    aFn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(aLibrary, aName)));
    return aFn != nullptr;
}

// Windows NT 4 kept the interface in security.dll; every later system in
// secur32.dll.
const char* LibraryName() {
    if (const char* forTest = g_providerForTest.load())
        return forTest;
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (GetVersionExA(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion <= 4)
        return "security.dll";
    return "secur32.dll";
}

bool Load(NtlmContext* aContext, NtlmStatus& aStatus) {
    const char* name = LibraryName();
    aContext->library = LoadLibraryA(name);
    HMODULE lib = aContext->library;
    if (!lib || !Lookup(lib, "FreeCredentialsHandle", aContext->freeCredentialsHandle) ||
        !Lookup(lib, "QuerySecurityPackageInfoA", aContext->querySecurityPackageInfo) ||
        !Lookup(lib, "AcquireCredentialsHandleA", aContext->acquireCredentialsHandle) ||
        !Lookup(lib, "FreeContextBuffer", aContext->freeContextBuffer) ||
        !Lookup(lib, "InitializeSecurityContextA", aContext->initializeSecurityContext) ||
        !Lookup(lib, "CompleteAuthToken", aContext->completeAuthToken) ||
        !Lookup(lib, "EnumerateSecurityPackagesA", aContext->enumerateSecurityPackages) ||
        !Lookup(lib, "DeleteSecurityContext", aContext->deleteSecurityContext)) {
        aStatus.stage = NtlmStage::kLoad;
        aStatus.code = static_cast<long>(GetLastError());
        aStatus.what = name;
        return false;
    }
    PSecPkgInfoA info = nullptr;
    SECURITY_STATUS ss = aContext->querySecurityPackageInfo(kPackage, &info);
    if (ss != SEC_E_OK || !info) {
        aStatus.stage = NtlmStage::kPackage;
        aStatus.code = static_cast<long>(ss);
        return false;
    }
    aContext->maxToken = info->cbMaxToken;
    aContext->freeContextBuffer(info);
    return true;
}

// One call of InitializeSecurityContextA; aInput null for the first.
bool Step(NtlmContext* aContext, const std::string* aInput, std::string& aToken, NtlmStatus& aStatus) {
    std::vector<char> out(aContext->maxToken ? aContext->maxToken : 4096);
    SecBuffer outBuffer{static_cast<unsigned long>(out.size()), SECBUFFER_TOKEN, out.data()};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &outBuffer};
    SecBuffer inBuffer{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc inDesc{SECBUFFER_VERSION, 1, &inBuffer};
    if (aInput) {
        inBuffer.cbBuffer = static_cast<unsigned long>(aInput->size());
        inBuffer.pvBuffer = const_cast<char*>(aInput->data());
    }
    unsigned long attributes = 0;
    TimeStamp expiry{};
    SECURITY_STATUS ss = aContext->initializeSecurityContext(
        &aContext->cred, aContext->haveCtx ? &aContext->ctx : nullptr, kTarget, 0, 0, SECURITY_NATIVE_DREP,
        aInput ? &inDesc : nullptr, 0, &aContext->ctx, &outDesc, &attributes, &expiry);
    if (ss < 0) {
        aStatus.stage = NtlmStage::kInitialize;
        aStatus.code = Code(ss);
        return false;
    }
    aContext->haveCtx = true;
    if (ss == SEC_I_COMPLETE_NEEDED || ss == SEC_I_COMPLETE_AND_CONTINUE) {
        ss = aContext->completeAuthToken(&aContext->ctx, &outDesc);
        if (ss < 0) {
            aStatus.stage = NtlmStage::kComplete;
            aStatus.code = static_cast<long>(ss);
            return false;
        }
    }
    if (outBuffer.cbBuffer == 0 || outBuffer.cbBuffer > out.size()) {
        aStatus.stage = NtlmStage::kInitialize;
        aStatus.code = static_cast<long>(ss);
        aStatus.what = "empty token";
        return false;
    }
    aToken.assign(out.data(), outBuffer.cbBuffer);
    return true;
}

}  // namespace

NtlmContext* NtlmStart(const std::string& aUser, const std::string& aDomain, const std::string& aPassword,
                       std::string& aToken, NtlmStatus& aStatus) {
    NtlmContext* context = new NtlmContext;
    if (!Load(context, aStatus)) {
        NtlmRelease(context);
        return nullptr;
    }
    SEC_WINNT_AUTH_IDENTITY_A identity{};
    identity.User = reinterpret_cast<unsigned char*>(const_cast<char*>(aUser.c_str()));
    identity.UserLength = static_cast<unsigned long>(aUser.size());
    identity.Domain = reinterpret_cast<unsigned char*>(const_cast<char*>(aDomain.c_str()));
    identity.DomainLength = static_cast<unsigned long>(aDomain.size());
    identity.Password = reinterpret_cast<unsigned char*>(const_cast<char*>(aPassword.c_str()));
    identity.PasswordLength = static_cast<unsigned long>(aPassword.size());
    identity.Flags = SEC_WINNT_AUTH_IDENTITY_ANSI;
    TimeStamp expiry{};
    SECURITY_STATUS ss = context->acquireCredentialsHandle(nullptr, kPackage, SECPKG_CRED_OUTBOUND, nullptr, &identity,
                                                           nullptr, nullptr, &context->cred, &expiry);
    if (ss != SEC_E_OK) {
        aStatus.stage = NtlmStage::kAcquire;
        aStatus.code = Code(ss);
        NtlmRelease(context);
        return nullptr;
    }
    context->haveCred = true;
    if (!Step(context, nullptr, aToken, aStatus)) {
        NtlmRelease(context);
        return nullptr;
    }
    return context;
}

bool NtlmAnswer(NtlmContext* aContext, const std::string& aServerToken, std::string& aToken, NtlmStatus& aStatus) {
    if (!aContext || !aContext->haveCtx || aServerToken.empty()) {
        aStatus.stage = NtlmStage::kInitialize;
        aStatus.what = "no context or no server token";
        return false;
    }
    return Step(aContext, &aServerToken, aToken, aStatus);
}

void NtlmRelease(NtlmContext* aContext) {
    if (!aContext)
        return;
    if (aContext->haveCtx && aContext->deleteSecurityContext)
        aContext->deleteSecurityContext(&aContext->ctx);
    if (aContext->haveCred && aContext->freeCredentialsHandle)
        aContext->freeCredentialsHandle(&aContext->cred);
    if (aContext->library)
        FreeLibrary(aContext->library);
    delete aContext;
}

std::string NtlmComputerName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size))
        return std::string();
    return std::string(name, size);
}

void NtlmSetProviderForTest(const char* aProvider) { g_providerForTest.store(aProvider); }

}  // namespace rtos

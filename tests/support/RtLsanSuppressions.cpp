// Leaks inside third-party libraries that the leak checker of the
// sanitizer builds must not report, each with the reason.
#if defined(__SANITIZE_ADDRESS__)
#define RT_LSAN_SUPPRESSIONS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define RT_LSAN_SUPPRESSIONS 1
#endif
#endif

#if defined(RT_LSAN_SUPPRESSIONS)
extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __lsan_default_suppressions() {
    // gss-ntlmssp 1.2.0 fetches OpenSSL's MD4 (EVP_MD_fetch) for each
    // credential acquisition and never frees it; the parts of the fetched
    // method are allocated deep inside libcrypto, whose frames the fast
    // unwinder cannot walk out of. Only the NTLM suites carry this.
    return "leak:EVP_MD_fetch\nleak:libcrypto.so.3\n";
}
#endif

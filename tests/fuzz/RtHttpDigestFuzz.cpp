// libFuzzer target: the input is a Digest challenge. The parser must stay
// inside the bytes it is given, and whatever it accepts must give either no
// value or one that can stand in a request head.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "RtHttpClientDouble.h"
#include "RtHttpDigestAuth.h"

#define RT_FUZZ_CHECK(cond) \
    do {                    \
        if (!(cond))        \
            abort();        \
    } while (0)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
    // An exact heap copy without a terminator: one byte too far is caught.
    std::unique_ptr<char[]> exact(new char[aSize ? aSize : 1]);
    memcpy(exact.get(), aData, aSize);
    CRtHttpDigestChallenge parsed;
    if (CRtHttpDigestAuth::ParseChallenge(exact.get(), aSize, parsed)) {
        RT_FUZZ_CHECK(CRtHttpAuthSteps::IsHeadText(parsed.realm) && CRtHttpAuthSteps::IsHeadText(parsed.nonce) &&
                      CRtHttpAuthSteps::IsHeadText(parsed.opaque));
        RT_FUZZ_CHECK(parsed.realm.size() <= IRtHttpAuthenticator::kMaxParameterLength);
    }

    std::string challenge = "Digest " + std::string(reinterpret_cast<const char*>(aData), aSize);
    rttest::HttpClientDouble channel("http://fuzz/p", "GET");
    CRtAutoPtr<CRtHttpDigestAuth> auth(new CRtHttpDigestAuth);
    auth->SetClientNonceForTest("0a4f113b");
    CRtString value = auth->GenerateCredentials(&channel, challenge.c_str(), "u", "p");
    RT_FUZZ_CHECK(value.empty() ||
                  (value.compare(0, 17, "Digest username=\"") == 0 && CRtHttpAuthSteps::IsHeadText(value)));
    return 0;
}

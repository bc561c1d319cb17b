// Digest credentials per second (a squid-like challenge with qop=auth),
// against a floor measured in the same run: the three MD5 digests of the
// same sizes that any Digest answer has to compute, with their hex forms.
#include <benchmark/benchmark.h>

#include <string>

#include "RtBase.h"
#include "RtBenchRatio.h"
#include "RtHttpClientDouble.h"
#include "RtHttpDigestAuth.h"

namespace {

const char kChallenge[] =
    "Digest realm=\"rtpeers-proxy-digest\", nonce=\"85a676af8a23975332a3e78b27507279\", qop=\"auth\", stale=false";

std::string HexMd5(const std::string& aText) {
    static const char kDigits[] = "0123456789abcdef";
    unsigned char digest[16];
    RtMD5(reinterpret_cast<const unsigned char*>(aText.data()), aText.size(), digest);
    std::string hex(32, '0');
    for (int i = 0; i < 16; ++i) {
        hex[2 * i] = kDigits[digest[i] >> 4];
        hex[2 * i + 1] = kDigits[digest[i] & 15];
    }
    return hex;
}

void BM_ThreeMd5(benchmark::State& aState) {
    for (auto _ : aState) {
        std::string ha1 = HexMd5("alice:rtpeers-proxy-digest:wonderland");
        std::string ha2 = HexMd5("GET:/open/");
        std::string response =
            HexMd5(ha1 + ":85a676af8a23975332a3e78b27507279:00000001:0123456789abcdee:auth:" + ha2);
        benchmark::DoNotOptimize(response);
    }
    aState.SetItemsProcessed(aState.iterations());
}

void BM_DigestCredentials(benchmark::State& aState) {
    rttest::HttpClientDouble channel("http://127.0.0.1:18080/open/", "GET");
    for (auto _ : aState) {
        CRtAutoPtr<IRtHttpAuthenticator> auth(new CRtHttpDigestAuth);
        CRtString value = auth->GenerateCredentials(&channel, kChallenge, "alice", "wonderland");
        if (value.empty()) {
            aState.SkipWithError("no value");
            break;
        }
        benchmark::DoNotOptimize(value);
    }
    aState.SetItemsProcessed(aState.iterations());
}

BENCHMARK(BM_ThreeMd5);
BENCHMARK(BM_DigestCredentials);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RtRatioReporter reporter({std::make_pair(std::string("BM_DigestCredentials"), std::string("BM_ThreeMd5"))});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}

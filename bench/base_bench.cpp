// MD5 and base64 throughput of the framework's own code against OpenSSL's
// in the same run (EVP MD5 with a reused context, EVP_EncodeBlock and
// EVP_DecodeBlock), for a short 64-byte input and a 1 MiB one. Also Digest
// credentials per second (a squid-like challenge with qop=auth) against
// the three MD5 digests of the same sizes, with their hex forms, that any
// Digest answer has to compute.
#include <benchmark/benchmark.h>

#include <openssl/evp.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "RtBase.h"
#include "RtBenchRatio.h"
#include "RtHttpClientDouble.h"
#include "RtHttpDigestAuth.h"

namespace {

std::vector<unsigned char> Input(size_t aLen) {
    std::mt19937 gen(static_cast<unsigned>(aLen));
    std::vector<unsigned char> bytes(aLen);
    for (unsigned char& b : bytes)
        b = static_cast<unsigned char>(gen());
    return bytes;
}

std::string EncodedInput(size_t aLen) {
    const std::vector<unsigned char> bytes = Input(aLen);
    CRtString text;
    RtBase64Encode(bytes.data(), bytes.size(), text);
    return text;
}

void CountBytes(benchmark::State& aState, size_t aLen) {
    // Items are input bytes, so that the ratio printed at the end compares
    // bytes per second.
    aState.SetItemsProcessed(static_cast<int64_t>(aState.iterations() * aLen));
    aState.SetBytesProcessed(static_cast<int64_t>(aState.iterations() * aLen));
}

void BM_RtMD5(benchmark::State& aState) {
    const std::vector<unsigned char> in = Input(static_cast<size_t>(aState.range(0)));
    unsigned char digest[16];
    for (auto _ : aState) {
        RtMD5(in.data(), in.size(), digest);
        benchmark::DoNotOptimize(digest);
    }
    CountBytes(aState, in.size());
}

void BM_EvpMD5(benchmark::State& aState) {
    const std::vector<unsigned char> in = Input(static_cast<size_t>(aState.range(0)));
    EVP_MD* md = EVP_MD_fetch(nullptr, "MD5", nullptr);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    for (auto _ : aState) {
        EVP_DigestInit_ex(ctx, md, nullptr);
        EVP_DigestUpdate(ctx, in.data(), in.size());
        EVP_DigestFinal_ex(ctx, digest, &len);
        benchmark::DoNotOptimize(digest);
    }
    EVP_MD_CTX_free(ctx);
    EVP_MD_free(md);
    CountBytes(aState, in.size());
}

void BM_RtBase64Encode(benchmark::State& aState) {
    const std::vector<unsigned char> in = Input(static_cast<size_t>(aState.range(0)));
    CRtString out;
    for (auto _ : aState) {
        out.clear();
        RtBase64Encode(in.data(), in.size(), out);
        benchmark::DoNotOptimize(out.data());
    }
    CountBytes(aState, in.size());
}

void BM_EvpEncodeBlock(benchmark::State& aState) {
    const std::vector<unsigned char> in = Input(static_cast<size_t>(aState.range(0)));
    std::vector<unsigned char> out((in.size() + 2) / 3 * 4 + 1);
    for (auto _ : aState) {
        benchmark::DoNotOptimize(EVP_EncodeBlock(out.data(), in.data(), static_cast<int>(in.size())));
        benchmark::DoNotOptimize(out.data());
    }
    CountBytes(aState, in.size());
}

// Decoding rates count the encoded input, of which 64 or 1 MiB of bytes
// were made.
void BM_RtBase64Decode(benchmark::State& aState) {
    const std::string text = EncodedInput(static_cast<size_t>(aState.range(0)));
    CRtString out;
    for (auto _ : aState) {
        RtBase64Decode(text.c_str(), out);
        benchmark::DoNotOptimize(out.data());
    }
    CountBytes(aState, text.size());
}

void BM_EvpDecodeBlock(benchmark::State& aState) {
    const std::string text = EncodedInput(static_cast<size_t>(aState.range(0)));
    std::vector<unsigned char> out(text.size() / 4 * 3 + 3);
    for (auto _ : aState) {
        benchmark::DoNotOptimize(EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                                 static_cast<int>(text.size())));
        benchmark::DoNotOptimize(out.data());
    }
    CountBytes(aState, text.size());
}

const char kDigestChallenge[] =
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

void BM_DigestThreeMd5(benchmark::State& aState) {
    for (auto _ : aState) {
        std::string ha1 = HexMd5("alice:rtpeers-proxy-digest:wonderland");
        std::string ha2 = HexMd5("GET:/open/");
        std::string response = HexMd5(ha1 + ":85a676af8a23975332a3e78b27507279:00000001:0123456789abcdee:auth:" + ha2);
        benchmark::DoNotOptimize(response);
    }
    aState.SetItemsProcessed(aState.iterations());
}

void BM_DigestCredentials(benchmark::State& aState) {
    rttest::HttpClientDouble channel("http://127.0.0.1:18080/open/", "GET");
    for (auto _ : aState) {
        CRtAutoPtr<IRtHttpAuthenticator> auth(new CRtHttpDigestAuth);
        CRtString value = auth->GenerateCredentials(&channel, kDigestChallenge, "alice", "wonderland");
        if (value.empty()) {
            aState.SkipWithError("no value");
            break;
        }
        benchmark::DoNotOptimize(value);
    }
    aState.SetItemsProcessed(aState.iterations());
}

constexpr int64_t kSmall = 64;
constexpr int64_t kLarge = 1 << 20;

BENCHMARK(BM_EvpMD5)->Arg(kSmall)->Arg(kLarge);
BENCHMARK(BM_RtMD5)->Arg(kSmall)->Arg(kLarge);
BENCHMARK(BM_EvpEncodeBlock)->Arg(kSmall)->Arg(kLarge);
BENCHMARK(BM_RtBase64Encode)->Arg(kSmall)->Arg(kLarge);
BENCHMARK(BM_EvpDecodeBlock)->Arg(kSmall)->Arg(kLarge);
BENCHMARK(BM_RtBase64Decode)->Arg(kSmall)->Arg(kLarge);
BENCHMARK(BM_DigestThreeMd5);
BENCHMARK(BM_DigestCredentials);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    std::vector<std::pair<std::string, std::string>> pairs;
    const std::pair<const char*, const char*> kinds[] = {{"BM_RtMD5", "BM_EvpMD5"},
                                                         {"BM_RtBase64Encode", "BM_EvpEncodeBlock"},
                                                         {"BM_RtBase64Decode", "BM_EvpDecodeBlock"}};
    for (const auto& [ours, theirs] : kinds) {
        for (int64_t len : {kSmall, kLarge})
            pairs.emplace_back(std::string(ours) + "/" + std::to_string(len),
                               std::string(theirs) + "/" + std::to_string(len));
    }
    pairs.emplace_back("BM_DigestCredentials", "BM_DigestThreeMd5");
    RtRatioReporter reporter(std::move(pairs));
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}

// Requests per second through the server-side HTTP parser for a typical
// browser request head, against a floor measured in the same run: the head
// copied out of the receive buffer and scanned for its empty line, which
// any parser has to do at least.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "RtBenchRatio.h"
#include "RtHttpParser.h"

namespace {

const std::string kHead =
    "GET /status?callback=cb&_=1733486400000 HTTP/1.1\r\n"
    "Host: 127.0.0.1:5161\r\n"
    "Connection: keep-alive\r\n"
    "sec-ch-ua: \"Chromium\";v=\"131\", \"Not_A Brand\";v=\"24\"\r\n"
    "sec-ch-ua-mobile: ?0\r\n"
    "User-Agent: Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/131.0.0.0 "
    "Safari/537.36\r\n"
    "sec-ch-ua-platform: \"Linux\"\r\n"
    "Accept: */*\r\n"
    "Sec-Fetch-Site: cross-site\r\n"
    "Sec-Fetch-Mode: no-cors\r\n"
    "Sec-Fetch-Dest: script\r\n"
    "Referer: https://example.com/start\r\n"
    "Accept-Encoding: gzip, deflate, br, zstd\r\n"
    "Accept-Language: en-US,en;q=0.9\r\n"
    "\r\n";

struct NoChannel {
    void OnParseFinished() {}
};

void BM_CopyAndFindEnd(benchmark::State& aState) {
    char buffer[2048];
    for (auto _ : aState) {
        memcpy(buffer, kHead.data(), kHead.size());
        benchmark::DoNotOptimize(buffer);
        const void* end = memmem(buffer, kHead.size(), "\r\n\r\n", 4);
        benchmark::DoNotOptimize(end);
    }
    aState.SetItemsProcessed(aState.iterations());
}

void BM_ParseRequestHead(benchmark::State& aState) {
    CRtHttpRequestHead head;
    CRtHttpParserT<CRtHttpRequestHead, NoChannel> parser(head, nullptr);
    for (auto _ : aState) {
        parser.Reset();
        CRtMessageBlock block(static_cast<unsigned long>(kHead.size()), kHead.data(), CRtMessageBlock::DONT_DELETE,
                              static_cast<unsigned long>(kHead.size()));
        if (RT_FAILED(parser.ParseHead(block)) || parser.HandleContent(&block) != RT_OK) {
            aState.SkipWithError("parse failed");
            break;
        }
        benchmark::DoNotOptimize(head.GetRequestURI());
    }
    aState.SetItemsProcessed(aState.iterations());
}

BENCHMARK(BM_CopyAndFindEnd);
BENCHMARK(BM_ParseRequestHead);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RtRatioReporter reporter({std::make_pair(std::string("BM_ParseRequestHead"), std::string("BM_CopyAndFindEnd"))});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}

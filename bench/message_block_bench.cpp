// Gathering a 64-block chain for a socket: FillIov (no copy) and
// FlattenChained (one copy into a string), each as a ratio to a plain
// memcpy of the same bytes into one buffer, measured in the same run.
//
// Run: build/default/bench/rt_message_block_bench [--benchmark_min_time=1]
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "RtBenchRatio.h"
#include "RtMessageBlock.h"

namespace {

constexpr int kBlocks = 64;

// A chain of kBlocks full blocks of aSize bytes each, each over its own
// data block, as a transport gets it from the HTTP layer. The head is a
// local; the rest are DUPLICATED.
struct Chain {
    explicit Chain(unsigned long aSize) : head(aSize) {
        std::string bytes(aSize, 'x');
        head.Write(bytes.data(), aSize);
        for (int i = 1; i < kBlocks; ++i) {
            CRtMessageBlock block(aSize);
            block.Write(bytes.data(), aSize);
            head.Append(block.DuplicateTopLevel());
        }
    }
    ~Chain() { head.DestroyChained(); }
    CRtMessageBlock head;
};

void BM_Memcpy(benchmark::State& aState) {
    auto size = static_cast<size_t>(aState.range(0));
    std::vector<std::unique_ptr<char[]>> sources;
    for (int i = 0; i < kBlocks; ++i) {
        sources.emplace_back(new char[size]);
        memset(sources.back().get(), 'x', size);
    }
    std::unique_ptr<char[]> dst(new char[size * kBlocks]);
    for (auto _ : aState) {
        for (int i = 0; i < kBlocks; ++i)
            memcpy(dst.get() + i * size, sources[static_cast<size_t>(i)].get(), size);
        benchmark::DoNotOptimize(dst.get());
        benchmark::ClobberMemory();
    }
    aState.SetItemsProcessed(aState.iterations());
}

void BM_FillIov(benchmark::State& aState) {
    Chain chain(static_cast<unsigned long>(aState.range(0)));
    iovec iov[kBlocks];
    for (auto _ : aState) {
        unsigned long filled = 0;
        const CRtMessageBlock* rest = nullptr;
        benchmark::DoNotOptimize(chain.head.FillIov(iov, kBlocks, filled, rest));
        benchmark::DoNotOptimize(filled);
        benchmark::ClobberMemory();
    }
    aState.SetItemsProcessed(aState.iterations());
}

void BM_FlattenChained(benchmark::State& aState) {
    Chain chain(static_cast<unsigned long>(aState.range(0)));
    for (auto _ : aState) {
        CRtString flat = chain.head.FlattenChained();
        benchmark::DoNotOptimize(flat.data());
    }
    aState.SetItemsProcessed(aState.iterations());
}

BENCHMARK(BM_Memcpy)->Arg(1024)->Arg(16384);
BENCHMARK(BM_FillIov)->Arg(1024)->Arg(16384);
BENCHMARK(BM_FlattenChained)->Arg(1024)->Arg(16384);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RtRatioReporter reporter({{"BM_FillIov/1024", "BM_Memcpy/1024"},
                              {"BM_FlattenChained/1024", "BM_Memcpy/1024"},
                              {"BM_FillIov/16384", "BM_Memcpy/16384"},
                              {"BM_FlattenChained/16384", "BM_Memcpy/16384"}});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}

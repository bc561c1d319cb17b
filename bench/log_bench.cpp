// Log lines per second with batches of 1 and 100 lines, each as a ratio to
// a plain fprintf + fflush per line measured in the same run. Also counts
// heap allocations per logged line.
//
// Run: build/default/bench/rt_log_bench [--benchmark_min_time=1]
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "RtConfig.h"
#include "RtAllocationCounter.h"
#include "RtBenchRatio.h"
#include "RtLog.h"
#include "RtOs.h"
#include "RtProcessUtils.h"

namespace {

const char kMessage[] = "CRtBench::Run, a typical trace line with a value and a pointer";
// Files rotate at this size so that a long run keeps its disk use bounded.
constexpr int kFileSize = 8 * 1024 * 1024;

std::string BenchDir() {
    static std::string dir = [] {
        std::string d = "rt_log_bench_" + std::to_string(rtos::ProcessId());
        rtos::MakeDir(d.c_str());
        return d;
    }();
    return dir;
}

void RemoveDirFiles(const std::string& aDir) { DeleteDirectory(CRtString(aDir)); }

void BM_FprintfFlush(benchmark::State& aState) {
    std::string path = BenchDir() + rtos::kPathSep + "baseline.txt";
    FILE* file = fopen(path.c_str(), "w");
    long bytes = 0;
    for (auto _ : aState) {
        int n = fprintf(file, "$%04d%02d%02d %02d:%02d:%02d.%03d %lu %s: %s\n", 2026, 12, 6, 12, 0, 0, 123, 4242ul,
                        "INFO", kMessage);
        fflush(file);
        bytes += n;
        if (bytes >= kFileSize) {
            file = freopen(path.c_str(), "w", file);
            bytes = 0;
        }
    }
    fclose(file);
    aState.SetItemsProcessed(aState.iterations());
}

void BM_LogLines(benchmark::State& aState) {
    std::string dir = BenchDir() + rtos::kPathSep + "log" + std::to_string(aState.range(0));
    std::string config = BenchDir() + rtos::kPathSep + "config.ini";
    if (FILE* f = fopen(config.c_str(), "w")) {
        fprintf(f, "[LOG]\nLOG_DIR=%s\nLOG_BUFFER_LINE=%ld\nLOG_FILE_SIZE=%d\n", dir.c_str(),
                static_cast<long>(aState.range(0)), kFileSize);
        fclose(f);
    }
    RtSetConfigFile(config.c_str());
    {
        CRtLog log;
        RtSetConfigFile(nullptr);
        char buf[CRtLog::kRecorderBufferSize];
        long before = RtAllocationCount();
        for (auto _ : aState) {
            CRtLog::CRtLogRecorder rec(buf, sizeof buf);
            rec << kMessage << " value=" << 12345 << " this=" << static_cast<const void*>(&log);
            log.TraceString(2, 0, rec);
        }
        long allocations = RtAllocationCount() - before;
        aState.counters["allocs/line"] =
            benchmark::Counter(static_cast<double>(allocations) / static_cast<double>(aState.iterations()));
    }
    aState.SetItemsProcessed(aState.iterations());
    RemoveDirFiles(dir);
}

BENCHMARK(BM_FprintfFlush);
BENCHMARK(BM_LogLines)->Arg(1)->Arg(100);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RtRatioReporter reporter({{"BM_LogLines/1", "BM_FprintfFlush"}, {"BM_LogLines/100", "BM_FprintfFlush"}});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    RemoveDirFiles(BenchDir());
    benchmark::Shutdown();
    return 0;
}

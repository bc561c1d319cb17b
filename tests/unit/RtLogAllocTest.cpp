// The message path must not touch the heap: the recorder writes into a
// stack buffer and the file keeps a preallocated batch buffer.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "RtLog.h"
#include "RtTestSupport.h"

static std::atomic<long> g_allocations{0};

// These replace the global allocator; gcc cannot tell and flags free().
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t aSize) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(aSize ? aSize : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* aPtr) noexcept { std::free(aPtr); }
void operator delete(void* aPtr, std::size_t) noexcept { std::free(aPtr); }

TEST(CRtLogAllocation, LoggingALineAllocatesNothing) {
    rttest::TempDir dir("alloc");
    for (const char* batch : {"1", "100"}) {
        rttest::ScopedConfig config(dir, std::string("[LOG]\nLOG_DIR=") + dir.File(std::string("logs") + batch) +
                                             "\nLOG_BUFFER_LINE=" + batch + "\n");
        CRtLog log;
        log.RegisterModule(2, "NET");
        char buf[CRtLog::kRecorderBufferSize];
        for (int i = 0; i < 10; ++i)  // warm-up: the stream's own buffer
            log.TraceString(2, 0, "warm");
        long before = g_allocations.load();
        for (int i = 0; i < 1000; ++i) {
            CRtLog::CRtLogRecorder rec(buf, sizeof buf);
            rec << "CRtAllocTest::Run, i=" << i << " text=" << CRtString("s") << " this=" << static_cast<void*>(&log)
                << " w=" << L"wide" << " d=" << 1.5;
            log.TraceString(2, i % 3, rec);
        }
        EXPECT_EQ(0, g_allocations.load() - before) << "batch " << batch;
    }
}

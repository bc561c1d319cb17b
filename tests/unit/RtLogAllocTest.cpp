// The message path must not touch the heap: the recorder writes into a
// stack buffer and the file keeps a preallocated batch buffer.
#include <gtest/gtest.h>

#include <cstdlib>

#include "RtAllocationCounter.h"
#include "RtLog.h"
#include "RtTestSupport.h"

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
        long before = RtAllocationCount();
        for (int i = 0; i < 1000; ++i) {
            CRtLog::CRtLogRecorder rec(buf, sizeof buf);
            rec << "CRtAllocTest::Run, i=" << i << " text=" << CRtString("s") << " this=" << static_cast<void*>(&log)
                << " w=" << L"wide" << " d=" << 1.5;
            log.TraceString(2, i % 3, rec);
        }
        EXPECT_EQ(0, RtAllocationCount() - before) << "batch " << batch;
    }
}

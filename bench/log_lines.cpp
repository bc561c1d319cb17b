// Writes a given number of log lines with a given batch size and exits, so
// that bench/log_syscalls.sh can count the system calls each line costs.
//
// Run: build/default/bench/rt_log_lines <lines> <LOG_BUFFER_LINE> <directory>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "RtConfig.h"
#include "RtLog.h"
#include "RtOs.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s <lines> <LOG_BUFFER_LINE> <directory>\n", argv[0]);
        return 2;
    }
    long lines = strtol(argv[1], nullptr, 10);
    std::string dir = argv[3];
    rtos::MakeDir(dir.c_str());
    std::string config = dir + rtos::kPathSep + "config.ini";
    FILE* f = fopen(config.c_str(), "w");
    if (!f)
        return 1;
    fprintf(f, "[LOG]\nLOG_DIR=%s%clogs\nLOG_BUFFER_LINE=%s\n", dir.c_str(), rtos::kPathSep, argv[2]);
    fclose(f);
    RtSetConfigFile(config.c_str());
    CRtLog log;
    RtSetConfigFile(nullptr);
    char buf[CRtLog::kRecorderBufferSize];
    for (long i = 0; i < lines; ++i) {
        CRtLog::CRtLogRecorder rec(buf, sizeof buf);
        rec << "CRtBench::Run, a typical trace line with a value and a pointer value=" << i
            << " this=" << static_cast<const void*>(&log);
        log.TraceString(2, 0, rec);
    }
    return 0;
}

#include "../RtOs.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/syscall.h>
#include <dirent.h>
#include <unistd.h>

namespace rtos {

uint32_t ProcessId() { return static_cast<uint32_t>(getpid()); }

uint32_t ThreadId() {
    // gettid is a system call; every log line asks for it.
    static thread_local uint32_t s_tid = static_cast<uint32_t>(syscall(SYS_gettid));
    return s_tid;
}

void SleepMs(uint32_t ms) {
    timespec ts;
    ts.tv_sec = static_cast<time_t>(ms / 1000);
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

unsigned ProcessorCount() {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<unsigned>(n) : 1u;
}

uint64_t ThreadCpuTimeUs() {
    timespec ts;
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) != 0)
        return 0;
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

long OpenHandleCount() {
    DIR* dir = opendir("/proc/self/fd");
    if (!dir)
        return -1;
    long count = 0;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    closedir(dir);
    return count - 1;  // the directory being read
}

bool ExecutablePath(char* buf, size_t size) {
    if (!buf || size == 0)
        return false;
    buf[0] = '\0';
    ssize_t n = readlink("/proc/self/exe", buf, size);
    // readlink does not terminate; a result that fills the buffer may be cut.
    if (n <= 0 || static_cast<size_t>(n) >= size) {
        buf[0] = '\0';
        return false;
    }
    buf[n] = '\0';
    return true;
}

static bool CopyBounded(char* buf, size_t size, const char* a, const char* b) {
    int n = snprintf(buf, size, "%s%s", a, b);
    if (n < 0 || static_cast<size_t>(n) >= size) {
        if (size)
            buf[0] = '\0';
        return false;
    }
    return true;
}

bool AppDataDir(char* buf, size_t size) {
    if (!buf || size == 0)
        return false;
    const char* xdg = getenv("XDG_DATA_HOME");
    // The XDG base directory rules ignore relative paths.
    if (xdg && xdg[0] == '/')
        return CopyBounded(buf, size, xdg, "");
    const char* home = getenv("HOME");
    if (home && home[0] == '/')
        return CopyBounded(buf, size, home, "/.local/share");
    buf[0] = '\0';
    return false;
}

const char* FallbackDataDir() { return "/tmp"; }

bool QueryProcessMemory(ProcessMemory* out) {
    if (!out)
        return false;
    FILE* f = fopen("/proc/self/status", "r");
    if (!f)
        return false;
    // The values are in kB; the three lines must be present.
    unsigned long long rssKb = 0, vmKb = 0, hwmKb = 0;
    int found = 0;
    char line[256];
    while (fgets(line, sizeof line, f)) {
        if (sscanf(line, "VmRSS: %llu kB", &rssKb) == 1 || sscanf(line, "VmSize: %llu kB", &vmKb) == 1 ||
            sscanf(line, "VmHWM: %llu kB", &hwmKb) == 1)
            ++found;
    }
    fclose(f);
    if (found != 3)
        return false;
    out->residentBytes = static_cast<uint64_t>(rssKb) << 10;
    out->virtualBytes = static_cast<uint64_t>(vmKb) << 10;
    out->peakResidentBytes = static_cast<uint64_t>(hwmKb) << 10;
    return true;
}

}  // namespace rtos

#include "../RtOs.h"
#include "../RtOsCalendar.h"

#include <ctime>

#include "RtOsWin32.h"

namespace rtos {

namespace {
// FILETIME counts 100 ns units from 1601-01-01 UTC.
constexpr int64_t kFileTimeTo1970 = 116444736000000000LL;
constexpr int64_t kFileTimePerSec = 10000000LL;
// The C runtime's _localtime64_s handles 1970-01-01 .. 3000-12-31 23:59:59
// UTC and raises its invalid-parameter handler (which may end the process)
// outside that range, so the range is checked first.
constexpr int64_t kMaxLocalTime = 32535215999LL;

int64_t QpcFrequency() {
    static const int64_t freq = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<int64_t>(f.QuadPart);
    }();
    return freq;
}
}  // namespace

void WallClock(int64_t* sec, int32_t* usec) {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    ULARGE_INTEGER u;
    u.LowPart = ft.dwLowDateTime;
    u.HighPart = ft.dwHighDateTime;
    int64_t t = static_cast<int64_t>(u.QuadPart) - kFileTimeTo1970;
    int64_t s = t / kFileTimePerSec;
    int64_t rest = t % kFileTimePerSec;
    // A clock set before 1970 gives a negative remainder.
    if (rest < 0) {
        rest += kFileTimePerSec;
        --s;
    }
    *sec = s;
    *usec = static_cast<int32_t>(rest / 10);
}

uint64_t MonotonicMs() {
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    const int64_t freq = QpcFrequency();
    // counter * 1000 would overflow after about 29 years of uptime at 10 MHz
    // (sooner at higher frequencies); splitting keeps it exact.
    const int64_t count = static_cast<int64_t>(c.QuadPart);
    return static_cast<uint64_t>((count / freq) * 1000 + (count % freq) * 1000 / freq);
}

uint64_t MonotonicUs() {
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    const int64_t freq = QpcFrequency();
    const int64_t count = static_cast<int64_t>(c.QuadPart);
    return static_cast<uint64_t>((count / freq) * 1000000 + (count % freq) * 1000000 / freq);
}

uint64_t MonotonicCoarseUs() { return static_cast<uint64_t>(GetTickCount64()) * 1000u; }

void FromTimeval(const ::timeval& aTv, int64_t* sec, int32_t* usec) {
    // Winsock's tv_sec is a 32-bit long; widening it keeps the sign.
    *sec = static_cast<int64_t>(aTv.tv_sec);
    *usec = static_cast<int32_t>(aTv.tv_usec);
}

bool LocalTime(int64_t sec, DateTime* out) {
    if (sec < 0 || sec > kMaxLocalTime)
        return false;
    __time64_t t = static_cast<__time64_t>(sec);
    tm parts;
    if (_localtime64_s(&parts, &t) != 0)
        return false;
    ToDateTime(parts, out);
    return true;
}

}  // namespace rtos

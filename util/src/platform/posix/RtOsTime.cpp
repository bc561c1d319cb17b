#include "../RtOs.h"
#include "../RtOsCalendar.h"

#include <ctime>
#include <sys/time.h>

namespace rtos {

void WallClock(int64_t* sec, int32_t* usec) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    *sec = static_cast<int64_t>(ts.tv_sec);
    *usec = static_cast<int32_t>(ts.tv_nsec / 1000);
}

uint64_t MonotonicMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec / 1000000);
}

void FromTimeval(const ::timeval& aTv, int64_t* sec, int32_t* usec) {
    *sec = static_cast<int64_t>(aTv.tv_sec);
    *usec = static_cast<int32_t>(aTv.tv_usec);
}

uint64_t MonotonicUs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec / 1000);
}

uint64_t MonotonicCoarseUs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec / 1000);
}

bool LocalTime(int64_t sec, DateTime* out) {
    time_t t = static_cast<time_t>(sec);
    tm parts;
    if (!localtime_r(&t, &parts))
        return false;
    ToDateTime(parts, out);
    return true;
}

}  // namespace rtos

#include "RtTimeValue.h"

#include <atomic>
#include <cmath>
#include <limits>

#include "RtOs.h"

const CRtTimeValue CRtTimeValue::s_tvZero;
const CRtTimeValue CRtTimeValue::s_tvMax(0x7FFFFFFF, 999999);

namespace {
std::atomic<CRtTimeValue::ClockSource> s_clockSource{nullptr};
std::atomic<CRtTimeValue::ClockSource> s_monotonicSource{nullptr};
}  // namespace

void CRtTimeValue::Set(int64_t aSec, int32_t aUsec) {
    tv_sec = aSec;
    tv_usec = aUsec;
    Normalize();
}

void CRtTimeValue::Set(const timeval& aTv) {
    int64_t sec = 0;
    int32_t usec = 0;
    rtos::FromTimeval(aTv, &sec, &usec);
    Set(sec, usec);
}

void CRtTimeValue::Set(double aSec) {
    if (std::isnan(aSec)) {
        Set(0, 0);
        return;
    }
    constexpr double kMax = 9.2e18;  // below INT64_MAX, exactly representable
    if (aSec >= kMax) {
        Set(static_cast<int64_t>(kMax), 0);
        return;
    }
    if (aSec <= -kMax) {
        Set(-static_cast<int64_t>(kMax), 0);
        return;
    }
    int64_t sec = static_cast<int64_t>(aSec);
    int32_t usec = static_cast<int32_t>((aSec - static_cast<double>(sec)) * 1000000.0);
    Set(sec, usec);
}

void CRtTimeValue::SetByTotalMsec(long aMsec) {
    tv_sec = aMsec / 1000;
    tv_usec = static_cast<int32_t>((aMsec - tv_sec * 1000) * 1000);
}

void CRtTimeValue::Normalize() {
    if (tv_usec >= 1000000) {
        do {
            ++tv_sec;
            tv_usec -= 1000000;
        } while (tv_usec >= 1000000);
    } else if (tv_usec <= -1000000) {
        do {
            --tv_sec;
            tv_usec += 1000000;
        } while (tv_usec <= -1000000);
    }
    if (tv_sec >= 1 && tv_usec < 0) {
        --tv_sec;
        tv_usec += 1000000;
    } else if (tv_sec < 0 && tv_usec > 0) {
        ++tv_sec;
        tv_usec -= 1000000;
    }
}

CRtTimeValue& CRtTimeValue::operator+=(const CRtTimeValue& aRight) {
    tv_sec += aRight.tv_sec;
    // Both parts are below 10^6 in magnitude, so the sum fits 32 bits.
    tv_usec += aRight.tv_usec;
    Normalize();
    return *this;
}

CRtTimeValue& CRtTimeValue::operator-=(const CRtTimeValue& aRight) {
    tv_sec -= aRight.tv_sec;
    tv_usec -= aRight.tv_usec;
    Normalize();
    return *this;
}

CRtTimeValue operator+(const CRtTimeValue& aLeft, const CRtTimeValue& aRight) {
    CRtTimeValue sum(aLeft);
    sum += aRight;
    return sum;
}

CRtTimeValue operator-(const CRtTimeValue& aLeft, const CRtTimeValue& aRight) {
    CRtTimeValue diff(aLeft);
    diff -= aRight;
    return diff;
}

CRtTimeValue CRtTimeValue::GetTimeOfDay() {
    if (ClockSource source = s_clockSource.load(std::memory_order_acquire))
        return source();
    int64_t sec = 0;
    int32_t usec = 0;
    rtos::WallClock(&sec, &usec);
    return CRtTimeValue(sec, usec);
}

CRtTimeValue CRtTimeValue::GetMonotonicTime() {
    if (ClockSource source = s_monotonicSource.load(std::memory_order_acquire))
        return source();
    uint64_t us = rtos::MonotonicUs();
    return CRtTimeValue(static_cast<int64_t>(us / 1000000), static_cast<int32_t>(us % 1000000));
}

void CRtTimeValue::SetClockSource(ClockSource aSource) { s_clockSource.store(aSource, std::memory_order_release); }

CRtTimeValue CRtTimeValue::GetCoarseMonotonicTime() {
    uint64_t us = rtos::MonotonicCoarseUs();
    return CRtTimeValue(static_cast<int64_t>(us / 1000000u), static_cast<int32_t>(us % 1000000u));
}

void CRtTimeValue::SetMonotonicClockSource(ClockSource aSource) {
    s_monotonicSource.store(aSource, std::memory_order_release);
}

uint32_t GetTickCountEx() { return static_cast<uint32_t>(rtos::MonotonicMs()); }

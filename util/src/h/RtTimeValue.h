// Points in time and durations as seconds and microseconds, and the
// millisecond tick counter for measuring intervals.
#pragma once

#include <cstdint>
#include <type_traits>

struct timeval;

// Always normalised: |tv_usec| < 1000000 and, when tv_sec is not 0, of the
// same sign as tv_sec.
class CRtTimeValue {
public:
    CRtTimeValue() : tv_sec(0), tv_usec(0) {}
    // Whole seconds only; nothing to normalise. Any integer type, so that a
    // literal never competes with the double constructor.
    template <class Integer, std::enable_if_t<std::is_integral_v<Integer>, int> = 0>
    CRtTimeValue(Integer aSec) : tv_sec(static_cast<int64_t>(aSec)), tv_usec(0) {}
    CRtTimeValue(int64_t aSec, int32_t aUsec) { Set(aSec, aUsec); }
    explicit CRtTimeValue(const timeval& aTv) { Set(aTv); }
    explicit CRtTimeValue(double aSec) { Set(aSec); }

    void Set(int64_t aSec, int32_t aUsec);
    void Set(const timeval& aTv);
    // Seconds are truncated toward zero; out-of-range values saturate.
    void Set(double aSec);

    int64_t GetSec() const { return tv_sec; }
    long GetUsec() const { return tv_usec; }

    void SetByTotalMsec(long aMsec);
    int64_t GetTotalInMsec() const { return tv_sec * 1000 + tv_usec / 1000; }
    int64_t GetTotalInUsec() const { return tv_sec * 1000000 + tv_usec; }

    CRtTimeValue& operator+=(const CRtTimeValue& aRight);
    CRtTimeValue& operator-=(const CRtTimeValue& aRight);

    // The current wall-clock time, with full 64-bit seconds.
    static CRtTimeValue GetTimeOfDay();

    // A monotonic clock: unaffected by steps of the wall clock, for due
    // times and durations. Its zero is arbitrary.
    static CRtTimeValue GetMonotonicTime();
    // The monotonic clock at the scheduler's resolution, cheap enough to
    // time every event and dispatch for the slow-work reports (not moved
    // by SetMonotonicClockSource).
    static CRtTimeValue GetCoarseMonotonicTime();

    // Replaces the wall clock GetTimeOfDay reads; null restores the system
    // clock. For tests that need a given date.
    typedef CRtTimeValue (*ClockSource)();
    static void SetClockSource(ClockSource aSource);
    // The same for the monotonic clock, for tests of timers.
    static void SetMonotonicClockSource(ClockSource aSource);

    static const CRtTimeValue s_tvZero;
    // "No time limit": a duration, not a date.
    static const CRtTimeValue s_tvMax;

private:
    void Normalize();

    int64_t tv_sec;
    int32_t tv_usec;
};

CRtTimeValue operator+(const CRtTimeValue& aLeft, const CRtTimeValue& aRight);
CRtTimeValue operator-(const CRtTimeValue& aLeft, const CRtTimeValue& aRight);

inline bool operator==(const CRtTimeValue& aLeft, const CRtTimeValue& aRight) {
    return aLeft.GetSec() == aRight.GetSec() && aLeft.GetUsec() == aRight.GetUsec();
}
inline bool operator!=(const CRtTimeValue& aLeft, const CRtTimeValue& aRight) { return !(aLeft == aRight); }
inline bool operator<(const CRtTimeValue& aLeft, const CRtTimeValue& aRight) {
    return aLeft.GetSec() < aRight.GetSec() ||
           (aLeft.GetSec() == aRight.GetSec() && aLeft.GetUsec() < aRight.GetUsec());
}
inline bool operator>(const CRtTimeValue& aLeft, const CRtTimeValue& aRight) { return aRight < aLeft; }
inline bool operator<=(const CRtTimeValue& aLeft, const CRtTimeValue& aRight) { return !(aRight < aLeft); }
inline bool operator>=(const CRtTimeValue& aLeft, const CRtTimeValue& aRight) { return !(aLeft < aRight); }

// Milliseconds from a monotonic counter, cut to 32 bits: wraps after about
// 49.7 days. Measure intervals with RtTickDiff, never by comparing values.
uint32_t GetTickCountEx();

// Milliseconds from aThen to aNow, correct across one wrap of the counter.
inline uint32_t RtTickDiff(uint32_t aNow, uint32_t aThen) { return static_cast<uint32_t>(aNow - aThen); }

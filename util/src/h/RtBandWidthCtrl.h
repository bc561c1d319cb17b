// An upload allowance per second and per slice of a second: how many bytes
// a writer may hand to its transport now. The caller drives it with the
// tick count (milliseconds) on each write and each timer tick.
#pragma once

#include <cstdint>

class CBandWidthCtrl {
public:
    static constexpr uint32_t kMaxLimit = 0x8000000;  // bytes per second
    static constexpr uint32_t kMinLimit = 1024;
    static constexpr uint32_t kMaxSingleWrite = 0x100000;

    explicit CBandWidthCtrl(uint32_t aNowMs, uint32_t aLimit = GetCap(), uint32_t aDivisor = 10);

    // The largest limit, and the default: kMaxLimit. Tests and benchmarks
    // lift it (process-wide, before connections are made) to see the
    // connection without the cap; 0 puts kMaxLimit back.
    static void SetCapForTest(uint32_t aBytesPerSecond);
    static uint32_t GetCap();

    // At most aOffer: what the second's and the slice's allowances still
    // take, and never more than one largest write.
    uint32_t Allowed(uint32_t aOffer) const;
    void OnWritten(uint32_t aBytes);
    // Starts a new slice or second when one has passed; a new limit takes
    // effect with the next second. Slices and seconds keep to a grid from
    // the start, whatever the ticks' own period.
    void Tick(uint32_t aNowMs);
    // Clamped to kMinLimit .. GetCap().
    void SetLimit(uint32_t aBytesPerSecond);

    uint32_t GetRequestedLimit() const { return m_nRequested; }
    uint32_t GetLimitPerSecond() const { return m_nPerSecond; }
    uint32_t GetLimitPerSlice() const { return m_nPerSlice; }

private:
    uint32_t m_nRequested;
    uint32_t m_tickSlice;
    uint32_t m_tickSecond;
    uint32_t m_nPerSecond;
    uint32_t m_nPerSlice;
    uint32_t m_nSliceBytes = 0;
    uint32_t m_nSecondBytes = 0;
    uint32_t m_nDivisor;
};

#include "RtBandWidthCtrl.h"

#include <algorithm>
#include <atomic>

#include "RtDebug.h"
#include "RtTimeValue.h"

namespace {
std::atomic<uint32_t> s_nCap{CBandWidthCtrl::kMaxLimit};

uint32_t Clamp(uint32_t aLimit) {
    return std::min(std::max(aLimit, CBandWidthCtrl::kMinLimit), CBandWidthCtrl::GetCap());
}

// Moves aStart on by whole periods up to aNow: true when it moved. A slice
// restarted at the tick that noticed its end would last until that tick,
// so with 30 ms ticks a 100 ms slice really lasted 120 ms and the allowance
// fell to five sixths of the limit.
bool Advance(uint32_t& aStart, uint32_t aNow, uint32_t aPeriod) {
    const uint32_t passed = RtTickDiff(aNow, aStart);
    if (passed < aPeriod)
        return false;
    aStart += passed - passed % aPeriod;
    return true;
}
}  // namespace

void CBandWidthCtrl::SetCapForTest(uint32_t aBytesPerSecond) {
    s_nCap = aBytesPerSecond ? std::max(aBytesPerSecond, kMinLimit) : kMaxLimit;
}

uint32_t CBandWidthCtrl::GetCap() { return s_nCap; }

CBandWidthCtrl::CBandWidthCtrl(uint32_t aNowMs, uint32_t aLimit, uint32_t aDivisor)
    : m_nRequested(Clamp(aLimit)),
      m_tickSlice(aNowMs),
      m_tickSecond(aNowMs),
      m_nPerSecond(m_nRequested),
      // A divisor of 0 would divide by zero; more than 10 slices a second
      // is finer than the 30 ms write timer can follow.
      m_nDivisor(std::min<uint32_t>(std::max<uint32_t>(aDivisor, 1), 10)) {
    m_nPerSlice = m_nPerSecond / m_nDivisor;
    RT_DEBUG_TRACE_THIS("CBandWidthCtrl, upload_speed_limit=" << m_nRequested << ", divisor = " << m_nDivisor);
}

uint32_t CBandWidthCtrl::Allowed(uint32_t aOffer) const {
    uint32_t n = std::min(aOffer, kMaxSingleWrite);
    n = std::min(n, m_nPerSecond > m_nSecondBytes ? m_nPerSecond - m_nSecondBytes : 0);
    n = std::min(n, m_nPerSlice > m_nSliceBytes ? m_nPerSlice - m_nSliceBytes : 0);
    return n;
}

void CBandWidthCtrl::OnWritten(uint32_t aBytes) {
    // Saturating: a lifted cap lets more than 4 GiB through in a second.
    m_nSliceBytes = aBytes > UINT32_MAX - m_nSliceBytes ? UINT32_MAX : m_nSliceBytes + aBytes;
    m_nSecondBytes = aBytes > UINT32_MAX - m_nSecondBytes ? UINT32_MAX : m_nSecondBytes + aBytes;
}

void CBandWidthCtrl::Tick(uint32_t aNowMs) {
    if (Advance(m_tickSlice, aNowMs, 1000 / m_nDivisor))
        m_nSliceBytes = 0;
    if (Advance(m_tickSecond, aNowMs, 1000)) {
        m_nSecondBytes = 0;
        m_nPerSecond = m_nRequested;
        m_nPerSlice = m_nPerSecond / m_nDivisor;
    }
}

void CBandWidthCtrl::SetLimit(uint32_t aBytesPerSecond) { m_nRequested = Clamp(aBytesPerSecond); }

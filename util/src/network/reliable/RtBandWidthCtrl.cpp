#include "RtBandWidthCtrl.h"

#include <algorithm>

#include "RtDebug.h"
#include "RtTimeValue.h"

namespace {
uint32_t Clamp(uint32_t aLimit) {
    return std::min(std::max(aLimit, CBandWidthCtrl::kMinLimit), CBandWidthCtrl::kMaxLimit);
}
}  // namespace

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
    m_nSliceBytes += aBytes;
    m_nSecondBytes += aBytes;
}

void CBandWidthCtrl::Tick(uint32_t aNowMs) {
    if (RtTickDiff(aNowMs, m_tickSlice) >= 1000 / m_nDivisor) {
        m_tickSlice = aNowMs;
        m_nSliceBytes = 0;
    }
    if (RtTickDiff(aNowMs, m_tickSecond) >= 1000) {
        m_tickSecond = aNowMs;
        m_nSecondBytes = 0;
        m_nPerSecond = m_nRequested;
        m_nPerSlice = m_nPerSecond / m_nDivisor;
    }
}

void CBandWidthCtrl::SetLimit(uint32_t aBytesPerSecond) { m_nRequested = Clamp(aBytesPerSecond); }

#include "RtConnBase.h"

#include "RtDebug.h"

RtResult CRtConnBase::OpenWithSink(IRtTransportSink* aSink) {
    RT_ASSERTE_RETURN(aSink, RT_ERROR_INVALID_ARG);
    m_sink = aSink;
    return RT_OK;
}

void CRtConnBase::SetStatus(uint16_t inStatus) {
    uint16_t last = m_status.exchange(inStatus, std::memory_order_acq_rel);
    RT_DEBUG_TRACE_THIS("CRtConnBase::SetStatus, inStatus=" << inStatus << " , last=" << last);
}

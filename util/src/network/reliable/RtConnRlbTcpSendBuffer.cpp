#include "RtConnRlbTcpSendBuffer.h"

#include "RtDebug.h"
#include "RtMessageBlock.h"
#include "RtNetworkBase.h"

CRtConnRlbTcpSendBuffer::CRtConnRlbTcpSendBuffer(uint32_t aNowMs) : m_BandWidth(aNowMs) {}

CRtConnRlbTcpSendBuffer::~CRtConnRlbTcpSendBuffer() {
    for (Unit& unit : m_Queued)
        unit.payload->DestroyChained();
    for (Unit& unit : m_Kept)
        unit.payload->DestroyChained();
    DropEncoded();
}

RtResult CRtConnRlbTcpSendBuffer::SetLimit(uint32_t aBytes) {
    if (aBytes < 1)
        return RT_ERROR_INVALID_ARG;
    m_nLimit = aBytes;
    return RT_OK;
}

bool CRtConnRlbTcpSendBuffer::IsFull() const {
    return m_nCurrentSize >= m_nLimit || m_nEncodedSize >= m_nLimit || m_Kept.size() + m_nQueuedKept >= kMaxKeptUnits;
}

void CRtConnRlbTcpSendBuffer::Queue(uint8_t aType, CRtMessageBlock* aPayload) {
    RT_ASSERTE_RETURN_VOID(aPayload && RtRlbTcpIsData(aType));
    const uint32_t length = aPayload->GetChainedLength();
    m_Queued.push_back(Unit{aType, length, aPayload});
    m_nCurrentSize += length;
    if (aType == RT_RLBTCP_PDU_DATA_KEPT)
        ++m_nQueuedKept;
}

void CRtConnRlbTcpSendBuffer::AppendEncoded(CRtMessageBlock* aChain) {
    if (!aChain)
        return;
    m_nEncodedSize += aChain->GetChainedLength();
    // Through the tail: thousands of small units may wait at once.
    if (m_pEncoded)
        m_pEncodedTail->Append(aChain);
    else
        m_pEncoded = aChain;
    m_pEncodedTail = aChain;
    while (m_pEncodedTail->GetNext())
        m_pEncodedTail = m_pEncodedTail->GetNext();
}

void CRtConnRlbTcpSendBuffer::EncodeUnit(const Unit& aUnit, uint16_t aAck, bool aKeepPayload) {
    CRtRlbTcpPdu pdu;
    pdu.type = aUnit.type;
    pdu.ack = aAck;
    pdu.length = aUnit.length;
    EncodeControl(pdu);
    AppendEncoded(aKeepPayload ? aUnit.payload->DuplicateChained() : aUnit.payload);
}

bool CRtConnRlbTcpSendBuffer::EncodeQueued(uint16_t aAck) {
    bool carriedAck = false;
    while (!m_Queued.empty()) {
        Unit unit = m_Queued.front();
        m_Queued.pop_front();
        if (unit.type == RT_RLBTCP_PDU_DATA_KEPT) {
            --m_nQueuedKept;
            EncodeUnit(unit, aAck, true);
            m_Kept.push_back(unit);
        } else {
            EncodeUnit(unit, aAck, false);
            m_nCurrentSize -= unit.length;
        }
        carriedAck = carriedAck || unit.type != RT_RLBTCP_PDU_DATA;
    }
    return carriedAck;
}

void CRtConnRlbTcpSendBuffer::EncodeControl(const CRtRlbTcpPdu& aPdu) {
    uint8_t head[kRtRlbTcpMaxHeader];
    const size_t size = aPdu.Encode(head);
    RT_ASSERTE_RETURN_VOID(size > 0);
    CRtMessageBlock view(static_cast<unsigned long>(size), reinterpret_cast<const char*>(head),
                         CRtMessageBlock::DONT_DELETE, static_cast<unsigned long>(size));
    AppendEncoded(view.DuplicateTopLevel());
}

RtResult CRtConnRlbTcpSendBuffer::Write(IRtTransport& aLower) {
    if (!m_pEncoded) {
        m_bHeldBack = false;
        return RT_OK;
    }
    const uint32_t allowed = m_BandWidth.Allowed(m_nEncodedSize);
    if (allowed == 0) {
        m_bHeldBack = true;
        return RT_ERROR_PARTIAL_DATA;
    }
    // What the allowance does not cover now waits for a later tick.
    CRtMessageBlock* later = allowed < m_nEncodedSize ? m_pEncoded->Disjoint(allowed) : nullptr;
    const uint32_t offered = m_pEncoded->GetChainedLength();
    RtResult rv = aLower.SendData(*m_pEncoded, true, false);
    uint32_t written = 0;
    if (rv == RT_OK) {
        written = offered;
        m_pEncoded->DestroyChained();
        m_pEncoded = nullptr;
    } else if (rv == RT_ERROR_PARTIAL_DATA) {
        written = offered - m_pEncoded->GetChainedLength();
        m_pEncoded = m_pEncoded->ReclaimGarbage();
    }
    m_BandWidth.OnWritten(written);
    m_nEncodedSize -= written;
    if (later) {
        if (m_pEncoded)
            m_pEncoded->Append(later);
        else
            m_pEncoded = later;
    }
    m_pEncodedTail = m_pEncoded;
    while (m_pEncodedTail && m_pEncodedTail->GetNext())
        m_pEncodedTail = m_pEncodedTail->GetNext();
    m_bHeldBack = rv == RT_OK && later;
    if (rv == RT_OK && m_pEncoded)
        return RT_ERROR_PARTIAL_DATA;
    return rv;
}

RtResult CRtConnRlbTcpSendBuffer::ApplyAck(uint16_t aAck) {
    const uint16_t fresh = static_cast<uint16_t>(aAck - m_nAcked);
    if (fresh > m_Kept.size()) {
        RT_ERROR_TRACE_THIS("CRtConnRlbTcpSendBuffer::ApplyAck, ack beyond what was sent, ack="
                            << aAck << " acked=" << m_nAcked << " kept=" << m_Kept.size());
        return RT_ERROR_NETWORK_INVALID_PDU;
    }
    for (uint16_t i = 0; i < fresh; ++i) {
        Unit unit = m_Kept.front();
        m_Kept.pop_front();
        m_nCurrentSize -= unit.length;
        unit.payload->DestroyChained();
    }
    m_nAcked = aAck;
    return RT_OK;
}

RtResult CRtConnRlbTcpSendBuffer::Resend(uint16_t aPeerAck, uint16_t aOwnAck) {
    RtResult rv = ApplyAck(aPeerAck);
    if (RT_FAILED(rv))
        return rv;
    DropEncoded();
    for (const Unit& unit : m_Kept)
        EncodeUnit(unit, aOwnAck, true);
    m_BandWidth.SetLimit(CBandWidthCtrl::GetCap());
    return RT_OK;
}

void CRtConnRlbTcpSendBuffer::DropEncoded() {
    if (m_pEncoded)
        m_pEncoded->DestroyChained();
    m_pEncoded = nullptr;
    m_pEncodedTail = nullptr;
    m_nEncodedSize = 0;
    m_bHeldBack = false;
}

#include "RtConnRlbTcpPdu.h"

#include "RtDebug.h"
#include "RtMessageBlock.h"

namespace {

void Put16(uint8_t*& aOut, uint16_t aValue) {
    *aOut++ = static_cast<uint8_t>(aValue);
    *aOut++ = static_cast<uint8_t>(aValue >> 8);
}

void Put32(uint8_t*& aOut, uint32_t aValue) {
    for (int i = 0; i < 4; ++i)
        *aOut++ = static_cast<uint8_t>(aValue >> (8 * i));
}

uint16_t Get16(const uint8_t*& aIn) {
    uint16_t v = static_cast<uint16_t>(aIn[0] | (aIn[1] << 8));
    aIn += 2;
    return v;
}

uint32_t Get32(const uint8_t*& aIn) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | aIn[i];
    aIn += 4;
    return v;
}

}  // namespace

size_t RtRlbTcpHeaderSize(uint8_t aType) {
    switch (aType) {
    case RT_RLBTCP_PDU_CONN_REQ:
        return 11;
    case RT_RLBTCP_PDU_CONN_RESP:
        return 13;
    case RT_RLBTCP_PDU_DISCONN:
        return 1;
    case RT_RLBTCP_PDU_KEEPALIVE:
    case RT_RLBTCP_PDU_IDLE_TIMEOUT:
        return 3;
    case RT_RLBTCP_PDU_DATA:
    case RT_RLBTCP_PDU_RTT:
        return 5;
    case RT_RLBTCP_PDU_DATA_WITH_ACK:
    case RT_RLBTCP_PDU_DATA_KEPT:
        return 7;
    default:
        return 0;
    }
}

bool RtRlbTcpIsData(uint8_t aType) {
    return aType == RT_RLBTCP_PDU_DATA || aType == RT_RLBTCP_PDU_DATA_WITH_ACK || aType == RT_RLBTCP_PDU_DATA_KEPT;
}

size_t CRtRlbTcpPdu::Encode(uint8_t* aOut) const {
    const size_t size = RtRlbTcpHeaderSize(type);
    if (size == 0)
        return 0;
    uint8_t* p = aOut;
    *p++ = type;
    switch (type) {
    case RT_RLBTCP_PDU_CONN_REQ:
        Put16(p, connTypeHigh);
        Put16(p, channel);
        Put16(p, ack);
        Put32(p, ticket);
        break;
    case RT_RLBTCP_PDU_CONN_RESP:
        Put32(p, result);
        Put16(p, channel);
        Put16(p, ack);
        Put32(p, ticket);
        break;
    case RT_RLBTCP_PDU_KEEPALIVE:
        Put16(p, ack);
        break;
    case RT_RLBTCP_PDU_DATA:
        Put32(p, length);
        break;
    case RT_RLBTCP_PDU_DATA_WITH_ACK:
    case RT_RLBTCP_PDU_DATA_KEPT:
        Put16(p, ack);
        Put32(p, length);
        break;
    case RT_RLBTCP_PDU_RTT:
        Put32(p, probe);
        break;
    case RT_RLBTCP_PDU_IDLE_TIMEOUT:
        Put16(p, idleTimeout);
        break;
    default:
        break;
    }
    RT_ASSERTE(static_cast<size_t>(p - aOut) == size);
    return size;
}

void CRtRlbTcpPdu::Decode(const uint8_t* aIn, size_t aSize) {
    RT_ASSERTE_RETURN_VOID(aSize > 0 && aSize == RtRlbTcpHeaderSize(aIn[0]));
    const uint8_t* p = aIn;
    type = *p++;
    switch (type) {
    case RT_RLBTCP_PDU_CONN_REQ:
        connTypeHigh = Get16(p);
        channel = Get16(p);
        ack = Get16(p);
        ticket = Get32(p);
        break;
    case RT_RLBTCP_PDU_CONN_RESP:
        result = Get32(p);
        channel = Get16(p);
        ack = Get16(p);
        ticket = Get32(p);
        break;
    case RT_RLBTCP_PDU_KEEPALIVE:
        ack = Get16(p);
        break;
    case RT_RLBTCP_PDU_DATA:
        length = Get32(p);
        break;
    case RT_RLBTCP_PDU_DATA_WITH_ACK:
    case RT_RLBTCP_PDU_DATA_KEPT:
        ack = Get16(p);
        length = Get32(p);
        break;
    case RT_RLBTCP_PDU_RTT:
        probe = Get32(p);
        break;
    case RT_RLBTCP_PDU_IDLE_TIMEOUT:
        idleTimeout = Get16(p);
        break;
    default:
        break;
    }
}

CRtRlbTcpUnitReader::~CRtRlbTcpUnitReader() { Reset(); }

void CRtRlbTcpUnitReader::Reset() {
    if (m_pBuffer)
        m_pBuffer->DestroyChained();
    m_pBuffer = nullptr;
    m_bHavePending = false;
}

size_t CRtRlbTcpUnitReader::GetBufferedLength() const { return m_pBuffer ? m_pBuffer->GetChainedLength() : 0; }

RtResult CRtRlbTcpUnitReader::Append(const CRtMessageBlock& aData) {
    if (m_bFailed)
        return RT_ERROR_NETWORK_INVALID_PDU;
    if (aData.GetChainedLength() == 0)
        return RT_OK;
    CRtMessageBlock* copy = aData.DuplicateChained();
    if (!copy)
        return RT_ERROR_OUT_OF_MEMORY;
    if (m_pBuffer)
        m_pBuffer->Append(copy);
    else
        m_pBuffer = copy;
    return RT_OK;
}

RtResult CRtRlbTcpUnitReader::Next(CRtRlbTcpPdu& aPdu, CRtMessageBlock*& aPayload) {
    aPayload = nullptr;
    if (m_bFailed)
        return RT_ERROR_NETWORK_INVALID_PDU;
    if (m_pBuffer)
        m_pBuffer = m_pBuffer->ReclaimGarbage();
    if (!m_bHavePending) {
        uint8_t head[kRtRlbTcpMaxHeader];
        if (!m_pBuffer || m_pBuffer->Peek(head, 1) != RT_OK)
            return RT_ERROR_PARTIAL_DATA;
        const size_t size = RtRlbTcpHeaderSize(head[0]);
        if (size == 0) {
            m_nBadType = head[0];
            m_bFailed = true;
            return RT_ERROR_NETWORK_INVALID_PDU;
        }
        if (m_pBuffer->GetChainedLength() < size)
            return RT_ERROR_PARTIAL_DATA;
        m_pBuffer->Read(head, static_cast<unsigned long>(size));
        m_Pending = CRtRlbTcpPdu();
        m_Pending.Decode(head, size);
        if (RtRlbTcpIsData(m_Pending.type) && m_Pending.length > m_nMaxPayload) {
            m_nBadType = m_Pending.type;
            m_bFailed = true;
            return RT_ERROR_NETWORK_INVALID_PDU;
        }
        m_bHavePending = true;
        m_pBuffer = m_pBuffer->ReclaimGarbage();
    }
    if (RtRlbTcpIsData(m_Pending.type) && m_Pending.length > 0) {
        if (GetBufferedLength() < m_Pending.length)
            return RT_ERROR_PARTIAL_DATA;
        CRtMessageBlock* rest = m_pBuffer->Disjoint(m_Pending.length);
        aPayload = m_pBuffer;
        m_pBuffer = rest;
    }
    aPdu = m_Pending;
    m_bHavePending = false;
    return RT_OK;
}

#include "RtCnRudp.h"

#include <cstdio>
#include <cstring>

#include "RtDebug.h"

void CRtRudpBitStream::WriteBits(uint32_t aValue, unsigned aCount) {
    // A byte's worth (or what is left of the current byte) at a time.
    while (aCount > 0) {
        const unsigned used = static_cast<unsigned>(m_nBits % 8);
        if (used == 0)
            m_Buf.push_back(0);
        const unsigned n = aCount < 8 - used ? aCount : 8 - used;
        const uint32_t bits = (aValue >> (aCount - n)) & ((1u << n) - 1);
        m_Buf.back() = static_cast<uint8_t>(m_Buf.back() | (bits << (8 - used - n)));
        m_nBits += n;
        aCount -= n;
    }
}

void CRtRudpBitStream::Write16(uint16_t aValue) {
    WriteBits(aValue & 0xFFu, 8);
    WriteBits(aValue >> 8, 8);
}

void CRtRudpBitStream::Write32(uint32_t aValue) {
    for (int i = 0; i < 4; ++i)
        WriteBits((aValue >> (8 * i)) & 0xFFu, 8);
}

void CRtRudpBitStream::WriteCompressed16(uint16_t aValue) {
    if (aValue >> 8) {
        WriteBit(false);
        Write16(aValue);
        return;
    }
    WriteBit(true);
    if (aValue < 16) {
        WriteBit(true);
        WriteBits(aValue, 4);
    } else {
        WriteBit(false);
        WriteBits(aValue, 8);
    }
}

void CRtRudpBitStream::WriteAlignedBytes(const void* aData, size_t aLen) {
    m_nBits = (m_nBits + 7) / 8 * 8;
    m_Buf.resize(m_nBits / 8);
    const uint8_t* p = static_cast<const uint8_t*>(aData);
    m_Buf.insert(m_Buf.end(), p, p + aLen);
    m_nBits += aLen * 8;
}

bool CRtRudpBitStream::ReadBits(uint32_t& aValue, unsigned aCount) {
    if (aCount > 32 || GetNumberOfUnreadBits() < aCount)
        return false;
    uint32_t v = 0;
    while (aCount > 0) {
        const unsigned used = static_cast<unsigned>(m_nReadPos % 8);
        const unsigned n = aCount < 8 - used ? aCount : 8 - used;
        const uint32_t byte = ByteAt(m_nReadPos / 8);
        v = (v << n) | ((byte >> (8 - used - n)) & ((1u << n) - 1));
        m_nReadPos += n;
        aCount -= n;
    }
    aValue = v;
    return true;
}

bool CRtRudpBitStream::ReadBit(bool& aOne) {
    uint32_t v = 0;
    if (!ReadBits(v, 1))
        return false;
    aOne = v != 0;
    return true;
}

bool CRtRudpBitStream::Read8(uint8_t& aValue) {
    uint32_t v = 0;
    if (!ReadBits(v, 8))
        return false;
    aValue = static_cast<uint8_t>(v);
    return true;
}

bool CRtRudpBitStream::Read16(uint16_t& aValue) {
    if (GetNumberOfUnreadBits() < 16)
        return false;
    uint8_t lo = 0, hi = 0;
    Read8(lo);
    Read8(hi);
    aValue = static_cast<uint16_t>(lo | (hi << 8));
    return true;
}

bool CRtRudpBitStream::Read32(uint32_t& aValue) {
    if (GetNumberOfUnreadBits() < 32)
        return false;
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
        uint8_t b = 0;
        Read8(b);
        v |= static_cast<uint32_t>(b) << (8 * i);
    }
    aValue = v;
    return true;
}

bool CRtRudpBitStream::ReadCompressed16(uint16_t& aValue) {
    const size_t start = m_nReadPos;
    bool highZero = false;
    if (!ReadBit(highZero))
        return false;
    if (!highZero) {
        if (Read16(aValue))
            return true;
        m_nReadPos = start;
        return false;
    }
    bool nibble = false;
    uint32_t v = 0;
    if (!ReadBit(nibble) || !ReadBits(v, nibble ? 4 : 8)) {
        m_nReadPos = start;
        return false;
    }
    aValue = static_cast<uint16_t>(v);
    return true;
}

bool CRtRudpBitStream::ReadAlignedBytes(const uint8_t*& aData, size_t aLen) {
    const size_t aligned = (m_nReadPos + 7) / 8 * 8;
    if (aligned > m_nBits || (m_nBits - aligned) / 8 < aLen)
        return false;
    m_nReadPos = aligned + aLen * 8;
    aData = GetData() + aligned / 8;
    return true;
}

void CRtRudpPacket::Reset() { *this = CRtRudpPacket(); }

size_t CRtRudpPacket::SplitHeaderBits(uint8_t aReliability) {
    size_t bits = 8 + 3 + 1 + 17;  // type, reliability, split flag, byteLength at its widest
    if (aReliability == 1 || aReliability == 3 || aReliability == 4)
        bits += 5 + 16;
    if (aReliability >= RUDP_RELIABLE)
        bits += 16;
    bits += 16 + 17 + 17;
    return bits + 7;  // alignment of the data
}

size_t CRtRudpPacket::BitsOnWire() const {
    size_t bits = 8 + 3 + 1;
    if (IsOrderedOrSequenced())
        bits += 5 + 16;
    if (IsReliable())
        bits += 16;
    if (isSplitPacket)
        bits += 16 + CRtRudpBitStream::CompressedBits(splitPacketIndex) +
                CRtRudpBitStream::CompressedBits(splitPacketCount);
    bits += CRtRudpBitStream::CompressedBits(static_cast<uint16_t>(data.size()));
    if (!data.empty())
        bits += 7 + data.size() * 8;  // at most 7 bits of alignment
    return bits;
}

void CRtRudpPacket::Write(CRtRudpBitStream& aOut) const {
    aOut.Write8(pduType);
    aOut.WriteBits(reliability, 3);
    if (IsOrderedOrSequenced()) {
        aOut.WriteBits(channelID, 5);
        aOut.Write16(orderingID);
    }
    if (IsReliable())
        aOut.Write16(packetNo);
    aOut.WriteBit(isSplitPacket);
    if (isSplitPacket) {
        aOut.Write16(splitPacketID);
        aOut.WriteCompressed16(splitPacketIndex);
        aOut.WriteCompressed16(splitPacketCount);
    }
    aOut.WriteCompressed16(static_cast<uint16_t>(data.size()));
    if (!data.empty())
        aOut.WriteAlignedBytes(data.data(), data.size());
}

std::string RtRudpHexDump(const uint8_t* aData, size_t aLen) {
    const size_t n = aLen < 1024 ? aLen : 1024;
    std::string out;
    out.reserve(n * 3);
    char one[8];
    for (size_t i = 0; i < n; ++i) {
        int w = snprintf(one, sizeof one, "%x ", static_cast<unsigned>(aData[i]));
        if (w > 0 && static_cast<size_t>(w) < sizeof one)
            out.append(one, static_cast<size_t>(w));
    }
    return out;
}

namespace {
void ReportReadFailure(const CRtRudpBitStream& aIn, const char* aField, const CRtRudpPacket& aPacket) {
    RT_WARNING_TRACE("CRtRudpConn::CreateInternalPacketFromBitStream, read"
                     << aField << " failed! pduType=" << static_cast<unsigned>(aPacket.pduType)
                     << " packetNo=" << aPacket.packetNo << " unread=" << aIn.GetNumberOfUnreadBits()
                     << " total=" << aIn.GetNumberOfBytesUsed());
    // The dump may be up to 3 KiB: it goes in a line of its own.
    std::string dump = RtRudpHexDump(aIn.GetData(), aIn.GetNumberOfBytesUsed());
    RT_WARNING_TRACE("CRtRudpConn::CreateInternalPacketFromBitStream, bitStream:" << dump.c_str());
}
}  // namespace

bool CreateInternalPacketFromBitStream(CRtRudpBitStream& aIn, CRtRudpPacket& aOut) {
    aOut.Reset();
    uint32_t v = 0;
    if (!aIn.Read8(aOut.pduType)) {
        ReportReadFailure(aIn, " pduType", aOut);
        return false;
    }
    if (!aIn.ReadBits(v, 3)) {
        ReportReadFailure(aIn, " reliability", aOut);
        return false;
    }
    aOut.reliability = static_cast<uint8_t>(v);
    if (aOut.reliability > RUDP_RELIABLE_ORDERED) {
        ReportReadFailure(aIn, " reliability(invalid)", aOut);
        return false;
    }
    if (aOut.IsOrderedOrSequenced()) {
        if (!aIn.ReadBits(v, 5)) {
            ReportReadFailure(aIn, " channelID", aOut);
            return false;
        }
        aOut.channelID = static_cast<uint8_t>(v);
        if (!aIn.Read16(aOut.orderingID)) {
            ReportReadFailure(aIn, " orderingID", aOut);
            return false;
        }
    }
    if (aOut.IsReliable() && !aIn.Read16(aOut.packetNo)) {
        ReportReadFailure(aIn, " packetNo", aOut);
        return false;
    }
    if (!aIn.ReadBit(aOut.isSplitPacket)) {
        ReportReadFailure(aIn, " isSplitPacket", aOut);
        return false;
    }
    if (aOut.isSplitPacket) {
        if (!aIn.Read16(aOut.splitPacketID)) {
            ReportReadFailure(aIn, " splitPacketID", aOut);
            return false;
        }
        if (!aIn.ReadCompressed16(aOut.splitPacketIndex)) {
            ReportReadFailure(aIn, " splitPacketIndex", aOut);
            return false;
        }
        if (!aIn.ReadCompressed16(aOut.splitPacketCount)) {
            ReportReadFailure(aIn, " splitPacketCount", aOut);
            return false;
        }
    }
    uint16_t len = 0;
    if (!aIn.ReadCompressed16(len)) {
        ReportReadFailure(aIn, " byteLength", aOut);
        return false;
    }
    if (len > CRtRudpPacket::kMaxByteLength) {
        ReportReadFailure(aIn, " byteLength(too large)", aOut);
        return false;
    }
    if (len) {
        const uint8_t* p = nullptr;
        if (!aIn.ReadAlignedBytes(p, len)) {
            ReportReadFailure(aIn, " data", aOut);
            return false;
        }
        aOut.data.assign(reinterpret_cast<const char*>(p), len);
    }
    return true;
}

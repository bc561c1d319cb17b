// The reliable UDP connection's wire: a bit stream (fields packed most
// significant bit first, multi-byte fields little-endian byte by byte on any
// host, every read checked), compressed 16-bit values, and the packet that
// carries one message or message fragment inside a datagram.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "RtBase.h"

class CRtRudpBitStream {
public:
    CRtRudpBitStream() = default;
    // Reads aLen bytes (not copied: they must outlive the stream).
    CRtRudpBitStream(const uint8_t* aData, size_t aLen) : m_pRead(aData), m_nBits(aLen * 8) {}

    // Writing.
    void WriteBits(uint32_t aValue, unsigned aCount);
    void WriteBit(bool aOne) { WriteBits(aOne ? 1u : 0u, 1); }
    void Write8(uint8_t aValue) { WriteBits(aValue, 8); }
    void Write16(uint16_t aValue);
    void Write32(uint32_t aValue);
    void WriteCompressed16(uint16_t aValue);
    void WriteAlignedBytes(const void* aData, size_t aLen);
    void Reset() {
        m_Buf.clear();
        m_nBits = 0;
        m_nReadPos = 0;
        m_pRead = nullptr;
    }

    // Reading: each returns false (and reads nothing) past the end.
    bool ReadBits(uint32_t& aValue, unsigned aCount);
    bool ReadBit(bool& aOne);
    bool Read8(uint8_t& aValue);
    bool Read16(uint16_t& aValue);
    bool Read32(uint32_t& aValue);
    bool ReadCompressed16(uint16_t& aValue);
    // Points into the stream's bytes after aligning to a byte boundary.
    bool ReadAlignedBytes(const uint8_t*& aData, size_t aLen);

    size_t GetNumberOfBitsUsed() const { return m_nBits; }
    size_t GetNumberOfBytesUsed() const { return (m_nBits + 7) / 8; }
    size_t GetNumberOfUnreadBits() const { return m_nBits - m_nReadPos; }
    const uint8_t* GetData() const { return m_pRead ? m_pRead : m_Buf.data(); }

    // Bits a compressed value takes.
    static unsigned CompressedBits(uint16_t aValue) { return aValue >= 256 ? 17 : (aValue >= 16 ? 10 : 6); }

private:
    uint8_t ByteAt(size_t aIndex) const { return m_pRead ? m_pRead[aIndex] : m_Buf[aIndex]; }

    std::vector<uint8_t> m_Buf;
    const uint8_t* m_pRead = nullptr;
    size_t m_nBits = 0;
    size_t m_nReadPos = 0;
};

enum ERtRudpReliability : uint8_t {
    RUDP_UNRELIABLE = 0,
    RUDP_UNRELIABLE_SEQUENCED = 1,
    RUDP_RELIABLE = 2,
    RUDP_RELIABLE_SEQUENCED = 3,
    RUDP_RELIABLE_ORDERED = 4,
};

enum ERtRudpPduType : uint8_t {
    RUDP_PDU_CONN_REQ = 1,
    RUDP_PDU_CONN_RESP = 2,
    RUDP_PDU_SHUTDOWN = 3,
    RUDP_PDU_KEEPALIVE = 4,
    RUDP_PDU_DATA = 7,
};

// One packet, with the sender's bookkeeping. Pooled per network thread.
struct CRtRudpPacket {
    static constexpr uint16_t kMaxByteLength = 1499;
    static constexpr unsigned kChannels = 32;

    uint8_t pduType = 0;
    uint8_t reliability = 0;
    uint8_t channelID = 0;
    uint16_t orderingID = 0;
    uint16_t packetNo = 0;
    bool isSplitPacket = false;
    uint16_t splitPacketID = 0;
    uint16_t splitPacketIndex = 0;
    uint16_t splitPacketCount = 0;
    std::string data;

    // Sender side.
    uint8_t priority = 2;
    uint64_t seq = 0;            // packetNo unwrapped
    int64_t sendTime = 0;        // first or last transmission, microseconds; 0 once acknowledged
    int64_t firstSendTime = 0;   // microseconds
    int64_t nextActionTime = 0;  // when it is resent, microseconds
    int resendLeft = 0;
    uint32_t userBytes = 0;   // what this packet counts against the send buffer
    uint16_t laterAcked = 0;  // later packets acknowledged since its last transmission
    bool inPipe = false;      // its last transmission may still be on the way

    bool IsReliable() const { return reliability >= RUDP_RELIABLE; }
    bool IsOrderedOrSequenced() const { return reliability == 1 || reliability == 3 || reliability == 4; }
    void Reset();
    // Bits the packet takes on the wire.
    size_t BitsOnWire() const;
    void Write(CRtRudpBitStream& aOut) const;
    // Bits of the header alone with splitting (for choosing fragment sizes).
    static size_t SplitHeaderBits(uint8_t aReliability);
};

// Reads the next packet; false when a field cannot be read or the packet is
// invalid, after logging it with a bounded dump of the datagram (the rest
// of the datagram is then dropped).
bool CreateInternalPacketFromBitStream(CRtRudpBitStream& aIn, CRtRudpPacket& aOut);

// The hexadecimal dump of a datagram's first 1024 bytes, "%x " per byte.
std::string RtRudpHexDump(const uint8_t* aData, size_t aLen);

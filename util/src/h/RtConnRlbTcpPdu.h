// The units of the reliable TCP connection on the wire: a one-byte type,
// fixed little-endian fields, and for data units the payload. Encoding
// writes byte by byte, so the wire is the same on any host; decoding takes
// units one at a time off a chain of received bytes and never reads past
// what is buffered.
#pragma once

#include <cstddef>
#include <cstdint>

#include "RtError.h"

class CRtMessageBlock;

enum ERtRlbTcpPduType : uint8_t {
    RT_RLBTCP_PDU_CONN_REQ = 'A',
    RT_RLBTCP_PDU_CONN_RESP = 'B',
    RT_RLBTCP_PDU_DISCONN = 'C',
    RT_RLBTCP_PDU_KEEPALIVE = 'D',
    RT_RLBTCP_PDU_DATA = 'E',
    RT_RLBTCP_PDU_DATA_WITH_ACK = 'F',
    RT_RLBTCP_PDU_DATA_KEPT = 'G',
    RT_RLBTCP_PDU_RTT = 'H',
    RT_RLBTCP_PDU_IDLE_TIMEOUT = 'I',
};

// The largest header, 'B'.
constexpr size_t kRtRlbTcpMaxHeader = 13;
// The largest payload a receiver buffers unless told otherwise.
constexpr uint32_t kRtRlbTcpDefaultMaxPayload = 64u * 1024 * 1024;

// Header size of a unit type, the type byte included; 0 for an unknown type.
size_t RtRlbTcpHeaderSize(uint8_t aType);
bool RtRlbTcpIsData(uint8_t aType);

// One unit's header fields; which are meaningful depends on the type.
struct CRtRlbTcpPdu {
    uint8_t type = 0;
    uint16_t connTypeHigh = 0;  // 'A'
    uint32_t result = 0;        // 'B'
    uint16_t channel = 0;       // 'A', 'B'
    uint16_t ack = 0;           // 'A', 'B', 'D', 'F', 'G'
    uint32_t ticket = 0;        // 'A', 'B'
    uint32_t length = 0;        // 'E', 'F', 'G': the payload's
    uint32_t probe = 0;         // 'H'
    uint16_t idleTimeout = 0;   // 'I', seconds

    // Writes the header into aOut (kRtRlbTcpMaxHeader bytes at least) and
    // returns its size; 0 for an unknown type.
    size_t Encode(uint8_t* aOut) const;
    // Reads a header of aSize bytes (RtRlbTcpHeaderSize of aIn[0]).
    void Decode(const uint8_t* aIn, size_t aSize);
};

// Takes units off the received bytes, whatever the pieces they came in.
// Next() answers RT_OK with a unit (and for data units its payload, handed
// to the caller), RT_ERROR_PARTIAL_DATA until more bytes come, or
// RT_ERROR_NETWORK_INVALID_PDU for an unknown type or a payload above the
// maximum, after which the reader refuses everything.
class CRtRlbTcpUnitReader {
public:
    explicit CRtRlbTcpUnitReader(uint32_t aMaxPayload = kRtRlbTcpDefaultMaxPayload) : m_nMaxPayload(aMaxPayload) {}
    ~CRtRlbTcpUnitReader();
    CRtRlbTcpUnitReader(const CRtRlbTcpUnitReader&) = delete;
    CRtRlbTcpUnitReader& operator=(const CRtRlbTcpUnitReader&) = delete;

    // Keeps a copy of aData's readable bytes.
    RtResult Append(const CRtMessageBlock& aData);
    // aPayload gets a DUPLICATED chain for data units with a payload (the
    // caller destroys it), null otherwise.
    RtResult Next(CRtRlbTcpPdu& aPdu, CRtMessageBlock*& aPayload);
    // Drops a partly received unit and everything buffered (a lost
    // transport: the next one starts at a unit boundary).
    void Reset();

    uint8_t GetBadType() const { return m_nBadType; }
    size_t GetBufferedLength() const;
    void SetMaxPayload(uint32_t aMax) { m_nMaxPayload = aMax; }

private:
    CRtMessageBlock* m_pBuffer = nullptr;
    CRtRlbTcpPdu m_Pending;
    bool m_bHavePending = false;
    bool m_bFailed = false;
    uint8_t m_nBadType = 0;
    uint32_t m_nMaxPayload;
};

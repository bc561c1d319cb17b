// What a reliable TCP connection has to send: data units queued by the
// user, the encoded bytes waiting for the transport, and the 'G' units
// sent but not yet acknowledged, kept for a resend after a reconnection.
// The payload bytes of queued and unacknowledged units count against the
// limit, and so do the encoded bytes; writing goes through the upload
// allowance of a CBandWidthCtrl. One network thread uses it.
#pragma once

#include <cstdint>
#include <deque>

#include "RtBandWidthCtrl.h"
#include "RtConnRlbTcpPdu.h"

class CRtMessageBlock;
class IRtTransport;

class CRtConnRlbTcpSendBuffer {
public:
    static constexpr uint32_t kDefaultLimit = 0x20000;
    // The ack count is 16 bits: more 'G' units in flight could not be told
    // apart by the peer's ack.
    static constexpr uint32_t kMaxKeptUnits = 65535;

    explicit CRtConnRlbTcpSendBuffer(uint32_t aNowMs);
    ~CRtConnRlbTcpSendBuffer();
    CRtConnRlbTcpSendBuffer(const CRtConnRlbTcpSendBuffer&) = delete;
    CRtConnRlbTcpSendBuffer& operator=(const CRtConnRlbTcpSendBuffer&) = delete;

    // At least 1 byte; RT_ERROR_INVALID_ARG otherwise.
    RtResult SetLimit(uint32_t aBytes);
    uint32_t GetLimit() const { return m_nLimit; }
    // No more data is taken: the payload or encoded bytes reached the limit,
    // or as many 'G' units as the ack count can tell wait.
    bool IsFull() const;

    // Takes aPayload (a chain the buffer destroys) as one 'E', 'F' or 'G'.
    void Queue(uint8_t aType, CRtMessageBlock* aPayload);
    bool HasQueued() const { return !m_Queued.empty(); }
    // Encodes the queued units in order, each 'F' and 'G' carrying aAck;
    // true when one did (the peer has the ack then).
    bool EncodeQueued(uint16_t aAck);
    // Appends a unit without payload to the encoded bytes.
    void EncodeControl(const CRtRlbTcpPdu& aPdu);

    // Writes encoded bytes as far as the allowance and the transport take.
    // RT_OK when nothing waits any more; RT_ERROR_PARTIAL_DATA when some
    // wait for the transport's OnSend or, IsHeldBack(), for a later tick;
    // another failure of the transport as it came.
    RtResult Write(IRtTransport& aLower);
    bool IsHeldBack() const { return m_bHeldBack; }
    // The write timer's tick: a new slice or second of allowance.
    void OnTick(uint32_t aNowMs) { m_BandWidth.Tick(aNowMs); }
    CBandWidthCtrl& GetBandWidthCtrl() { return m_BandWidth; }

    // The peer holds aAck of our 'G' units (a 16-bit count): frees them.
    // An ack beyond what was sent frees nothing and answers
    // RT_ERROR_NETWORK_INVALID_PDU.
    RtResult ApplyAck(uint16_t aAck);
    // After a new transport and the peer's ack: frees what the ack covers,
    // drops encoded bytes that never reached the old one and encodes again,
    // ahead of queued data, every 'G' still unacknowledged.
    RtResult Resend(uint16_t aPeerAck, uint16_t aOwnAck);
    // Drops the encoded bytes (the transport they were for is gone).
    void DropEncoded();

    uint32_t GetCurrentSize() const { return m_nCurrentSize; }
    uint32_t GetEncodedSize() const { return m_nEncodedSize; }
    size_t GetKeptCount() const { return m_Kept.size(); }

private:
    struct Unit {
        uint8_t type;
        uint32_t length;
        CRtMessageBlock* payload;
    };
    void AppendEncoded(CRtMessageBlock* aChain);
    void EncodeUnit(const Unit& aUnit, uint16_t aAck, bool aKeepPayload);

    uint32_t m_nLimit = kDefaultLimit;
    uint32_t m_nCurrentSize = 0;
    uint32_t m_nQueuedKept = 0;  // queued 'G' units
    std::deque<Unit> m_Queued;
    std::deque<Unit> m_Kept;
    uint16_t m_nAcked = 0;  // 'G' units the peer has acknowledged, wrapping
    CRtMessageBlock* m_pEncoded = nullptr;
    CRtMessageBlock* m_pEncodedTail = nullptr;
    uint32_t m_nEncodedSize = 0;
    bool m_bHeldBack = false;
    CBandWidthCtrl m_BandWidth;
};

// The reliable TCP connection: its own small protocol over a TCP transport
// (RtConnRlbTcpPdu.h): framing, a handshake that gives a channel and a
// ticket, acknowledged delivery of 'G' units with a resend after a
// reconnection, keep-alive with an idle timeout, and round-trip probes.
// CRtConnRlbTcpClient and CRtConnRlbTcpServer add the two ends of the
// handshake. Everything runs on the bound network thread; option 143 moves
// the connection to another one.
#pragma once

#include <atomic>
#include <cstdint>

#include "RtConnBase.h"
#include "RtConnRlbTcpPdu.h"
#include "RtConnRlbTcpSendBuffer.h"
#include "RtTimerWrapper.h"

class CRtThread;
class CRtThreadInfo;
class IRtObserver;

// Type word bits the connection reads.
#define RT_RLBTCP_TYPE_ACK_MODE 0x100000
#define RT_RLBTCP_TYPE_RECONNECT 0x80000
#define RT_RLBTCP_TYPE_APP_KEEPALIVE 0x40000

class CRtConnRlbTcp : public CRtConnBase, public CRtTimerWrapperSink {
public:
    static constexpr uint32_t kAckDelayMs = 90;
    static constexpr uint32_t kAckBytes = 4096;
    static constexpr uint32_t kWriteTickMs = 30;
    static constexpr uint16_t kMaxKeepAliveInterval = 50;

    // IRtTransport, for the user.
    RtResult SendData(CRtMessageBlock& aData, bool aFlag = true, bool aDestroy = false, long aPriority = 2,
                      bool aPduFlag = true) override;
    RtResult SetOption(unsigned long aCommand, void* aArg) override;
    RtResult GetOption(unsigned long aCommand, void* aArg) override;

    // IRtTransportSink, for the TCP transport.
    void OnReceive(CRtMessageBlock& aData, IRtTransport* aTrptId) override;
    void OnSend(IRtTransport* aTrptId) override;
    void OnDisconnect(RtResult aReason, IRtTransport* aTrptId) override;

    void OnTimer(CRtTimerWrapper* aId) override;

    // Told "rtt" with a pointer to the round-trip time in milliseconds
    // (uint32_t). Not owned.
    void SetObserver(IRtObserver* aObserver) { m_pObserver = aObserver; }

    uint32_t GetType() const { return m_dwType; }
    uint16_t GetChannel() const { return m_wChannel; }
    uint32_t GetTicket() const { return m_dwTicket; }
    CRtThread* GetBindThread() const { return m_bindThread.load(std::memory_order_acquire); }
    const char* GetTypeName() const;

    const CRtConnRlbTcpSendBuffer& GetSendBufferForTest() const { return m_sendBuffer; }
    uint16_t GetKeepAliveIntervalForTest() const { return m_wKeepAliveInterval; }

    // The largest payload a received data unit may announce.
    void SetMaxPayload(uint32_t aBytes) { m_reader.SetMaxPayload(aBytes); }

protected:
    CRtConnRlbTcp(uint32_t aType, CRtThread* aThread);
    ~CRtConnRlbTcp() override;

    // The framing layer's hooks, one per handshake unit and event.
    virtual void OnRecvConnReq(const CRtRlbTcpPdu& aPdu) = 0;
    virtual void OnRecvConnResp(const CRtRlbTcpPdu& aPdu) = 0;
    virtual void OnRecvDisconn() = 0;
    virtual void OnRecvRtt(uint32_t aValue) = 0;
    // The connection failed (an invalid unit, a refused ack, a lost
    // transport): close and tell whoever waits.
    virtual void OnException(RtResult aReason) = 0;
    // The TCP transport is gone.
    virtual void OnLowerDisconnect(RtResult aReason) = 0;
    // The keep-alive tick found the peer silent for the idle timeout.
    virtual void OnIdleTimeout() = 0;
    // Whether a handshake unit is welcome now ('A' on a server, 'B' on a
    // client, each only in its handshake states).
    virtual bool AcceptsHandshakeUnit(uint8_t aType) const = 0;
    // m_timer outside CS_ESTABLISHED (the sides' one-shot limits), and
    // the timers the sides add.
    virtual void OnOtherTimer(CRtTimerWrapper* aId) { (void)aId; }
    // Probes: the client's are below 65536, the server's above.
    virtual bool IsServerSide() const = 0;

    bool IsAckMode() const { return (m_dwType & RT_RLBTCP_TYPE_ACK_MODE) != 0; }
    bool IsAppKeepAlive() const { return (m_dwType & RT_RLBTCP_TYPE_APP_KEEPALIVE) != 0; }
    bool IsReconnectable() const { return (m_dwType & RT_RLBTCP_TYPE_RECONNECT) != 0; }
    bool OnBindThread() const;

    // Takes aTransport as the one to speak over (opened with this as its
    // sink) and starts the write timer.
    RtResult AttachLower(IRtTransport* aTransport);
    // Drops the transport (disconnecting it with aReason unless it is gone
    // already) with what belonged to it: the partly received unit and the
    // unwritten encoded bytes. 'G' units stay for a resend.
    void DetachLower(bool aDisconnect, RtResult aReason);
    // Sends a handshake or disconnect unit at once, ahead of nothing.
    RtResult SendControlNow(const CRtRlbTcpPdu& aPdu);
    // A user's Disconnect: 'C' goes out when established and everything
    // encoded could be written.
    void SayGoodbye();
    // Encodes and writes what may go now.
    void TrySend();
    // A 'D' with the current ack, now or once the encoded bytes are out.
    void SendAck();
    // An 'H', dropped while encoded bytes wait.
    void SendRtt(uint32_t aValue);
    void StartKeepAlive();
    void StopTimers();
    void ScheduleKeepAlive();
    // A resend from the peer's ack after a new transport.
    RtResult ResendFrom(uint16_t aPeerAck);
    // The user's OnSend, when it had been refused and there is room now.
    void NotifySendable();
    // Takes the user's sink (cleared) and tells it aReason.
    void NotifyDisconnect(RtResult aReason);
    // Applies an idle timeout (0 is ignored) as option 145 does.
    RtResult SetIdleTimeout(uint16_t aSeconds);
    RtResult BindThread(CRtTransportBindThreadParam* aParam);
    // Goes on with buffered units (after a move to another thread).
    void ProcessInput();

    friend class CRtEventRlbTcpOnBindThread;

    uint32_t m_dwType;
    std::atomic<CRtThread*> m_bindThread;
    CRtThreadInfo* m_pThreadInfo = nullptr;
    uint16_t m_wChannel = 0;
    uint16_t m_wPeerAck = 0;
    uint32_t m_dwTicket = 0;
    CRtConnRlbTcpSendBuffer m_sendBuffer;
    CRtRlbTcpUnitReader m_reader;
    uint16_t m_wRecvKept = 0;           // 'G' units received, wrapping: the ack we send
    uint32_t m_dwRecvSinceAck = 0;      // payload bytes of 'G' units since our last ack
    uint16_t m_wKeepAliveInterval = 1;  // seconds
    uint16_t m_wIdleTime = 0;           // seconds without data from the peer
    uint16_t m_wIdleTimeout = 15;       // seconds
    bool m_bDataReceived = false;
    bool m_bDataSent = false;
    bool m_bAckDue = false;   // a 'D' waits for the encoded bytes to go out
    bool m_bRefused = false;  // the user was told RT_ERROR_PARTIAL_DATA
    bool m_bRttOff = true;
    CRtTimerWrapper m_timer;  // keep-alive tick; the sides' one-shot limits
    CRtTimerWrapper m_ackTimer;
    CRtTimerWrapper m_writeTimer;
    IRtObserver* m_pObserver = nullptr;
    uint32_t m_dwLastRttLogged = 0;
};

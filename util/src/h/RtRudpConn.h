// The reliable UDP connection: reliable, ordered message connections over
// a UDP transport with their own datagram protocol (RtCnRudp.h): a
// two-byte sync exchange, a reliable request and response, then datagrams
// that pack acknowledgement ranges and message packets with reliability
// classes, 32 ordering channels and splitting above the MTU.
//
// A connection, its UDP transport and its thread's flow control live on one
// network thread; everything runs there. The flow control's 30 ms cycle
// bounds how late anything goes out; besides it a connection sends at once
// when its user hands it data and acknowledges at once what it receives,
// and resends early what acknowledgement gaps or its microsecond round-trip
// measure show lost.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <utility>
#include <vector>

#include "DS_RangeList.h"
#include "RtCnRudp.h"
#include "RtConnAcceptor.h"
#include "RtConnBase.h"
#include "RtInetAddr.h"
#include "RtTimeValue.h"
#include "RtTimerWrapper.h"

class CRtThread;
class CRtRudpFlowControl;
class CRtRudpPacketPool;
class IRtObserver;

#define RT_OPT_RUDP_MTU 114  // uint32_t bytes, clamped to 100 .. 1492

// Type word bit: the acceptor's connections send keep-alives.
#define RT_RUDP_TYPE_SERVER_KEEPALIVE 0x40000

enum ERtRudpState : uint32_t {
    RUDP_STATE_INIT = 0,
    RUDP_STATE_CLOSED = 1,
    RUDP_STATE_SYNC_SENT = 2,
    RUDP_STATE_SYNC_RCVD = 3,
    RUDP_STATE_CONN_REQ_SENT = 4,
    RUDP_STATE_CONNECTED = 5,
};

// Reliable packets awaiting acknowledgement by unwrapped number. Numbers
// are given one after another, so there is a slot per number from the
// oldest awaited one on; acknowledged slots are empty until the front
// moves past them.
class CRtRudpResendQueue {
public:
    bool Empty() const { return m_nCount == 0; }
    size_t Count() const { return m_nCount; }
    // Numbers from the oldest awaited one to the newest sent.
    size_t Span() const { return m_Slots.size(); }
    uint64_t Base() const { return m_llBase; }
    CRtRudpPacket* Front() const { return m_Slots.empty() ? nullptr : m_Slots.front(); }
    // aSeq follows the newest (or starts an empty queue).
    void Push(uint64_t aSeq, CRtRudpPacket* aPacket) {
        if (m_Slots.empty())
            m_llBase = aSeq;
        m_Slots.push_back(aPacket);
        ++m_nCount;
    }
    CRtRudpPacket* At(uint64_t aSeq) const {
        return aSeq >= m_llBase && aSeq - m_llBase < m_Slots.size() ? m_Slots[aSeq - m_llBase] : nullptr;
    }
    // Empties aSeq's slot; the front moves past empty slots.
    void Take(uint64_t aSeq) {
        if (!At(aSeq))
            return;
        m_Slots[aSeq - m_llBase] = nullptr;
        --m_nCount;
        while (!m_Slots.empty() && !m_Slots.front()) {
            m_Slots.pop_front();
            ++m_llBase;
        }
    }
    template <class Fn>
    void ForEach(Fn aFn) const {
        for (CRtRudpPacket* p : m_Slots)
            if (p)
                aFn(p);
    }
    void Clear() {
        m_Slots.clear();
        m_nCount = 0;
    }

private:
    std::deque<CRtRudpPacket*> m_Slots;
    uint64_t m_llBase = 0;
    size_t m_nCount = 0;
};

class CRtRudpConn : public CRtConnBase, public CRtTimerWrapperSink {
public:
    static constexpr uint32_t kDefaultMtu = 1200;
    static constexpr uint32_t kMinMtu = 100;
    static constexpr uint32_t kMaxMtu = 1492;
    static constexpr uint32_t kDefaultMaxSendBuffer = 8192;
    static constexpr uint32_t kMaxSendBufferLimit = 2u << 20;
    // The largest message SendData takes; it also fits the receiver's caps.
    static constexpr uint32_t kMaxMessage = 1u << 20;
    static constexpr uint16_t kMaxSplitCount = 4096;
    static constexpr size_t kMaxSplitIds = 64;
    static constexpr size_t kMaxHeldBytes = 4u << 20;
    static constexpr size_t kMaxOutOfOrder = 8192;
    // Reliable packet numbers from the oldest awaited to the newest sent at
    // most; the rest waits in the send queues. Below the receiver's
    // out-of-order cap and far below half the 16-bit number space, so that
    // every number in an acknowledgement maps to one packet.
    static constexpr size_t kMaxInFlight = 8000;
    // Congestion window, in reliable packets on the way: it opens with
    // each acknowledgement and halves when more than a quarter of what a
    // round sent were resends; random loss below that leaves it alone. Its
    // floor covers a 64 KiB send buffer at the default MTU: a busy host
    // that delays acknowledgements past the early resends must not throttle
    // a path that drops nothing.
    static constexpr uint32_t kInitialCwnd = 128;
    static constexpr uint32_t kMinCwnd = 64;
    static constexpr uint32_t kHeavyLossPercent = 25;
    static constexpr int64_t kMinRoundUs = 2000;
    // Split messages with unacknowledged parts: the receiver holds at most
    // kMaxSplitIds incomplete ones, and at a small MTU loss leaves nearly
    // every one incomplete for a while.
    static constexpr size_t kMaxSplitsInFlight = kMaxSplitIds / 2;
    static constexpr int kResendCount = 5;
    // The earliest an unacknowledged packet is resent by the measured path.
    static constexpr int64_t kMinEarlyResendUs = 1000;
    static constexpr int64_t kTimeLimitUs = 15000000;
    // A closing connection whose shutdown is all that is left waits this
    // long for its acknowledgement: the peer ends on the shutdown and may
    // not be there to acknowledge a resend of it.
    static constexpr int64_t kShutdownLingerUs = 3000000;
    static constexpr int64_t kLongWaitUs = 4500000;
    static constexpr int64_t kMaxLongResendUs = 10000000;
    static constexpr uint32_t kConnTimerSeconds = 5;

    // IRtTransport: user data, reliable ordered on channel 0.
    RtResult SendData(CRtMessageBlock& aData, bool aFlag = true, bool aDestroy = false, long aPriority = 2,
                      bool aPduFlag = true) override;
    // a2 reliability (0..4; others are 4), a3 channel (32 and above: 0),
    // a5 hands the chain over, a6 priority (0 highest; above 3: 2).
    RtResult SendDataEx(CRtMessageBlock& aData, uint32_t a2, uint32_t a3, uint32_t a4, uint32_t a5, uint32_t a6,
                        uint32_t a7) override;
    RtResult SetOption(unsigned long aCommand, void* aArg) override;
    RtResult GetOption(unsigned long aCommand, void* aArg) override;
    RtResult Disconnect(RtResult aReason) override;

    // IRtTransportSink, for the UDP transport.
    void OnReceive(CRtMessageBlock& aData, IRtTransport* aTrptId) override;
    // The socket has room again.
    void OnSend(IRtTransport*) override {
        if (!m_bFinished)
            ScheduleFlush();
    }
    void OnDisconnect(RtResult aReason, IRtTransport* aTrptId) override;

    void OnTimer(CRtTimerWrapper* aId) override;

    // From flow control, with the time in microseconds.
    void RunSendCycle(int64_t aNowUs);
    // A flush this connection posted to its thread.
    void RunPostedFlush();
    // Cleaned up: flow control lets it go.
    bool IsFinished() const { return m_bFinished; }

    uint32_t GetState() const { return m_nState.load(std::memory_order_acquire); }
    int64_t GetRtt() const { return m_llRtt; }
    int64_t GetResendInterval() const { return m_llResendInterval; }
    uint32_t GetMtu() const { return m_dwMtu; }
    size_t GetInFlightForTest() const { return m_ResendQueue.Count(); }

    // Tests: every period of the protocol but the 30 ms cycle is divided
    // by aDivisor (1 restores them).
    static void SetTimeScaleForTest(uint32_t aDivisor) { s_nTimeDivisor = aDivisor ? aDivisor : 1; }
    // Tests: the protocol's clock in microseconds stands at aUs (0: the
    // monotonic clock again).
    static void SetClockForTest(int64_t aUs) { s_llClockForTest = aUs; }
    static int64_t NowUs();
    // Connections alive in the process (for leak checks).
    static long GetLiveCount() { return s_nLive.load(); }

protected:
    CRtRudpConn(uint32_t aType, CRtThread* aThread, bool aKeepAlive);
    ~CRtRudpConn() override;

    static int64_t Scaled(int64_t aUs) { return aUs / s_nTimeDivisor.load(); }
    static CRtTimeValue ScaledTime(int64_t aUs);

    void SetState(uint32_t aState);
    // The two-byte datagrams and the handshake: the sides' part.
    virtual void OnRawReceive(const uint8_t* aData, size_t aLen) = 0;
    virtual void HandleConnReqPdu(const CRtRudpPacket& aPacket) = 0;
    virtual void HandleConnRespPdu(const CRtRudpPacket& aPacket) = 0;
    // The connection ended with aReason: who is told (the sides differ
    // during the handshake).
    virtual void ReportEnd(RtResult aReason) = 0;
    virtual void OnConnTimerExtra() {}
    // Server: the peer showed it has the connection response.
    virtual void OnHandshakeConfirmed() {}
    virtual const char* Name() const = 0;

    // Takes aTransport (opened with this as its sink).
    RtResult AttachLower(IRtTransport* aTransport);
    RtResult SendRaw(uint8_t aFirst, uint8_t aSecond);
    // Queues one packet; the data is copied.
    RtResult QueueMessage(uint8_t aPduType, const char* aData, size_t aLen, uint8_t aReliability, uint8_t aPriority,
                          uint8_t aChannel);
    RtResult QueueChain(uint8_t aPduType, CRtMessageBlock& aData, uint8_t aReliability, uint8_t aPriority,
                        uint8_t aChannel);
    // A closing connection's next step once all it sent is acknowledged:
    // the shutdown, then the end. True when it has ended.
    bool CloseStep(int64_t aNowUs);
    // Builds and sends datagrams with what is due now.
    RtResult FlushSend(int64_t aNowUs);
    void Sent(CRtRudpPacket* aPacket, bool aResend, int64_t aNowUs);
    void Unsent(const std::vector<std::pair<CRtRudpPacket*, bool>>& aWritten, int64_t aNowUs);
    // Congestion window: halved after a round of heavy loss, opened by acknowledgements.
    void EndRound(int64_t aNowUs);
    void OpenWindow(uint32_t aAcked, size_t aPipeBefore);
    // The same once the thread's current work is done.
    void ScheduleFlush();
    void RegisterFlowControl();
    void StartConnTimer();
    // Sets the estimate in milliseconds (clamped) and the resend interval.
    void SetRtt(int64_t aRttMs);
    void OnReceive_i(const uint8_t* aData, size_t aLen);
    // Ends the connection: everything goes, aReason is reported unless
    // aSilent.
    void Fail(RtResult aReason, bool aSilent = false);
    // Frees what the connection holds and leaves flow control.
    void Cleanup();
    bool HasUnacked() const;
    uint64_t GetBufferedForLog() const { return m_llBuffered - m_llAcked; }

    uint32_t m_dwType;
    CRtThread* m_pThread;
    bool m_bKeepAlive;
    std::atomic<uint32_t> m_nState{RUDP_STATE_INIT};
    bool m_bFinished = false;
    bool m_bReported = false;
    // Closing: the shutdown waits until everything before it is acknowledged.
    bool m_bShutdownDue = false;
    int64_t m_llShutdownSentUs = 0;  // when the shutdown was queued (0: not yet)
    int m_nSendSyncCount = 0;
    // Bytes from and to the peer before the handshake was confirmed.
    uint64_t m_llBytesIn = 0;
    uint64_t m_llBytesOut = 0;
    bool m_bConfirmed = true;
    uint16_t m_wRespPacketNo = 0;
    bool m_bRespSent = false;
    CRtTimerWrapper m_ConnTimer;
    // Wakes for a resend due before the next cycle.
    CRtTimerWrapper m_ResendTimer;

private:
    struct SplitAssembly {
        uint16_t count = 0;
        uint16_t received = 0;
        size_t bytes = 0;
        uint64_t order = 0;
        std::vector<CRtRudpPacket*> parts;
    };
    struct Channel {
        uint16_t sendOrdered = 0;
        uint16_t sendSequenced = 0;
        uint16_t recvOrdered = 0;
        uint16_t recvSequenced = 0;
        std::map<uint16_t, CRtRudpPacket*> outOfOrder;
        size_t outOfOrderBytes = 0;
        uint16_t loggedWait = 0;  // the gap last logged
    };

    CRtRudpPacket* NewPacket();
    void FreePacket(CRtRudpPacket* aPacket);
    // Packet handling after the reliable-number check; aPacket is taken.
    void HandlePacket(CRtRudpPacket* aPacket);
    void HandleOrdered(CRtRudpPacket* aPacket);
    // Delivers by pduType and frees it. False when the connection ended.
    bool Deliver(CRtRudpPacket* aPacket);
    void HandleShutdownPdu();
    CRtRudpPacket* AddSplit(CRtRudpPacket* aPacket);
    void ProcessAcks(const DS_RangeList<uint16_t>& aAcks, int64_t aNowUs);
    int64_t ResendDelay(const CRtRudpPacket& aPacket) const;
    void OnConnTimer();
    uint64_t Unwrap(uint16_t aPacketNo) const;

    CRtRudpFlowControl* m_pFlowControl = nullptr;
    CRtRudpPacketPool* m_pPool = nullptr;
    bool m_bRegistered = false;
    uint32_t m_dwMtu = kDefaultMtu;
    uint32_t m_dwMaxSendBuffer = kDefaultMaxSendBuffer;
    IRtObserver* m_pObserver = nullptr;
    int64_t m_llTimeLimit = kTimeLimitUs;
    int64_t m_llRtt = 100;
    int64_t m_llResendInterval = 0;
    // Microsecond round-trip measure for early resends (0: none yet).
    int64_t m_llSrttUs = 0;
    int64_t m_llRttVarUs = 0;

    // Sending.
    std::deque<CRtRudpPacket*> m_SendQueue[4];
    CRtRudpResendQueue m_ResendQueue;
    uint64_t m_llNextSeq = 0;
    uint16_t m_wNextSplitId = 0;
    uint64_t m_llBuffered = 0;
    uint64_t m_llAcked = 0;
    bool m_bSendBufFull = false;
    int64_t m_llEarliestResend = 0;
    int64_t m_llLastUpdateTime = 0;
    bool m_bSentSinceTick = false;
    bool m_bFlushing = false;
    bool m_bFlushPosted = false;
    // Congestion control (see kInitialCwnd).
    uint32_t m_nCwnd = kInitialCwnd;
    uint32_t m_nCwndGrowth = 0;  // acknowledgements towards the next packet above the threshold
    uint32_t m_nSsthresh = kMaxInFlight;
    size_t m_nPipe = 0;                // packets with inPipe set
    int64_t m_llPipeWake = INT64_MAX;  // the earliest a packet on the way is deemed lost
    int64_t m_llRoundStart = 0;
    uint32_t m_nRoundSends = 0, m_nRoundResends = 0;
    std::map<uint16_t, uint32_t> m_SplitsInFlight;  // split id -> its parts sent and unacknowledged

    // Receiving.
    uint16_t m_wRecvExpected = 0;
    std::vector<uint8_t> m_RecvWindow;  // one bit per packet number ahead of the expected one
    DS_RangeList<uint16_t> m_AcksToSend;
    Channel m_Channels[CRtRudpPacket::kChannels];
    std::map<uint16_t, SplitAssembly> m_Splits;
    size_t m_nHeldBytes = 0;
    uint64_t m_llSplitOrder = 0;
    int64_t m_llLastRecvTime = 0;

    // Quality per timer period.
    uint32_t m_nRecvDropPackets = 0;
    uint32_t m_nSendDropPackets = 0;
    uint32_t m_nRecvDropTick = 0;
    uint32_t m_nSendDropTick = 0;
    uint32_t m_nResendInc = 1;
    bool m_bPoorNetwork = false;

    static std::atomic<uint32_t> s_nTimeDivisor;
    static std::atomic<long> s_nLive;
    static std::atomic<int64_t> s_llClockForTest;
};

class CRtRudpConnClient : public CRtRudpConn {
public:
    CRtRudpConnClient(uint32_t aType, IRtConnector* aConnector, CRtThread* aThread);

    // aRequester hears the outcome once: OnConnectIndication(RT_OK, this,
    // aRequestId) after the handshake, or the failure with no transport.
    RtResult Connect(IRtAcceptorConnectorSink* aRequester, IRtAcceptorConnectorId* aRequestId, const CRtInetAddr& aAddr,
                     const CRtTimeValue* aTimeout = nullptr, const CRtInetAddr* aAddrLocal = nullptr);
    // Before the handshake ends: nothing more is told; the attempt stops.
    void CancelConnect(RtResult aReason);
    // Any state but connected or closed: the attempt stops.
    void CancelHandShake();

    // From the base connector.
    void OnConnectIndication(RtResult aReason, IRtTransport* aTrpt, IRtAcceptorConnectorId* aRequestId) override;
    void OnTimer(CRtTimerWrapper* aId) override;

protected:
    ~CRtRudpConnClient() override;
    void OnRawReceive(const uint8_t* aData, size_t aLen) override;
    void HandleConnReqPdu(const CRtRudpPacket& aPacket) override;
    void HandleConnRespPdu(const CRtRudpPacket& aPacket) override;
    void ReportEnd(RtResult aReason) override;
    void OnConnTimerExtra() override;
    const char* Name() const override { return "CRtRudpConnClient"; }

private:
    CRtAutoPtr<IRtConnector> m_pConnector;
    IRtAcceptorConnectorSink* m_pRequester = nullptr;
    IRtAcceptorConnectorId* m_pRequestId = nullptr;
    CRtTimerWrapper m_SyncTimer;
    CRtTimerWrapper m_LimitTimer;
    int64_t m_llLastLoggedRtt = 0;
};

class CRtRudpConnServer : public CRtRudpConn {
public:
    typedef ServerListT<CRtRudpConnServer> ServerList;

    CRtRudpConnServer(IRtConnServerHostT<CRtRudpConnServer>* aHost, ServerList* aServerList, uint32_t aType,
                      CRtThread* aThread);

    // From the acceptor: the UDP transport of a new peer.
    void OnConnectIndication(RtResult aReason, IRtTransport* aTrpt, IRtAcceptorConnectorId* aRequestId) override;
    void DetachHost() { m_pHost = nullptr; }
    void SetHandshakeLimit(uint16_t) {}

protected:
    ~CRtRudpConnServer() override;
    void OnRawReceive(const uint8_t* aData, size_t aLen) override;
    void HandleConnReqPdu(const CRtRudpPacket& aPacket) override;
    void HandleConnRespPdu(const CRtRudpPacket& aPacket) override;
    void ReportEnd(RtResult aReason) override;
    void OnHandshakeConfirmed() override;
    const char* Name() const override { return "CRtRudpConnServer"; }

private:
    IRtConnServerHostT<CRtRudpConnServer>* m_pHost;
    CRtAutoPtr<ServerList> m_pServerList;
    bool m_bHandedOver = false;
};

// Pooled packets of one network thread ("RudpPacket").
class CRtRudpPacketPool {
public:
    static constexpr size_t kKept = 64;
    explicit CRtRudpPacketPool(size_t aFill = kKept);
    ~CRtRudpPacketPool();
    CRtRudpPacket* Get();
    void Put(CRtRudpPacket* aPacket);
    // Packets handed out and not given back.
    long GetOutstanding() const { return m_nOut.load(); }
    size_t GetKept() const { return m_Free.size(); }
    const char* GetName() const { return "RudpPacket"; }

private:
    std::vector<CRtRudpPacket*> m_Free;
    std::atomic<long> m_nOut{0};
};

// Runs the send cycle of every connection of its network thread every
// 30 ms, round robin, and lets closed ones go.
class CRtRudpFlowControl : public CRtTimerWrapperSink {
public:
    static constexpr int64_t kCycleUs = 30000;
    CRtRudpFlowControl();
    ~CRtRudpFlowControl() override;

    void InsertConn(CRtRudpConn* aConn);
    void RemoveConn(CRtRudpConn* aConn);
    size_t GetCount() const { return m_nCount.load(); }
    void OnTimer(CRtTimerWrapper* aId) override;

    // The calling thread's: its network thread record's, or one of the
    // thread's own for any other framework thread.
    static CRtRudpFlowControl* ForCurrentThread();
    static CRtRudpPacketPool* PoolForCurrentThread();

private:
    std::vector<CRtRudpConn*> m_Conns;
    size_t m_nNext = 0;
    std::atomic<size_t> m_nCount{0};
    CRtTimerWrapper m_Timer;
};

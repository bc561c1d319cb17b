#include "RtRudpConn.h"

#include <algorithm>
#include <cstring>

#include "RtDebug.h"
#include "RtMessageBlock.h"
#include "RtNetworkThreadManager.h"
#include "RtObserver.h"
#include "RtOs.h"
#include "RtThread.h"
#include "RtThreadManager.h"

std::atomic<uint32_t> CRtRudpConn::s_nTimeDivisor{1};
std::atomic<long> CRtRudpConn::s_nLive{0};
std::atomic<int64_t> CRtRudpConn::s_llClockForTest{0};

namespace {
// What a burst of sends or received datagrams left due goes out in one
// pass, after the burst: many messages and acknowledgements per datagram.
class CRtRudpFlushEvent : public IRtEvent {
public:
    explicit CRtRudpFlushEvent(CRtRudpConn* aConn) : m_pConn(aConn) {}
    RtResult OnEventFire() override {
        m_pConn->RunPostedFlush();
        return RT_OK;
    }

private:
    CRtAutoPtr<CRtRudpConn> m_pConn;
};

int16_t SerialDiff(uint16_t aA, uint16_t aB) { return static_cast<int16_t>(static_cast<uint16_t>(aA - aB)); }
}  // namespace

// ---- Pool and flow control ----------------------------------------------------

CRtRudpPacketPool::CRtRudpPacketPool(size_t aFill) {
    m_Free.reserve(kKept);
    for (size_t i = 0; i < aFill; ++i)
        m_Free.push_back(new CRtRudpPacket);
}

CRtRudpPacketPool::~CRtRudpPacketPool() {
    for (CRtRudpPacket* p : m_Free)
        delete p;
}

CRtRudpPacket* CRtRudpPacketPool::Get() {
    ++m_nOut;
    if (m_Free.empty())
        return new CRtRudpPacket;
    CRtRudpPacket* p = m_Free.back();
    m_Free.pop_back();
    return p;
}

void CRtRudpPacketPool::Put(CRtRudpPacket* aPacket) {
    --m_nOut;
    // A reassembled message's buffer is not kept.
    if (m_Free.size() >= kKept || aPacket->data.capacity() > 2048) {
        delete aPacket;
        return;
    }
    aPacket->Reset();
    m_Free.push_back(aPacket);
}

CRtRudpFlowControl::CRtRudpFlowControl() { m_Conns.reserve(1024); }

CRtRudpFlowControl::~CRtRudpFlowControl() {
    for (CRtRudpConn* c : m_Conns)
        if (c)
            c->ReleaseReference();
}

void CRtRudpFlowControl::InsertConn(CRtRudpConn* aConn) {
    for (CRtRudpConn* c : m_Conns) {
        if (c == aConn) {
            RT_WARNING_TRACE_THIS("CRtRudpFlowControl::InsertConn, duplicated connection! conn1="
                                  << static_cast<const void*>(c) << " conn2=" << static_cast<const void*>(aConn));
            return;
        }
    }
    aConn->AddReference();
    m_Conns.push_back(aConn);
    m_nCount = m_Conns.size();
    if (!m_Timer.IsScheduled())
        m_Timer.Schedule(this, CRtTimeValue(0, static_cast<int32_t>(kCycleUs)));
}

void CRtRudpFlowControl::RemoveConn(CRtRudpConn* aConn) {
    for (size_t i = 0; i < m_Conns.size(); ++i) {
        if (m_Conns[i] == aConn) {
            // Slots empty now are compacted by the timer: the cycle may be
            // walking the array.
            m_Conns[i] = nullptr;
            aConn->ReleaseReference();
            return;
        }
    }
}

void CRtRudpFlowControl::OnTimer(CRtTimerWrapper*) {
    const int64_t now = CRtRudpConn::NowUs();
    const size_t n = m_Conns.size();
    for (size_t k = 0; k < n && k < m_Conns.size(); ++k) {
        size_t i = (m_nNext + k) % m_Conns.size();
        CRtRudpConn* c = m_Conns[i];
        if (!c)
            continue;
        if (c->IsFinished()) {
            m_Conns[i] = nullptr;
            c->ReleaseReference();
            continue;
        }
        CRtAutoPtr<CRtRudpConn> hold(c);
        c->RunSendCycle(now);
    }
    m_Conns.erase(std::remove(m_Conns.begin(), m_Conns.end(), nullptr), m_Conns.end());
    m_nNext = m_Conns.empty() ? 0 : (m_nNext + 1) % m_Conns.size();
    m_nCount = m_Conns.size();
    if (m_Conns.empty())
        m_Timer.Cancel();
}

CRtRudpFlowControl* CRtRudpFlowControl::ForCurrentThread() {
    CRtThreadInfo* info = CRtNetworkThreadManager::Instance()->GetThreadInfo(CRtThreadManager::GetThreadSelfId());
    if (info)
        return info->GetRudpFlowControl();
    thread_local CRtRudpFlowControl own;
    return &own;
}

CRtRudpPacketPool* CRtRudpFlowControl::PoolForCurrentThread() {
    CRtThreadInfo* info = CRtNetworkThreadManager::Instance()->GetThreadInfo(CRtThreadManager::GetThreadSelfId());
    if (info)
        return info->GetRudpPool();
    thread_local CRtRudpPacketPool own(0);
    return &own;
}

// ---- The connection -----------------------------------------------------------

CRtRudpConn::CRtRudpConn(uint32_t aType, CRtThread* aThread, bool aKeepAlive)
    : m_dwType(aType), m_pThread(aThread), m_bKeepAlive(aKeepAlive) {
    ++s_nLive;
    m_pFlowControl = CRtRudpFlowControl::ForCurrentThread();
    m_pPool = CRtRudpFlowControl::PoolForCurrentThread();
    m_llTimeLimit = Scaled(kTimeLimitUs);
    m_llLastRecvTime = NowUs();
    m_llLastUpdateTime = m_llLastRecvTime;
    SetRtt(100);
}

CRtRudpConn::~CRtRudpConn() {
    // Normally Cleanup ran on the network thread; whatever is left goes
    // without the pool, which belongs to that thread.
    auto drop = [](CRtRudpPacket* p) { delete p; };
    for (auto& q : m_SendQueue)
        std::for_each(q.begin(), q.end(), drop);
    m_ResendQueue.ForEach([](CRtRudpPacket* p) { delete p; });
    for (auto& ch : m_Channels)
        for (auto& e : ch.outOfOrder)
            delete e.second;
    for (auto& s : m_Splits)
        std::for_each(s.second.parts.begin(), s.second.parts.end(), drop);
    --s_nLive;
}

int64_t CRtRudpConn::NowUs() {
    const int64_t fake = s_llClockForTest.load();
    return fake ? fake : static_cast<int64_t>(rtos::MonotonicUs());
}

CRtTimeValue CRtRudpConn::ScaledTime(int64_t aUs) {
    int64_t us = Scaled(aUs);
    return CRtTimeValue(us / 1000000, static_cast<int32_t>(us % 1000000));
}

void CRtRudpConn::SetState(uint32_t aState) {
    uint32_t last = m_nState.exchange(aState, std::memory_order_acq_rel);
    RT_DEBUG_TRACE_THIS(Name() << "::SetState, state=" << aState << " last=" << last);
    SetStatus(aState == RUDP_STATE_CONNECTED ? CS_ESTABLISHED
                                             : (aState == RUDP_STATE_CLOSED ? CS_UNCONNECTED : CS_CONNECTED));
}

CRtRudpPacket* CRtRudpConn::NewPacket() { return m_pPool->Get(); }

void CRtRudpConn::FreePacket(CRtRudpPacket* aPacket) { m_pPool->Put(aPacket); }

void CRtRudpConn::SetRtt(int64_t aRttMs) {
    if (aRttMs < 30)
        aRttMs = 30;
    if (aRttMs > 1500)
        aRttMs = 1500;
    m_llRtt = aRttMs;
    if (aRttMs < 80)
        m_llResendInterval = aRttMs * 3000;
    else if (aRttMs < 120)
        m_llResendInterval = 240000;
    else
        m_llResendInterval = aRttMs * 2000;
}

RtResult CRtRudpConn::AttachLower(IRtTransport* aTransport) {
    RtResult rv = aTransport->OpenWithSink(this);
    if (RT_FAILED(rv))
        return rv;
    m_lowerTransport = aTransport;
    return RT_OK;
}

RtResult CRtRudpConn::SendRaw(uint8_t aFirst, uint8_t aSecond) {
    if (!m_lowerTransport)
        return RT_ERROR_NOT_AVAILABLE;
    char bytes[2] = {static_cast<char>(aFirst), static_cast<char>(aSecond)};
    CRtMessageBlock block(2, bytes, CRtMessageBlock::DONT_DELETE, 2);
    if (!m_bConfirmed) {
        if (m_llBytesOut + 2 > m_llBytesIn)
            return RT_OK;  // not a byte more than the unconfirmed peer sent
        m_llBytesOut += 2;
    }
    return m_lowerTransport->SendData(block);
}

void CRtRudpConn::StartConnTimer() {
    if (!m_ConnTimer.IsScheduled())
        m_ConnTimer.Schedule(this, ScaledTime(static_cast<int64_t>(kConnTimerSeconds) * 1000000));
}

void CRtRudpConn::RegisterFlowControl() {
    if (m_bRegistered || !m_pFlowControl)
        return;
    m_bRegistered = true;
    m_pFlowControl->InsertConn(this);
}

// ---- User side ----------------------------------------------------------------

RtResult CRtRudpConn::SendData(CRtMessageBlock& aData, bool aFlag, bool aDestroy, long aPriority, bool) {
    return SendDataEx(aData, RUDP_RELIABLE_ORDERED, 0, aFlag, aDestroy, static_cast<uint32_t>(aPriority), 0);
}

RtResult CRtRudpConn::SendDataEx(CRtMessageBlock& aData, uint32_t a2, uint32_t a3, uint32_t, uint32_t a5, uint32_t a6,
                                 uint32_t) {
    const uint8_t reliability = static_cast<uint8_t>(a2 > RUDP_RELIABLE_ORDERED ? 4u : a2);
    const uint8_t channel = a3 >= CRtRudpPacket::kChannels ? 0 : static_cast<uint8_t>(a3);
    const uint8_t priority = a6 > 3 ? 2 : static_cast<uint8_t>(a6);
    const unsigned long length = aData.GetChainedLength();
    if (length == 0) {
        RT_WARNING_TRACE_THIS("CRtRudpConn::SendBuffered, dataLen should not be 0!");
        return RT_ERROR_INVALID_ARG;
    }
    if (length > kMaxMessage) {
        RT_WARNING_TRACE_THIS("CRtRudpConn::SendBuffered, message too large! dataLen=" << length
                                                                                       << " max=" << kMaxMessage);
        return RT_ERROR_INVALID_ARG;
    }
    const uint32_t state = GetState();
    if (state == RUDP_STATE_CLOSED || m_bFinished)
        return RT_ERROR_NOT_AVAILABLE;
    if (m_bSendBufFull || m_llBuffered - m_llAcked >= m_dwMaxSendBuffer) {
        m_bSendBufFull = true;
        return RT_ERROR_PARTIAL_DATA;
    }
    RtResult rv = QueueChain(RUDP_PDU_DATA, aData, reliability, priority, channel);
    if (RT_FAILED(rv))
        return rv;
    if (a5)
        aData.DestroyChained();
    if (state == RUDP_STATE_CONNECTED)
        ScheduleFlush();
    return RT_OK;
}

void CRtRudpConn::ScheduleFlush() {
    if (m_bFlushPosted)
        return;
    IRtEventQueue* queue = m_pThread ? m_pThread->GetEventQueue() : nullptr;
    if (!queue) {
        FlushSend(NowUs());
        return;
    }
    m_bFlushPosted = true;
    if (RT_FAILED(queue->PostEvent(new CRtRudpFlushEvent(this)))) {
        m_bFlushPosted = false;
        FlushSend(NowUs());
    }
}

void CRtRudpConn::RunPostedFlush() {
    m_bFlushPosted = false;
    if (!m_bFinished)
        FlushSend(NowUs());
}

RtResult CRtRudpConn::QueueChain(uint8_t aPduType, CRtMessageBlock& aData, uint8_t aReliability, uint8_t aPriority,
                                 uint8_t aChannel) {
    if (!aData.GetNext())
        return QueueMessage(aPduType, aData.GetTopLevelReadPtr(), aData.GetTopLevelLength(), aReliability, aPriority,
                            aChannel);
    CRtString flat = aData.FlattenChained();
    return QueueMessage(aPduType, flat.data(), flat.size(), aReliability, aPriority, aChannel);
}

RtResult CRtRudpConn::QueueMessage(uint8_t aPduType, const char* aData, size_t aLen, uint8_t aReliability,
                                   uint8_t aPriority, uint8_t aChannel) {
    const bool ordered = aReliability == 1 || aReliability == 3 || aReliability == 4;
    Channel& ch = m_Channels[aChannel];
    uint16_t orderingID = 0;
    if (ordered)
        orderingID = aReliability == RUDP_RELIABLE_ORDERED ? ch.sendOrdered++ : ch.sendSequenced++;
    // The room a datagram leaves for one packet beside a few ack ranges.
    const int64_t room = static_cast<int64_t>(m_dwMtu) * 8 - 224 - 1 - 300;
    CRtRudpPacket probe;
    probe.reliability = aReliability;
    const int64_t whole = room - static_cast<int64_t>(CRtRudpPacket::SplitHeaderBits(aReliability));
    const size_t fragment = static_cast<size_t>(whole / 8);
    const bool split = static_cast<int64_t>(aLen) * 8 + 8 + 3 + 1 + 21 + 16 + 17 + 7 > room;
    const size_t count = split ? (aLen + fragment - 1) / fragment : 1;
    if (count > kMaxSplitCount)
        return RT_ERROR_INVALID_ARG;
    const uint16_t splitId = split ? m_wNextSplitId++ : 0;
    for (size_t i = 0; i < count; ++i) {
        CRtRudpPacket* p = NewPacket();
        p->pduType = aPduType;
        p->reliability = aReliability;
        p->channelID = ordered ? aChannel : 0;
        p->orderingID = orderingID;
        p->priority = aPriority;
        p->isSplitPacket = split;
        if (split) {
            p->splitPacketID = splitId;
            p->splitPacketIndex = static_cast<uint16_t>(i);
            p->splitPacketCount = static_cast<uint16_t>(count);
            const size_t off = i * fragment;
            p->data.assign(aData + off, std::min(fragment, aLen - off));
        } else if (aLen) {
            p->data.assign(aData, aLen);
        }
        if (aPduType == RUDP_PDU_DATA) {
            p->userBytes = static_cast<uint32_t>(p->data.size());
            m_llBuffered += p->userBytes;
        }
        m_SendQueue[aPriority].push_back(p);
    }
    return RT_OK;
}

RtResult CRtRudpConn::SetOption(unsigned long aCommand, void* aArg) {
    switch (aCommand) {
    case RT_OPT_RUDP_MTU: {
        RT_ASSERTE_RETURN(aArg, RT_ERROR_INVALID_ARG);
        uint32_t mtu = *static_cast<uint32_t*>(aArg);
        uint32_t clamped = std::min(std::max(mtu, kMinMtu), kMaxMtu);
        RT_INFO_TRACE_THIS("CRtRudpConn::SetOption, mtuSize = " << mtu << " used=" << clamped);
        m_dwMtu = clamped;
        return RT_OK;
    }
    case RT_OPT_RUDP_OBSERVER:
        m_pObserver = static_cast<IRtObserver*>(aArg);
        RT_INFO_TRACE_THIS("CRtRudpConn::SetOption, observer = " << aArg);
        return RT_OK;
    case RT_OPT_CONN_MAX_SEND_BUF: {
        RT_ASSERTE_RETURN(aArg, RT_ERROR_INVALID_ARG);
        uint32_t size = *static_cast<uint32_t*>(aArg);
        RT_INFO_TRACE_THIS("CRtRudpConn::SetOption, maxSendBufferSize = " << size);
        if (size < 1)
            return RT_ERROR_INVALID_ARG;
        m_dwMaxSendBuffer = std::min(size, kMaxSendBufferLimit);
        return RT_OK;
    }
    default:
        return m_lowerTransport ? m_lowerTransport->SetOption(aCommand, aArg) : RT_ERROR_NOT_AVAILABLE;
    }
}

RtResult CRtRudpConn::GetOption(unsigned long aCommand, void* aArg) {
    RT_ASSERTE_RETURN(aArg, RT_ERROR_INVALID_ARG);
    switch (aCommand) {
    case RT_OPT_RUDP_MTU:
        *static_cast<uint32_t*>(aArg) = m_dwMtu;
        return RT_OK;
    case RT_OPT_RUDP_OBSERVER:
        *static_cast<IRtObserver**>(aArg) = m_pObserver;
        return RT_OK;
    case RT_OPT_CONN_MAX_SEND_BUF:
        *static_cast<uint32_t*>(aArg) = m_dwMaxSendBuffer;
        return RT_OK;
    default:
        return m_lowerTransport ? m_lowerTransport->GetOption(aCommand, aArg) : RT_ERROR_NOT_AVAILABLE;
    }
}

RtResult CRtRudpConn::Disconnect(RtResult aReason) {
    CRtAutoPtr<CRtRudpConn> hold(this);
    // The user may free its sink and observer now: a closing connection
    // lives on to deliver, and must not reach them.
    m_sink = nullptr;
    m_pObserver = nullptr;
    m_bReported = true;  // the user asked: nothing is told
    // Closing already: a second Disconnect (a thread proxy sends one as
    // it goes) must not cut off what is still owed to the peer.
    if (m_bFinished || GetState() == RUDP_STATE_CLOSED)
        return RT_OK;
    if (GetState() != RUDP_STATE_CONNECTED) {
        Fail(aReason, true);
        return RT_OK;
    }
    // What the user handed over still goes, then the shutdown; the
    // connection lives on until all is acknowledged.
    SetState(RUDP_STATE_CLOSED);
    m_bShutdownDue = true;
    FlushSend(NowUs());
    CloseStep(NowUs());
    return RT_OK;
}

bool CRtRudpConn::CloseStep(int64_t aNowUs) {
    if (m_bFinished)  // a send before may have ended it
        return true;
    if (HasUnacked())
        return false;
    if (!m_bShutdownDue) {
        Cleanup();
        return true;
    }
    // Sent only now: ordered on one channel only, it would overtake data of
    // the others still being resent, and the peer ends on it.
    m_bShutdownDue = false;
    m_llShutdownSentUs = aNowUs;
    QueueMessage(RUDP_PDU_SHUTDOWN, nullptr, 0, RUDP_RELIABLE_ORDERED, 3, 0);
    FlushSend(aNowUs);
    return m_bFinished;
}

void CRtRudpConn::OnDisconnect(RtResult aReason, IRtTransport* aTrptId) {
    if (aTrptId != m_lowerTransport.Get())
        return;
    m_lowerTransport = nullptr;
    Fail(aReason);
}

bool CRtRudpConn::HasUnacked() const {
    if (!m_ResendQueue.Empty())
        return true;
    for (const auto& q : m_SendQueue)
        for (const CRtRudpPacket* p : q)
            if (p->IsReliable())
                return true;
    return false;
}

void CRtRudpConn::Fail(RtResult aReason, bool aSilent) {
    CRtAutoPtr<CRtRudpConn> hold(this);
    if (m_bFinished)
        return;
    Cleanup();
    if (aSilent || m_bReported)
        return;
    m_bReported = true;
    ReportEnd(aReason);
}

void CRtRudpConn::Cleanup() {
    CRtAutoPtr<CRtRudpConn> hold(this);
    if (m_bFinished)
        return;
    m_bFinished = true;
    SetState(RUDP_STATE_CLOSED);
    m_ConnTimer.Cancel();
    m_ResendTimer.Cancel();
    for (auto& q : m_SendQueue) {
        for (CRtRudpPacket* p : q)
            FreePacket(p);
        q.clear();
    }
    m_ResendQueue.ForEach([this](CRtRudpPacket* p) { FreePacket(p); });
    m_ResendQueue.Clear();
    m_nPipe = 0;
    m_SplitsInFlight.clear();
    for (auto& ch : m_Channels) {
        for (auto& e : ch.outOfOrder)
            FreePacket(e.second);
        ch.outOfOrder.clear();
        ch.outOfOrderBytes = 0;
    }
    for (auto& s : m_Splits)
        for (CRtRudpPacket* p : s.second.parts)
            if (p)
                FreePacket(p);
    m_Splits.clear();
    m_nHeldBytes = 0;
    m_AcksToSend.Clear();
    if (m_lowerTransport) {
        CRtAutoPtr<IRtTransport> lower(m_lowerTransport);
        m_lowerTransport = nullptr;
        lower->Disconnect(RT_OK);
    }
    if (m_bRegistered) {
        m_bRegistered = false;
        m_pFlowControl->RemoveConn(this);
    }
}

// ---- Receiving ----------------------------------------------------------------

void CRtRudpConn::OnReceive(CRtMessageBlock& aData, IRtTransport* aTrptId) {
    if (aTrptId != m_lowerTransport.Get() || m_bFinished)
        return;
    CRtAutoPtr<CRtRudpConn> hold(this);
    if (aData.GetNext()) {
        RT_WARNING_TRACE_THIS("CRtRudpConn::OnReceive_i, unexpected! chainlen="
                              << aData.GetChainedLength() << " topLen=" << aData.GetTopLevelLength());
        return;
    }
    const size_t len = aData.GetTopLevelLength();
    m_llBytesIn += len;
    OnRawReceive(reinterpret_cast<const uint8_t*>(aData.GetTopLevelReadPtr()), len);
}

uint64_t CRtRudpConn::Unwrap(uint16_t aPacketNo) const {
    // Fewer than 32768 packets await acknowledgement: a number maps to the
    // one unwrapped value near the oldest of them.
    const uint64_t base = m_ResendQueue.Empty() ? m_llNextSeq : m_ResendQueue.Base();
    const int16_t d = SerialDiff(aPacketNo, static_cast<uint16_t>(base));
    return static_cast<uint64_t>(static_cast<int64_t>(base) + d);
}

void CRtRudpConn::ProcessAcks(const DS_RangeList<uint16_t>& aAcks, int64_t aNowUs) {
    int64_t sum = 0;
    int samples = 0;
    uint64_t highest = 0;
    bool any = false;
    bool confirmed = false;
    uint32_t acked = 0;
    const size_t pipeBefore = m_nPipe;
    // Disjoint ranges visit each awaited number once at most; lists that
    // cover the same numbers again get no more steps than that.
    size_t steps = m_ResendQueue.Span() + aAcks.ranges.size();
    for (const auto& r : aAcks.ranges) {
        if (m_ResendQueue.Empty() || steps == 0)
            break;
        const int64_t base = static_cast<int64_t>(m_ResendQueue.Base());
        const int64_t last = base + static_cast<int64_t>(m_ResendQueue.Span()) - 1;
        int64_t lo = static_cast<int64_t>(Unwrap(r.minIndex));
        int64_t hi = static_cast<int64_t>(Unwrap(r.maxIndex));
        if (hi < lo)
            lo = base;  // the range reaches back past the oldest awaited number
        lo = std::max(lo, base);
        hi = std::min(hi, last);
        for (int64_t seq = lo; seq <= hi && steps > 0; ++seq, --steps) {
            CRtRudpPacket* p = m_ResendQueue.At(static_cast<uint64_t>(seq));
            if (!p)
                continue;
            if (p->sendTime > 0) {
                const int64_t us = aNowUs - p->sendTime;
                const int64_t ms = us / 1000;
                if (ms > 0 && ms <= 3 * m_llRtt) {
                    sum += ms;
                    ++samples;
                }
                if (p->resendLeft == kResendCount && us >= 0) {
                    // Only packets sent once measure the path.
                    if (!m_llSrttUs) {
                        m_llSrttUs = us;
                        m_llRttVarUs = us / 2;
                    } else {
                        const int64_t err = us > m_llSrttUs ? us - m_llSrttUs : m_llSrttUs - us;
                        m_llRttVarUs += (err - m_llRttVarUs) / 4;
                        m_llSrttUs += (us - m_llSrttUs) / 8;
                    }
                }
            }
            if (p->pduType == RUDP_PDU_CONN_RESP)
                confirmed = true;
            if (p->pduType == RUDP_PDU_DATA)
                m_llAcked += p->userBytes;
            if (p->inPipe)
                --m_nPipe;
            if (p->isSplitPacket) {
                auto split = m_SplitsInFlight.find(p->splitPacketID);
                if (split != m_SplitsInFlight.end() && --split->second == 0)
                    m_SplitsInFlight.erase(split);
            }
            ++acked;
            highest = std::max<uint64_t>(highest, static_cast<uint64_t>(seq));
            any = true;
            m_ResendQueue.Take(static_cast<uint64_t>(seq));
            FreePacket(p);
        }
    }
    if (any && !m_ResendQueue.Empty()) {
        // What was sent before an acknowledged packet and is still awaited
        // was probably lost: three such acknowledgements bring its resend
        // forward.
        const uint64_t base = m_ResendQueue.Base();
        bool lost = false;
        for (uint64_t seq = base; seq < highest && seq < base + 256; ++seq) {
            CRtRudpPacket* p = m_ResendQueue.At(seq);
            if (p && ++p->laterAcked == 3 && p->nextActionTime > aNowUs) {
                p->nextActionTime = aNowUs;
                m_llEarliestResend = std::min(m_llEarliestResend, aNowUs);
                lost = true;
            }
        }
        // A full send window sends nothing new that would carry the resend.
        if (lost)
            ScheduleFlush();
    }
    OpenWindow(acked, pipeBefore);
    if (samples >= 2)
        SetRtt(sum / samples);
    if (confirmed && !m_bConfirmed)
        OnHandshakeConfirmed();
}

void CRtRudpConn::OnReceive_i(const uint8_t* aData, size_t aLen) {
    CRtAutoPtr<CRtRudpConn> hold(this);
    const int64_t now = NowUs();
    m_llLastRecvTime = now;
    CRtRudpBitStream in(aData, aLen);
    bool hasAcks = false;
    if (!in.ReadBit(hasAcks))
        return;
    if (hasAcks) {
        DS_RangeList<uint16_t> acks;
        if (!acks.Deserialize(in)) {
            RT_WARNING_TRACE_THIS("CRtRudpConn::OnReceive_i, read acks failed! len=" << aLen);
            ++m_nRecvDropPackets;
            return;
        }
        for (const auto& r : acks.ranges) {
            if (r.minIndex > r.maxIndex) {
                ::RtAssertReport(__FILE__, __LINE__,
                                 "incomingAcks.ranges[i].minIndex<=incomingAcks.ranges[i].maxIndex");
                ++m_nRecvDropPackets;
                return;
            }
        }
        ProcessAcks(acks, now);
        if (m_bFinished)
            return;
        if (GetState() == RUDP_STATE_CLOSED && CloseStep(now))
            return;
        if (m_bSendBufFull && m_llBuffered - m_llAcked < m_dwMaxSendBuffer) {
            m_bSendBufFull = false;
            if (m_sink)
                m_sink->OnSend(this);
            if (m_bFinished)
                return;
        }
    }
    while (in.GetNumberOfUnreadBits() >= 8 && !m_bFinished) {
        CRtRudpPacket* p = NewPacket();
        if (!CreateInternalPacketFromBitStream(in, *p)) {
            FreePacket(p);
            ++m_nRecvDropPackets;
            break;
        }
        if (p->IsReliable()) {
            m_AcksToSend.Insert(p->packetNo);
            if (m_RecvWindow.empty())
                m_RecvWindow.assign(8192, 0);  // on first use: half-open peers never need it
            const int16_t d = SerialDiff(p->packetNo, m_wRecvExpected);
            uint8_t& bits = m_RecvWindow[p->packetNo >> 3];
            const uint8_t bit = static_cast<uint8_t>(1u << (p->packetNo & 7));
            if (d < 0 || (bits & bit)) {
                ++m_nRecvDropPackets;
                FreePacket(p);
                continue;
            }
            bits = static_cast<uint8_t>(bits | bit);
            while (m_RecvWindow[m_wRecvExpected >> 3] & (1u << (m_wRecvExpected & 7))) {
                m_RecvWindow[m_wRecvExpected >> 3] =
                    static_cast<uint8_t>(m_RecvWindow[m_wRecvExpected >> 3] & ~(1u << (m_wRecvExpected & 7)));
                ++m_wRecvExpected;
            }
            if (!m_bConfirmed && p->pduType != RUDP_PDU_CONN_REQ) {
                OnHandshakeConfirmed();
                if (m_bFinished) {
                    FreePacket(p);
                    break;
                }
            }
        }
        HandlePacket(p);
    }
    if (!m_bFinished && !m_AcksToSend.IsEmpty())
        ScheduleFlush();
}

CRtRudpPacket* CRtRudpConn::AddSplit(CRtRudpPacket* aPacket) {
    const uint16_t count = aPacket->splitPacketCount;
    if (count < 2 || count > kMaxSplitCount || aPacket->splitPacketIndex >= count) {
        RT_WARNING_TRACE_THIS("CRtRudpConn::OnReceive_i, invalid split! id=" << aPacket->splitPacketID
                                                                             << " index=" << aPacket->splitPacketIndex
                                                                             << " count=" << count);
        ++m_nRecvDropPackets;
        FreePacket(aPacket);
        return nullptr;
    }
    auto found = m_Splits.find(aPacket->splitPacketID);
    if (found == m_Splits.end()) {
        if (m_Splits.size() >= kMaxSplitIds || m_nHeldBytes + aPacket->data.size() > kMaxHeldBytes) {
            // Unreliable splits may never complete: the oldest of them
            // makes room. Reliable ones always do, so too many of them is
            // a peer that does not play by the rules.
            auto oldest = m_Splits.end();
            for (auto it = m_Splits.begin(); it != m_Splits.end(); ++it)
                if (it->second.parts.size() && (oldest == m_Splits.end() || it->second.order < oldest->second.order)) {
                    bool reliable = false;
                    for (CRtRudpPacket* q : it->second.parts)
                        if (q) {
                            reliable = q->IsReliable();
                            break;
                        }
                    if (!reliable)
                        oldest = it;
                }
            if (oldest == m_Splits.end()) {
                RT_WARNING_TRACE_THIS("CRtRudpConn::OnReceive_i, too many split packets held! ids="
                                      << m_Splits.size() << " bytes=" << m_nHeldBytes);
                FreePacket(aPacket);
                Fail(RT_ERROR_NETWORK_CONNECTION_LOST);
                return nullptr;
            }
            for (CRtRudpPacket* q : oldest->second.parts)
                if (q)
                    FreePacket(q);
            m_nHeldBytes -= oldest->second.bytes;
            m_Splits.erase(oldest);
            ++m_nRecvDropPackets;
        }
        SplitAssembly a;
        a.count = count;
        a.order = m_llSplitOrder++;
        a.parts.assign(count, nullptr);
        found = m_Splits.emplace(aPacket->splitPacketID, std::move(a)).first;
    }
    SplitAssembly& a = found->second;
    if (a.count != count || a.parts[aPacket->splitPacketIndex]) {
        ++m_nRecvDropPackets;
        FreePacket(aPacket);
        return nullptr;
    }
    a.parts[aPacket->splitPacketIndex] = aPacket;
    a.bytes += aPacket->data.size();
    m_nHeldBytes += aPacket->data.size();
    if (++a.received < a.count) {
        if (m_nHeldBytes > kMaxHeldBytes) {
            RT_WARNING_TRACE_THIS("CRtRudpConn::OnReceive_i, too many split bytes held! bytes=" << m_nHeldBytes);
            Fail(RT_ERROR_NETWORK_CONNECTION_LOST);
        }
        return nullptr;
    }
    CRtRudpPacket* whole = a.parts[0];
    whole->data.reserve(a.bytes);
    for (uint16_t i = 1; i < a.count; ++i) {
        whole->data.append(a.parts[i]->data);
        FreePacket(a.parts[i]);
    }
    whole->isSplitPacket = false;
    m_nHeldBytes -= a.bytes;
    m_Splits.erase(found);
    return whole;
}

void CRtRudpConn::HandlePacket(CRtRudpPacket* aPacket) {
    if (aPacket->isSplitPacket) {
        aPacket = AddSplit(aPacket);
        if (!aPacket)
            return;
    }
    Channel& ch = m_Channels[aPacket->channelID];
    switch (aPacket->reliability) {
    case RUDP_UNRELIABLE_SEQUENCED:
    case RUDP_RELIABLE_SEQUENCED:
        if (SerialDiff(aPacket->orderingID, ch.recvSequenced) < 0) {
            ++m_nRecvDropPackets;
            FreePacket(aPacket);
            return;
        }
        ch.recvSequenced = static_cast<uint16_t>(aPacket->orderingID + 1);
        Deliver(aPacket);
        return;
    case RUDP_RELIABLE_ORDERED:
        HandleOrdered(aPacket);
        return;
    default:
        Deliver(aPacket);
        return;
    }
}

void CRtRudpConn::HandleOrdered(CRtRudpPacket* aPacket) {
    const uint8_t chId = aPacket->channelID;
    Channel& ch = m_Channels[chId];
    const int16_t d = SerialDiff(aPacket->orderingID, ch.recvOrdered);
    if (d < 0) {
        ++m_nRecvDropPackets;
        FreePacket(aPacket);
        return;
    }
    if (d > 0) {
        // Once a gap: a loss holds back a whole window, and a line for
        // each packet would cost more than the packets.
        if (ch.outOfOrder.empty() || ch.recvOrdered != ch.loggedWait) {
            ch.loggedWait = ch.recvOrdered;
            RT_DEBUG_TRACE_THIS("CRtRudpConn::OnReceive_i, waitingOrderId" << ch.recvOrdered << " while getting"
                                                                           << aPacket->orderingID);
        }
        if (ch.outOfOrder.count(aPacket->orderingID)) {
            FreePacket(aPacket);
            return;
        }
        ch.outOfOrderBytes += aPacket->data.size();
        ch.outOfOrder.emplace(aPacket->orderingID, aPacket);
        if (ch.outOfOrder.size() > kMaxOutOfOrder || ch.outOfOrderBytes > kMaxHeldBytes) {
            RT_WARNING_TRACE_THIS("CRtRudpConn::OnReceive_i, too many out-of-ordered packets! channel="
                                  << static_cast<unsigned>(chId) << " size=" << ch.outOfOrder.size());
            Fail(RT_ERROR_NETWORK_CONNECTION_LOST);
        }
        return;
    }
    ++ch.recvOrdered;
    if (!Deliver(aPacket))
        return;
    for (;;) {
        auto next = ch.outOfOrder.find(ch.recvOrdered);
        if (next == ch.outOfOrder.end())
            return;
        CRtRudpPacket* p = next->second;
        ch.outOfOrderBytes -= p->data.size();
        ch.outOfOrder.erase(next);
        ++ch.recvOrdered;
        if (!Deliver(p))
            return;
    }
}

bool CRtRudpConn::Deliver(CRtRudpPacket* aPacket) {
    if (m_bFinished) {
        FreePacket(aPacket);
        return false;
    }
    const uint32_t state = GetState();
    switch (aPacket->pduType) {
    case RUDP_PDU_CONN_REQ:
        HandleConnReqPdu(*aPacket);
        break;
    case RUDP_PDU_CONN_RESP:
        HandleConnRespPdu(*aPacket);
        break;
    case RUDP_PDU_SHUTDOWN:
        FreePacket(aPacket);
        HandleShutdownPdu();
        return false;
    case RUDP_PDU_KEEPALIVE:
        break;
    case RUDP_PDU_DATA:
        if (state == RUDP_STATE_CONNECTED && m_sink) {
            CRtMessageBlock block(aPacket->data.size(), aPacket->data.data(),
                                  CRtMessageBlock::DONT_DELETE | CRtMessageBlock::WRITE_LOCKED, aPacket->data.size());
            m_sink->OnReceive(block, this);
        }
        break;
    default:
        RT_WARNING_TRACE_THIS("CRtRudpConn::HandleReceivedPacket, unknown pdu! type="
                              << static_cast<unsigned>(aPacket->pduType) << " state=" << state);
        if (state != RUDP_STATE_CONNECTED && state != RUDP_STATE_CLOSED) {
            FreePacket(aPacket);
            Fail(RT_ERROR_NETWORK_HANDSHAKE_FAILED);
            return false;
        }
        break;
    }
    FreePacket(aPacket);
    return !m_bFinished;
}

void CRtRudpConn::HandleShutdownPdu() {
    RT_INFO_TRACE_THIS("CRtRudpConn::HandleShutdownPdu, state=" << GetState());
    FlushSend(NowUs());
    Fail(RT_ERROR_NETWORK_SHUTDOWN);
}

// ---- Sending ------------------------------------------------------------------

int64_t CRtRudpConn::ResendDelay(const CRtRudpPacket& aPacket) const {
    const int64_t bound = m_llResendInterval * m_nResendInc;
    if (!m_llSrttUs)
        return bound;
    // A path measured in microseconds resends long before the interval,
    // backing off with each resend of the same packet.
    int64_t early = std::max<int64_t>(2 * m_llSrttUs + 4 * m_llRttVarUs, kMinEarlyResendUs);
    const int resent = kResendCount - aPacket.resendLeft;
    early <<= std::min(resent, 6);
    return std::min(early, bound);
}

RtResult CRtRudpConn::FlushSend(int64_t aNowUs) {
    if (m_bFlushing || !m_lowerTransport || m_bFinished)
        return RT_OK;
    CRtAutoPtr<CRtRudpConn> hold(this);
    m_bFlushing = true;
    const int64_t budget = static_cast<int64_t>(m_dwMtu) * 8 - 224;
    CRtRudpBitStream bs;
    std::vector<CRtRudpPacket*> due;
    if (m_llEarliestResend <= aNowUs && !m_ResendQueue.Empty()) {
        int64_t earliest = INT64_MAX, pipeWake = INT64_MAX;
        m_ResendQueue.ForEach([&](CRtRudpPacket* p) {
            if (p->nextActionTime <= aNowUs) {
                // Deemed lost: it no longer takes room on the way.
                if (p->inPipe) {
                    p->inPipe = false;
                    --m_nPipe;
                }
                due.push_back(p);
            } else {
                earliest = std::min(earliest, p->nextActionTime);
                if (p->inPipe)
                    pipeWake = std::min(pipeWake, p->nextActionTime);
            }
        });
        m_llEarliestResend = earliest;
        m_llPipeWake = pipeWake;
    }
    size_t dueNext = 0;
    RtResult result = RT_OK;
    // The datagram's packets, and whether each is a resend: they count as
    // sent once the socket took the datagram.
    std::vector<std::pair<CRtRudpPacket*, bool>> written;
    for (;;) {
        bs.Reset();
        written.clear();
        size_t packets = 0;
        const bool hasAcks = !m_AcksToSend.IsEmpty();
        bs.WriteBit(hasAcks);
        if (hasAcks)
            m_AcksToSend.Serialize(bs, budget - 1, true);
        // Resends go first, oldest first, as far as the window lets them.
        while (dueNext < due.size() && m_nPipe + written.size() < m_nCwnd) {
            CRtRudpPacket* p = due[dueNext];
            if (static_cast<int64_t>(bs.GetNumberOfBitsUsed() + p->BitsOnWire()) > budget)
                break;
            p->Write(bs);
            written.emplace_back(p, true);
            ++packets;
            ++dueNext;
        }
        bool full = dueNext < due.size();
        for (int prio = 0; prio < 4 && !full; ++prio) {
            auto& q = m_SendQueue[prio];
            while (!q.empty()) {
                CRtRudpPacket* p = q.front();
                if (p->IsReliable() &&
                    (m_ResendQueue.Span() >= kMaxInFlight || m_nPipe + written.size() >= m_nCwnd ||
                     (p->isSplitPacket && p->splitPacketIndex == 0 && m_SplitsInFlight.size() >= kMaxSplitsInFlight))) {
                    full = true;
                    break;
                }
                if (p->IsReliable())
                    p->packetNo = static_cast<uint16_t>(m_llNextSeq);
                if (static_cast<int64_t>(bs.GetNumberOfBitsUsed() + p->BitsOnWire()) > budget) {
                    full = true;
                    break;
                }
                q.pop_front();
                p->Write(bs);
                ++packets;
                if (p->IsReliable()) {
                    p->seq = m_llNextSeq++;
                    p->firstSendTime = aNowUs;
                    p->resendLeft = kResendCount;
                    if (p->isSplitPacket)
                        ++m_SplitsInFlight[p->splitPacketID];
                    if (p->pduType == RUDP_PDU_CONN_RESP) {
                        m_wRespPacketNo = p->packetNo;
                        m_bRespSent = true;
                    }
                    m_ResendQueue.Push(p->seq, p);
                    written.emplace_back(p, false);
                } else {
                    if (p->pduType == RUDP_PDU_DATA)
                        m_llAcked += p->userBytes;  // nothing will acknowledge it
                    FreePacket(p);
                }
            }
        }
        if (!hasAcks && !packets)
            break;
        const size_t bytes = bs.GetNumberOfBytesUsed();
        if (!m_bConfirmed) {
            if (m_llBytesOut + bytes > m_llBytesIn) {
                Unsent(written, aNowUs);  // resent later, when the peer has sent more
                break;
            }
            m_llBytesOut += bytes;
        }
        CRtMessageBlock block(bytes, reinterpret_cast<const char*>(bs.GetData()), CRtMessageBlock::DONT_DELETE, bytes);
        RtResult rv = m_lowerTransport->SendData(block);
        m_bSentSinceTick = true;
        if (RT_FAILED(rv)) {
            // The socket is full (its OnSend flushes again) or failed.
            Unsent(written, aNowUs);
            if (rv != RT_ERROR_PARTIAL_DATA)
                result = rv;
            break;
        }
        for (const auto& w : written)
            Sent(w.first, w.second, aNowUs);
        if (!full && m_AcksToSend.IsEmpty() && dueNext >= due.size())
            break;
    }
    if (dueNext < due.size())
        m_llEarliestResend = aNowUs;  // due still, waiting for room
    m_bFlushing = false;
    EndRound(aNowUs);
    if (RT_SUCCEEDED(result) && !m_ResendQueue.Empty()) {
        // A resend due before the next cycle gets a wake-up of its own;
        // one waiting for room wakes when a packet on the way is deemed
        // lost (acknowledgements flush too).
        int64_t wake = m_llEarliestResend;
        if (wake <= aNowUs)
            wake = m_llPipeWake;
        if (wake < aNowUs + CRtRudpFlowControl::kCycleUs) {
            const int64_t wait = std::max<int64_t>(wake - aNowUs, 1000);
            m_ResendTimer.Schedule(this, CRtTimeValue(wait / 1000000, static_cast<int32_t>(wait % 1000000)), 1);
        }
    }
    if (RT_FAILED(result)) {
        RT_ERROR_TRACE_THIS("CRtRudpConn::RunSendCycle, UpdateSending failed! rv=" << result);
        Fail(result);
    }
    return result;
}

void CRtRudpConn::Sent(CRtRudpPacket* aPacket, bool aResend, int64_t aNowUs) {
    aPacket->sendTime = aNowUs;
    aPacket->laterAcked = 0;
    if (aResend) {
        ++m_nRoundResends;
        if (--aPacket->resendLeft <= 0) {
            // Counted, never dropped: the ack limit ends a connection
            // that cannot get through.
            ++m_nSendDropPackets;
            aPacket->resendLeft = 1;
        }
    }
    ++m_nRoundSends;
    aPacket->inPipe = true;
    ++m_nPipe;
    aPacket->nextActionTime = aNowUs + ResendDelay(*aPacket);
    m_llEarliestResend = std::min(m_llEarliestResend, aPacket->nextActionTime);
    m_llPipeWake = std::min(m_llPipeWake, aPacket->nextActionTime);
}

void CRtRudpConn::Unsent(const std::vector<std::pair<CRtRudpPacket*, bool>>& aWritten, int64_t aNowUs) {
    // Not on the way: due again at once, without counting as a try.
    for (const auto& w : aWritten)
        w.first->nextActionTime = aNowUs;
    if (!aWritten.empty())
        m_llEarliestResend = aNowUs;
}

void CRtRudpConn::EndRound(int64_t aNowUs) {
    const int64_t round = std::max<int64_t>(m_llSrttUs, kMinRoundUs);
    if (aNowUs - m_llRoundStart < round)
        return;
    if (m_nRoundSends < kMinCwnd && aNowUs - m_llRoundStart < 1000000)
        return;  // too few to judge yet
    if (m_nRoundSends >= kMinCwnd && m_nRoundResends * 100 > m_nRoundSends * kHeavyLossPercent) {
        // The path drops much of what it is given: a queue overflows.
        m_nSsthresh = std::max(m_nCwnd / 2, kMinCwnd);
        m_nCwnd = m_nSsthresh;
        m_nCwndGrowth = 0;
    }
    m_llRoundStart = aNowUs;
    m_nRoundSends = m_nRoundResends = 0;
}

void CRtRudpConn::OpenWindow(uint32_t aAcked, size_t aPipeBefore) {
    // Only a window in use grows: an idle sender's would let a burst loose.
    if (!aAcked || aPipeBefore * 2 < m_nCwnd)
        return;
    if (m_nCwnd < m_nSsthresh) {
        m_nCwnd += aAcked;
    } else {
        m_nCwndGrowth += aAcked;
        while (m_nCwndGrowth >= m_nCwnd) {
            m_nCwndGrowth -= m_nCwnd;
            ++m_nCwnd;
        }
    }
    m_nCwnd = std::min<uint32_t>(m_nCwnd, kMaxInFlight);
}

void CRtRudpConn::RunSendCycle(int64_t aNowUs) {
    if (m_bFinished)
        return;
    CRtAutoPtr<CRtRudpConn> hold(this);
    if (aNowUs < m_llLastUpdateTime)
        RT_DEBUG_TRACE_THIS("CRtRudpConn::RunSendCycle, unexpected timestamp! time=" << aNowUs << " lastUpdateTime="
                                                                                     << m_llLastUpdateTime);
    m_llLastUpdateTime = aNowUs;
    if (m_llShutdownSentUs && aNowUs - m_llShutdownSentUs > Scaled(kShutdownLingerUs)) {
        RT_INFO_TRACE_THIS("CRtRudpConn::RunSendCycle, shutdown not acknowledged, closed");
        Cleanup();
        return;
    }
    if (!m_ResendQueue.Empty()) {
        // Numbers are given at the first transmission: the lowest waits
        // longest.
        const int64_t waited = aNowUs - m_ResendQueue.Front()->firstSendTime;
        if (waited > m_llTimeLimit) {
            RT_WARNING_TRACE_THIS("CRtRudpConn::RunSendCycle, connection lost! Long time no ack!");
            Fail(RT_ERROR_NETWORK_CONNECTION_LOST);
            return;
        }
        if (waited > Scaled(kLongWaitUs))
            m_llResendInterval = std::min<int64_t>(waited, Scaled(kMaxLongResendUs));
    }
    FlushSend(aNowUs);
}

// ---- Connection timer -----------------------------------------------------------

void CRtRudpConn::OnTimer(CRtTimerWrapper* aId) {
    if (aId == &m_ConnTimer) {
        OnConnTimer();
    } else if (aId == &m_ResendTimer && !m_bFinished) {
        CRtAutoPtr<CRtRudpConn> hold(this);
        FlushSend(NowUs());
    }
}

void CRtRudpConn::OnConnTimer() {
    CRtAutoPtr<CRtRudpConn> hold(this);
    OnConnTimerExtra();
    if (m_bFinished)
        return;
    const uint32_t state = GetState();
    const int64_t now = NowUs();
    if (state == RUDP_STATE_CLOSED) {
        // A closing connection stays while what it owes the peer goes out;
        // the ack limit bounds that.
        FlushSend(now);
        CloseStep(now);
        return;
    }
    if (state != RUDP_STATE_CONNECTED || !m_bConfirmed) {
        RT_WARNING_TRACE_THIS("CRtRudpConn::OnTimer, connection handshake timeout! state=" << state);
        Fail(RT_ERROR_NETWORK_CONNECT_TIMEOUT);
        return;
    }
    if (now - m_llLastRecvTime > m_llTimeLimit) {
        RT_WARNING_TRACE_THIS("CRtRudpConn::OnTimer, connection lost! Long time no packet!");
        Fail(RT_ERROR_NETWORK_CONNECTION_LOST);
        return;
    }
    const uint64_t buffered = m_llBuffered - m_llAcked;
    if (buffered > 3072)
        RT_INFO_TRACE_THIS("CRtRudpConn::OnTimer, BuffSize=" << buffered);
    for (unsigned i = 0; i < CRtRudpPacket::kChannels; ++i)
        if (m_Channels[i].outOfOrder.size() >= 34)
            RT_WARNING_TRACE_THIS("CRtRudpConn::OnTimer, too many out-of-ordered packets! channel="
                                  << i << " size=" << m_Channels[i].outOfOrder.size());
    if (m_bKeepAlive && !m_bSentSinceTick)
        QueueMessage(RUDP_PDU_KEEPALIVE, nullptr, 0, RUDP_RELIABLE, 3, 0);
    m_bSentSinceTick = false;
    if (m_nRecvDropPackets >= 8) {
        RT_INFO_TRACE_THIS("CRtRudpConn::OnTimer, m_recvDropPackets=" << m_nRecvDropPackets);
        if (m_nRecvDropPackets > 24 && ++m_nRecvDropTick >= 2) {
            RT_WARNING_TRACE_THIS("CRtRudpConn::OnTimer, m_recvDropTick=" << m_nRecvDropTick);
            m_bPoorNetwork = true;
        }
    } else {
        m_nRecvDropTick = 0;
    }
    if (m_nSendDropPackets >= 8 && m_nResendInc >= 2) {
        RT_INFO_TRACE_THIS("CRtRudpConn::OnTimer, m_sendDropPackets=" << m_nSendDropPackets);
        if (m_nSendDropPackets > 24 && ++m_nSendDropTick >= 2) {
            RT_WARNING_TRACE_THIS("CRtRudpConn::OnTimer, m_sendDropTick=" << m_nSendDropTick);
            m_bPoorNetwork = true;
        }
    } else if (m_nSendDropPackets >= 8) {
        RT_INFO_TRACE_THIS("Add resend time, inc=" << m_nResendInc << " m_sendDropPackets=" << m_nSendDropPackets);
        ++m_nResendInc;
    } else if (m_nSendDropPackets == 0 && m_nResendInc > 1) {
        --m_nResendInc;
        RT_INFO_TRACE_THIS("Reduce resend time, inc=" << m_nResendInc);
    }
    m_nRecvDropPackets = 0;
    m_nSendDropPackets = 0;
    if (m_bPoorNetwork) {
        m_bPoorNetwork = false;
        if (m_pObserver)
            m_pObserver->OnObserve("RUDP", nullptr);
    }
    FlushSend(now);
}

// The reliable UDP connection through the connection manager on loopback,
// through a seeded lossy relay: every message exactly once, in order per
// channel and with the content it was sent with, both ways; back-pressure;
// the handshake's and the connection's time-outs (periods scaled down);
// reset; and half-open floods that must leave nothing behind.
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "DS_RangeList.h"
#include "RtConnectionManager.h"
#include "RtNetworkTest.h"
#include "RtNetworkThreadManager.h"
#include "RtObserver.h"
#include "RtRudpConn.h"
#include "RtTransportUdp.h"
#include "RtUdpRelay.h"
#include "RtUdpTestKit.h"

using namespace rttest;

namespace {

const uint32_t kRudp = 0x120002;

std::string Message(uint32_t aSeq, uint8_t aChannel, size_t aSize) {
    std::string m(aSize < 5 ? 5 : aSize, '\0');
    memcpy(&m[0], &aSeq, 4);
    m[4] = static_cast<char>(aChannel);
    for (size_t i = 5; i < m.size(); ++i)
        m[i] = static_cast<char>((aSeq * 131 + i) & 0xFF);
    return m;
}

std::string Bytes(const CRtRudpBitStream& aStream) {
    return std::string(reinterpret_cast<const char*>(aStream.GetData()), aStream.GetNumberOfBytesUsed());
}

// A connection request datagram as a client sends it after the syncs.
std::string ConnRequest() {
    CRtRudpBitStream req;
    req.WriteBit(false);
    CRtRudpPacket p;
    p.pduType = 1;
    p.reliability = 2;
    p.data = std::string("\x01\x78\x56\x34\x12\x7f\x00\x00\x01\x90\x1f", 11);
    p.Write(req);
    return Bytes(req);
}

// One side's user: takes connections, checks what arrives, and sends a
// plan of messages as fast as back-pressure lets it.
class Peer : public IRtAcceptorConnectorSink, public IRtTransportSink, public IRtObserver {
public:
    void OnConnectIndication(RtResult aReason, IRtTransport* aTrpt, IRtAcceptorConnectorId*) override {
        std::lock_guard<std::recursive_mutex> lock(m_Mutex);
        m_Results.push_back(aReason);
        if (RT_FAILED(aReason) || !aTrpt)
            return;
        aTrpt->AddReference();
        aTrpt->OpenWithSink(this);
        m_Conns.push_back(aTrpt);
    }
    void OnReceive(CRtMessageBlock& aData, IRtTransport*) override {
        std::string m = aData.FlattenChained();
        std::lock_guard<std::recursive_mutex> lock(m_Mutex);
        uint32_t seq = 0;
        if (m.size() < 5) {
            ++m_nCorrupt;
            return;
        }
        memcpy(&seq, m.data(), 4);
        const uint8_t ch = static_cast<uint8_t>(m[4]);
        if (m != Message(seq, ch, m_Sizes.empty() ? m.size() : m_Sizes[seq % m_Sizes.size()]))
            ++m_nCorrupt;
        if (!m_Seen.insert(seq).second) {
            ++m_nDups;
            return;
        }
        auto last = m_LastOnChannel.find(ch);
        if (last != m_LastOnChannel.end() && last->second > seq) {
            ++m_nOutOfOrder;
        }
        m_LastOnChannel[ch] = seq;
        ++m_nReceived;
    }
    void OnSend(IRtTransport* aTrpt) override {
        ++m_nOnSends;
        Pump(aTrpt);
    }
    void OnDisconnect(RtResult aReason, IRtTransport* aTrpt) override {
        std::lock_guard<std::recursive_mutex> lock(m_Mutex);
        m_Reasons[aTrpt] = aReason;
    }
    void OnObserve(const char* aTopic, void*) override {
        if (std::string(aTopic) == "RUDP")
            ++m_nObserved;
    }

    // Sends m_nToSend messages over aTrpt (channels 0 .. m_nChannels-1),
    // until refused; OnSend goes on.
    void Pump(IRtTransport* aTrpt) {
        std::lock_guard<std::recursive_mutex> lock(m_Mutex);
        while (m_nSent < m_nToSend) {
            const uint32_t seq = m_nSent;
            const uint8_t ch = static_cast<uint8_t>(seq % m_nChannels);
            std::string m = Message(seq, ch, m_Sizes[seq % m_Sizes.size()]);
            CRtMessageBlock block(m.size(), m.data(), CRtMessageBlock::DONT_DELETE, m.size());
            RtResult rv = m_nChannels > 1 ? aTrpt->SendDataEx(block, 4, ch, 1, 0, 2, 0) : aTrpt->SendData(block);
            if (rv == RT_ERROR_PARTIAL_DATA) {
                ++m_nRefused;
                return;
            }
            if (RT_FAILED(rv)) {
                m_nFailedSend = rv;
                return;
            }
            ++m_nSent;
        }
    }
    void ReleaseAll() {
        std::lock_guard<std::recursive_mutex> lock(m_Mutex);
        for (IRtTransport* t : m_Conns) {
            t->Disconnect(RT_OK);
            t->ReleaseReference();
        }
        m_Conns.clear();
    }
    IRtTransport* Conn(size_t i) {
        std::lock_guard<std::recursive_mutex> lock(m_Mutex);
        return i < m_Conns.size() ? m_Conns[i] : nullptr;
    }
    size_t ConnCount() {
        std::lock_guard<std::recursive_mutex> lock(m_Mutex);
        return m_Conns.size();
    }
    RtResult ReasonOf(size_t i) {
        std::lock_guard<std::recursive_mutex> lock(m_Mutex);
        if (i >= m_Conns.size() || !m_Reasons.count(m_Conns[i]))
            return RT_OK;
        return m_Reasons[m_Conns[i]];
    }
    std::vector<RtResult> Results() {
        std::lock_guard<std::recursive_mutex> lock(m_Mutex);
        return m_Results;
    }
    size_t Disconnects() {
        std::lock_guard<std::recursive_mutex> lock(m_Mutex);
        return m_Reasons.size();
    }

    std::vector<size_t> m_Sizes{100};
    uint32_t m_nToSend = 0;
    uint32_t m_nChannels = 1;
    std::atomic<uint32_t> m_nSent{0}, m_nReceived{0}, m_nDups{0}, m_nOutOfOrder{0}, m_nCorrupt{0};
    std::atomic<uint32_t> m_nRefused{0}, m_nOnSends{0}, m_nObserved{0};
    std::atomic<RtResult> m_nFailedSend{RT_OK};

private:
    std::recursive_mutex m_Mutex;
    std::vector<IRtTransport*> m_Conns;
    std::vector<RtResult> m_Results;
    std::map<IRtTransport*, RtResult> m_Reasons;
    std::set<uint32_t> m_Seen;
    std::map<uint8_t, uint32_t> m_LastOnChannel;
};

class RudpTest : public NetworkTest {
protected:
    void TearDown() override {
        CRtRudpConn::SetTimeScaleForTest(1);
        // Closed connections finish on the cycle and time-outs of their own.
        EXPECT_TRUE(WaitUntil([] { return CRtRudpConn::GetLiveCount() == 0; }, 10000))
            << CRtRudpConn::GetLiveCount() << " connections left";
        EXPECT_TRUE(WaitUntil([] { return CRtTransportUdp::GetLiveCount() == 0; }, 5000));
        EXPECT_EQ(PoolOutstanding(), 0) << "packets not back in the pool";
        size_t flows = 1;
        EXPECT_TRUE(WaitUntil([&] {
            OnNet([&] {
                flows = CRtNetworkThreadManager::Instance()
                            ->GetThreadInfo(m_pNetwork->GetThreadId())
                            ->GetRudpFlowControl()
                            ->GetCount();
                return RT_OK;
            });
            return flows == 0;
        })) << flows
            << " connections in flow control";
        NetworkTest::TearDown();
    }

    // Listens (from aThread) on a free port and connects through a relay.
    void Start(CRtThread* aThread, ThreadStrategy aStrategy, UdpRelay::Config aRelay, uint32_t aType = kRudp) {
        m_pThread = aThread;
        m_nServerPort = FreeLoopbackPort();
        RunOn(aThread, [&] {
            EXPECT_EQ(RT_OK, CRtConnectionManager::Instance()->CreateConnectionServer(aType, m_pAcceptor, aStrategy));
            return m_pAcceptor->StartListen(m_Server.get(), LoopbackAddr(m_nServerPort));
        });
        m_pRelay.reset(new UdpRelay(m_nServerPort, aRelay));
    }
    void Connect(ThreadStrategy aStrategy, uint16_t aPort = 0) {
        RunOn(m_pThread, [&] {
            EXPECT_EQ(RT_OK, CRtConnectionManager::Instance()->CreateConnectionClient(kRudp, m_pConnector, aStrategy));
            return m_pConnector->AsycConnect(m_Client.get(), LoopbackAddr(aPort ? aPort : m_pRelay->Port()));
        });
    }
    void Stop() {
        if (!m_pThread)
            return;
        RunOn(m_pThread, [&] {
            m_Client->ReleaseAll();
            m_Server->ReleaseAll();
            if (m_pConnector) {
                m_pConnector->CancelConnect(RT_OK);
                m_pConnector->ReleaseReference();
                m_pConnector = nullptr;
            }
            if (m_pAcceptor) {
                m_pAcceptor->StopListen(RT_OK);
                m_pAcceptor->ReleaseReference();
                m_pAcceptor = nullptr;
            }
            return RT_OK;
        });
        m_pRelay.reset();
        m_pThread = nullptr;
    }
    bool BothConnected(int aMs = 10000) {
        return WaitUntil([&] { return m_Client->ConnCount() == 1 && m_Server->ConnCount() == 1; }, aMs);
    }
    void PumpBoth() {
        RunOn(m_pThread, [&] {
            m_Client->Pump(m_Client->Conn(0));
            m_Server->Pump(m_Server->Conn(0));
            return RT_OK;
        });
    }
    long PoolOutstanding() {
        long n = -1;
        OnNet([&] {
            n = CRtNetworkThreadManager::Instance()
                    ->GetThreadInfo(m_pNetwork->GetThreadId())
                    ->GetRudpPool()
                    ->GetOutstanding();
            return RT_OK;
        });
        return n;
    }
    void ExpectClean(Peer& aPeer) {
        EXPECT_EQ(aPeer.m_nDups.load(), 0u);
        EXPECT_EQ(aPeer.m_nOutOfOrder.load(), 0u);
        EXPECT_EQ(aPeer.m_nCorrupt.load(), 0u);
    }

    std::unique_ptr<Peer> m_Client{new Peer}, m_Server{new Peer};
    CRtThread* m_pThread = nullptr;
    IRtAcceptor* m_pAcceptor = nullptr;
    IRtConnector* m_pConnector = nullptr;
    std::unique_ptr<UdpRelay> m_pRelay;
    uint16_t m_nServerPort = 0;
};

TEST_F(RudpTest, EveryMessageOnceInOrderIntactBothWaysThroughLossDupAndReorder) {
    for (uint32_t seed = 1; seed <= 3; ++seed) {
        SCOPED_TRACE(seed);
        m_Client.reset(new Peer);
        m_Server.reset(new Peer);
        for (Peer* p : {m_Client.get(), m_Server.get()}) {
            p->m_Sizes = {5000, 17, 1000, 1, 3000};
            p->m_nToSend = 400;
            p->m_nChannels = 3;
        }
        Start(m_pNetwork, TS_MULTI_THREAD, UdpRelay::Config{0.10, 0.05, 0.05, seed});
        Connect(TS_MULTI_THREAD);
        ASSERT_TRUE(BothConnected());
        PumpBoth();
        EXPECT_TRUE(WaitUntil([&] { return m_Client->m_nReceived == 400 && m_Server->m_nReceived == 400; }, 30000))
            << m_Client->m_nReceived << " " << m_Server->m_nReceived;
        ExpectClean(*m_Client);
        ExpectClean(*m_Server);
        EXPECT_EQ(m_Client->m_nFailedSend.load(), RT_OK);
        Stop();
    }
}

TEST_F(RudpTest, BackPressureRefusesThenTellsOnceFromAUserThreadAndPastTheNumberWrap) {
    // From a user thread of its own: every call crosses to the network
    // thread and back.
    CRtThread* user = StartUserThread();
    m_Client->m_nToSend = 70000;  // past 65536 packet numbers
    m_Client->m_Sizes = m_Server->m_Sizes = {40};
    Start(user, TS_SINGLE_THREAD, UdpRelay::Config{0.01, 0, 0.01, 4});
    Connect(TS_SINGLE_THREAD);
    ASSERT_TRUE(BothConnected());
    PumpBoth();
    EXPECT_TRUE(WaitUntil([&] { return m_Server->m_nReceived == 70000; }, 50000)) << m_Server->m_nReceived;
    ExpectClean(*m_Server);
    EXPECT_GT(m_Client->m_nRefused.load(), 0u);
    EXPECT_EQ(m_Client->m_nOnSends.load(), m_Client->m_nRefused.load());
    Stop();
}

TEST_F(RudpTest, AClosedConnectionDeliversEverythingThenThePeerHearsShutdown) {
    m_Client->m_nToSend = 50;
    m_Client->m_Sizes = m_Server->m_Sizes = {2500};
    Start(m_pNetwork, TS_MULTI_THREAD, UdpRelay::Config{0.05, 0, 0, 5});
    Connect(TS_MULTI_THREAD);
    ASSERT_TRUE(BothConnected());
    OnNet([&] {
        uint32_t big = 1u << 20;
        m_Client->Conn(0)->SetOption(RT_OPT_CONN_MAX_SEND_BUF, &big);
        m_Client->Pump(m_Client->Conn(0));
        m_Client->Conn(0)->Disconnect(RT_OK);
        return RT_OK;
    });
    EXPECT_TRUE(WaitUntil([&] { return m_Server->Disconnects() == 1; }, 10000));
    EXPECT_EQ(m_Server->m_nReceived.load(), 50u);
    EXPECT_EQ(m_Server->ReasonOf(0), RT_ERROR_NETWORK_SHUTDOWN);
    Stop();
}

TEST_F(RudpTest, NoServerFiveSyncsThenTimeout) {
    CRtRudpConn::SetTimeScaleForTest(50);  // syncs at 0, 20, 120, 320, 620 ms
    RawUdp silent;
    m_pThread = m_pNetwork;
    Connect(TS_MULTI_THREAD, silent.Port());
    EXPECT_TRUE(WaitUntil([&] { return !m_Client->Results().empty(); }, 5000));
    ASSERT_EQ(m_Client->Results().size(), 1u);
    EXPECT_EQ(m_Client->Results()[0], RT_ERROR_TIMEOUT);
    int syncs = 0;
    std::string d;
    while (silent.Recv(d, 100)) {
        EXPECT_EQ(d, std::string("\x00\xff", 2));
        ++syncs;
    }
    EXPECT_EQ(syncs, 5);
    Stop();
}

TEST_F(RudpTest, VanishedPeerEndsBothSidesResetEndsOneIdleSurvives) {
    CRtRudpConn::SetTimeScaleForTest(10);  // limit 1.5 s, timer 0.5 s
    Start(m_pNetwork, TS_MULTI_THREAD, UdpRelay::Config{});
    Connect(TS_MULTI_THREAD);
    ASSERT_TRUE(BothConnected());
    // Idle for twice the limit: keep-alives hold it.
    rtos::SleepMs(3000);
    EXPECT_EQ(m_Client->Disconnects(), 0u);
    EXPECT_EQ(m_Server->Disconnects(), 0u);
    m_Client->m_nToSend = 1;
    PumpBoth();
    EXPECT_TRUE(WaitUntil([&] { return m_Server->m_nReceived == 1; }));
    m_pRelay->SetForwarding(false);
    EXPECT_TRUE(WaitUntil([&] { return m_Client->Disconnects() == 1 && m_Server->Disconnects() == 1; }, 4000));
    EXPECT_EQ(m_Client->ReasonOf(0), RT_ERROR_NETWORK_CONNECTION_LOST);
    EXPECT_EQ(m_Server->ReasonOf(0), RT_ERROR_NETWORK_CONNECTION_LOST);
    Stop();

    m_Client.reset(new Peer);
    m_Server.reset(new Peer);
    Start(m_pNetwork, TS_MULTI_THREAD, UdpRelay::Config{});
    Connect(TS_MULTI_THREAD);
    ASSERT_TRUE(BothConnected());
    m_pRelay->InjectToClient(std::string("\x05\xff", 2));
    EXPECT_TRUE(WaitUntil([&] { return m_Client->Disconnects() == 1; }));
    EXPECT_EQ(m_Client->ReasonOf(0), RT_ERROR_NETWORK_CONNECTION_RESET);
    Stop();
}

TEST_F(RudpTest, HalfOpenFloodsLeaveNothingAndGetNoMoreBytesThanTheySent) {
    CRtRudpConn::SetTimeScaleForTest(10);  // handshake limit 0.5 s
    Start(m_pNetwork, TS_MULTI_THREAD, UdpRelay::Config{});
    // Syncs, and syncs with a request, from fresh ports that never answer.
    const std::string request = ConnRequest();
    uint64_t sent = 0, got = 0;
    std::vector<std::unique_ptr<RawUdp>> flood;
    for (int i = 0; i < 1000; ++i) {
        flood.emplace_back(new RawUdp);
        flood.back()->SendTo(m_nServerPort, std::string("\x00\xff", 2));
        sent += 2;
        if (i % 2) {
            flood.back()->SendTo(m_nServerPort, request);
            sent += request.size();
        }
    }
    Connect(TS_MULTI_THREAD);
    ASSERT_TRUE(BothConnected());
    m_Client->m_nToSend = 20;
    PumpBoth();
    EXPECT_TRUE(WaitUntil([&] { return m_Server->m_nReceived == 20; }));
    // Past the handshake limit only the real connection is left.
    EXPECT_TRUE(WaitUntil([] { return CRtRudpConn::GetLiveCount() == 2; }, 5000)) << CRtRudpConn::GetLiveCount();
    EXPECT_TRUE(WaitUntil([] { return CRtTransportUdp::GetLiveCount() == 2; }, 5000));
    EXPECT_EQ(m_Server->ConnCount(), 1u);
    for (auto& s : flood) {
        std::string d;
        while (s->Recv(d, 0))
            got += d.size();
    }
    EXPECT_LE(got, sent);
    Stop();
}

TEST_F(RudpTest, HeavyLossIsObserved) {
    CRtRudpConn::SetTimeScaleForTest(5);  // timer 1 s, ack limit 3 s
    m_Client->m_nToSend = 100000;
    m_Client->m_Sizes = m_Server->m_Sizes = {200};
    Start(m_pNetwork, TS_MULTI_THREAD, UdpRelay::Config{0.0, 0, 0, 6});
    Connect(TS_MULTI_THREAD);
    ASSERT_TRUE(BothConnected());
    OnNet([&] {
        uint32_t big = 256u << 10;
        m_Client->Conn(0)->SetOption(RT_OPT_CONN_MAX_SEND_BUF, &big);
        m_Server->Conn(0)->SetOption(RT_OPT_RUDP_OBSERVER, static_cast<IRtObserver*>(m_Server.get()));
        m_Client->Conn(0)->SetOption(RT_OPT_RUDP_OBSERVER, static_cast<IRtObserver*>(m_Client.get()));
        return RT_OK;
    });
    m_pRelay->SetLoss(0.3);
    PumpBoth();
    EXPECT_TRUE(WaitUntil([&] { return m_Client->m_nObserved + m_Server->m_nObserved > 0; }, 15000));
    ExpectClean(*m_Server);
    Stop();
}

}  // namespace

namespace {

// A peer of the test's own making on a raw socket: it runs the client's
// handshake and then sends datagrams built packet by packet, as a
// misbehaving or crafted peer would.
class RawRudpClient {
public:
    explicit RawRudpClient(uint16_t aServerPort) : m_nServer(aServerPort) {}

    // Sync, echo, request and response; false when any step fails.
    bool Handshake() {
        std::string d;
        if (!m_Sock.SendTo(m_nServer, std::string("\x00\xff", 2)) || !m_Sock.Recv(d, 3000) ||
            d != std::string("\x00\xff", 2))
            return false;
        CRtRudpPacket req;
        req.pduType = 1;
        req.reliability = 2;
        req.data = std::string("\x01\x78\x56\x34\x12\x7f\x00\x00\x01\x90\x1f", 11);
        Send({req});
        while (m_Sock.Recv(d, 3000))
            if (Contains(d, 2))
                return true;
        return false;
    }
    // One datagram with aPackets; reliable ones get the next numbers.
    void Send(std::vector<CRtRudpPacket> aPackets) {
        CRtRudpBitStream bs;
        bs.WriteBit(false);
        for (CRtRudpPacket& p : aPackets) {
            if (p.reliability >= 2)
                p.packetNo = m_wNextNo++;
            p.Write(bs);
        }
        m_Sock.SendTo(m_nServer, std::string(reinterpret_cast<const char*>(bs.GetData()), bs.GetNumberOfBytesUsed()));
    }
    void SendRaw(const std::string& aBytes) { m_Sock.SendTo(m_nServer, aBytes); }
    // Whether a datagram carries a packet of aType.
    static bool Contains(const std::string& aDatagram, uint8_t aType) {
        CRtRudpBitStream in(reinterpret_cast<const uint8_t*>(aDatagram.data()), aDatagram.size());
        bool acks = false;
        if (!in.ReadBit(acks))
            return false;
        DS_RangeList<uint16_t> ranges;
        if (acks && !ranges.Deserialize(in))
            return false;
        CRtRudpPacket p;
        while (in.GetNumberOfUnreadBits() >= 8 && CreateInternalPacketFromBitStream(in, p))
            if (p.pduType == aType)
                return true;
        return false;
    }
    static CRtRudpPacket Data(uint16_t aOrder, const std::string& aBytes) {
        CRtRudpPacket p;
        p.pduType = 7;
        p.reliability = 4;
        p.orderingID = aOrder;
        p.data = aBytes;
        return p;
    }
    static CRtRudpPacket Fragment(uint16_t aOrder, uint16_t aId, uint16_t aIndex, uint16_t aCount,
                                  const std::string& aBytes) {
        CRtRudpPacket p = Data(aOrder, aBytes);
        p.isSplitPacket = true;
        p.splitPacketID = aId;
        p.splitPacketIndex = aIndex;
        p.splitPacketCount = aCount;
        return p;
    }

    RawUdp m_Sock;

private:
    uint16_t m_nServer;
    uint16_t m_wNextNo = 0;
};

class RudpPeerTest : public RudpTest {
protected:
    void SetUp() override {
        RudpTest::SetUp();
        m_Server->m_Sizes.clear();  // any size: content is checked by its own seq
        Start(m_pNetwork, TS_MULTI_THREAD, UdpRelay::Config{});
    }
    std::unique_ptr<RawRudpClient> NewClient() {
        std::unique_ptr<RawRudpClient> c(new RawRudpClient(m_nServerPort));
        EXPECT_TRUE(c->Handshake());
        return c;
    }
};

TEST_F(RudpPeerTest, CraftedSplitFieldsAreDroppedAGenuineSplitIsReassembledHeldSplitsAreCapped) {
    auto c = NewClient();
    const std::string m = Message(7, 0, 30);
    // index >= count, count 1, count above the cap, then a second count
    // for one id and a repeated index: none of it may complete a message.
    c->Send({RawRudpClient::Fragment(0, 1, 2, 2, m.substr(0, 10))});
    c->Send({RawRudpClient::Fragment(0, 2, 0, 1, m)});
    c->Send({RawRudpClient::Fragment(0, 3, 0, 5000, m.substr(0, 10))});
    c->Send({RawRudpClient::Fragment(0, 4, 0, 3, m.substr(0, 10))});
    c->Send({RawRudpClient::Fragment(0, 4, 1, 2, m.substr(10, 10))});
    c->Send({RawRudpClient::Fragment(0, 4, 0, 3, m.substr(10, 10))});
    ASSERT_TRUE(WaitUntil([&] { return m_Server->ConnCount() == 1; }));
    Settle();
    EXPECT_EQ(m_Server->m_nReceived.load(), 0u);
    // The genuine three fragments, the last first.
    c->Send({RawRudpClient::Fragment(0, 5, 2, 3, m.substr(20)), RawRudpClient::Fragment(0, 5, 0, 3, m.substr(0, 10))});
    c->Send({RawRudpClient::Fragment(0, 5, 1, 3, m.substr(10, 10))});
    EXPECT_TRUE(WaitUntil([&] { return m_Server->m_nReceived == 1; }));
    EXPECT_EQ(m_Server->m_nCorrupt.load(), 0u);
    // Thousands of ids that never complete end the connection.
    for (uint16_t id = 100; id < 10100; ++id)
        c->Send({RawRudpClient::Fragment(1, id, 0, 2, "x")});
    EXPECT_TRUE(WaitUntil([&] { return m_Server->Disconnects() == 1; }));
    EXPECT_EQ(m_Server->ReasonOf(0), RT_ERROR_NETWORK_CONNECTION_LOST);
    Stop();
}

TEST_F(RudpPeerTest, OutOfOrderPacketsWaitForTheGapUpToACap) {
    auto c = NewClient();
    // 33 ahead of a missing one, then the missing one: all in order.
    for (uint16_t i = 1; i <= 33; ++i)
        c->Send({RawRudpClient::Data(i, Message(i, 0, 20))});
    ASSERT_TRUE(WaitUntil([&] { return m_Server->ConnCount() == 1; }));
    Settle();
    EXPECT_EQ(m_Server->m_nReceived.load(), 0u);
    c->Send({RawRudpClient::Data(0, Message(0, 0, 20))});
    EXPECT_TRUE(WaitUntil([&] { return m_Server->m_nReceived == 34; }));
    EXPECT_EQ(m_Server->m_nOutOfOrder.load(), 0u);
    // 10000 ahead of a gap that never fills: the connection ends. Forty
    // to a datagram, paced, so that the socket's buffer takes them all.
    for (uint16_t i = 36; i < 10036; i += 40) {
        std::vector<CRtRudpPacket> batch;
        for (uint16_t k = i; k < i + 40; ++k)
            batch.push_back(RawRudpClient::Data(k, Message(k, 0, 20)));
        c->Send(batch);
        rtos::SleepMs(1);
    }
    EXPECT_TRUE(WaitUntil([&] { return m_Server->Disconnects() == 1; }));
    EXPECT_EQ(m_Server->ReasonOf(0), RT_ERROR_NETWORK_CONNECTION_LOST);
    EXPECT_EQ(m_Server->m_nReceived.load(), 34u);
    Stop();
}

TEST_F(RudpPeerTest, HandshakeInTheWrongStateAndRepeatedSyncs) {
    RawUdp raw;
    std::string d;
    // Each sync in the handshake gets its echo; a request before any sync
    // makes no peer (the listener's marker), a response to a server is
    // dropped and the connection goes on.
    raw.SendTo(m_nServerPort, std::string("\x00\xff", 2));
    ASSERT_TRUE(raw.Recv(d, 3000));
    raw.SendTo(m_nServerPort, std::string("\x00\xff", 2));
    ASSERT_TRUE(raw.Recv(d, 3000));
    EXPECT_EQ(d, std::string("\x00\xff", 2));
    auto c = NewClient();
    CRtRudpPacket resp;
    resp.pduType = 2;
    resp.reliability = 2;
    resp.data = std::string("\x01\x00", 2);
    c->Send({resp, RawRudpClient::Data(0, Message(0, 0, 20))});
    EXPECT_TRUE(WaitUntil([&] { return m_Server->m_nReceived == 1; }));
    EXPECT_EQ(m_Server->Disconnects(), 0u);
    Stop();
}

TEST_F(RudpPeerTest, RoundTripEstimateFromAcknowledgementSamples) {
    auto c = NewClient();
    c->Send({RawRudpClient::Data(0, Message(0, 0, 20))});
    ASSERT_TRUE(WaitUntil([&] { return m_Server->ConnCount() == 1; }));
    CRtRudpConn* conn = nullptr;
    OnNet([&] {
        IRtTransport* lower = nullptr;
        m_Server->Conn(0)->GetOption(RT_OPT_LOWER_TRANSPORT, &lower);
        conn = dynamic_cast<CRtRudpConn*>(lower);
        return RT_OK;
    });
    ASSERT_NE(conn, nullptr);
    auto rtt = [&] {
        int64_t v = 0;
        OnNet([&] {
            v = conn->GetRtt();
            return RT_OK;
        });
        return v;
    };
    auto interval = [&] {
        int64_t v = 0;
        OnNet([&] {
            v = conn->GetResendInterval();
            return RT_OK;
        });
        return v;
    };
    EXPECT_EQ(rtt(), 100);
    EXPECT_EQ(interval(), 240000);
    // Two packets sent 20 ms apart, both acknowledged 60 ms after the first:
    // samples of 60 and 40 ms.
    const int64_t t0 = CRtRudpConn::NowUs();
    auto sendAt = [&](int64_t aUs, uint32_t aSeq) {
        CRtRudpConn::SetClockForTest(aUs);
        OnNet([&] {
            std::string m = Message(aSeq, 0, 20);
            CRtMessageBlock b(m.size(), m.data(), CRtMessageBlock::DONT_DELETE, m.size());
            return conn->SendData(b);
        });
        // The send's flush is posted behind it: it runs at this time too.
        OnNet([] { return RT_OK; });
    };
    auto ackAt = [&](int64_t aUs, uint16_t aFirst, uint16_t aLast) {
        CRtRudpConn::SetClockForTest(aUs);
        CRtRudpBitStream bs;
        bs.WriteBit(true);
        DS_RangeList<uint16_t> r;
        for (int n = aFirst; n <= aLast; ++n)
            r.Insert(static_cast<uint16_t>(n));
        r.Serialize(bs, 1000, true);
        c->SendRaw(std::string(reinterpret_cast<const char*>(bs.GetData()), bs.GetNumberOfBytesUsed()));
        // Taken once only the response (which this peer never
        // acknowledges) awaits acknowledgement.
        EXPECT_TRUE(WaitUntil([&] {
            size_t n = 1;
            OnNet([&] {
                n = conn->GetInFlightForTest();
                return RT_OK;
            });
            return n == 1;
        }));
    };
    // The response was number 0; the server's data goes from number 1.
    sendAt(t0, 1);
    sendAt(t0 + 20000, 2);
    ackAt(t0 + 60000, 1, 2);
    EXPECT_EQ(rtt(), 50);
    EXPECT_EQ(interval(), 150000);
    // A single counted sample changes nothing; a sample above three times
    // the estimate does not count.
    sendAt(t0 + 100000, 3);
    ackAt(t0 + 110000, 3, 3);
    EXPECT_EQ(rtt(), 50);
    sendAt(t0 + 200000, 4);
    sendAt(t0 + 200000, 5);
    ackAt(t0 + 200000 + 160000, 4, 5);
    EXPECT_EQ(rtt(), 50);
    CRtRudpConn::SetClockForTest(0);
    Stop();
}

TEST_F(RudpTest, MtuOutOfRangeIsClampedAndDataStillFlows) {
    for (uint32_t mtu : {20u, 9000u}) {
        m_Client.reset(new Peer);
        m_Server.reset(new Peer);
        m_Client->m_nToSend = 30;
        m_Client->m_Sizes = m_Server->m_Sizes = {3000, 10};
        Start(m_pNetwork, TS_MULTI_THREAD, UdpRelay::Config{0.05, 0, 0, mtu});
        Connect(TS_MULTI_THREAD);
        ASSERT_TRUE(BothConnected());
        uint32_t used = 0;
        OnNet([&] {
            uint32_t v = mtu;
            m_Client->Conn(0)->SetOption(RT_OPT_RUDP_MTU, &v);
            return m_Client->Conn(0)->GetOption(RT_OPT_RUDP_MTU, &used);
        });
        EXPECT_EQ(used, mtu < 100 ? 100u : 1492u);
        PumpBoth();
        EXPECT_TRUE(WaitUntil([&] { return m_Server->m_nReceived == 30; }, 15000)) << m_Server->m_nReceived;
        ExpectClean(*m_Server);
        Stop();
    }
}

}  // namespace

namespace {

// The protocol's own periods, once at their real length.
TEST_F(RudpTest, RealPaceSyncsAt0_1_6_16_31SecondsThenTimeout) {
    RawUdp silent;
    m_pThread = m_pNetwork;
    const uint64_t t0 = rtos::MonotonicMs();
    Connect(TS_MULTI_THREAD, silent.Port());
    std::vector<uint64_t> at;
    std::string d;
    while (at.size() < 5 && silent.Recv(d, 20000))
        at.push_back(rtos::MonotonicMs() - t0);
    ASSERT_EQ(at.size(), 5u);
    const uint64_t expected[] = {0, 1000, 6000, 16000, 31000};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_GE(at[i] + 100, expected[i]) << i;
        EXPECT_LE(at[i], expected[i] + 1500) << i;
    }
    EXPECT_TRUE(WaitUntil([&] { return !m_Client->Results().empty(); }, 3000));
    EXPECT_EQ(m_Client->Results().at(0), RT_ERROR_TIMEOUT);
    Stop();
}

TEST_F(RudpTest, RealPaceIdleOutlivesTheLimitAndSilenceEndsBothWithin15SecondsAndATick) {
    Start(m_pNetwork, TS_MULTI_THREAD, UdpRelay::Config{});
    Connect(TS_MULTI_THREAD);
    ASSERT_TRUE(BothConnected());
    rtos::SleepMs(18000);
    EXPECT_EQ(m_Client->Disconnects() + m_Server->Disconnects(), 0u);
    const uint64_t t0 = rtos::MonotonicMs();
    m_pRelay->SetForwarding(false);
    EXPECT_TRUE(WaitUntil([&] { return m_Client->Disconnects() == 1 && m_Server->Disconnects() == 1; }, 22000));
    EXPECT_LE(rtos::MonotonicMs() - t0, 20000u + 1000u);
    EXPECT_EQ(m_Client->ReasonOf(0), RT_ERROR_NETWORK_CONNECTION_LOST);
    EXPECT_EQ(m_Server->ReasonOf(0), RT_ERROR_NETWORK_CONNECTION_LOST);
    Stop();
}

TEST_F(RudpTest, AnIdleAcceptedConnectionSendsKeepAlivesOnlyWithTheTypeBit) {
    CRtRudpConn::SetTimeScaleForTest(10);  // timer 0.5 s, limit 1.5 s
    for (bool keepAlive : {false, true}) {
        SCOPED_TRACE(keepAlive);
        m_Server.reset(new Peer);
        Start(m_pNetwork, TS_MULTI_THREAD, UdpRelay::Config{}, kRudp | (keepAlive ? RT_RUDP_TYPE_SERVER_KEEPALIVE : 0));
        // A client by hand that acknowledges the response, then falls silent.
        RawUdp peer;
        std::string d;
        peer.SendTo(m_nServerPort, std::string("\x00\xff", 2));
        ASSERT_TRUE(peer.Recv(d));
        peer.SendTo(m_nServerPort, ConnRequest());
        ASSERT_TRUE(peer.Recv(d));
        CRtRudpBitStream in(reinterpret_cast<const uint8_t*>(d.data()), d.size());
        bool hasAcks = false;
        DS_RangeList<uint16_t> acks;
        CRtRudpPacket resp;
        ASSERT_TRUE(in.ReadBit(hasAcks) && (!hasAcks || acks.Deserialize(in)));
        ASSERT_TRUE(CreateInternalPacketFromBitStream(in, resp));
        ASSERT_EQ(resp.data, std::string("\x01\x00", 2));
        CRtRudpBitStream ack;
        ack.WriteBit(true);
        acks.Clear();
        acks.Insert(resp.packetNo);
        acks.Serialize(ack, 1 << 16, false);
        peer.SendTo(m_nServerPort, Bytes(ack));
        ASSERT_TRUE(WaitUntil([&] { return m_Server->ConnCount() == 1; }));
        // Two timer periods, within the limit.
        rtos::SleepMs(1300);
        int keepAlives = 0;
        while (peer.Recv(d, 0)) {
            CRtRudpBitStream s(reinterpret_cast<const uint8_t*>(d.data()), d.size());
            CRtRudpPacket p;
            if (s.ReadBit(hasAcks) && (!hasAcks || acks.Deserialize(s)) && CreateInternalPacketFromBitStream(s, p) &&
                p.pduType == RUDP_PDU_KEEPALIVE)
                ++keepAlives;
        }
        EXPECT_EQ(keepAlives > 0, keepAlive) << keepAlives;
        Stop();
    }
}

}  // namespace

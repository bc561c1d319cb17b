// The reliable UDP connection through the connection manager on loopback,
// through a seeded lossy relay or against a peer crafted packet by packet:
// every message exactly once, in order per channel and intact, both ways;
// back-pressure; the protocol's periods (scaled down, and once at their real
// length); reset; hostile peers; and half-open floods that leave nothing.
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
const std::string kSync("\x00\xff", 2);

// Message aSeq: its number, its channel, then bytes that follow from both.
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

CRtRudpPacket ConnRequestPacket() {
    CRtRudpPacket p;
    p.pduType = 1;
    p.reliability = 2;
    p.data = std::string("\x01\x78\x56\x34\x12\x7f\x00\x00\x01\x90\x1f", 11);
    return p;
}

// One side's user: takes connections, checks what arrives, and sends a
// plan of messages as fast as back-pressure lets it.
class Peer : public IRtAcceptorConnectorSink, public IRtTransportSink, public IRtObserver {
public:
    void OnConnectIndication(RtResult aReason, IRtTransport* aTrpt, IRtAcceptorConnectorId*) override {
        std::lock_guard<std::recursive_mutex> lock(m_Mutex);
        ++m_nIndications;
        m_nResult = aReason;
        if (RT_SUCCEEDED(aReason) && aTrpt) {
            aTrpt->AddReference();
            aTrpt->OpenWithSink(this);
            m_Conns.push_back(aTrpt);
        }
    }
    void OnReceive(CRtMessageBlock& aData, IRtTransport*) override {
        std::string m = aData.FlattenChained();
        std::lock_guard<std::recursive_mutex> lock(m_Mutex);
        uint32_t seq = 0;
        memcpy(&seq, m.data(), m.size() < 4 ? 0 : 4);
        const uint8_t ch = m.size() < 5 ? 0 : static_cast<uint8_t>(m[4]);
        if (m != Message(seq, ch, m_Sizes.empty() ? m.size() : m_Sizes[seq % m_Sizes.size()]))
            ++m_nCorrupt;
        if (!m_Seen.insert(seq).second) {
            ++m_nDups;
            return;
        }
        auto last = m_LastOnChannel.find(ch);
        if (last != m_LastOnChannel.end() && last->second > seq)
            ++m_nOutOfOrder;
        m_LastOnChannel[ch] = seq;
        ++m_nReceived;
    }
    void OnSend(IRtTransport* aTrpt) override {
        ++m_nOnSends;
        Pump(aTrpt);
    }
    void OnDisconnect(RtResult aReason, IRtTransport*) override {
        std::lock_guard<std::recursive_mutex> lock(m_Mutex);
        if (m_nDisconnects == 0)
            m_nReason = aReason;
        ++m_nDisconnects;
    }
    void OnObserve(const char* aTopic, void*) override { m_nObserved += std::string(aTopic) == "RUDP"; }

    // Sends the plan over aTrpt (channels 0 .. m_nChannels-1) until refused;
    // OnSend goes on.
    void Pump(IRtTransport* aTrpt) {
        std::lock_guard<std::recursive_mutex> lock(m_Mutex);
        for (RtResult rv = RT_OK; m_nSent < m_nToSend; ++m_nSent) {
            const uint32_t seq = m_nSent;
            const uint8_t ch = static_cast<uint8_t>(seq % m_nChannels);
            std::string m = Message(seq, ch, m_Sizes[seq % m_Sizes.size()]);
            CRtMessageBlock block(m.size(), m.data(), CRtMessageBlock::DONT_DELETE, m.size());
            rv = m_nChannels > 1 ? aTrpt->SendDataEx(block, 4, ch, 1, 0, 2, 0) : aTrpt->SendData(block);
            m_nRefused += rv == RT_ERROR_PARTIAL_DATA;
            if (RT_FAILED(rv)) {
                if (rv != RT_ERROR_PARTIAL_DATA)
                    m_nFailedSend = rv;
                return;
            }
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
    // The first connection taken, or null.
    IRtTransport* Conn() {
        std::lock_guard<std::recursive_mutex> lock(m_Mutex);
        return m_Conns.empty() ? nullptr : m_Conns[0];
    }
    bool Connected() { return Conn() != nullptr; }

    std::vector<size_t> m_Sizes{100};
    uint32_t m_nToSend = 0;
    uint32_t m_nChannels = 1;
    std::atomic<uint32_t> m_nSent{0}, m_nReceived{0}, m_nDups{0}, m_nOutOfOrder{0}, m_nCorrupt{0};
    std::atomic<uint32_t> m_nRefused{0}, m_nOnSends{0}, m_nObserved{0}, m_nIndications{0}, m_nDisconnects{0};
    // The last connect indication's result, the first disconnect's reason.
    std::atomic<RtResult> m_nFailedSend{RT_OK}, m_nResult{RT_OK}, m_nReason{RT_OK};

private:
    std::recursive_mutex m_Mutex;
    std::vector<IRtTransport*> m_Conns;
    std::set<uint32_t> m_Seen;
    std::map<uint8_t, uint32_t> m_LastOnChannel;
};

// A client of the test's own making on a raw socket: it runs the handshake
// and then sends datagrams built packet by packet, as a misbehaving or
// crafted peer would.
class RawRudpClient {
public:
    explicit RawRudpClient(uint16_t aServerPort) : m_nServer(aServerPort) {}

    bool SyncEchoed() {
        std::string d;
        return m_Sock.SendTo(m_nServer, kSync) && m_Sock.Recv(d, 3000) && d == kSync;
    }
    // Sync, echo, request and the accepting response (acknowledged when
    // aAck); false when any step fails.
    bool Handshake(bool aAck = false) {
        if (!SyncEchoed())
            return false;
        Send({ConnRequestPacket()});
        std::string d;
        CRtRudpPacket resp;
        while (m_Sock.Recv(d, 3000)) {
            if (!Find(d, 2, &resp))
                continue;
            if (aAck)
                Ack(resp.packetNo, resp.packetNo);
            return resp.data == std::string("\x01\x00", 2);
        }
        return false;
    }
    // One datagram with aPackets (reliable ones get the next numbers); its
    // size.
    size_t Send(std::vector<CRtRudpPacket> aPackets) {
        CRtRudpBitStream bs;
        bs.WriteBit(false);
        for (CRtRudpPacket& p : aPackets) {
            if (p.reliability >= 2)
                p.packetNo = m_wNextNo++;
            p.Write(bs);
        }
        m_Sock.SendTo(m_nServer, Bytes(bs));
        return bs.GetNumberOfBytesUsed();
    }
    void Ack(uint16_t aFirst, uint16_t aLast) {
        CRtRudpBitStream bs;
        bs.WriteBit(true);
        DS_RangeList<uint16_t> r;
        for (int n = aFirst; n <= aLast; ++n)
            r.Insert(static_cast<uint16_t>(n));
        r.Serialize(bs, 1000, true);
        m_Sock.SendTo(m_nServer, Bytes(bs));
    }
    // Takes what has arrived: its size, and its packets of aType in *aCount.
    size_t Drain(uint8_t aType = 0, int* aCount = nullptr) {
        size_t bytes = 0;
        for (std::string d; m_Sock.Recv(d, 0); bytes += d.size())
            if (aCount && Find(d, aType))
                ++*aCount;
        return bytes;
    }
    // The packets a datagram carries.
    static std::vector<CRtRudpPacket> Packets(const std::string& aDatagram) {
        std::vector<CRtRudpPacket> out;
        CRtRudpBitStream in(reinterpret_cast<const uint8_t*>(aDatagram.data()), aDatagram.size());
        bool acks = false;
        DS_RangeList<uint16_t> ranges;
        if (!in.ReadBit(acks) || (acks && !ranges.Deserialize(in)))
            return out;
        CRtRudpPacket p;
        while (in.GetNumberOfUnreadBits() >= 8 && CreateInternalPacketFromBitStream(in, p))
            out.push_back(p);
        return out;
    }
    // Whether a datagram carries a packet of aType (the first into *aOut).
    static bool Find(const std::string& aDatagram, uint8_t aType, CRtRudpPacket* aOut = nullptr) {
        for (const CRtRudpPacket& p : Packets(aDatagram))
            if (p.pduType == aType) {
                if (aOut)
                    *aOut = p;
                return true;
            }
        return false;
    }
    // Reliable ordered data; fragment aIndex of aCount of split aId when
    // aCount is not 0.
    static CRtRudpPacket Data(uint16_t aOrder, const std::string& aBytes, uint16_t aId = 0, uint16_t aIndex = 0,
                              uint16_t aCount = 0) {
        CRtRudpPacket p;
        p.pduType = 7;
        p.reliability = 4;
        p.orderingID = aOrder;
        p.data = aBytes;
        p.isSplitPacket = aCount != 0;
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

class RudpTest : public NetworkTest {
protected:
    void TearDown() override {
        Stop();
        CRtRudpConn::SetTimeScaleForTest(1);
        CRtRudpConn::SetClockForTest(0);
        // Closed connections finish on the cycle and time-outs of their own.
        EXPECT_TRUE(WaitUntil([] { return CRtRudpConn::GetLiveCount() + CRtTransportUdp::GetLiveCount() == 0; }, 10000))
            << CRtRudpConn::GetLiveCount() << " connections, " << CRtTransportUdp::GetLiveCount() << " transports left";
        CRtThreadInfo* info =
            NetValue([&] { return CRtNetworkThreadManager::Instance()->GetThreadInfo(m_pNetwork->GetThreadId()); });
        EXPECT_EQ(NetValue([&] { return info->GetRudpPool()->GetOutstanding(); }), 0) << "packets not back in the pool";
        EXPECT_TRUE(WaitUntil([&] { return NetValue([&] { return info->GetRudpFlowControl()->GetCount(); }) == 0; }))
            << "connections left in flow control";
        NetworkTest::TearDown();
    }

    // aFn's value, worked out on the network thread.
    template <class Fn>
    auto NetValue(Fn aFn) -> decltype(aFn()) {
        decltype(aFn()) v{};
        OnNet([&] {
            v = aFn();
            return RT_OK;
        });
        return v;
    }
    // Listens on a free port for aSink; returns the port.
    uint16_t Listen(Peer& aSink, ThreadStrategy aStrategy = TS_MULTI_THREAD, uint32_t aType = kRudp) {
        const uint16_t port = FreeLoopbackPort();
        IRtAcceptor* a = nullptr;
        RunOn(m_pThread, [&] {
            EXPECT_EQ(RT_OK, CRtConnectionManager::Instance()->CreateConnectionServer(aType, a, aStrategy));
            return a->StartListen(&aSink, LoopbackAddr(port));
        });
        m_Acceptors.push_back(a);
        return port;
    }
    // m_Server listening from aThread, behind a relay.
    void Start(CRtThread* aThread, ThreadStrategy aStrategy, UdpRelay::Config aRelay) {
        m_pThread = aThread;
        m_nServerPort = Listen(*m_Server, aStrategy);
        m_pRelay.reset(new UdpRelay(m_nServerPort, aRelay));
    }
    bool StartConnected(CRtThread* aThread, ThreadStrategy aStrategy, UdpRelay::Config aRelay) {
        Start(aThread, aStrategy, aRelay);
        Connect(aStrategy);
        return WaitUntil([&] { return m_Client->Connected() && m_Server->Connected(); }, 10000);
    }
    void Connect(ThreadStrategy aStrategy, uint16_t aPort = 0, Peer* aSink = nullptr) {
        IRtConnector* c = nullptr;
        RunOn(m_pThread, [&] {
            EXPECT_EQ(RT_OK, CRtConnectionManager::Instance()->CreateConnectionClient(kRudp, c, aStrategy));
            return c->AsycConnect(aSink ? aSink : m_Client, LoopbackAddr(aPort ? aPort : m_pRelay->Port()));
        });
        m_Connectors.push_back(c);
    }
    std::unique_ptr<RawRudpClient> NewClient(uint16_t aPort, bool aAck = false) {
        std::unique_ptr<RawRudpClient> c(new RawRudpClient(aPort));
        EXPECT_TRUE(c->Handshake(aAck));
        return c;
    }
    // A peer that lives until Stop.
    Peer& NewPeer() {
        m_Peers.emplace_back(new Peer);
        return *m_Peers.back();
    }
    // Closes everything and starts over with fresh peers.
    void Stop() {
        if (!m_pThread)
            return;
        RunOn(m_pThread, [&] {
            for (auto& p : m_Peers)
                p->ReleaseAll();
            for (IRtConnector* c : m_Connectors) {
                c->CancelConnect(RT_OK);
                c->ReleaseReference();
            }
            for (IRtAcceptor* a : m_Acceptors) {
                a->StopListen(RT_OK);
                a->ReleaseReference();
            }
            return RT_OK;
        });
        m_Connectors.clear();
        m_Acceptors.clear();
        m_pRelay.reset();
        m_pThread = nullptr;
        m_Peers.clear();
        m_Client = &NewPeer();
        m_Server = &NewPeer();
    }
    void PumpBoth() {
        RunOn(m_pThread, [&] {
            m_Client->Pump(m_Client->Conn());
            m_Server->Pump(m_Server->Conn());
            return RT_OK;
        });
    }
    void ExpectClean(Peer& aPeer) {
        EXPECT_EQ(aPeer.m_nDups.load(), 0u);
        EXPECT_EQ(aPeer.m_nOutOfOrder.load(), 0u);
        EXPECT_EQ(aPeer.m_nCorrupt.load(), 0u);
        EXPECT_EQ(aPeer.m_nFailedSend.load(), RT_OK);
    }

    std::vector<std::unique_ptr<Peer>> m_Peers;
    Peer* m_Client = &NewPeer();
    Peer* m_Server = &NewPeer();
    CRtThread* m_pThread = nullptr;
    std::vector<IRtAcceptor*> m_Acceptors;
    std::vector<IRtConnector*> m_Connectors;
    std::unique_ptr<UdpRelay> m_pRelay;
    uint16_t m_nServerPort = 0;
};

// Rows that close hand the client's plan over, close and release at once: the server
// gets all of it and then hears the shutdown. The others send both ways and
// end on a reset from the server's side.
TEST_F(RudpTest, EveryMessageOnceInOrderIntactThroughLossDupAndReorderWhateverTheMtuUntilResetOrClose) {
    const struct {
        uint32_t seed, mtu, used;
        bool close;
    } rows[] = {{1, 0, 1200, false}, {2, 9000, 1492, false}, {3, 20, 100, true}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.seed);
        for (Peer* p : {m_Client, m_Server}) {
            p->m_Sizes = {5000, 17, 1000, 1, 3000};
            p->m_nToSend = r.close && p == m_Server ? 0 : 400;
            p->m_nChannels = 3;
        }
        ASSERT_TRUE(StartConnected(m_pNetwork, TS_MULTI_THREAD, UdpRelay::Config{0.10, 0.05, 0.05, r.seed}));
        uint32_t used = 0;
        OnNet([&] {
            uint32_t mtu = r.mtu, big = 1u << 20;
            IRtTransport* t = m_Client->Conn();
            if (r.mtu)
                t->SetOption(RT_OPT_RUDP_MTU, &mtu);
            if (r.close)
                t->SetOption(RT_OPT_CONN_MAX_SEND_BUF, &big);
            t->GetOption(RT_OPT_RUDP_MTU, &used);
            m_Client->Pump(t);
            m_Server->Pump(m_Server->Conn());
            // Closed and let go at once: the connection lives on to deliver.
            if (r.close)
                m_Client->ReleaseAll();
            return RT_OK;
        });
        EXPECT_EQ(used, r.used);
        EXPECT_TRUE(WaitUntil(
            [&] { return m_Client->m_nReceived == m_Server->m_nToSend && m_Server->m_nReceived == 400; }, 30000))
            << m_Client->m_nReceived << " " << m_Server->m_nReceived;
        ExpectClean(*m_Client);
        ExpectClean(*m_Server);
        if (r.close) {
            EXPECT_TRUE(WaitUntil([&] { return m_Server->m_nDisconnects == 1; }));
            EXPECT_EQ(m_Server->m_nReason.load(), RT_ERROR_NETWORK_SHUTDOWN);
        } else {
            m_pRelay->InjectToClient(std::string("\x05\xff", 2));
            EXPECT_TRUE(WaitUntil([&] { return m_Client->m_nDisconnects == 1; }));
            EXPECT_EQ(m_Client->m_nReason.load(), RT_ERROR_NETWORK_CONNECTION_RESET);
        }
        Stop();
    }
}

TEST_F(RudpTest, BackPressureRefusesThenTellsOnceFromAUserThreadPastTheNumberWrapAndHeavyLossIsObserved) {
    CRtRudpConn::SetTimeScaleForTest(5);  // timer 1 s, ack limit 3 s
    // From a user thread of its own: every call crosses to the network
    // thread and back.
    CRtThread* user = StartUserThread();
    m_Client->m_nToSend = 70000;  // past 65536 packet numbers
    m_Client->m_Sizes = m_Server->m_Sizes = {40};
    ASSERT_TRUE(StartConnected(user, TS_SINGLE_THREAD, UdpRelay::Config{0.01, 0, 0.01, 4}));
    PumpBoth();
    EXPECT_TRUE(WaitUntil([&] { return m_Server->m_nReceived == 70000; }, 50000)) << m_Server->m_nReceived;
    ExpectClean(*m_Server);
    EXPECT_GT(m_Client->m_nRefused.load(), 0u);
    EXPECT_EQ(m_Client->m_nOnSends.load(), m_Client->m_nRefused.load());

    m_pRelay->SetLoss(0.3);
    RunOn(user, [&] {
        uint32_t big = 256u << 10;
        m_Client->Conn()->SetOption(RT_OPT_CONN_MAX_SEND_BUF, &big);
        for (Peer* p : {m_Client, m_Server})
            p->Conn()->SetOption(RT_OPT_RUDP_OBSERVER, static_cast<IRtObserver*>(p));
        m_Client->m_nToSend += 100000;
        m_Client->Pump(m_Client->Conn());
        return RT_OK;
    });
    EXPECT_TRUE(WaitUntil([&] { return m_Client->m_nObserved + m_Server->m_nObserved > 0; }, 15000));
    ExpectClean(*m_Server);
}

TEST_F(RudpTest, HalfOpenFloodsLeaveNothingAndGetNoMoreBytesThanTheySent) {
    CRtRudpConn::SetTimeScaleForTest(10);  // handshake limit 0.5 s
    Start(m_pNetwork, TS_MULTI_THREAD, UdpRelay::Config{});
    // Syncs, and syncs with a request, from fresh ports that never answer.
    uint64_t sent = 0, got = 0;
    std::vector<std::unique_ptr<RawRudpClient>> flood;
    for (int i = 0; i < 1000; ++i) {
        flood.emplace_back(new RawRudpClient(m_nServerPort));
        sent += flood.back()->m_Sock.SendTo(m_nServerPort, kSync) ? kSync.size() : 0;
        sent += i % 2 ? flood.back()->Send({ConnRequestPacket()}) : 0;
    }
    Connect(TS_MULTI_THREAD);
    ASSERT_TRUE(WaitUntil([&] { return m_Client->Connected() && m_Server->Connected(); }));
    m_Client->m_nToSend = 20;
    PumpBoth();
    EXPECT_TRUE(WaitUntil([&] { return m_Server->m_nReceived == 20; }));
    // Past the handshake limit only the real connection is left.
    EXPECT_TRUE(WaitUntil([] { return CRtRudpConn::GetLiveCount() == 2 && CRtTransportUdp::GetLiveCount() == 2; }))
        << CRtRudpConn::GetLiveCount() << " connections, " << CRtTransportUdp::GetLiveCount() << " transports";
    EXPECT_EQ(m_Server->m_nIndications.load(), 1u);
    for (auto& c : flood)
        got += c->Drain();
    EXPECT_LE(got, sent);
}

// Only the fifth sync gets through: its answer still connects.
TEST_F(RudpTest, TheLastSyncsAnswerStillConnects) {
    CRtRudpConn::SetTimeScaleForTest(5);  // syncs at 0, 0.2, 1.2, 3.2 and 6.2 s
    Start(m_pNetwork, TS_MULTI_THREAD, UdpRelay::Config{});
    m_pRelay->SetForwarding(false);
    Connect(TS_MULTI_THREAD);
    rtos::SleepMs(4700);
    m_pRelay->SetForwarding(true);
    ASSERT_TRUE(WaitUntil([&] { return m_Client->Connected() && m_Server->Connected(); }, 5000));
    EXPECT_EQ(m_Client->m_nIndications.load(), 1u);
    EXPECT_EQ(m_Client->m_nResult.load(), RT_OK);
}

// The protocol's own periods, once at their real length and side by side: a
// client that hears nothing syncs at 0, 1, 6, 16 and 31 s and then gives up;
// an idle connection outlives the 15 s limit on keep-alives and, cut off,
// ends on both sides within the limit and a tick; and idle accepted
// connections get keep-alives only from a server with the type bit.
TEST_F(RudpTest, RealPaceSyncsThenTimeoutWhileIdleOutlivesTheLimitAndSilenceEndsBothSides) {
    ASSERT_TRUE(StartConnected(m_pNetwork, TS_MULTI_THREAD, UdpRelay::Config{}));
    Peer &plainServer = NewPeer(), &keepingServer = NewPeer();
    auto plain = NewClient(Listen(plainServer), true);
    auto kept = NewClient(Listen(keepingServer, TS_MULTI_THREAD, kRudp | RT_RUDP_TYPE_SERVER_KEEPALIVE), true);
    ASSERT_TRUE(WaitUntil([&] { return plainServer.Connected() && keepingServer.Connected(); }));
    RawUdp silent;
    Peer& unanswered = NewPeer();
    const uint64_t t0 = rtos::MonotonicMs();
    Connect(TS_MULTI_THREAD, silent.Port(), &unanswered);
    std::vector<uint64_t> syncs;
    uint64_t cut = 0, ended = 0, gaveUp = 0;
    int keepAlives[2] = {0, 0};
    bool counted = false;
    std::string d;
    auto since = [&] { return rtos::MonotonicMs() - t0; };
    while (since() < 45000 && !(ended && unanswered.m_nIndications)) {
        if (silent.Recv(d, 20)) {
            EXPECT_EQ(d, kSync);
            syncs.push_back(since());
        }
        if (since() >= 13000 && !counted) {  // within the limit
            plain->Drain(RUDP_PDU_KEEPALIVE, &keepAlives[0]);
            kept->Drain(RUDP_PDU_KEEPALIVE, &keepAlives[1]);
            counted = true;
        }
        if (!cut && since() >= 18000) {
            EXPECT_EQ(m_Client->m_nDisconnects + m_Server->m_nDisconnects, 0);
            m_pRelay->SetForwarding(false);
            cut = since();
        }
        if (cut && !ended && m_Client->m_nDisconnects == 1 && m_Server->m_nDisconnects == 1)
            ended = since();
        if (!gaveUp && unanswered.m_nIndications)
            gaveUp = since();
    }
    while (silent.Recv(d, 200))
        syncs.push_back(since());
    ASSERT_EQ(syncs.size(), 5u);
    const uint64_t expected[] = {0, 1000, 6000, 16000, 31000};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_GE(syncs[i] + 100, expected[i]) << i;
        EXPECT_LE(syncs[i], expected[i] + 1500) << i;
    }
    EXPECT_EQ(unanswered.m_nIndications.load(), 1u);
    EXPECT_EQ(unanswered.m_nResult.load(), RT_ERROR_TIMEOUT);
    EXPECT_GE(gaveUp + 100, syncs[4] + 1000);  // the fifth's answer had its second
    EXPECT_TRUE(counted);
    EXPECT_EQ(keepAlives[0], 0);
    EXPECT_GT(keepAlives[1], 0);
    ASSERT_GT(ended, 0u);
    EXPECT_LE(ended - cut, 20000u + 1000u);
    EXPECT_EQ(m_Client->m_nReason.load(), RT_ERROR_NETWORK_CONNECTION_LOST);
    EXPECT_EQ(m_Server->m_nReason.load(), RT_ERROR_NETWORK_CONNECTION_LOST);
}

class RudpPeerTest : public RudpTest {
protected:
    void SetUp() override {
        RudpTest::SetUp();
        m_Server->m_Sizes.clear();  // any size: content is checked by its own seq
        m_pThread = m_pNetwork;
        m_nServerPort = Listen(*m_Server);
    }
};

TEST_F(RudpPeerTest, CraftedSplitFieldsAreDroppedAGenuineSplitIsReassembledHeldSplitsAreCapped) {
    auto c = NewClient(m_nServerPort);
    const std::string m = Message(7, 0, 30);
    // index >= count, count 1, count above the cap, then a second count
    // for one id and a repeated index: none of it may complete a message.
    c->Send({RawRudpClient::Data(0, m.substr(0, 10), 1, 2, 2)});
    c->Send({RawRudpClient::Data(0, m, 2, 0, 1)});
    c->Send({RawRudpClient::Data(0, m.substr(0, 10), 3, 0, 5000)});
    c->Send({RawRudpClient::Data(0, m.substr(0, 10), 4, 0, 3)});
    c->Send({RawRudpClient::Data(0, m.substr(10, 10), 4, 1, 2)});
    c->Send({RawRudpClient::Data(0, m.substr(10, 10), 4, 0, 3)});
    ASSERT_TRUE(WaitUntil([&] { return m_Server->Connected(); }));
    Settle();
    EXPECT_EQ(m_Server->m_nReceived.load(), 0u);
    // The genuine three fragments, the last first.
    c->Send({RawRudpClient::Data(0, m.substr(20), 5, 2, 3), RawRudpClient::Data(0, m.substr(0, 10), 5, 0, 3)});
    c->Send({RawRudpClient::Data(0, m.substr(10, 10), 5, 1, 3)});
    EXPECT_TRUE(WaitUntil([&] { return m_Server->m_nReceived == 1; }));
    EXPECT_EQ(m_Server->m_nCorrupt.load(), 0u);
    // Thousands of ids that never complete end the connection.
    for (uint16_t id = 100; id < 10100; ++id)
        c->Send({RawRudpClient::Data(1, "x", id, 0, 2)});
    EXPECT_TRUE(WaitUntil([&] { return m_Server->m_nDisconnects == 1; }));
    EXPECT_EQ(m_Server->m_nReason.load(), RT_ERROR_NETWORK_CONNECTION_LOST);
}

TEST_F(RudpPeerTest, RepeatedSyncsAndAStrayResponseAreHarmlessOutOfOrderPacketsWaitForTheGapUpToACap) {
    // Each sync in the handshake gets its echo.
    RawRudpClient c(m_nServerPort);
    ASSERT_TRUE(c.SyncEchoed());
    ASSERT_TRUE(c.Handshake());
    // A response sent to a server is dropped and the connection goes on;
    // 33 ahead of a missing one, then the missing one: all in order.
    CRtRudpPacket resp;
    resp.pduType = 2;
    resp.reliability = 2;
    resp.data = std::string("\x01\x00", 2);
    rttest::LogWatch watch;
    c.Send({resp, RawRudpClient::Data(1, Message(1, 0, 20))});
    for (uint16_t i = 2; i <= 33; ++i)
        c.Send({RawRudpClient::Data(i, Message(i, 0, 20))});
    ASSERT_TRUE(WaitUntil([&] { return m_Server->Connected(); }));
    Settle();
    EXPECT_EQ(m_Server->m_nReceived.load(), 0u);
    // The gap is logged once, not once for each packet held.
    EXPECT_EQ(watch.Count("waitingOrderId0 while getting"), 1u);
    c.Send({RawRudpClient::Data(0, Message(0, 0, 20))});
    EXPECT_TRUE(WaitUntil([&] { return m_Server->m_nReceived == 34; }));
    EXPECT_EQ(m_Server->m_nOutOfOrder.load(), 0u);
    EXPECT_EQ(m_Server->m_nDisconnects.load(), 0u);
    // 10000 ahead of a gap that never fills: the connection ends. Forty
    // to a datagram, paced, so that the socket's buffer takes them all.
    for (uint16_t i = 36; i < 10036; i += 40) {
        std::vector<CRtRudpPacket> batch;
        for (uint16_t k = i; k < i + 40; ++k)
            batch.push_back(RawRudpClient::Data(k, Message(k, 0, 20)));
        c.Send(batch);
        rtos::SleepMs(1);
    }
    EXPECT_TRUE(WaitUntil([&] { return m_Server->m_nDisconnects == 1; }));
    EXPECT_EQ(m_Server->m_nReason.load(), RT_ERROR_NETWORK_CONNECTION_LOST);
    EXPECT_EQ(m_Server->m_nReceived.load(), 34u);
}

// Small messages, every other one split at the smallest MTU, with the
// clock stopped (nothing is resent), to a peer that first answers nothing:
// it gets the first window. Then it acknowledges all but each split
// message's second part: the sender stops at its cap of split messages
// awaiting a part.
TEST_F(RudpPeerTest, ASilentPeerGetsOneWindowSplitsAwaitingAPartAreCapped) {
    auto c = NewClient(m_nServerPort, true);
    ASSERT_TRUE(WaitUntil([&] { return m_Server->Connected(); }));
    CRtRudpConn::SetClockForTest(CRtRudpConn::NowUs());
    m_Server->m_Sizes = {20, 60};  // whole, split
    m_Server->m_nToSend = 400;
    OnNet([&] {
        uint32_t mtu = 100, big = 1u << 20;
        IRtTransport* t = m_Server->Conn();
        t->SetOption(RT_OPT_RUDP_MTU, &mtu);
        t->SetOption(RT_OPT_CONN_MAX_SEND_BUF, &big);
        m_Server->Pump(t);
        return RT_OK;
    });
    std::vector<CRtRudpPacket> seen;
    std::set<uint16_t> splits;
    auto ack = [&](const CRtRudpPacket& p) {
        if (p.splitPacketIndex != 1)
            c->Ack(p.packetNo, p.packetNo);
    };
    auto take = [&](uint64_t aForMs, bool aAck) {
        const uint64_t end = rtos::MonotonicMs() + aForMs;
        for (std::string d; rtos::MonotonicMs() < end;) {
            if (!c->m_Sock.Recv(d, 50))
                continue;
            for (const CRtRudpPacket& p : RawRudpClient::Packets(d)) {
                if (p.pduType != 7)
                    continue;
                seen.push_back(p);
                if (p.isSplitPacket)
                    splits.insert(p.splitPacketID);
                if (aAck)
                    ack(p);
            }
        }
    };
    take(300, false);
    EXPECT_EQ(seen.size(), CRtRudpConn::kInitialCwnd);
    for (const CRtRudpPacket& p : seen)
        ack(p);
    take(1000, true);
    EXPECT_EQ(splits.size(), CRtRudpConn::kMaxSplitsInFlight);
    EXPECT_EQ(m_Server->m_nDisconnects.load(), 0u);
}

// The peer ends on a shutdown and is gone before it acknowledges a resend
// of it: the closing side does not wait out the 15 s ack limit.
TEST_F(RudpPeerTest, AnUnacknowledgedShutdownEndsTheClosingSideAfterALinger) {
    auto c = NewClient(m_nServerPort, true);
    ASSERT_TRUE(WaitUntil([&] { return m_Server->Connected(); }));
    CRtRudpConn::SetTimeScaleForTest(10);
    const uint64_t t0 = rtos::MonotonicMs();
    OnNet([&] {
        m_Server->ReleaseAll();
        return RT_OK;
    });
    int shutdowns = 0;
    EXPECT_TRUE(WaitUntil([&] {
        c->Drain(RUDP_PDU_SHUTDOWN, &shutdowns);
        return CRtRudpConn::GetLiveCount() == 0;
    }));
    EXPECT_GE(rtos::MonotonicMs() - t0, CRtRudpConn::kShutdownLingerUs / 10 / 1000);
    EXPECT_GT(shutdowns, 1);
}

TEST_F(RudpPeerTest, RoundTripEstimateFromAcknowledgementSamples) {
    auto c = NewClient(m_nServerPort);
    c->Send({RawRudpClient::Data(0, Message(0, 0, 20))});
    ASSERT_TRUE(WaitUntil([&] { return m_Server->Connected(); }));
    CRtRudpConn* conn = NetValue([&] {
        IRtTransport* lower = nullptr;
        m_Server->Conn()->GetOption(RT_OPT_LOWER_TRANSPORT, &lower);
        return dynamic_cast<CRtRudpConn*>(lower);
    });
    ASSERT_NE(conn, nullptr);
    using Estimate = std::pair<int64_t, int64_t>;  // round trip (ms), resend interval (us)
    auto estimate = [&] { return NetValue([&] { return Estimate(conn->GetRtt(), conn->GetResendInterval()); }); };
    EXPECT_EQ(estimate(), Estimate(100, 240000));
    // Packets sent at the given times (ms), all acknowledged at once. Two
    // sent 20 ms apart and acknowledged 60 ms after the first: samples of 60
    // and 40 ms. Then a single counted sample changes nothing, and samples
    // above three times the estimate do not count.
    const struct {
        std::vector<int64_t> sent;
        int64_t acked;
    } steps[] = {{{0, 20}, 60}, {{100}, 110}, {{200, 200}, 360}};
    const int64_t t0 = CRtRudpConn::NowUs();
    uint16_t next = 1;  // the response was number 0
    for (const auto& step : steps) {
        const uint16_t first = next;
        for (int64_t ms : step.sent) {
            CRtRudpConn::SetClockForTest(t0 + ms * 1000);
            const std::string m = Message(next++, 0, 20);
            OnNet([&] {
                CRtMessageBlock b(m.size(), m.data(), CRtMessageBlock::DONT_DELETE, m.size());
                return conn->SendData(b);
            });
            OnNet([] { return RT_OK; });  // the send's flush, posted behind it, runs at this time too
        }
        CRtRudpConn::SetClockForTest(t0 + step.acked * 1000);
        c->Ack(first, static_cast<uint16_t>(next - 1));
        // Taken once only the response (which this peer never acknowledges)
        // awaits acknowledgement.
        EXPECT_TRUE(WaitUntil([&] { return NetValue([&] { return conn->GetInFlightForTest(); }) == 1; }));
        EXPECT_EQ(estimate(), Estimate(50, 150000)) << step.acked;
    }
}

}  // namespace

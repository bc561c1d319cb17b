// The reliable TCP connection over loopback between its two ends: servers
// made through the connection manager, clients through CConnConnectorT or
// the manager.
#include "RtConnRlbTcpFixture.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <ostream>
#include <random>

#include "RtIndexedStream.h"
#include "RtOs.h"

namespace {

struct PairCase {
    const char* name;
    uint32_t type;
    ThreadStrategy strategy;  // of the server's user (and of a client made by the manager)
    bool clientThroughManager;
    bool clientDisconnects;
};
void PrintTo(const PairCase& aCase, std::ostream* aOut) { *aOut << aCase.name; }

const PairCase kPairs[] = {
    {"acknowledged, users on the network thread, client ends", kReliable, TS_MULTI_THREAD, false, true},
    {"acknowledged, users on the network thread, server ends", kReliable, TS_MULTI_THREAD, false, false},
    {"plain, server user on a thread of its own, server ends", kPackage, TS_SINGLE_THREAD, false, false},
    {"acknowledged, both ends through the manager on one user thread", kReliable, TS_SINGLE_THREAD, true, true},
};

class RlbTcpPairTest : public RlbTcpTest, public ::testing::WithParamInterface<PairCase> {};

}  // namespace

// The handshake gives a channel (reconnecting types only) and a ticket,
// data goes both ways in order, in acknowledged mode the acks free what
// the client kept, and a Disconnect (a 'C') ends the other side with
// RT_ERROR_NETWORK_CONNECTION_CLOSED while the side that ended hears
// nothing.
TEST_P(RlbTcpPairTest, HandshakeDataBothWaysAndDisconnect) {
    const PairCase& c = GetParam();
    StartServer(c.type, c.strategy);
    ASSERT_TRUE(Connect(c.type, 5, c.clientThroughManager));
    EXPECT_EQ(std::vector<RtResult>{RT_OK}, m_Client.Reasons("indication"));
    CRtConnRlbTcp* client = c.clientThroughManager ? nullptr : ClientConn();
    if (client) {
        RunOn(m_pNet, [&] {
            EXPECT_EQ(CS_ESTABLISHED, client->GetStatus());
            EXPECT_EQ(c.type == kReliable, client->GetChannel() != 0);
            EXPECT_NE(0u, client->GetTicket());
            return RT_OK;
        });
    }

    std::string toServer, toClient;
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(RT_OK, Send(m_Client.Last(), m_pClientThread, Indexed(i)));
        ASSERT_EQ(RT_OK, Send(m_Server.Last(), m_pUserThread, Indexed(100 + i)));
        toServer += Indexed(i);
        toClient += Indexed(100 + i);
    }
    EXPECT_TRUE(WaitUntil([&] { return m_Server.m_Sink.Data() == toServer && m_Client.m_Sink.Data() == toClient; }));
    EXPECT_EQ(20u, m_Server.m_Sink.Received().size());
    EXPECT_EQ(20u, m_Client.m_Sink.Received().size());
    if (client && c.type == kReliable) {
        EXPECT_TRUE(
            WaitUntil([&] { return OnNetGet([&] { return client->GetSendBufferForTest().GetKeptCount(); }) == 0; }));
        // Option 145: the keep-alive interval is a third of the idle
        // timeout, at least 1 and at most 50 seconds; 0 is refused and
        // changes nothing.
        RunOn(m_pNet, [&] {
            const uint16_t cases[][2] = {{60, 20}, {300, 50}, {2, 1}, {1, 1}};
            for (const auto& o : cases) {
                uint16_t t = o[0];
                EXPECT_EQ(RT_OK, client->SetOption(RT_OPT_CONN_IDLE_TIMEOUT, &t));
                EXPECT_EQ(o[1], client->GetKeepAliveIntervalForTest()) << o[0];
            }
            uint16_t t = 0;
            EXPECT_EQ(RT_ERROR_INVALID_ARG, client->SetOption(RT_OPT_CONN_IDLE_TIMEOUT, &t));
            client->GetOption(RT_OPT_CONN_IDLE_TIMEOUT, &t);
            EXPECT_EQ(1, t);
            EXPECT_EQ(1, client->GetKeepAliveIntervalForTest());
            t = 60;
            return client->SetOption(RT_OPT_CONN_IDLE_TIMEOUT, &t);
        });
    }

    RecordingAcceptorSink& ender = c.clientDisconnects ? m_Client : m_Server;
    RecordingAcceptorSink& other = c.clientDisconnects ? m_Server : m_Client;
    RunOn(c.clientDisconnects ? m_pClientThread : m_pUserThread, [&] { return ender.Last()->Disconnect(RT_OK); });
    EXPECT_TRUE(WaitUntil([&] { return !other.m_Sink.Reasons().empty(); }));
    EXPECT_EQ(std::vector<RtResult>{RT_ERROR_NETWORK_CONNECTION_CLOSED}, other.m_Sink.Reasons());
    EXPECT_TRUE(ender.m_Sink.Reasons().empty());
}
INSTANTIATE_TEST_SUITE_P(Pairs, RlbTcpPairTest, ::testing::ValuesIn(kPairs));

// The first handshake has the AsycConnect limit: a plain TCP listener that
// never answers the 'A' makes the client fail with the connect timeout.
TEST_F(RlbTcpTest, FirstHandshakeHasTheConnectLimit) {
    CRtAcceptorTcp* plain = new CRtAcceptorTcp;
    plain->AddReference();
    m_nPort = rttest::FreeLoopbackPort();
    RecordingAcceptorSink accepted;
    ASSERT_EQ(RT_OK, RunOn(m_pNet, [&] { return plain->StartListen(&accepted, CRtInetAddr("127.0.0.1", m_nPort)); }));
    EXPECT_FALSE(Connect(kReliable, 1));
    EXPECT_EQ(std::vector<RtResult>{RT_ERROR_NETWORK_CONNECT_TIMEOUT}, m_Client.Reasons("indication"));
    RunOn(m_pNet, [&] {
        plain->StopListen(RT_OK);
        plain->ReleaseReference();
        accepted.DropAll();
        return RT_OK;
    });
}

// ---- Through a relay that cuts and stalls -------------------------------------------------

namespace {

class RlbTcpRelayTest : public RlbTcpTest {
protected:
    void SetUp() override {
        RlbTcpTest::SetUp();
        StartServer(kReliable);
        const uint16_t server = m_nPort;
        m_nPort = rttest::FreeLoopbackPort();
        ASSERT_EQ(RT_OK, RunOn(m_pNet, [&] { return m_Relay.Start(m_nPort, server); }));
    }
    void TearDown() override {
        OnRelay([&] { m_Relay.Stop(); });
        RlbTcpTest::TearDown();
    }
    template <class Fn>
    void OnRelay(Fn aFn) {
        RunOn(m_pNet, [&] {
            aFn();
            return RT_OK;
        });
    }
    // A connected pair whose transport is cut while the relay refuses new
    // connections.
    void ConnectAndCutForGood() {
        ASSERT_TRUE(Connect(kReliable));
        OnRelay([&] {
            m_Relay.Refuse(true);
            m_Relay.CutAll();
        });
    }

    rttest::TcpRelay m_Relay;
};

}  // namespace

// With no way back the client gives up with
// RT_ERROR_NETWORK_RECONNECT_TIMEOUT, the server with the connect timeout.
TEST_F(RlbTcpRelayTest, CutWithNoWayBackFailsAfterTheWindow) {
    ConnectAndCutForGood();
    EXPECT_TRUE(
        WaitUntil([&] { return !m_Client.m_Sink.Reasons().empty() && !m_Server.m_Sink.Reasons().empty(); }, 8000));
    EXPECT_EQ(std::vector<RtResult>{RT_ERROR_NETWORK_RECONNECT_TIMEOUT}, m_Client.m_Sink.Reasons());
    EXPECT_EQ(std::vector<RtResult>{RT_ERROR_NETWORK_CONNECT_TIMEOUT}, m_Server.m_Sink.Reasons());
}

// A Disconnect while reconnecting stops the attempts; the user hears
// nothing more.
TEST_F(RlbTcpRelayTest, DisconnectWhileReconnectingStopsTheAttempts) {
    ConnectAndCutForGood();
    EXPECT_TRUE(WaitUntil([&] { return m_pTestConnector->Attempts() >= 2; }));
    const int attempts = OnNetGet([&] {
        ClientConn()->Disconnect(RT_OK);
        return m_pTestConnector->Attempts();
    });
    rtos::SleepMs(1500);
    EXPECT_EQ(attempts, m_pTestConnector->Attempts());
    EXPECT_TRUE(m_Client.m_Sink.Reasons().empty());
}

// ---- Long streams through the relay --------------------------------------------------------

namespace {

struct StreamCase {
    const char* name;
    uint32_t count;
    uint32_t maxBody;
    int cuts;              // seeded random cuts, each once the last reconnection is in
    bool stall;            // everything held back past the client's idle timeout
    uint32_t uploadLimit;  // of the client, bytes a second
};
void PrintTo(const StreamCase& aCase, std::ostream* aOut) { *aOut << aCase.name; }

#ifdef RT_TEST_SANITIZED
// About 25 MiB each way: the cuts spread over it as over the full size, and
// the memory bound that needs the full size does not hold here anyway.
constexpr uint32_t kLongCount = 800;
#else
constexpr uint32_t kLongCount = 3200;  // about 100 MiB each way
#endif

const StreamCase kStreams[] = {
    {"100 MiB each way in messages up to 64 KiB across random cuts", kLongCount, 65536, 6, false, 0},
    {"a stall past the idle timeout", 200, 2000, 0, true, 0},
    {"an upload limit of 128 KiB/s", 128, 4096, 0, false, 128u << 10},
};

// A seeded indexed stream one way: the receiving end checks every message
// against the next one expected, the sending end sends as back-pressure
// allows.
struct Way {
    Way(uint64_t aSeed, uint32_t aCount, uint32_t aMaxBody)
        : stream(aSeed, aMaxBody), sender(stream, aCount), checker(stream, aCount) {}
    // On the network thread. The hooks reach the way until the fixture
    // closed the connections.
    void Hook(RecordingAcceptorSink& aFrom, RecordingAcceptorSink& aTo) {
        IRtTransport* from = aFrom.Last();
        aTo.m_Sink.m_bKeepData = false;
        aTo.m_Sink.m_OnReceive = [this](IRtTransport*, CRtMessageBlock& aData) {
            checker.Check(aData.FlattenChained());
        };
        aFrom.m_Sink.m_OnSend = [this, from](IRtTransport*) { sender.Pump(from); };
        sender.Pump(from);
    }
    bool Over() const { return checker.Complete() || !checker.Error().empty(); }

    rttest::IndexedStream stream;
    rttest::StreamSender sender;
    rttest::StreamChecker checker;
};

class RlbTcpStreamTest : public RlbTcpRelayTest, public ::testing::WithParamInterface<StreamCase> {
protected:
    std::unique_ptr<Way> m_pUp, m_pDown;
};

}  // namespace

// Every message arrives once, in order and intact, and no user hears of a
// loss, whatever befalls the transport below:
// - cuts at seeded random points (RT_RLBTCP_FAULT_SEED repeats a run), half
//   of them within the first bytes after a reconnection (so some in its
//   handshake): the last reconnection's time limit ended with it, and the
//   peak resident memory grows by far less than what went through;
// - a stall past the client's idle timeout: the client takes the silence
//   for a lost transport and reconnects (the new connection stalls too
//   until the test lets it through), and the streams go on where they were;
// - an upload limit (option 142) holds the rate within wide bounds.
TEST_P(RlbTcpStreamTest, EveryMessageOnceInOrderAndIntact) {
    const StreamCase& c = GetParam();
    const char* given = std::getenv("RT_RLBTCP_FAULT_SEED");
    const uint64_t seed = given ? std::strtoull(given, nullptr, 10) : std::random_device{}();
    std::printf("%s: seed=%llu (RT_RLBTCP_FAULT_SEED repeats it)\n", c.name, static_cast<unsigned long long>(seed));
    RecordProperty("seed", std::to_string(seed));
    std::mt19937_64 random(seed);
    ASSERT_TRUE(Connect(kReliable));
    IRtTransport* client = m_Client.Last();
    if (c.stall) {
        uint16_t idle = 2;
        OnRelay([&] {
            client->SetOption(RT_OPT_CONN_IDLE_TIMEOUT, &idle);
            m_Relay.Stall(true);
        });
    }
    if (c.uploadLimit) {
        uint32_t limit = c.uploadLimit;
        OnRelay([&] { client->SetOption(RT_OPT_CONN_UPLOAD_LIMIT, &limit); });
        rtos::SleepMs(1100);  // a new limit starts with the next second
    }
    rtos::ProcessMemory before{}, after{};
    rtos::QueryProcessMemory(&before);
    const uint64_t start = rtos::MonotonicMs();
    m_pUp.reset(new Way(seed, c.count, c.maxBody));
    m_pDown.reset(new Way(seed + 1, c.count, c.maxBody));
    Way& up = *m_pUp;
    Way& down = *m_pDown;
    OnRelay([&] {
        up.Hook(m_Client, m_Server);
        down.Hook(m_Server, m_Client);
    });
    if (c.stall) {
        EXPECT_TRUE(WaitUntil([&] { return m_Relay.Accepted() == 2; }, 8000));
        OnRelay([&] { m_Relay.Stall(false); });
    }
    int scheduled = 0;
    int accepted = m_Relay.Accepted();
    uint64_t lastReconnection = start;
    EXPECT_TRUE(WaitUntil(
        [&] {
        if (m_Relay.Accepted() != accepted) {
            accepted = m_Relay.Accepted();
            lastReconnection = rtos::MonotonicMs();
        }
        if (scheduled < c.cuts && m_Relay.Cuts() == scheduled && accepted == scheduled + 1) {
            // Every other cut within 64 KiB, from a few bytes up (log-uniform);
            // the rest anywhere in an eighth of the whole transfer.
            const uint64_t range = scheduled % 2 ? static_cast<uint64_t>(c.count) << 13 : 1u << (random() % 17);
            const long budget = 1 + static_cast<long>(random() % range);
            OnRelay([&] { m_Relay.CutAfter(budget); });
            ++scheduled;
        }
        return OnNetGet([&] { return up.Over() && down.Over(); });
        },
        180000));
    const uint64_t elapsed = rtos::MonotonicMs() - start;
    rtos::QueryProcessMemory(&after);
    RunOn(m_pNet, [&] {
        EXPECT_TRUE(up.checker.Complete()) << up.checker.Error();
        EXPECT_TRUE(down.checker.Complete()) << down.checker.Error();
        return RT_OK;
    });
    EXPECT_TRUE(m_Client.m_Sink.Reasons().empty());
    EXPECT_TRUE(m_Server.m_Sink.Reasons().empty());

    if (c.cuts) {
        const uint64_t grown = after.peakResidentBytes - before.peakResidentBytes;
        std::printf("peak resident memory grew by %llu KiB\n", static_cast<unsigned long long>(grown >> 10));
        EXPECT_GE(m_Relay.Cuts(), 1);
        EXPECT_GE(m_pTestConnector->Attempts(), m_Relay.Cuts() + 1);
        EXPECT_EQ(1u, m_Server.Reasons("indication").size());
        // Past the last reconnection's 4 s limit nothing has changed.
        const uint64_t since = rtos::MonotonicMs() - lastReconnection;
        if (since < 4500)
            rtos::SleepMs(static_cast<uint32_t>(4500 - since));
        EXPECT_TRUE(m_Client.m_Sink.Reasons().empty());
        EXPECT_TRUE(m_Server.m_Sink.Reasons().empty());
        EXPECT_EQ(CS_ESTABLISHED, OnNetGet([&] { return ClientConn()->GetStatus(); }));
#ifndef RT_TEST_SANITIZED  // the sanitizers keep freed memory in quarantine
        EXPECT_TRUE(!before.peakResidentBytes || grown < (48u << 20))
            << "peak resident memory grew by " << (grown >> 20) << " MiB";
#endif
    }
    if (c.uploadLimit) {
        const uint64_t bytes = OnNetGet([&] { return up.checker.Sum().Bytes(); });
        ASSERT_GE(bytes, 200u << 10);
        EXPECT_GE(elapsed, bytes * 1000 / c.uploadLimit * 6 / 10) << bytes << " bytes in " << elapsed << " ms";
        EXPECT_LE(elapsed, bytes * 1000 / c.uploadLimit * 4);
    }
}
INSTANTIATE_TEST_SUITE_P(Faults, RlbTcpStreamTest, ::testing::ValuesIn(kStreams));

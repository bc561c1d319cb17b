// UDP through the connection manager and the thread proxies, over loopback,
// with a thread manager of two network threads. The remote side is raw
// sockets of the test's own.
#include <gtest/gtest.h>

#include <memory>
#include <utility>
#include <thread>

#include "RtAcceptorUdp.h"
#include "RtDnsManager.h"
#include "RtNetworkThreadManager.h"
#include "RtTestEvents.h"
#include "RtThread.h"
#include "RtThreadProxy.h"
#include "RtThreadSwitch.h"
#include "RtTransportUdp.h"
#include "RtUdpTestKit.h"

using rttest::RawUdp;
using rttest::RunOn;
using rttest::UdpSink;
using rttest::WaitUntil;

namespace {

CRtThreadManager* g_manager = nullptr;

std::vector<CRtThread*> NetworkThreads() {
    std::vector<CRtThread*> threads;
    g_manager->GetNetworkThreadList(threads);
    return threads;
}

// Winsock's address family numbers differ from Linux's; the ICMP path
// differs with them (Wine reports nothing for an unconnected socket).
bool OnWindows() { return rtos::kAfInet6 == 23; }

uint16_t FreeUdpPort() {
    RawUdp probe;
    return probe.Port();
}

using UserThread = rttest::TaskThread;

// The thread's load and its UDP part.
std::pair<int32_t, int32_t> LoadOf(CRtThread* aThread) {
    CRtThreadInfo* info = CRtNetworkThreadManager::Instance()->GetThreadInfo(aThread->GetThreadId());
    return info ? std::make_pair(info->m_load.load(), info->m_udpLoad.load()) : std::make_pair(0, 0);
}

// A listener through the connection manager, driven from aOwner.
class Listener {
public:
    Listener(CRtThread* aOwner, ThreadStrategy aStrategy) : m_pOwner(aOwner), m_Strategy(aStrategy) {}
    ~Listener() { Stop(); }

    RtResult Start(UdpSink& aSink, uint16_t aPort) {
        return RunOn(m_pOwner, [&] {
            RtResult rv = CRtConnectionManager::Instance()->CreateConnectionServer(CTYPE_UDP, m_pAcceptor, m_Strategy);
            if (RT_FAILED(rv))
                return rv;
            return m_pAcceptor->StartListen(&aSink, CRtInetAddr("127.0.0.1", aPort));
        });
    }
    // Stops listening and drops the sink's transports on the thread their
    // callbacks ran on, then lets the deferred steps run.
    void Stop(UdpSink* aSink = nullptr, CRtThread* aCallbackThread = nullptr) {
        if (m_pAcceptor) {
            RunOn(m_pOwner, [&] {
                m_pAcceptor->StopListen(RT_OK);
                m_pAcceptor->ReleaseReference();
                m_pAcceptor = nullptr;
                return RT_OK;
            });
        }
        if (aSink) {
            RunOn(aCallbackThread ? aCallbackThread : m_pOwner, [&] {
                aSink->ReleaseAll();
                return RT_OK;
            });
        }
        for (CRtThread* net : NetworkThreads())
            rttest::DrainThreads(m_pOwner, net);
    }

private:
    CRtThread* m_pOwner;
    ThreadStrategy m_Strategy;
    IRtAcceptor* m_pAcceptor = nullptr;
};

bool NothingLeft() {
    return WaitUntil(
        [] {
        return CRtTransportUdp::GetLiveCount() == 0 && CRtUdpEndpointManager::GetLiveEndpoints() == 0 &&
               CRtUdpEndpointManager::Instance()->GetEndpointCount() == 0;
        },
        5000);
}

}  // namespace

// The manager makes UDP acceptors and connectors, and no connection-level
// connector for the proxy types. A listener made from a user thread calls
// back on that thread (TS_SINGLE_THREAD: the indication, then the
// datagrams, echoed through the proxy's cross-thread send) or on the network
// thread (TS_MULTI_THREAD).
TEST(UdpIntegration, ListenersCallBackOnTheirStrategysThread) {
    CRtConnectionManager* mgr = CRtConnectionManager::Instance();
    IRtConnector* connector = nullptr;
    EXPECT_EQ(RT_ERROR_INVALID_ARG, mgr->CreateConnectionClient(CTYPE_PROXY_DETECT, connector));
    EXPECT_EQ(RT_ERROR_INVALID_ARG, mgr->CreateConnectionClient(CTYPE_PROXY, connector));
    EXPECT_EQ(nullptr, connector);
    ASSERT_EQ(RT_OK, mgr->CreateConnectionClient(CTYPE_UDP, connector));
    EXPECT_TRUE(connector->IsConnector());
    connector->ReleaseReference();
    IRtAcceptor* acceptor = nullptr;
    ASSERT_EQ(RT_OK, mgr->CreateConnectionServer(CTYPE_UDP, acceptor));
    EXPECT_FALSE(acceptor->IsConnector());
    acceptor->ReleaseReference();

    UserThread user;
    CRtThread* net = g_manager->GetDefaultNetworkThread();
    for (ThreadStrategy strategy : {TS_SINGLE_THREAD, TS_MULTI_THREAD}) {
        SCOPED_TRACE(strategy);
        CRtThread* expected = strategy == TS_SINGLE_THREAD ? user.Get() : net;
        UdpSink sink;
        sink.m_bEcho = true;
        Listener listener(user.Get(), strategy);
        uint16_t port = FreeUdpPort();
        ASSERT_EQ(RT_OK, listener.Start(sink, port));
        RawUdp client;
        for (const char* text : {"hello", "again"}) {
            ASSERT_TRUE(client.SendTo(port, text));
            std::string echoed;
            ASSERT_TRUE(client.Recv(echoed));
            EXPECT_EQ(text, echoed);
        }
        EXPECT_EQ(1, sink.m_nIndications.load());
        EXPECT_EQ(0, sink.m_nUnknown.load()) << "a datagram came before its indication";
        EXPECT_EQ(expected->GetThreadId(), sink.m_nIndicationThread.load());
        EXPECT_EQ(expected->GetThreadId(), sink.m_nReceiveThread.load());
        EXPECT_EQ((std::vector<std::string>{"hello", "again"}), sink.DatagramsOf(0));
        listener.Stop(&sink, expected);
        EXPECT_TRUE(NothingLeft());
    }
}

// A connect from a user thread and one from the second network thread;
// each peer answers to the port the datagram came from.
TEST(UdpIntegration, ConnectFromUserThreadAndFromSecondNetworkThread) {
    UserThread user;
    CRtThread* second = NetworkThreads().at(1);
    for (CRtThread* owner : {user.Get(), second}) {
        RawUdp server;
        UdpSink sink;
        IRtConnector* connector = nullptr;
        ASSERT_EQ(RT_OK, RunOn(owner, [&] {
                      RtResult rv = CRtConnectionManager::Instance()->CreateConnectionClient(CTYPE_UDP, connector);
                      if (RT_FAILED(rv))
                          return rv;
                      return connector->AsycConnect(&sink, CRtInetAddr("127.0.0.1", server.Port()));
                  }));
        ASSERT_TRUE(WaitUntil([&] { return sink.Results().size() == 1; }));
        ASSERT_EQ(RT_OK, sink.Results()[0]);
        EXPECT_EQ(owner->GetThreadId(), sink.m_nIndicationThread.load());
        RunOn(owner, [&] {
            CRtMessageBlock mb(4, "ping", CRtMessageBlock::DONT_DELETE, 4);
            return sink.Transport(0)->SendData(mb);
        });
        std::string got;
        uint16_t from = 0;
        ASSERT_TRUE(server.Recv(got, 5000, &from));
        EXPECT_EQ("ping", got);
        ASSERT_TRUE(server.SendTo(from, "pong"));
        ASSERT_TRUE(WaitUntil([&] { return sink.m_nDatagrams == 1; }));
        EXPECT_EQ(std::vector<std::string>{"pong"}, sink.DatagramsOf(0));
        EXPECT_EQ(owner->GetThreadId(), sink.m_nReceiveThread.load());
        RunOn(owner, [&] {
            sink.ReleaseAll();
            connector->ReleaseReference();
            return RT_OK;
        });
        for (CRtThread* net : NetworkThreads())
            rttest::DrainThreads(owner, net);
        EXPECT_TRUE(NothingLeft());
    }
}

// 1000 source ports at once: one transport each, each datagram at its own
// transport and echoed to its own sender. With the peer limit at 1000, new
// senders past it are dropped (the warning at most once a second) while a
// known peer is still served. A 1 s idle time-out ends them all with 20006,
// after which the thread's load and UDP count are as before and nothing is
// left.
TEST(UdpIntegration, ThousandPeersIdleOutAndLeaveNothing) {
    UserThread user;
    CRtThread* net = g_manager->GetDefaultNetworkThread();
    const auto before = LoadOf(net);
    long handlesBefore = rtos::OpenHandleCount();
    CRtUdpEndpointManager::Instance()->SetPeerLimit(1000);
    size_t logBefore = rttest::ReadProcessLog().size();
    auto started = std::chrono::steady_clock::now();
    UdpSink sink;
    sink.m_bEcho = true;
    Listener listener(user.Get(), TS_SINGLE_THREAD);
    uint16_t port = FreeUdpPort();
    ASSERT_EQ(RT_OK, listener.Start(sink, port));
    const int kPeers = 1000;
    {
        // In rounds of 100, which the socket's buffer holds whole: UDP
        // may drop what a burst overruns.
        std::vector<std::unique_ptr<RawUdp>> clients;
        for (int i = 0; i < kPeers; ++i) {
            clients.emplace_back(new RawUdp);
            ASSERT_TRUE(clients.back()->Ok());
            ASSERT_TRUE(clients.back()->SendTo(port, "peer" + std::to_string(clients.back()->Port())));
            if (i % 100 == 99) {
                ASSERT_TRUE(WaitUntil([&] { return sink.m_nDatagrams == i + 1; }, 10000)) << sink.m_nDatagrams.load();
            }
        }
        EXPECT_EQ(kPeers, sink.m_nIndications.load());
        EXPECT_EQ(std::make_pair(before.first + kPeers, before.second + kPeers), LoadOf(net));
        // Each transport got exactly the datagram its peer sent.
        for (auto& item : sink.Received()) {
            ASSERT_EQ(1u, item.second.size());
            EXPECT_EQ("peer" + std::to_string(sink.PeerPortOf(item.first)), item.second[0]);
        }
        for (auto& client : clients) {
            std::string echoed;
            ASSERT_TRUE(client->Recv(echoed));
            EXPECT_EQ("peer" + std::to_string(client->Port()), echoed);
        }
        std::vector<std::unique_ptr<RawUdp>> late(100);
        for (auto& sender : late) {
            sender.reset(new RawUdp);
            ASSERT_TRUE(sender->SendTo(port, "x"));
        }
        // Read after the late ones, from the same socket.
        ASSERT_TRUE(clients[0]->SendTo(port, "known"));
        ASSERT_TRUE(WaitUntil([&] { return sink.m_nDatagrams == kPeers + 1; }));
        EXPECT_EQ(kPeers, sink.m_nIndications.load());
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        std::string log = rttest::ReadProcessLog().substr(logBefore);
        size_t lines = 0;
        for (size_t at = log.find("peer limit reached"); at != std::string::npos;
             at = log.find("peer limit reached", at + 1))
            ++lines;
        EXPECT_GE(lines, 1u);
        EXPECT_LE(lines, static_cast<size_t>(seconds) + 2) << "one line per second at most";
        // From the user thread: the proxy runs the option on the network
        // thread.
        RunOn(user.Get(), [&] {
            uint16_t idle = 1;
            for (int i = 0; i < kPeers; ++i)
                EXPECT_EQ(RT_OK,
                          sink.Transport(static_cast<size_t>(i))->SetOption(RT_OPT_TRANSPORT_UDP_IDLE_TIMEOUT, &idle));
            return RT_OK;
        });
        ASSERT_TRUE(WaitUntil([&] { return sink.m_nDisconnects == kPeers; }, 10000)) << sink.m_nDisconnects.load();
        for (auto& item : sink.Reasons())
            EXPECT_EQ(RT_ERROR_NETWORK_CONNECT_TIMEOUT, item.second);
    }
    listener.Stop(&sink);
    CRtUdpEndpointManager::Instance()->SetPeerLimit(0);
    EXPECT_TRUE(NothingLeft());
    EXPECT_EQ(before, LoadOf(net));
    long handlesAfter = rtos::OpenHandleCount();
    if (handlesBefore >= 0) {
        EXPECT_LE(handlesAfter, handlesBefore + 2) << "open handles " << handlesBefore << " -> " << handlesAfter;
    }
}

// Two connectors from one local address share its endpoint, never told from
// inside AsycConnect; a third to a peer already connected from there hears
// the endpoint's answer. The peer at a closed port: on Linux the ICMP
// unreachable ends its transport (20001); under Wine nothing is reported for
// an unconnected socket and the idle time-out ends it (20006). The other
// peer of the same endpoint goes on either way.
TEST(UdpIntegration, PeersOfOneLocalAddress) {
    CRtThread* net = g_manager->GetDefaultNetworkThread();
    RawUdp alive;
    const uint16_t closedPort = RawUdp().Port();
    UdpSink sink;
    sink.m_wIdle = 2;
    IRtConnector* connectors[3] = {};
    const uint16_t local = FreeUdpPort();
    auto connect = [&](int aIndex, uint16_t aPort) {
        CRtConnectionManager::Instance()->CreateConnectionClient(CTYPE_UDP, connectors[aIndex]);
        CRtInetAddr from("127.0.0.1", local);
        return connectors[aIndex]->AsycConnect(&sink, CRtInetAddr("127.0.0.1", aPort), nullptr, &from);
    };
    bool indicatedInside = true;
    ASSERT_EQ(RT_OK, RunOn(net, [&] {
                  connect(0, alive.Port());
                  RtResult rv = connect(1, closedPort);
                  indicatedInside = !sink.Results().empty();
                  return rv;
              }));
    EXPECT_FALSE(indicatedInside);
    ASSERT_TRUE(WaitUntil([&] { return sink.m_nIndications == 2; }));
    RunOn(net, [&] { return connect(2, alive.Port()); });
    ASSERT_TRUE(WaitUntil([&] { return sink.Results().size() == 3; }));
    EXPECT_EQ((std::vector<RtResult>{RT_OK, RT_OK, RT_ERROR_FOUND}), sink.Results());
    IRtTransport* toAlive = nullptr;
    IRtTransport* toClosed = nullptr;
    RunOn(net, [&] {
        for (size_t i = 0; i < 2; ++i) {
            (sink.PeerPortOf(sink.Transport(i)) == closedPort ? toClosed : toAlive) = sink.Transport(i);
            CRtMessageBlock mb(3, "abc", CRtMessageBlock::DONT_DELETE, 3);
            sink.Transport(i)->SendData(mb);
        }
        return RT_OK;
    });
    ASSERT_TRUE(toAlive && toClosed);
    std::string got;
    uint16_t from = 0;
    ASSERT_TRUE(alive.Recv(got, 5000, &from));
    EXPECT_EQ(local, from) << "both share the endpoint of the local address";
    ASSERT_TRUE(WaitUntil([&] { return sink.Reasons().count(toClosed) == 1; }, 6000));
    RtResult reason = sink.Reasons()[toClosed];
    if (OnWindows()) {
        std::cout << "checked the idle time-out path (no ICMP report for unconnected sockets)\n";
        EXPECT_EQ(RT_ERROR_NETWORK_CONNECT_TIMEOUT, reason);
    } else {
        std::cout << "checked the ICMP unreachable path\n";
        EXPECT_EQ(RT_ERROR_NETWORK_SOCKET_ERROR, reason);
        EXPECT_EQ(0u, sink.Reasons().count(toAlive)) << "the other peer goes on";
        ASSERT_TRUE(alive.SendTo(local, "still"));
        ASSERT_TRUE(WaitUntil([&] { return sink.m_nDatagrams == 1; }));
    }
    RunOn(net, [&] {
        sink.ReleaseAll();
        for (IRtConnector* c : connectors)
            c->ReleaseReference();
        return RT_OK;
    });
    rttest::DrainThreads(net, net);
    EXPECT_TRUE(NothingLeft());
}

namespace {
std::atomic<bool> g_holdLookups{false};
int HeldResolver(const char*, rtos::SocketAddress* aOut, size_t, size_t* aCount) {
    while (g_holdLookups.load())
        rtos::SleepMs(1);
    *aOut = rttest::Loopback(9);
    *aCount = 1;
    return 0;
}
}  // namespace

// While the lookup is held, a time limit ends the connect with 20006 and
// nothing follows when the lookup ends; a cancelled connect hears nothing.
TEST(UdpIntegration, TimeLimitAndCancelDuringLookup) {
    CRtThread* net = g_manager->GetDefaultNetworkThread();
    CRtDnsManager::SetResolverForTest(&HeldResolver);
    g_holdLookups = true;
    UdpSink timed, cancelled;
    IRtConnector* c1 = nullptr;
    IRtConnector* c2 = nullptr;
    RunOn(net, [&] {
        CRtConnectionManager::Instance()->CreateConnectionClient(CTYPE_UDP, c1);
        CRtConnectionManager::Instance()->CreateConnectionClient(CTYPE_UDP, c2);
        CRtTimeValue limit(0, 200000);
        c1->AsycConnect(&timed, CRtInetAddr("held-one.udp.test", 7000), &limit);
        c2->AsycConnect(&cancelled, CRtInetAddr("held-two.udp.test", 7000));
        return c2->CancelConnect(RT_OK);
    });
    ASSERT_TRUE(WaitUntil([&] { return timed.Results().size() == 1; }));
    EXPECT_EQ(RT_ERROR_NETWORK_CONNECT_TIMEOUT, timed.Results()[0]);
    g_holdLookups = false;
    // Both lookups end now; neither connector may hear of them.
    rtos::SleepMs(300);
    rttest::DrainThreads(net, net);
    EXPECT_EQ(1u, timed.Results().size());
    EXPECT_EQ(0u, cancelled.Results().size());
    RunOn(net, [&] {
        c1->ReleaseReference();
        c2->ReleaseReference();
        return RT_OK;
    });
    rttest::DrainThreads(net, net);
    CRtDnsManager::SetResolverForTest(nullptr);
    EXPECT_TRUE(NothingLeft());
}

// Datagrams under way between the user thread and the network thread are
// bounded per proxy, each way: past the bound a send is refused without
// posting, and received datagrams are dropped and counted.
TEST(UdpIntegration, ProxyBoundsDatagramsInFlight) {
    UserThread user;
    CRtThread* net = g_manager->GetDefaultNetworkThread();
    UdpSink sink;
    Listener listener(user.Get(), TS_SINGLE_THREAD);
    uint16_t port = FreeUdpPort();
    ASSERT_EQ(RT_OK, listener.Start(sink, port));
    RawUdp peer;
    ASSERT_TRUE(peer.SendTo(port, "open"));
    ASSERT_TRUE(WaitUntil([&] { return sink.m_nDatagrams == 1; }));
    const int kMax = static_cast<int>(CRtTransportThreadProxy::kUdpInFlightMax);

    // Sends: the network thread is held while the user thread sends.
    auto gate = rttest::HoldThread(net);
    int ok = 0, refused = 0;
    RunOn(user.Get(), [&] {
        for (int i = 0; i < kMax + 100; ++i) {
            CRtMessageBlock mb(2, "dd", CRtMessageBlock::DONT_DELETE, 2);
            RtResult rv = sink.Transport(0)->SendData(mb);
            (rv == RT_OK ? ok : refused) += rv == RT_OK || rv == RT_ERROR_PARTIAL_DATA ? 1 : 0;
        }
        return RT_OK;
    });
    *gate = true;
    EXPECT_EQ(kMax, ok);
    EXPECT_EQ(100, refused);
    auto* proxy = static_cast<CRtTransportThreadProxy*>(sink.Transport(0));
    EXPECT_TRUE(WaitUntil([&] { return proxy->GetUdpSendsInFlight() == 0; }));

    // Receives: the user thread is held while the peer sends, paced so
    // that the socket's buffer never overflows.
    rttest::LogWatch watch;
    gate = rttest::HoldThread(user.Get());
    // Paced, and on until the bound is met: the socket may drop datagrams
    // of a burst itself.
    int sent = 0;
    EXPECT_TRUE(WaitUntil(
        [&] {
        for (int i = 0; i < 50; ++i, ++sent)
            peer.SendTo(port, "r");
        WaitUntil([&] { return proxy->GetUdpReceivesInFlight() >= static_cast<uint32_t>(std::min(sent, kMax)); }, 500);
        return watch.Has("user thread behind, datagrams dropped=");
        },
        20000));
    EXPECT_EQ(static_cast<uint32_t>(kMax), proxy->GetUdpReceivesInFlight());
    *gate = true;
    EXPECT_TRUE(WaitUntil([&] { return proxy->GetUdpReceivesInFlight() == 0; }));
    // What was under way arrives; later datagrams may follow.
    EXPECT_GE(sink.m_nDatagrams.load(), 1 + kMax);
    listener.Stop(&sink);
    EXPECT_TRUE(NothingLeft());
}

// On the process's main thread, as the service listens: every callback
// arrives there while its loop runs, the first datagram after its
// indication. The main loop runs once per process.
TEST(UdpIntegration, MainThreadListenRunsOnTheMainLoop) {
    CRtThread* main = g_manager->GetMainThread();
    ASSERT_EQ(CRtThreadManager::GetThreadSelfId(), main->GetThreadId());
    UdpSink sink;
    sink.m_bEcho = true;
    IRtAcceptor* acceptor = nullptr;
    ASSERT_EQ(RT_OK, CRtConnectionManager::Instance()->CreateConnectionServer(CTYPE_UDP, acceptor, TS_SINGLE_THREAD));
    uint16_t port = FreeUdpPort();
    ASSERT_EQ(RT_OK, acceptor->StartListen(&sink, CRtInetAddr("127.0.0.1", port)));
    std::string echoed;
    std::thread client([&] {
        RawUdp peer;
        peer.SendTo(port, "main");
        peer.Recv(echoed);
        main->GetEventQueue()->PostEvent(rttest::MakeCall([&] {
            acceptor->StopListen(RT_OK);
            acceptor->ReleaseReference();
            sink.ReleaseAll();
            // Time for the proxies' last steps on both threads.
            CRtTimeValue delay(0, 300000);
            return CRtSignalStop::Instance()->Launch(0, &delay);
        }));
    });
    main->OnThreadRun();
    client.join();
    EXPECT_EQ("main", echoed);
    EXPECT_EQ(main->GetThreadId(), sink.m_nIndicationThread.load());
    EXPECT_EQ(main->GetThreadId(), sink.m_nReceiveThread.load());
    EXPECT_EQ(0, sink.m_nUnknown.load());
    EXPECT_TRUE(NothingLeft());
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    static CRtThreadManager manager;
    manager.Initialize(2, false);
    g_manager = &manager;
    return RUN_ALL_TESTS();
}

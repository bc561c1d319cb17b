// The transport thread proxy over a scripted lower transport: a user task
// thread sends and is called back, the default network thread owns the
// lower transport.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "RtNetworkTest.h"
#include "RtRecordingSinks.h"
#include "RtScriptedTransport.h"
#include "RtTestEvents.h"
#include "RtTestSupport.h"
#include "RtThreadProxy.h"

using rttest::MakeCall;
using rttest::RunOn;
using rttest::ScriptedTransport;
using rttest::WaitUntil;

namespace {

std::atomic<uint32_t> g_lastDeleteThread{0};

// Remembers the thread it was deleted on.
class CountedProxy : public CRtTransportThreadProxy {
public:
    using CRtTransportThreadProxy::CRtTransportThreadProxy;

protected:
    ~CountedProxy() override { g_lastDeleteThread = CRtThreadManager::GetThreadSelfId(); }
};

std::string Pattern(size_t aSize, int aSeed) {
    std::string s(aSize, '\0');
    for (size_t i = 0; i < aSize; ++i)
        s[i] = static_cast<char>('a' + (i * 7 + aSeed) % 26);
    return s;
}

class TransportProxyTest : public rttest::NetworkTest {
protected:
    void SetUp() override {
        NetworkTest::SetUp();
        ASSERT_NE(nullptr, StartUserThread());
        m_Sink.ExpectThread(m_pUser);
        m_pLower = new ScriptedTransport(m_pNetwork);
        m_pLower->AddReference();
    }
    void TearDown() override {
        if (m_pProxy)
            Release();
        EXPECT_EQ(0, m_pLower->m_nOffThread.load()) << "the lower transport was called off its thread";
        EXPECT_EQ(0, m_Sink.WrongThread()) << "the user was called off its thread";
        m_pLower->ReleaseReference();
        NetworkTest::TearDown();
    }
    void Make(ThreadStrategy aStrategy = TS_SINGLE_THREAD, unsigned long aType = CTYPE_TCP) {
        OnNet([&] {
            m_pProxy = new CountedProxy(m_pLower, m_pNetwork, m_pUser, aType, aStrategy);
            m_pProxy->AddReference();
            return m_pLower->OpenWithSink(m_pProxy);
        });
        RunOn(m_pProxy->GetUserThread(), [&] { return m_pProxy->OpenWithSink(&m_Sink); });
    }
    void Release() {
        OnUser([&] {
            m_pProxy->ReleaseReference();
            return RT_OK;
        });
        m_pProxy = nullptr;
    }
    // Sends a copy of aBytes from the user thread.
    RtResult Send(const std::string& aBytes) {
        return OnUser([&] {
            CRtMessageBlock mb(aBytes.size(), aBytes.data(), CRtMessageBlock::DONT_DELETE, aBytes.size());
            return m_pProxy->SendData(mb);
        });
    }
    void Drain(size_t aBytes) {
        OnNet([&] {
            m_pLower->Drain(aBytes);
            return RT_OK;
        });
    }

    ScriptedTransport* m_pLower = nullptr;
    CRtTransportThreadProxy* m_pProxy = nullptr;
    rttest::RecordingSink m_Sink;
};

}  // namespace

// ---- Sending from a user thread that is not a network thread -------------------------

TEST_F(TransportProxyTest, RefusedSendGetsPartialDataAndOneOnSendAfterTheQueueDrained) {
    Make();
    m_pLower->Limit(10);
    std::string first = Pattern(100, 1);
    EXPECT_EQ(RT_OK, Send(first));
    ASSERT_TRUE(WaitUntil([&] { return m_pLower->SentSize() == 10; }));
    Settle();
    // 90 bytes wait in the proxy: the user is refused, and nothing of the
    // refused chains goes out.
    EXPECT_EQ(RT_ERROR_PARTIAL_DATA, Send("refused"));
    EXPECT_EQ(RT_ERROR_PARTIAL_DATA, Send("again"));
    Drain(40);
    Settle();
    EXPECT_EQ(0, m_Sink.Count("send"));
    EXPECT_EQ(RT_ERROR_PARTIAL_DATA, Send("still"));
    Drain(1000);
    ASSERT_TRUE(WaitUntil([&] { return m_Sink.Count("send") == 1; }));
    EXPECT_EQ(first, m_pLower->Sent());
    // A later write readiness without a refusal tells the user nothing.
    OnNet([&] {
        m_pProxy->OnSend(m_pLower);
        return RT_OK;
    });
    Settle();
    EXPECT_EQ(1, m_Sink.Count("send"));
    EXPECT_EQ(RT_OK, Send("next"));
    ASSERT_TRUE(WaitUntil([&] { return m_pLower->Sent() == first + "next"; }));
}

TEST_F(TransportProxyTest, SendsMadeWhileTheSocketIsFullLeaveInCallOrder) {
    Make();
    m_pLower->Limit(5);
    std::string a = Pattern(300, 1), b = Pattern(200, 2), c = Pattern(100, 3);
    {
        // All three are posted before the network thread sees the first.
        auto gate = BlockNetwork();
        EXPECT_EQ(RT_OK, Send(a));
        EXPECT_EQ(RT_OK, Send(b));
        EXPECT_EQ(RT_OK, Send(c));
        *gate = true;
    }
    Settle();
    for (int i = 0; i < 200 && m_pLower->SentSize() < 600; ++i)
        Drain(7);
    EXPECT_EQ(a + b + c, m_pLower->Sent());
    // The user was never refused, so it is not told either.
    Settle();
    EXPECT_EQ(0, m_Sink.Count("send"));
}

// ---- Disconnects ------------------------------------------------------------------------

TEST_F(TransportProxyTest, DisconnectThenPeerCloseGivesNoOnDisconnect) {
    Make();
    {
        // The peer's close reaches the proxy before the disconnect does.
        auto gate = BlockNetwork();
        PostToNetwork([this] { m_pLower->PeerClose(); });
        EXPECT_EQ(RT_OK, OnUser([&] { return m_pProxy->Disconnect(RT_OK); }));
        *gate = true;
    }
    Settle();
    EXPECT_EQ(0, m_Sink.Count("disconnect"));
    // The close came first: the lower transport was dropped, not disconnected.
    EXPECT_EQ(0, m_pLower->m_nDisconnects.load());
    EXPECT_EQ(RT_OK, OnUser([&] { return m_pProxy->Disconnect(RT_OK); }));
}

TEST_F(TransportProxyTest, PeerCloseDeliversDataThenOneOnDisconnectAndDropsTheLower) {
    Make();
    OnNet([&] {
        m_pLower->Deliver("hello");
        m_pLower->Deliver(" world");
        m_pLower->PeerClose();
        return RT_OK;
    });
    ASSERT_TRUE(WaitUntil([&] { return m_Sink.Count("disconnect") == 1; }));
    // The receive buffer was overwritten after each call: the user got copies.
    EXPECT_EQ((std::vector<std::string>{"receive", "receive", "disconnect"}), m_Sink.Kinds());
    EXPECT_EQ("hello world", m_Sink.Data());
    EXPECT_EQ((std::vector<RtResult>{RT_ERROR_NETWORK_SOCKET_ERROR}), m_Sink.Reasons());
    EXPECT_EQ(1u, m_pLower->GetReference());
    EXPECT_EQ(RT_ERROR_NOT_AVAILABLE, Send("late"));
    EXPECT_EQ(RT_OK, OnUser([&] { return m_pProxy->Disconnect(RT_OK); }));
    Settle();
    EXPECT_EQ(1, m_Sink.Count("disconnect"));
}

// ---- Options ---------------------------------------------------------------------------------

// Only a multi-threaded TCP proxy moves, and only to a thread it is given.
TEST_F(TransportProxyTest, BindThreadOnlyForMultiThreadTcpWithAThread) {
    CRtTransportBindThreadParam param, none;
    param.m_thread = m_pNetwork;
    Make();
    EXPECT_EQ(RT_ERROR_UNEXPECTED, OnUser([&] { return m_pProxy->SetOption(RT_OPT_BIND_THREAD, &param); }));
    Settle();
    EXPECT_EQ(nullptr, m_pLower->m_pBoundTo.load());
    Release();
    Make(TS_MULTI_THREAD, CTYPE_UDP);
    EXPECT_EQ(RT_ERROR_UNEXPECTED, OnNet([&] { return m_pProxy->SetOption(RT_OPT_BIND_THREAD, &param); }));
    Release();
    Make(TS_MULTI_THREAD, CTYPE_TCP);
    EXPECT_EQ(RT_ERROR_INVALID_ARG, OnNet([&] { return m_pProxy->SetOption(RT_OPT_BIND_THREAD, &none); }));
    EXPECT_EQ(nullptr, m_pLower->m_pBoundTo.load());
    EXPECT_EQ(RT_OK, OnNet([&] { return m_pProxy->SetOption(RT_OPT_BIND_THREAD, &param); }));
    EXPECT_EQ(m_pNetwork, m_pLower->m_pBoundTo.load());
}

TEST_F(TransportProxyTest, OptionsFromTheUserThreadRunOnTheNetworkThread) {
    Make();
    uint32_t type = 0;
    EXPECT_EQ(RT_OK, OnUser([&] { return m_pProxy->GetOption(RT_OPT_TRANSPORT_TRAN_TYPE, &type); }));
    EXPECT_EQ(1u, type);
    EXPECT_EQ(RT_OK, OnUser([&] { return m_pProxy->SetOption(RT_OPT_TRANSPORT_TCP_NODELAY, &type); }));
    EXPECT_EQ(static_cast<unsigned long>(RT_OPT_TRANSPORT_TCP_NODELAY), m_pLower->m_nLastSet.load());
    IRtTransport* lower = nullptr;
    EXPECT_EQ(RT_OK, OnUser([&] { return m_pProxy->GetOption(RT_OPT_LOWER_TRANSPORT, &lower); }));
    EXPECT_EQ(m_pLower, lower);
    // Dropping the lower transport from the user thread releases it on its own.
    EXPECT_EQ(RT_OK, OnUser([&] { return m_pProxy->SetOption(RT_OPT_LOWER_TRANSPORT, nullptr); }));
    EXPECT_EQ(1u, m_pLower->GetReference());
    EXPECT_EQ(RT_ERROR_NULL_POINTER, OnUser([&] { return m_pProxy->GetOption(RT_OPT_TRANSPORT_TRAN_TYPE, &type); }));
    EXPECT_EQ(RT_ERROR_NOT_AVAILABLE, Send("x"));
}

// The lower transport observes the proxy; the user's observer hears it on
// the user thread, and nothing once the user disconnected (it may be gone).
TEST_F(TransportProxyTest, TheObserverHearsOnTheUserThreadAndNothingAfterDisconnect) {
    Make();
    struct Observer : IRtObserver {
        void OnObserve(const char* aTopic, void*) override {
            heard += std::string(aTopic) == "RUDP" && CRtThreadManager::IsEqualCurrentThread(user);
        }
        uint32_t user = 0;
        std::atomic<int> heard{0};
    } observer;
    observer.user = m_pUser->GetThreadId();
    IRtObserver* got = nullptr;
    EXPECT_EQ(RT_OK,
              OnUser([&] { return m_pProxy->SetOption(RT_OPT_RUDP_OBSERVER, static_cast<IRtObserver*>(&observer)); }));
    EXPECT_EQ(RT_OK, OnUser([&] { return m_pProxy->GetOption(RT_OPT_RUDP_OBSERVER, &got); }));
    EXPECT_EQ(&observer, got);
    auto observe = [&] {
        OnNet([&] {
            m_pLower->m_pObserver.load()->OnObserve("RUDP", nullptr);
            return RT_OK;
        });
        Settle();
    };
    observe();
    EXPECT_EQ(1, observer.heard.load());
    EXPECT_EQ(RT_OK, OnUser([&] { return m_pProxy->Disconnect(RT_OK); }));
    observe();
    EXPECT_EQ(1, observer.heard.load());
}

// The registry no longer knows the proxy's network thread (taken out while
// its loop still runs, as between a destroy and the loop's end). An option
// asked from elsewhere is refused, and the event that carried it, which
// holds the proxy, is disposed of: the proxy still goes with its last
// release instead of leaking with that event.
TEST_F(TransportProxyTest, OptionRefusedForANetworkThreadThatIsGoneWithoutKeepingTheProxy) {
    rttest::TaskThread owned(rttest::StartNetworkThread());
    CRtThread* net = owned.Get();
    ASSERT_NE(nullptr, net);
    ScriptedTransport* lower = new ScriptedTransport(net);
    lower->AddReference();
    CRtTransportThreadProxy* proxy = nullptr;
    RunOn(net, [&] {
        proxy = new CountedProxy(lower, net, net, CTYPE_TCP, TS_SINGLE_THREAD);
        proxy->AddReference();
        return lower->OpenWithSink(proxy);
    });

    ASSERT_EQ(RT_OK, CRtThreadManager::Instance()->UnregisterThread(net));
    uint32_t value = 0;
    EXPECT_EQ(RT_ERROR_NULL_POINTER, proxy->GetOption(RT_OPT_TRANSPORT_TRAN_TYPE, &value));
    EXPECT_EQ(RT_ERROR_NULL_POINTER, proxy->SetOption(RT_OPT_TRANSPORT_TCP_NODELAY, &value));
    EXPECT_EQ(0u, value);
    EXPECT_EQ(0ul, lower->m_nLastSet.load());
    ASSERT_EQ(RT_OK, CRtThreadManager::Instance()->RegisterThread(net));

    proxy->ReleaseReference();
    EXPECT_TRUE(WaitUntil([&] { return lower->GetReference() == 1u; })) << "the proxy was kept";
    EXPECT_EQ(net->GetThreadId(), g_lastDeleteThread.load());
    EXPECT_EQ(0, lower->m_nOffThread.load());
    lower->ReleaseReference();
}

// ---- Deletion --------------------------------------------------------------------------------

TEST_F(TransportProxyTest, LastReleaseOnTheUserThreadDeletesOnTheNetworkThread) {
    Make();
    Release();
    // The proxy disconnects and lets go of the lower transport as it goes.
    ASSERT_TRUE(WaitUntil([&] { return m_pLower->GetReference() == 1u; }));
    EXPECT_EQ(m_pNetwork->GetThreadId(), g_lastDeleteThread.load());
    EXPECT_EQ(1, m_pLower->m_nDisconnects.load());
    EXPECT_EQ(RT_OK, m_pLower->m_nReason.load());
}

TEST_F(TransportProxyTest, ReleaseWhileTheLowerStillCallsBackDeletesOnceAfterItsEvents) {
    Make();
    {
        // The delete event queues behind data the lower transport delivers,
        // whose events take the proxy again.
        auto gate = BlockNetwork();
        PostToNetwork([this] {
            for (int i = 0; i < 20; ++i)
                m_pLower->Deliver(Pattern(10, i));
        });
        Release();
        *gate = true;
    }
    ASSERT_TRUE(WaitUntil([&] { return m_pLower->GetReference() == 1u; }));
    Settle();
    EXPECT_EQ(m_pNetwork->GetThreadId(), g_lastDeleteThread.load());
    EXPECT_EQ(1, m_pLower->m_nDisconnects.load());
}

// ---- User thread = network thread --------------------------------------------------------------

TEST_F(TransportProxyTest, OnTheNetworkThreadARefusedRestIsKeptAndOnSendComesDirectly) {
    m_Sink.ExpectThread(m_pNetwork);
    Make(TS_MULTI_THREAD);
    m_pLower->Limit(3);
    EXPECT_EQ(RT_OK, OnNet([&] {
                  CRtMessageBlock mb(6, "abcdef", CRtMessageBlock::DONT_DELETE, 6);
                  return m_pProxy->SendData(mb);
              }));
    EXPECT_EQ(RT_ERROR_PARTIAL_DATA, OnNet([&] {
                  CRtMessageBlock mb(1, "g", CRtMessageBlock::DONT_DELETE, 1);
                  return m_pProxy->SendData(mb);
              }));
    int sendsInCall = -1;
    OnNet([&] {
        m_pLower->Drain(100);
        sendsInCall = m_Sink.Count("send");
        return RT_OK;
    });
    EXPECT_EQ(1, sendsInCall);
    EXPECT_EQ("abcdef", m_pLower->Sent());
    OnNet([&] {
        m_pLower->Deliver("in place");
        return RT_OK;
    });
    EXPECT_EQ("in place", m_Sink.Data());
}

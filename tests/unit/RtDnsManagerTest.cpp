#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "RtDnsManager.h"
#include "RtInetAddr.h"
#include "RtOsSocket.h"
#include "RtTestEvents.h"
#include "RtTestSupport.h"
#include "RtThread.h"
#include "RtThreadManager.h"

namespace {

// A private hosts source: names map to one IPv4 address; "fail.*" names
// fail; while the gate is closed, lookups of "slow.*" names wait.
class FakeHosts {
public:
    static FakeHosts& Get() {
        static FakeHosts s_hosts;
        return s_hosts;
    }
    static int Resolve(const char* aHost, rtos::SocketAddress* aOut, size_t aMax, size_t* aCount) {
        FakeHosts& self = Get();
        ++self.lookups;
        std::string host(aHost);
        if (host.rfind("slow.", 0) == 0)
            rttest::WaitUntil([&] { return self.gateOpen.load(); }, 10000);
        *aCount = 0;
        if (host.rfind("fail.", 0) == 0)
            return 11001;
        if (aMax == 0)
            return 0;
        aOut[0] = rtos::SocketAddress();
        aOut[0].family = rtos::kAfInet;
        aOut[0].addr[0] = 10;
        aOut[0].addr[3] = static_cast<uint8_t>(host.size());
        *aCount = 1;
        return 0;
    }
    std::atomic<int> lookups{0};
    std::atomic<bool> gateOpen{true};
};

class Watcher : public IRtObserver {
public:
    void OnObserve(const char* aTopic, void* aData) override {
        topic = aTopic;
        result = *static_cast<int*>(aData);
        thread = CRtThreadManager::GetThreadSelfId();
        ++calls;
    }
    std::atomic<int> calls{0};
    std::atomic<int> result{-1};
    std::atomic<uint32_t> thread{0};
    std::string topic;
};

class DnsTest : public ::testing::Test {
protected:
    void SetUp() override {
        CRtDnsManager::SetResolverForTest(&FakeHosts::Resolve);
        FakeHosts::Get().gateOpen = true;
        m_Listeners[0] = m_First.Get();
        m_Listeners[1] = m_Second.Get();
        m_pDns = CRtDnsManager::Instance();
    }
    void TearDown() override {
        FakeHosts::Get().gateOpen = true;
        CRtDnsManager::SetResolverForTest(nullptr);
    }
    // A name no other test uses, so that the cache starts empty for it.
    static std::string Unique(const char* aPrefix) {
        static std::atomic<int> s_counter{0};
        return std::string(aPrefix) + std::to_string(s_counter++) + ".test";
    }

    rttest::TaskThread m_First{false}, m_Second{false};
    CRtThread* m_Listeners[2] = {nullptr, nullptr};
    CRtDnsManager* m_pDns = nullptr;
};

}  // namespace

TEST_F(DnsTest, OneLookupTellsEveryObserverOnItsOwnThread) {
    std::string name = Unique("slow.two.");  // held at the gate until all three calls are in
    Watcher a, b;
    int before = FakeHosts::Get().lookups;
    FakeHosts::Get().gateOpen = false;
    CRtDnsRecord* record = nullptr;
    EXPECT_EQ(RT_ERROR_WOULD_BLOCK, m_pDns->AsyncResolve(record, CRtString(name), &a, false, m_Listeners[0]));
    EXPECT_EQ(RT_ERROR_WOULD_BLOCK, m_pDns->AsyncResolve(record, CRtString(name), &b, false, m_Listeners[1]));
    // The same observer again: registered once.
    EXPECT_EQ(RT_ERROR_WOULD_BLOCK, m_pDns->AsyncResolve(record, CRtString(name), &b, false, m_Listeners[1]));
    EXPECT_EQ(nullptr, record);
    FakeHosts::Get().gateOpen = true;
    ASSERT_TRUE(rttest::WaitUntil([&] { return a.calls == 1 && b.calls == 1; }));
    rttest::Drain(m_Listeners[0]);
    rttest::Drain(m_Listeners[1]);
    EXPECT_EQ(1, a.calls.load());
    EXPECT_EQ(1, b.calls.load());
    EXPECT_EQ(1, FakeHosts::Get().lookups - before);
    EXPECT_EQ("DnsManager", a.topic);
    EXPECT_EQ(0, a.result.load());
    EXPECT_EQ(m_Listeners[0]->GetThreadId(), a.thread.load());
    EXPECT_EQ(m_Listeners[1]->GetThreadId(), b.thread.load());

    // Now cached: the address comes at once.
    ASSERT_EQ(RT_OK, m_pDns->AsyncResolve(record, CRtString(name), &a, false, m_Listeners[0]));
    ASSERT_NE(nullptr, record);
    ASSERT_EQ(1u, record->GetCount());
    CRtInetAddr addr;
    addr.SetIpAddr(*record->begin());
    EXPECT_EQ(CRtString("10.0.0.") + std::to_string(name.size()).c_str(), addr.GetIpDisplayName());
    record->ReleaseReference();
    EXPECT_EQ(RT_ERROR_NOT_FOUND, m_pDns->CancelResolve(&a));
}

TEST_F(DnsTest, CancelledObserverIsNeverTold) {
    std::string name = Unique("slow.");
    Watcher w;
    FakeHosts::Get().gateOpen = false;
    CRtDnsRecord* record = nullptr;
    EXPECT_EQ(RT_ERROR_WOULD_BLOCK, m_pDns->AsyncResolve(record, CRtString(name), &w, false, m_Listeners[0]));
    EXPECT_EQ(RT_OK, m_pDns->CancelResolve(&w));
    FakeHosts::Get().gateOpen = true;
    // A second observer tells when the lookup is over.
    Watcher done;
    m_pDns->AsyncResolve(record, CRtString(name), &done, false, m_Listeners[0]);
    if (record) {
        record->ReleaseReference();
    } else {
        ASSERT_TRUE(rttest::WaitUntil([&] { return done.calls == 1; }));
    }
    rttest::Drain(m_Listeners[0]);
    EXPECT_EQ(0, w.calls.load());
}

TEST_F(DnsTest, FailureIsReportedAndNotServedFromTheCache) {
    std::string name = Unique("fail.");
    Watcher w;
    CRtDnsRecord* record = nullptr;
    EXPECT_EQ(RT_ERROR_WOULD_BLOCK, m_pDns->AsyncResolve(record, CRtString(name), &w, false, m_Listeners[0]));
    ASSERT_TRUE(rttest::WaitUntil([&] { return w.calls == 1; }));
    EXPECT_NE(0, w.result.load());
    int before = FakeHosts::Get().lookups;
    Watcher again;
    EXPECT_EQ(RT_ERROR_WOULD_BLOCK, m_pDns->AsyncResolve(record, CRtString(name), &again, false, m_Listeners[0]));
    ASSERT_TRUE(rttest::WaitUntil([&] { return again.calls == 1; }));
    EXPECT_EQ(1, FakeHosts::Get().lookups - before);
    EXPECT_EQ(RT_ERROR_NETWORK_DNS_FAILURE, m_pDns->SyncResolve(record, CRtString(name)));
    EXPECT_EQ(nullptr, record);

    CRtInetAddr addr;
    EXPECT_EQ(RT_ERROR_WOULD_BLOCK, addr.Set(name.c_str(), 80));
    EXPECT_FALSE(addr.IsResolved());
}

// A holder of a cached record keeps reading it unchanged while the name is
// looked up again.
TEST_F(DnsTest, RefreshLeavesHeldRecordsAlone) {
    std::string name = Unique("refresh.");
    CRtDnsRecord* held = nullptr;
    ASSERT_EQ(RT_OK, m_pDns->SyncResolve(held, CRtString(name)));
    ASSERT_EQ(1u, held->GetCount());
    std::string before(static_cast<const char*>(*held->begin()), 16);
    Watcher w;
    CRtDnsRecord* none = nullptr;
    EXPECT_EQ(RT_ERROR_WOULD_BLOCK, m_pDns->RefreshHost(CRtString(name)));
    m_pDns->AsyncResolve(none, CRtString(name), &w, true, m_Listeners[0]);
    ASSERT_TRUE(rttest::WaitUntil([&] { return w.calls == 1; }));
    EXPECT_EQ(CRtDnsRecord::RSV_SUCCESS, held->GetState());
    ASSERT_EQ(1u, held->GetCount());
    EXPECT_EQ(before, std::string(static_cast<const char*>(*held->begin()), 16));
    held->ReleaseReference();
}

// A synchronous lookup never shares a record the lookup thread is filling.
TEST_F(DnsTest, SyncAndAsyncLookupsOfOneNameDoNotCollide) {
    std::string name = Unique("race.");
    std::atomic<bool> stop{false};
    Watcher w;
    std::thread async([&] {
        while (!stop) {
            CRtDnsRecord* record = nullptr;
            m_pDns->CancelResolve(&w);
            m_pDns->AsyncResolve(record, CRtString(name), &w, true, m_Listeners[0]);
            if (record)
                record->ReleaseReference();
        }
    });
    for (int i = 0; i < 300; ++i) {
        CRtDnsRecord* record = nullptr;
        ASSERT_EQ(RT_OK, m_pDns->SyncResolve(record, CRtString(name), true));
        ASSERT_EQ(1u, record->GetCount());
        record->ReleaseReference();
    }
    stop = true;
    async.join();
    // Cancelled off the listener thread: a callback may still be running
    // there until the thread has drained.
    m_pDns->CancelResolve(&w);
    rttest::Drain(m_Listeners[0]);
}

// Once its observer is cancelled and its listener drained, the owner may
// destroy the listener thread while the lookup's end is still being told:
// the manager posts to it no more.
TEST_F(DnsTest, AListenerThreadMayGoOnceItsObserverIsCancelled) {
    std::string name = Unique("slow.gone.");
    FakeHosts::Get().gateOpen = false;
    // Many observers ahead of the last one keep the telling busy a while.
    std::vector<Watcher> many(5000);
    CRtDnsRecord* record = nullptr;
    for (Watcher& w : many)
        m_pDns->AsyncResolve(record, CRtString(name), &w, false, m_Listeners[0]);
    Watcher last;
    auto listener = std::make_unique<rttest::TaskThread>(false);
    m_pDns->AsyncResolve(record, CRtString(name), &last, false, listener->Get());
    // Cancelled the moment the first of the others is told, while the
    // manager still tells the rest.
    FakeHosts::Get().gateOpen = true;
    while (many[0].calls == 0)
        std::this_thread::yield();
    bool cancelled = m_pDns->CancelResolve(&last) == RT_OK;
    rttest::Drain(listener->Get());
    listener.reset();
    ASSERT_TRUE(rttest::WaitUntil([&] { return many.back().calls == 1; }));
    rttest::Drain(m_Listeners[0]);
    if (cancelled) {
        EXPECT_EQ(0, last.calls.load());
    }
}

TEST_F(DnsTest, LocalhostResolvesWithTheSystemResolver) {
    CRtDnsManager::SetResolverForTest(nullptr);
    CRtDnsRecord* record = nullptr;
    ASSERT_EQ(RT_OK, m_pDns->SyncResolve(record, CRtString("localhost"), true));
    ASSERT_GE(record->GetCount(), 1u);
    CRtInetAddr addr;
    addr.SetIpAddr(*record->begin());
    EXPECT_TRUE(addr.GetIpDisplayName() == "127.0.0.1" || addr.GetIpDisplayName() == "::1") << addr.GetIpDisplayName();
    record->ReleaseReference();
}

// Shutting down during a lookup returns, and the lookup's end tells nobody.
TEST(CRtDnsManagerShutdown, DuringALookup) {
    CRtDnsManager::SetResolverForTest(&FakeHosts::Resolve);
    FakeHosts::Get().gateOpen = false;
    rttest::TaskThread thread(false);
    CRtThread* listener = thread.Get();
    Watcher w;
    CRtDnsRecord* record = nullptr;
    int before = FakeHosts::Get().lookups;
    EXPECT_EQ(RT_ERROR_WOULD_BLOCK,
              CRtDnsManager::Instance()->AsyncResolve(record, CRtString("slow.shutdown.test"), &w, true, listener));
    ASSERT_TRUE(rttest::WaitUntil([&] { return FakeHosts::Get().lookups > before; }));
    std::thread opener([] {
        rtos::SleepMs(50);
        FakeHosts::Get().gateOpen = true;
    });
    EXPECT_EQ(RT_OK, CRtDnsManager::Instance()->Shutdown());
    opener.join();
    rttest::Drain(listener);
    EXPECT_EQ(0, w.calls.load());
    CRtDnsManager::SetResolverForTest(nullptr);
}

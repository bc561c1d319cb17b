#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "RtHttpProxyManager.h"
#include "RtTestSupport.h"

using rttest::LogWatch;

namespace {

class Counter : public IRtObserver {
public:
    void OnObserve(const char* aTopic, void* aData) override {
        if (std::string(aTopic ? aTopic : "") == "HttpProxyManager" && !aData)
            ++m_nTold;
        else
            ++m_nWrong;
        if (m_bAddAgain)
            CRtHttpProxyManager::Instance()->AddObserver(this);
    }
    std::atomic<int> m_nTold{0};
    std::atomic<int> m_nWrong{0};
    bool m_bAddAgain = false;
};

class HttpProxyManagerTest : public ::testing::Test {
protected:
    void SetUp() override { Clear(); }
    void TearDown() override { Clear(); }
    static void Clear() {
        CRtHttpProxyManager* m = CRtHttpProxyManager::Instance();
        m->ClearCacheProxy();
        for (IRtObserver* o : m_Left)
            m->RemoveObserver(o);
        m_Left.clear();
    }
    static inline std::vector<IRtObserver*> m_Left;
    CRtHttpProxyManager* m = CRtHttpProxyManager::Instance();
};

}  // namespace

TEST(RtHttpProxyInfo, TextHostPortAndDefaults) {
    CRtHttpProxyInfo socks;
    ASSERT_EQ(RT_OK, socks.Init("  proxy.example  ", CRtHttpProxyInfo::SOCK5_PROXY));
    EXPECT_EQ("proxy.example", socks.GetHostName());
    EXPECT_EQ(1080, socks.GetPort());
    EXPECT_EQ(CRtHttpProxyInfo::SOCK5_PROXY, socks.GetProxyType());

    CRtHttpProxyInfo http;
    ASSERT_EQ(RT_OK, http.Init("  proxy.example  :8080", CRtHttpProxyInfo::HTTP_PROXY));
    EXPECT_EQ("proxy.example", http.GetHostName());
    EXPECT_EQ(8080, http.GetPort());
    EXPECT_EQ("proxy.example:8080", http.GetHostAndPort());

    struct Case {
        const char* text;
        CRtHttpProxyInfo::PROXY_TYPE type;
        uint16_t port;
    } cases[] = {{"h", CRtHttpProxyInfo::HTTPS_PROXY, 80},         {"h:0", CRtHttpProxyInfo::SOCK4_PROXY, 1080},
                 {"h:", CRtHttpProxyInfo::HTTP_PROXY, 80},         {"h:8080x", CRtHttpProxyInfo::HTTP_PROXY, 8080},
                 {"h:65535", CRtHttpProxyInfo::HTTP_PROXY, 65535}, {"h:abc", CRtHttpProxyInfo::SOCK5_PROXY, 1080}};
    for (const Case& c : cases) {
        CRtHttpProxyInfo pi;
        ASSERT_EQ(RT_OK, pi.Init(c.text, c.type)) << c.text;
        EXPECT_EQ(c.port, pi.GetPort()) << c.text;
    }
}

TEST(RtHttpProxyInfo, RefusesNoHostAndPortsAboveSixteenBits) {
    for (const char* text : {"", "   ", ":8080", "  :80", "h:70000", "h:65536", "h:-1", "h:99999999999999999999"}) {
        CRtHttpProxyInfo pi;
        EXPECT_EQ(RT_ERROR_INVALID_ARG, pi.Init(text, CRtHttpProxyInfo::HTTP_PROXY)) << text;
    }
    CRtHttpProxyInfo pi;
    EXPECT_EQ(RT_ERROR_INVALID_ARG, pi.Init("h", 70000, CRtHttpProxyInfo::HTTP_PROXY));
    EXPECT_EQ(RT_OK, pi.Init(" h ", 0, CRtHttpProxyInfo::SOCK4_PROXY));
    EXPECT_EQ("h:1080", pi.GetHostAndPort());
}

TEST(RtHttpProxyInfo, EqualIgnoresTheType) {
    CRtHttpProxyInfo a, b, c;
    a.Init("h:3128", CRtHttpProxyInfo::HTTP_PROXY);
    b.Init("h:3128", CRtHttpProxyInfo::SOCK5_PROXY);
    c.Init("h:3129", CRtHttpProxyInfo::HTTP_PROXY);
    EXPECT_TRUE(a.Equal(&a));
    EXPECT_TRUE(a.Equal(&b));
    EXPECT_FALSE(a.Equal(&c));
    EXPECT_FALSE(a.Equal(nullptr));
}

TEST_F(HttpProxyManagerTest, CreateProxyInfoHandsOutOneObjectPerText) {
    CRtHttpProxyInfo* first = nullptr;
    CRtHttpProxyInfo* again = nullptr;
    CRtHttpProxyInfo* other = nullptr;
    ASSERT_TRUE(m->CreateProxyInfo("p1:3128", CRtHttpProxyInfo::HTTP_PROXY, first));
    ASSERT_TRUE(m->CreateProxyInfo("p1:3128", CRtHttpProxyInfo::SOCK5_PROXY, again));
    ASSERT_TRUE(m->CreateProxyInfo("p2:3128", CRtHttpProxyInfo::HTTP_PROXY, other));
    EXPECT_EQ(first, again);
    EXPECT_NE(first, other);
    EXPECT_EQ(3u, first->GetReference());  // the list's and two callers'
    EXPECT_EQ(2u, m->GetProxyCountForTest());

    LogWatch log;
    CRtHttpProxyInfo* bad = nullptr;
    EXPECT_FALSE(m->CreateProxyInfo("  :3128", CRtHttpProxyInfo::HTTP_PROXY, bad));
    EXPECT_FALSE(m->CreateProxyInfo("p3:70000", CRtHttpProxyInfo::HTTP_PROXY, bad));
    EXPECT_EQ(nullptr, bad);
    EXPECT_TRUE(log.Has("CRtHttpProxyManager::CreateProxyInfo, Init() failed!"));

    // The first proxy answers every host and port.
    CRtHttpProxyInfo* got = nullptr;
    EXPECT_EQ(IRtHttpProxyInfoGetter::NEXT_RETURN_FOUND, m->GetProxyInfo("anything", 1, got));
    EXPECT_EQ(first, got);

    // Cleared from the cache, the objects stay valid for their holders.
    EXPECT_EQ(RT_ERROR_FOUND, m->ClearCacheProxy("p1", 3128));
    EXPECT_EQ(RT_ERROR_NOT_FOUND, m->ClearCacheProxy("p1", 3128));
    EXPECT_EQ(RT_ERROR_NOT_FOUND, m->ClearCacheProxy("p2", 3129));
    EXPECT_EQ(1u, m->GetProxyCountForTest());
    EXPECT_EQ(3u, first->GetReference());
    CRtHttpProxyInfo* next = nullptr;
    EXPECT_EQ(IRtHttpProxyInfoGetter::NEXT_RETURN_FOUND, m->GetProxyInfo("p1", 3128, next));
    EXPECT_EQ(other, next);

    EXPECT_EQ(RT_OK, m->ClearCacheProxy());
    CRtHttpProxyInfo* none = nullptr;
    EXPECT_EQ(IRtHttpProxyInfoGetter::NEXT_RETURN_NONE, m->GetProxyInfo("p2", 3128, none));
    EXPECT_EQ(nullptr, none);
    for (CRtHttpProxyInfo* p : {first, again, other, got, next})
        p->ReleaseReference();
}

TEST_F(HttpProxyManagerTest, ObserversAreToldOncePerRegistration) {
    Counter a, b, again;
    again.m_bAddAgain = true;
    m_Left = {&a, &b, &again};
    ASSERT_EQ(RT_OK, m->AddObserver(&a));
    EXPECT_EQ(RT_ERROR_FOUND, m->AddObserver(&a));
    ASSERT_EQ(RT_OK, m->AddObserver(&b));
    ASSERT_EQ(RT_OK, m->AddObserver(&again));
    {
        LogWatch log;
        EXPECT_EQ(RT_ERROR_INVALID_ARG, m->AddObserver(nullptr));
        EXPECT_TRUE(log.Has("Assert failed: aObserver"));
    }
    EXPECT_EQ(RT_OK, m->RemoveObserver(&b));
    EXPECT_NE(RT_OK, m->RemoveObserver(&b));

    m->OnObserve("HttpProxyInfoGetterFile", nullptr);
    EXPECT_EQ(1, a.m_nTold);
    EXPECT_EQ(0, b.m_nTold);
    EXPECT_EQ(1, again.m_nTold);  // added itself again, but not told twice now

    m->OnObserve("HttpProxyInfoGetterFile", nullptr);
    EXPECT_EQ(1, a.m_nTold);
    EXPECT_EQ(2, again.m_nTold);

    ASSERT_EQ(RT_OK, m->AddObserver(&a));
    {
        LogWatch log;
        m->OnObserve("SomethingElse", nullptr);
        EXPECT_TRUE(log.Has("Assert failed: !strcmp(aTopic, \"HttpProxyInfoGetterFile\")"));
    }
    EXPECT_EQ(2, a.m_nTold);
    EXPECT_EQ(0, a.m_nWrong + again.m_nWrong);
}

// Changes reported on several threads while observers come and go: each
// registration is told exactly once.
TEST_F(HttpProxyManagerTest, ConcurrentChangesTellEachRegistrationOnce) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 300;
    std::vector<Counter> counters(kThreads);
    for (Counter& c : counters)
        m_Left.push_back(&c);
    std::atomic<int> added{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                if (m->AddObserver(&counters[t]) == RT_OK)
                    ++added;
                m->OnObserve("HttpProxyInfoGetterFile", nullptr);
                CRtHttpProxyInfo* pi = nullptr;
                if (m->CreateProxyInfo("h" + std::to_string(i % 7) + ":1", CRtHttpProxyInfo::HTTP_PROXY, pi))
                    pi->ReleaseReference();
                if (i % 50 == 0)
                    m->ClearCacheProxy();
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    m->OnObserve("HttpProxyInfoGetterFile", nullptr);
    int told = 0;
    for (Counter& c : counters)
        told += c.m_nTold;
    EXPECT_EQ(added.load(), told);
    EXPECT_EQ(0u, m->GetObserverCountForTest());
}

TEST(RtHttpProxyManagerScheme, WordBeforeTheFirstSpace) {
    EXPECT_EQ("Digest", CRtHttpProxyManager::GetSchemeFromChallenge("Digest realm=\"r\", nonce=\"n\""));
    EXPECT_EQ("NTLM", CRtHttpProxyManager::GetSchemeFromChallenge("NTLM"));
    EXPECT_EQ("", CRtHttpProxyManager::GetSchemeFromChallenge(" Basic"));
}

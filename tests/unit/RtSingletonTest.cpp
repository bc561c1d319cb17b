#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "RtTestSupport.h"
#include "RtUtilTemplates.h"

namespace {

std::atomic<int> g_constructed{0};
std::vector<std::string> g_destroyOrder;

template <int N>
class Registered {
public:
    ~Registered() { g_destroyOrder.push_back("S" + std::to_string(N)); }

private:
    friend class CRtSingletonT<Registered>;
    Registered() {
        ++g_constructed;
        // Widen the window in which a second thread could also create one.
        CRtThreadManager::SleepMs(20);
    }
};

}  // namespace

TEST(CRtSingletonT, ConcurrentFirstUseCreatesOneObject) {
    CRtCleanUpBase::CleanupAll();
    g_constructed = 0;
    int countBefore = CRtCleanUpBase::GetCount();
    std::vector<std::thread> threads;
    std::vector<Registered<0>*> seen(4);
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&seen, i] { seen[i] = CRtSingletonT<Registered<0>>::Instance(); });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(1, g_constructed.load());
    EXPECT_EQ(countBefore + 1, CRtCleanUpBase::GetCount());
    for (auto* p : seen)
        EXPECT_EQ(seen[0], p);
    CRtCleanUpBase::CleanupAll();
}

TEST(CRtCleanUpBase, CleanupAllDestroysNewestFirstAndLogs) {
    CRtCleanUpBase::CleanupAll();
    g_destroyOrder.clear();
    CRtLogCenter::GetLog()->SetLogLevel(RT_LOG_LEVEL_DEBUG, true);
    size_t before = rttest::ReadProcessLog().size();
    CRtSingletonT<Registered<1>>::Instance();
    CRtSingletonT<Registered<2>>::Instance();
    CRtSingletonT<Registered<3>>::Instance();
    EXPECT_EQ(3, CRtCleanUpBase::GetCount());
    CRtCleanUpBase::CleanupAll();
    EXPECT_EQ(0, CRtCleanUpBase::GetCount());
    EXPECT_EQ((std::vector<std::string>{"S3", "S2", "S1"}), g_destroyOrder);
    EXPECT_TRUE(rttest::ProcessLogHasSince(before, "CRtCleanUpBase ctor, Item: 3, header: 0x"));
    EXPECT_TRUE(rttest::ProcessLogHasSince(before, "CRtCleanUpBase::CleanupAll, Item: 1, header: 0x"));

    // A singleton asked for after the clean-up is a new object, not the
    // destroyed one.
    g_constructed = 0;
    CRtSingletonT<Registered<1>>::Instance();
    EXPECT_EQ(1, g_constructed.load());
    CRtCleanUpBase::CleanupAll();
}

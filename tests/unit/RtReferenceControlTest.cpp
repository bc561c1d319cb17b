#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "RtReferenceControl.h"
#include "RtTestSupport.h"

namespace {

int g_destroyed = 0;

template <class Mutex>
class Counted : public CRtReferenceControlT<Mutex> {
public:
    ~Counted() override { ++g_destroyed; }
};

// Keeps the object alive at count 0, as an owner that re-uses it would.
class Revivable : public CRtReferenceControlT<CRtMutexNullSingleThread> {
public:
    int destroyCalls = 0;

protected:
    void OnReferenceDestory() override { ++destroyCalls; }
};

}  // namespace

TEST(CRtReferenceControlT, LastReleaseDestroysExactlyOnce) {
    g_destroyed = 0;
    auto* obj = new Counted<CRtMutexThread>;
    EXPECT_EQ(1u, obj->AddReference());
    EXPECT_EQ(2u, obj->AddReference());
    EXPECT_EQ(1u, obj->ReleaseReference());
    EXPECT_EQ(0, g_destroyed);
    EXPECT_EQ(0u, obj->ReleaseReference());
    EXPECT_EQ(1, g_destroyed);
}

TEST(CRtReferenceControlT, CountMayRiseAgainFromZeroOnALiveObject) {
    Revivable obj;
    obj.AddReference();
    EXPECT_EQ(0u, obj.ReleaseReference());
    EXPECT_EQ(1, obj.destroyCalls);
    EXPECT_EQ(1u, obj.AddReference());
    EXPECT_EQ(0u, obj.ReleaseReference());
    EXPECT_EQ(2, obj.destroyCalls);
}

TEST(CRtReferenceControlT, ReleaseBelowZeroIsRefusedAndReported) {
    size_t before = rttest::ReadProcessLog().size();
    Revivable obj;
    EXPECT_EQ(0u, obj.ReleaseReference());
    EXPECT_EQ(0, obj.destroyCalls);
    EXPECT_EQ(0u, obj.GetReference());
    EXPECT_TRUE(rttest::ProcessLogHasSince(before, "RtReferenceControl:"));
}

TEST(CRtReferenceControlT, CopyTakesTheCountAsItStands) {
    Revivable a;
    a.AddReference();
    a.AddReference();
    Revivable b(a);
    EXPECT_EQ(2u, b.GetReference());
    Revivable c;
    c = a;
    EXPECT_EQ(2u, c.GetReference());
    c = c;
    EXPECT_EQ(2u, c.GetReference());
}

TEST(CRtReferenceControlT, SharedCountSurvivesConcurrentUse) {
    g_destroyed = 0;
    auto* obj = new Counted<CRtMutexThread>;
    obj->AddReference();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([obj] {
            for (int i = 0; i < 50000; ++i) {
                obj->AddReference();
                obj->ReleaseReference();
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(1u, obj->GetReference());
    EXPECT_EQ(0, g_destroyed);
    obj->ReleaseReference();
    EXPECT_EQ(1, g_destroyed);
}

TEST(CRtAutoPtr, HoldsOneReferenceThroughCopiesAndAssignments) {
    Revivable a, b;
    {
        CRtAutoPtr<Revivable> p(&a);
        EXPECT_EQ(1u, a.GetReference());
        CRtAutoPtr<Revivable> q(p);
        EXPECT_EQ(2u, a.GetReference());
        q = &b;
        EXPECT_EQ(1u, a.GetReference());
        EXPECT_EQ(1u, b.GetReference());
        q = q;  // self-assignment keeps the reference
        EXPECT_EQ(1u, b.GetReference());
        p = nullptr;
        EXPECT_EQ(0u, a.GetReference());
        EXPECT_EQ(1, a.destroyCalls);
        EXPECT_EQ(&b, q.Get());
    }
    EXPECT_EQ(0u, b.GetReference());
    EXPECT_EQ(1, b.destroyCalls);
}

TEST(CRtAutoPtr, EmptyDereferenceIsReported) {
    size_t before = rttest::ReadProcessLog().size();
    CRtAutoPtr<Revivable> empty;
    Revivable* raw = empty.operator->();
    EXPECT_EQ(nullptr, raw);
    EXPECT_TRUE(rttest::ProcessLogHasSince(before, "RtReferenceControl:"));
    EXPECT_TRUE(rttest::ProcessLogHasSince(before, " Assert failed: m_pRawPtr"));
}

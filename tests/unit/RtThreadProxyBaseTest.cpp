#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RtMessageBlock.h"
#include "RtThreadProxyBase.h"

namespace {

CRtMessageBlock* Chain(const std::string& aBytes) {
    CRtMessageBlock mb(aBytes.size(), aBytes.data(), CRtMessageBlock::DONT_DELETE, aBytes.size());
    return mb.DuplicateChained();
}

}  // namespace

TEST(PendingSendQueue, GrowsFromSixteenKeepingOrderAcrossTheWrap) {
    CRtPendingSendQueue q;
    EXPECT_TRUE(q.IsEmpty());
    EXPECT_EQ(0u, q.GetCapacity());
    std::vector<CRtMessageBlock*> order;
    auto push = [&](int aTag) {
        CRtMessageBlock* mb = Chain(std::to_string(aTag));
        order.push_back(mb);
        ASSERT_TRUE(q.Push({mb, true, aTag, false}));
        EXPECT_FALSE(q.IsEmpty());
    };
    for (int i = 0; i < 10; ++i)
        push(i);
    EXPECT_EQ(16u, q.GetCapacity());
    size_t popped = 0;
    for (; popped < 8; ++popped) {
        EXPECT_EQ(order[popped], q.Front().m_pData);
        q.Front().m_pData->DestroyChained();
        q.Pop();
    }
    // The tail wraps past the end and then meets the head.
    for (int i = 10; i < 40; ++i)
        push(i);
    EXPECT_EQ(64u, q.GetCapacity());
    for (; popped < order.size(); ++popped) {
        ASSERT_FALSE(q.IsEmpty());
        EXPECT_EQ(order[popped], q.Front().m_pData);
        EXPECT_EQ(static_cast<int32_t>(popped), q.Front().m_nPriority);
        q.Front().m_pData->DestroyChained();
        q.Pop();
    }
    EXPECT_TRUE(q.IsEmpty());
    EXPECT_EQ(64u, q.GetCapacity());
}

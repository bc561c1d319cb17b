#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "RtMessageBlockOps.h"

namespace {

int LiveBlocks() {
    int created = 0, destroyed = 0;
    std::sscanf(CRtMessageBlock::GetBlockStatics().c_str(), " [msgblock c-%d d-%d]", &created, &destroyed);
    return created - destroyed;
}

}  // namespace

// Random chains under random operations keep matching a plain string of
// their readable bytes, and every block made is destroyed in the end.
TEST(RtMessageBlockProperty, ChainsMatchTheModel) {
    int live = LiveBlocks();
    for (unsigned seed = 1; seed <= 4; ++seed) {
        std::mt19937 gen(seed);
        {
            rttest::MessageBlockOps ops(
                [&gen](unsigned long aBound) { return static_cast<unsigned long>(gen() % aBound); });
            for (int step = 0; step < 1500; ++step) {
                std::string err = ops.Step();
                ASSERT_TRUE(err.empty()) << "seed " << seed << " step " << step << ": " << err;
            }
        }
        EXPECT_EQ(live, LiveBlocks()) << "seed " << seed;
    }
}

// The main() of every test executable. One built with
// RT_TEST_NETWORK_THREADS=<n> (rt_add_test's FRAMEWORK <n>) has the
// framework started before its first test, as a service starts it: the
// process's thread manager with the calling thread as main thread and n
// network threads. It is destroyed at exit.
#include <gtest/gtest.h>

#include "RtThreadManager.h"

#ifndef RT_TEST_NETWORK_THREADS
#define RT_TEST_NETWORK_THREADS 0
#endif

namespace {

class FrameworkEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        static CRtThreadManager manager;
        if (!manager.IsInitialized()) {
            ASSERT_EQ(RT_OK, manager.Initialize(RT_TEST_NETWORK_THREADS, false));
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (RT_TEST_NETWORK_THREADS > 0)
        ::testing::AddGlobalTestEnvironment(new FrameworkEnvironment);
    return RUN_ALL_TESTS();
}

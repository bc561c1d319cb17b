// A fixture whose server runs on its own framework user thread (as a
// service runs on its main thread) and listens on a free loopback port.
// Subclasses start the server on that thread and stop it from the test;
// the network fixture's teardown then checks that nothing is left.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "RtEchoServer.h"
#include "RtNetworkTest.h"

namespace rttest {

class ServerThreadTest : public NetworkTest {
protected:
    // Runs on the server thread.
    virtual RtResult StartServer(uint16_t aPort) = 0;
    // Runs on the test's thread.
    virtual void StopServer() = 0;

    void SetUp() override {
        NetworkTest::SetUp();
        m_pThread = StartUserThread();
        ASSERT_NE(nullptr, m_pThread);
        m_nPort = FreeLoopbackPort();
        ASSERT_EQ(RT_OK, RunOn(m_pThread, [&] { return StartServer(m_nPort); }));
    }
    void TearDown() override {
        StopServer();
        NetworkTest::TearDown();
    }

    CRtThread* m_pThread = nullptr;
    uint16_t m_nPort = 0;
};

}  // namespace rttest

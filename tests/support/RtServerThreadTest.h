// A fixture whose server runs on its own framework user thread (as a
// service runs on its main thread) and listens on a free loopback port.
// Subclasses start the server on that thread and stop it from the test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "RtEchoServer.h"
#include "RtTestEvents.h"
#include "RtThread.h"
#include "RtThreadManager.h"

namespace rttest {

class ServerThreadTest : public ::testing::Test {
protected:
    // Runs on the server thread.
    virtual RtResult StartServer(uint16_t aPort) = 0;
    // Runs on the test's thread.
    virtual void StopServer() = 0;

    void SetUp() override {
        ASSERT_EQ(RT_OK, CRtThreadManager::Instance()->CreateUserTaskThread(m_pThread, true, CRtThread::TF_JOINABLE,
                                                                            "server"));
        m_nPort = EchoServer::FreePort();
        ASSERT_EQ(RT_OK, RunOn(m_pThread, [&] { return StartServer(m_nPort); }));
    }
    void TearDown() override {
        StopServer();
        DrainThreads(m_pThread, CRtThreadManager::Instance()->GetDefaultNetworkThread());
        m_pThread->Stop();
        m_pThread->Join();
        m_pThread->Destory(RT_OK);
    }

    CRtThread* m_pThread = nullptr;
    uint16_t m_nPort = 0;
};

}  // namespace rttest

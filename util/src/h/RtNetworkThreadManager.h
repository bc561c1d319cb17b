// One load record per network thread, and the per-thread scratch areas the
// TCP transports of a thread share.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>

#include "RtIovec.h"
#include "RtReferenceControl.h"
#include "RtUtilTemplates.h"

class CRtThread;
class CRtRudpFlowControl;
class CRtRudpPacketPool;

class CRtThreadLoad : public CRtReferenceControlT<CRtMutexThread> {
public:
    explicit CRtThreadLoad(CRtThread* aThread) : m_pThread(aThread) {}
    CRtThread* m_pThread;
    std::atomic<int32_t> m_load{0};
    std::atomic<int32_t> m_udpLoad{0};
};

// A network thread's record with the resources its transports draw on: a
// 64-entry gather array and a 128 KiB receive buffer, used only inside one
// call on that thread, and what its reliable UDP connections share.
class CRtThreadInfo : public CRtThreadLoad {
public:
    static constexpr size_t kIovCount = 64;
    static constexpr size_t kRecvBufferSize = 131072;

    explicit CRtThreadInfo(CRtThread* aThread);
    ~CRtThreadInfo() override;

    iovec* GetIov() { return m_pIov; }
    char* GetRecvBuffer() { return m_pRecvBuffer; }
    // The reliable UDP connections of this thread: their packet pool
    // ("RudpPacket", 64 kept) and their flow control. Used on the thread
    // only.
    CRtRudpPacketPool* GetRudpPool() { return m_pRudpPool; }
    CRtRudpFlowControl* GetRudpFlowControl() { return m_pRudpFlowControl; }

private:
    iovec* m_pIov;
    char* m_pRecvBuffer;
    CRtRudpPacketPool* m_pRudpPool;
    CRtRudpFlowControl* m_pRudpFlowControl;
};

class CRtNetworkThreadManager {
public:
    static CRtNetworkThreadManager* Instance();

    RtResult GetThreadLoad(uint32_t aThreadId, int32_t& aLoad);
    // aValue is carried for the caller; the count changes by one.
    RtResult IncreaseThreadLoad(uint32_t aThreadId, uint32_t aValue, bool aUdp);
    RtResult DecreaseThreadLoad(uint32_t aThreadId, uint32_t aValue, bool aUdp);
    // The least-loaded network thread; ties go to the lowest id.
    CRtThreadInfo* GetThreadOfLeastLoad();
    // LB_CURRENT_THREAD (0): the calling thread; LB_LEAST_LOAD (1): the
    // least-loaded network thread.
    RtResult GetThreadByLBStrategy(int aLBStrategy, CRtThread*& aThread);
    CRtThreadInfo* GetThreadInfo(uint32_t aThreadId);

private:
    friend class CRtSingletonT<CRtNetworkThreadManager>;
    CRtNetworkThreadManager();
    ~CRtNetworkThreadManager();

    // Filled once at construction and never changed: read without a lock.
    std::map<uint32_t, CRtThreadInfo*> m_Threads;
    CRtMutexThread m_Mutex;
};

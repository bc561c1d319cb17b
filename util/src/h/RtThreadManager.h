// The thread manager: the registry of framework threads by id, the owner of
// the main, network and task threads, and of the process-wide locks that
// singletons and reference counts share.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "RtError.h"
#include "RtMutex.h"

class CRtThread;
class IRtReactor;
class CRtReactorImp;

class CRtThreadManager {
public:
    enum TType { TT_MAIN = 0, TT_NETWORK = 1, TT_TASK = 2 };

    CRtThreadManager();
    ~CRtThreadManager();

    CRtThreadManager(const CRtThreadManager&) = delete;
    CRtThreadManager& operator=(const CRtThreadManager&) = delete;

    // The process's manager: the first one constructed, or one created and
    // initialised here (one network thread, the caller as main thread) on
    // first use and destroyed at exit. Safe from any thread.
    static CRtThreadManager* Instance();

    // Starts sockets, adopts the calling thread as the main thread (its loop
    // is run by the caller: GetMainThread()->OnThreadRun()) and creates the
    // network threads.
    RtResult Initialize(unsigned short aNetworkThreadNum, bool aFlag);
    bool IsInitialized() const { return m_bInitialized; }

    // Stops, joins and destroys the task and network threads (and the main
    // thread object, whose loop must have ended), after the singletons.
    RtResult Release();

    static uint32_t GetThreadSelfId();
    static bool IsThreadEqual(uint32_t aA, uint32_t aB) { return aA == aB; }
    static bool IsEqualCurrentThread(uint32_t aThreadId) { return aThreadId == GetThreadSelfId(); }
    static void SleepMs(uint32_t aMs);
    static unsigned GetNProcessors();
    // The framework thread with this id, or null. Safe while threads come
    // and go.
    static CRtThread* GetThread(uint32_t aThreadId);

    // The framework thread of the caller; null (reported) on a thread the
    // framework does not know.
    CRtThread* GetCurrentThread();
    char* GetTSL();
    CRtThread* GetMainThread() { return m_pThreadMain; }
    CRtThread* GetDefaultNetworkThread() { return m_pThreadDefaultNetwork; }
    CRtThread* GetNetworkThread(uint32_t aThreadId);
    CRtThread* GetTaskThread(uint32_t aThreadId);
    RtResult GetNetworkThreadList(std::vector<CRtThread*>& outThreadList);

    RtResult CreateUserTaskThread(CRtThread*& outThread, bool aWithTimerQueue = true, unsigned long aFlag = 1,
                                  const char* aName = nullptr);

    RtResult RegisterThread(CRtThread* aThread);
    RtResult UnregisterThread(CRtThread* aThread);

    RtResult GetSingletonMutex(CRtMutexThreadRecursive*& aMutex);
    RtResult GetReferenceControlMutex(CRtMutexThread*& aMutex);

protected:
    RtResult SocketStartup();
    RtResult SocketCleanup();
    CRtReactorImp* CreateReactor(int aType);
    RtResult AttachReactorThread(int aType, IRtReactor* aReactor, CRtThread*& aThread);
    void StopAllThreads();
    void JoinAllThreads();
    static void CleanupOnlyOne();

private:
    typedef std::unordered_map<uint32_t, CRtThread*> ThreadsType;

    RtResult SpawnNetworkThread_i(unsigned short aNum);

    CRtThread* Find(const ThreadsType& aThreads, uint32_t aThreadId);
    std::vector<CRtThread*> Snapshot(const ThreadsType& aThreads);

    bool m_bInitialized = false;
    CRtMutexThreadRecursive m_SingletonMutex;
    CRtMutexThread m_ReferenceControlMutex;
    CRtMutexThread m_RegistryMutex;
    ThreadsType m_NetworkThreads;
    ThreadsType m_TaskThreads;
    CRtThread* m_pThreadMain = nullptr;
    CRtThread* m_pThreadDefaultNetwork = nullptr;
    ThreadsType m_AllThreads;
    bool m_bFlag = false;
};

// The thread manager: the registry of framework threads and the owner of
// the process-wide locks that singletons and reference counts share.
//
// This unit holds the process-wide part; threads, reactors and their
// registry join it with the execution model.
#pragma once

#include <cstdint>

#include "RtError.h"
#include "RtMutex.h"

class CRtThreadManager {
public:
    CRtThreadManager();
    ~CRtThreadManager();

    CRtThreadManager(const CRtThreadManager&) = delete;
    CRtThreadManager& operator=(const CRtThreadManager&) = delete;

    // The process's manager: the first one constructed, or one created here
    // on first use. Safe from any thread.
    static CRtThreadManager* Instance();

    static uint32_t GetThreadSelfId();
    static bool IsThreadEqual(uint32_t aA, uint32_t aB) { return aA == aB; }
    static bool IsEqualCurrentThread(uint32_t aThreadId) { return aThreadId == GetThreadSelfId(); }
    static void SleepMs(uint32_t aMs);
    static unsigned GetNProcessors();

    RtResult GetSingletonMutex(CRtMutexThreadRecursive*& aMutex);
    RtResult GetReferenceControlMutex(CRtMutexThread*& aMutex);

private:
    CRtMutexThreadRecursive m_SingletonMutex;
    CRtMutexThread m_ReferenceControlMutex;
};

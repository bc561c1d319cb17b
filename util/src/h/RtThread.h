// A framework thread: every piece of framework work runs on one. The base
// holds the life cycle: start handshake, registration with the thread
// manager, join and the deletion handshake.
#pragma once

#include <atomic>
#include <cstdint>

#include "RtConditionVariable.h"
#include "RtError.h"
#include "RtString.h"

class IRtReactor;
class IRtEventQueue;
class IRtTimerQueue;

class CRtThread {
public:
    enum { TF_JOINABLE = 0x1, TF_WAIT_FOR_RUN = 0x4 };

    CRtThread();

    CRtThread(const CRtThread&) = delete;
    CRtThread& operator=(const CRtThread&) = delete;

    // Returns once the new thread has run OnThreadInit (TT_MAIN adopts the
    // calling thread instead). aFlag 0 means TF_JOINABLE.
    virtual RtResult Create(int aType, const char* aName = nullptr, unsigned long aFlag = TF_JOINABLE);
    // Any thread: asks the loop to end.
    virtual RtResult Stop();
    virtual void OnThreadInit();
    virtual void OnThreadRun() = 0;
    virtual IRtReactor* GetReactor() { return nullptr; }
    virtual IRtEventQueue* GetEventQueue() { return nullptr; }
    virtual IRtTimerQueue* GetTimerQueue() { return nullptr; }

    // Waits for the thread to end; past the limit the thread is ended by
    // force where the system allows it, and let go otherwise.
    RtResult Join(uint64_t aTimeoutMs = UINT64_MAX);
    // Unregisters and deletes the object (see TF_JOINABLE).
    RtResult Destory(RtResult aReason);
    // Lets a TF_WAIT_FOR_RUN thread enter OnThreadRun.
    void Run();

    uint32_t GetThreadId() const { return m_Tid; }
    uint32_t GetTid() const { return m_TidOs; }
    int GetThreadType() const { return m_Type; }
    bool IsStopped() const { return m_bStopped; }
    bool IsFinished() const { return m_bFinished; }
    const CRtString& GetName() const { return m_strName; }
    char* GetTSL() { return m_szTsl; }

protected:
    virtual ~CRtThread();

    static unsigned ThreadProc(void* aArg);

    std::atomic<uint32_t> m_Tid{0};
    void* m_Handle = nullptr;
    int m_Type = -1;
    unsigned long m_Flag = TF_JOINABLE;
    std::atomic<bool> m_bStopped{false};
    uint32_t m_TidOs = 0;
    CRtEventThread* m_pEvent4Start = nullptr;
    CRtEventThread* m_pEventRun = nullptr;
    bool m_bRegistered = false;
    std::atomic<uint32_t> m_nRelease{0};
    char m_szTsl[1024];
    std::atomic<bool> m_bFinished{false};
    CRtString m_strName;
    // Set when a join timed out and the thread could not be ended: it may
    // still use this object, which is then never freed.
    bool m_bAbandoned = false;
};

// Locks and the scope guard that takes them.
#pragma once

#include "RtEnsureSingleThread.h"
#include "RtError.h"
#include "RtOs.h"

// A recursive critical section. Lock and UnLock always return 0.
class CRtMutexBase {
public:
    virtual ~CRtMutexBase();

    CRtMutexBase(const CRtMutexBase&) = delete;
    CRtMutexBase& operator=(const CRtMutexBase&) = delete;

    RtResult Lock();
    RtResult UnLock();
    // 0 when entered, RT_ERROR_FAILURE when another thread holds it.
    RtResult TryLock();
    rtos::CriticalSection& GetMutexType() { return m_Lock; }

protected:
    CRtMutexBase();

    rtos::CriticalSection m_Lock;
};

class CRtMutexThread : public CRtMutexBase {};
class CRtMutexThreadRecursive : public CRtMutexBase {};

// The lock of objects that live on one thread: it locks nothing.
class CRtMutexNullSingleThread {
public:
    CRtMutexNullSingleThread() : m_Est("CRtMutexNullSingleThread") {}

    RtResult Lock() {
        m_Est.EnsureSingleThread();
        return RT_OK;
    }
    RtResult UnLock() {
        m_Est.EnsureSingleThread();
        return RT_OK;
    }
    RtResult TryLock() {
        m_Est.EnsureSingleThread();
        return RT_OK;
    }

private:
    CRtEnsureSingleThread m_Est;
};

// Holds a lock for the lifetime of a scope; unlocks only what it locked.
template <class MutexType>
class CRtMutexGuardT {
public:
    explicit CRtMutexGuardT(MutexType& aMutex) : m_Mutex(aMutex), m_bLocked(aMutex.Lock() == RT_OK) {}
    ~CRtMutexGuardT() { UnLock(); }

    CRtMutexGuardT(const CRtMutexGuardT&) = delete;
    CRtMutexGuardT& operator=(const CRtMutexGuardT&) = delete;

    void UnLock() {
        if (m_bLocked) {
            m_Mutex.UnLock();
            m_bLocked = false;
        }
    }

private:
    MutexType& m_Mutex;
    bool m_bLocked;
};

// Process-wide singletons with their clean-up registry, and the deferred
// delete of reference-counted objects on a later timer pass.
#pragma once

#include <atomic>

#include "RtDebug.h"
#include "RtReferenceControl.h"
#include "RtThreadManager.h"
#include "RtTimerHandler.h"

// Base of every lazily created process-wide object. Constructing one links
// it into a registry (newest first); CleanupAll destroys them in that order.
class CRtCleanUpBase {
public:
    static void CleanupAll();
    static int GetCount();

protected:
    CRtCleanUpBase();
    virtual ~CRtCleanUpBase();
    virtual void CleanUp();

private:
    CRtCleanUpBase* m_pNext = nullptr;

    static CRtCleanUpBase* s_pHeader;
    static int s_nCount;
};

// The one instance of T, created on first use. T befriends CRtSingletonT<T>
// when its constructor is not public.
template <class T>
class CRtSingletonT : public CRtCleanUpBase {
public:
    static T* Instance() {
        CRtSingletonT* inst = s_pInstance.load(std::memory_order_acquire);
        if (inst)
            return &inst->m_Instance;

        CRtMutexThreadRecursive* pMutex = nullptr;
        CRtThreadManager::Instance()->GetSingletonMutex(pMutex);
        if (pMutex)
            pMutex->Lock();
        inst = s_pInstance.load(std::memory_order_acquire);
        if (!inst) {
            inst = new CRtSingletonT;
            s_pInstance.store(inst, std::memory_order_release);
        }
        if (pMutex)
            pMutex->UnLock();
        RT_ASSERTE(s_pInstance);
        return &inst->m_Instance;
    }

protected:
    CRtSingletonT() = default;
    // A singleton cleaned up is forgotten, so that late users get a new one
    // instead of a destroyed one.
    ~CRtSingletonT() override { s_pInstance.store(nullptr, std::memory_order_release); }

private:
    T m_Instance;
    static inline std::atomic<CRtSingletonT*> s_pInstance{nullptr};
};

// The timer queue of the calling framework thread, or null when the thread
// has none.
IRtTimerQueue* RtTimerQueueOfCurrentThread();

template <class MutexType>
class CRtReferenceControlTimerDeleteT;

// Deletes its owner on a timer pass of the thread that launched it.
template <class MutexType>
class CRtTimerDeleteT : public IRtTimerHandler {
public:
    explicit CRtTimerDeleteT(CRtReferenceControlTimerDeleteT<MutexType>* aOwner) : m_pOwner(aOwner) {}
    ~CRtTimerDeleteT() override { delete m_pDelay; }

    CRtTimerDeleteT(const CRtTimerDeleteT&) = delete;
    CRtTimerDeleteT& operator=(const CRtTimerDeleteT&) = delete;

    void SetDelay(const CRtTimeValue& aDelay) {
        if (m_pDelay)
            *m_pDelay = aDelay;
        else
            m_pDelay = new CRtTimeValue(aDelay);
    }

    RtResult Launch() {
        RT_ASSERTE_RETURN(!m_bHaveLaunched, RT_ERROR_ALREADY_INITIALIZED);
        m_bHaveLaunched = true;
        m_pTimerQueue = RtTimerQueueOfCurrentThread();
        RtResult rv = RT_ERROR_NULL_POINTER;
        if (m_pTimerQueue) {
            rv = m_pTimerQueue->ScheduleTimer(this, nullptr, m_pDelay ? *m_pDelay : CRtTimeValue::s_tvZero, 1);
            if (rv == RT_ERROR_FOUND)
                rv = RT_OK;
        }
        if (RT_FAILED(rv))
            RT_ERROR_TRACE("CRtTimerDeleteT::Launch, ScheduleTimer failde! rv=" << rv);
        return rv;
    }

    bool HaveLaunched() const { return m_bHaveLaunched; }

    void OnTimeout(const CRtTimeValue&, void*) override {
        RT_ASSERTE(m_bHaveLaunched);
        // Referenced again since the last release: the new holder's release
        // launches the deleter anew.
        if (m_pOwner->GetReference() > 0) {
            m_bHaveLaunched = false;
            return;
        }
        delete m_pOwner;
    }

private:
    CRtReferenceControlTimerDeleteT<MutexType>* m_pOwner;
    bool m_bHaveLaunched = false;
    IRtTimerQueue* m_pTimerQueue = nullptr;
    CRtTimeValue* m_pDelay = nullptr;
};

// Reference control whose last release destroys the object on the next
// timer pass of the releasing thread, never inside the releasing call.
template <class MutexType>
class CRtReferenceControlTimerDeleteT : public CRtReferenceControlT<MutexType> {
public:
    CRtReferenceControlTimerDeleteT() : m_TimerDelete(this) {}

    void SetDeleteDelay(const CRtTimeValue& aDelay) { m_TimerDelete.SetDelay(aDelay); }

protected:
    void OnReferenceDestory() override { m_TimerDelete.Launch(); }

private:
    CRtTimerDeleteT<MutexType> m_TimerDelete;
};

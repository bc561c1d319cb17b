// Intrusive reference counting and the smart pointer that holds it.
#pragma once

#include <atomic>
#include <cstdint>

#include "RtDebug.h"
#include "RtMutex.h"

// Every reference-counted object handed across the framework.
class IRtReferenceControl {
public:
    virtual uint32_t AddReference() = 0;
    virtual uint32_t ReleaseReference() = 0;

protected:
    virtual ~IRtReferenceControl() {}
};

// The count behind CRtReferenceControlT: interlocked for objects shared
// between threads, plain for objects that stay on one thread.
template <class MutexType>
class CRtReferenceCountT {
public:
    explicit CRtReferenceCountT(uint32_t aValue = 0) : m_nValue(aValue) {}
    uint32_t Increment() { return m_nValue.fetch_add(1, std::memory_order_relaxed) + 1; }
    // Returns the value before the decrement.
    uint32_t Decrement() { return m_nValue.fetch_sub(1, std::memory_order_acq_rel); }
    uint32_t Get() const { return m_nValue.load(std::memory_order_acquire); }
    void Set(uint32_t aValue) { m_nValue.exchange(aValue); }

private:
    std::atomic<uint32_t> m_nValue;
};

template <>
class CRtReferenceCountT<CRtMutexNullSingleThread> {
public:
    explicit CRtReferenceCountT(uint32_t aValue = 0) : m_nValue(aValue) {}
    uint32_t Increment() { return ++m_nValue; }
    uint32_t Decrement() { return m_nValue--; }
    uint32_t Get() const { return m_nValue; }
    void Set(uint32_t aValue) { m_nValue = aValue; }

private:
    uint32_t m_nValue;
};

// The implementation reference-counted classes inherit. The last
// ReleaseReference calls OnReferenceDestory, which deletes the object.
template <class MutexType>
class CRtReferenceControlT {
public:
    CRtReferenceControlT() = default;
    CRtReferenceControlT(const CRtReferenceControlT& aOther) : m_Atomic(aOther.m_Atomic.Get()) {}
    CRtReferenceControlT& operator=(const CRtReferenceControlT& aOther) {
        if (this != &aOther)
            m_Atomic.Set(aOther.m_Atomic.Get());
        return *this;
    }
    virtual ~CRtReferenceControlT() {}

    uint32_t AddReference() { return m_Atomic.Increment(); }

    uint32_t ReleaseReference() {
        uint32_t before = m_Atomic.Decrement();
        if (before == 0) {
            // Releasing more than was added: undo and refuse rather than
            // wrap the count and destroy the object a second time.
            m_Atomic.Increment();
            RT_ASSERTE(!"CRtReferenceControlT::ReleaseReference, count is 0");
            return 0;
        }
        if (before == 1)
            OnReferenceDestory();
        return before - 1;
    }

    uint32_t GetReference() const { return m_Atomic.Get(); }

protected:
    virtual void OnReferenceDestory() { delete this; }

private:
    CRtReferenceCountT<MutexType> m_Atomic;
};

// Holds one reference to a reference-counted object.
template <class T>
class CRtAutoPtr {
public:
    CRtAutoPtr(T* aPtr = nullptr) : m_pRawPtr(aPtr) {
        if (m_pRawPtr)
            m_pRawPtr->AddReference();
    }
    CRtAutoPtr(const CRtAutoPtr& aOther) : CRtAutoPtr(aOther.m_pRawPtr) {}
    ~CRtAutoPtr() {
        if (m_pRawPtr)
            m_pRawPtr->ReleaseReference();
    }

    CRtAutoPtr& operator=(const CRtAutoPtr& aOther) { return *this = aOther.m_pRawPtr; }
    CRtAutoPtr& operator=(T* aPtr) {
        if (m_pRawPtr == aPtr)
            return *this;
        if (aPtr)
            aPtr->AddReference();
        T* old = m_pRawPtr;
        m_pRawPtr = aPtr;
        if (old)
            old->ReleaseReference();
        return *this;
    }

    T* operator->() const {
        RT_ASSERTE(m_pRawPtr);
        return m_pRawPtr;
    }
    T& operator*() const {
        RT_ASSERTE(m_pRawPtr);
        return *m_pRawPtr;
    }
    operator T*() const { return m_pRawPtr; }
    T* Get() const { return m_pRawPtr; }

private:
    T* m_pRawPtr;
};

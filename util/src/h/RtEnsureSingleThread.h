// Records which thread owns an object. Ownership is documented, not
// enforced: the check point checks nothing.
#pragma once

#include <cstdint>

#include "RtString.h"

class CRtEnsureSingleThread {
public:
    CRtEnsureSingleThread();
    explicit CRtEnsureSingleThread(const CRtString& aName);

    void EnsureSingleThread() const {}
    void Reset2CurrentThreadId();
    void Reset2ThreadId(unsigned long aId) { m_ThreadIdOpened = static_cast<uint32_t>(aId); }

    uint32_t GetThreadId() const { return m_ThreadIdOpened; }
    const CRtString& GetName() const { return m_strName; }

private:
    uint32_t m_ThreadIdOpened;
    CRtString m_strName;
};

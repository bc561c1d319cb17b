// The server connections of one reliable-connection acceptor, indexed by
// the channel each was given (1 to the size). Shared by the acceptor and
// every connection it made, on any network thread: all access goes through
// the list's lock, and each connection holds a reference, so the list
// outlives them.
#pragma once

#include <cstdint>
#include <vector>

#include "RtDebug.h"
#include "RtMutex.h"
#include "RtReferenceControl.h"

template <class Server>
class ServerListT : public CRtReferenceControlT<CRtMutexThread> {
public:
    static constexpr uint32_t kSlots = 65535;

    // aSlots below kSlots only for tests that want a full list quickly.
    explicit ServerListT(bool aFlag, uint32_t aSlots = kSlots) : m_svrList(aSlots, nullptr), m_bFlag(aFlag) {
        if (aSlots == kSlots)
            RT_ASSERTE(m_svrList.size() == 65535);
    }

    // A free channel, taken for aServer: the next free slot after the last
    // one given, wrapping to 1; 0 when every slot is taken.
    uint16_t Allocate(Server* aServer) {
        CRtMutexGuardT<CRtMutexThread> guard(m_Mutex);
        const uint32_t size = static_cast<uint32_t>(m_svrList.size());
        for (uint32_t i = 0; i < size; ++i) {
            m_nCounter = m_nCounter % size + 1;
            if (!m_svrList[m_nCounter - 1]) {
                m_svrList[m_nCounter - 1] = aServer;
                return static_cast<uint16_t>(m_nCounter);
            }
        }
        return 0;
    }

    // Clears the channel's slot if aServer holds it (a slot given anew
    // belongs to its new holder).
    void Release(uint16_t aChannel, Server* aServer) {
        CRtMutexGuardT<CRtMutexThread> guard(m_Mutex);
        if (aChannel >= 1 && aChannel <= m_svrList.size() && m_svrList[aChannel - 1] == aServer)
            m_svrList[aChannel - 1] = nullptr;
    }

    // The channel's holder with a reference taken under the lock, or null.
    CRtAutoPtr<Server> Find(uint16_t aChannel) {
        CRtMutexGuardT<CRtMutexThread> guard(m_Mutex);
        if (aChannel < 1 || aChannel > m_svrList.size())
            return CRtAutoPtr<Server>();
        return CRtAutoPtr<Server>(m_svrList[aChannel - 1]);
    }

    size_t GetCount() {
        CRtMutexGuardT<CRtMutexThread> guard(m_Mutex);
        size_t n = 0;
        for (Server* s : m_svrList)
            n += s != nullptr;
        return n;
    }

    bool GetFlag() const { return m_bFlag; }

private:
    std::vector<Server*> m_svrList;
    uint32_t m_nCounter = 0;
    CRtMutexThread m_Mutex;
    bool m_bFlag;
};

// A TCP echo server on the framework: an acceptor proxy from the
// connection manager, and per connection a sink that sends back what it
// receives, holding what the transport refused until OnSend.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <set>

#include "RtConnectionManager.h"
#include "RtLoopback.h"
#include "RtThreadManager.h"

namespace rttest {

class EchoServer : public IRtAcceptorConnectorSink, public IRtTransportSink {
public:
    // Runs on the thread that calls StartListen (or the network threads with
    // TS_MULTI_THREAD).
    RtResult Start(ThreadStrategy aStrategy, LBStrategy aLb, uint16_t& aPort) {
        RtResult rv = CRtConnectionManager::Instance()->CreateConnectionServer(CTYPE_TCP, m_pAcceptor, aStrategy, aLb);
        if (RT_FAILED(rv))
            return rv;
        aPort = FreeLoopbackPort();
        return m_pAcceptor->StartListen(this, LoopbackAddr(aPort));
    }
    void Stop() {
        if (m_pAcceptor) {
            m_pAcceptor->StopListen(RT_OK);
            m_pAcceptor->ReleaseReference();
            m_pAcceptor = nullptr;
        }
        std::lock_guard<std::mutex> lock(m_Mutex);
        for (auto& item : m_Pending)
            item.second->DestroyChained();
        m_Pending.clear();
        for (IRtTransport* t : m_Transports) {
            t->Disconnect(RT_OK);
            t->ReleaseReference();
        }
        m_Transports.clear();
    }

    void OnConnectIndication(RtResult aReason, IRtTransport* aTrpt, IRtAcceptorConnectorId*) override {
        if (RT_FAILED(aReason) || !aTrpt)
            return;
        aTrpt->AddReference();
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_Transports.insert(aTrpt);
        }
        aTrpt->OpenWithSink(this);
        m_nIndicationThread = CRtThreadManager::GetThreadSelfId();
        ++m_nConnections;
    }
    void OnReceive(CRtMessageBlock& aData, IRtTransport* aTrptId) override {
        m_nReceiveThread = CRtThreadManager::GetThreadSelfId();
        std::lock_guard<std::mutex> lock(m_Mutex);
        auto pending = m_Pending.find(aTrptId);
        if (pending != m_Pending.end()) {
            // Keep order: append behind what still waits.
            pending->second->Append(aData.DuplicateChained());
            return;
        }
        RtResult rv = aTrptId->SendData(aData);
        if (rv == RT_ERROR_PARTIAL_DATA) {
            ++m_nRefusals;
            m_Pending[aTrptId] = aData.DuplicateChained();
        }
    }
    void OnSend(IRtTransport* aTrptId) override {
        ++m_nOnSends;
        std::lock_guard<std::mutex> lock(m_Mutex);
        auto pending = m_Pending.find(aTrptId);
        if (pending == m_Pending.end())
            return;
        CRtMessageBlock* chain = pending->second;
        RtResult rv = aTrptId->SendData(*chain, true, true);
        if (rv == RT_ERROR_PARTIAL_DATA) {
            ++m_nRefusals;
            return;
        }
        m_Pending.erase(pending);
    }
    void OnDisconnect(RtResult, IRtTransport* aTrptId) override {
        ++m_nDisconnects;
        std::lock_guard<std::mutex> lock(m_Mutex);
        auto pending = m_Pending.find(aTrptId);
        if (pending != m_Pending.end()) {
            pending->second->DestroyChained();
            m_Pending.erase(pending);
        }
        if (m_Transports.erase(aTrptId))
            aTrptId->ReleaseReference();
    }

    template <class Fn>
    void ForEachTransport(Fn aFn) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        for (IRtTransport* t : m_Transports)
            aFn(t);
    }

    size_t Open() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Transports.size();
    }

    std::atomic<int> m_nConnections{0}, m_nDisconnects{0}, m_nRefusals{0}, m_nOnSends{0};
    std::atomic<uint32_t> m_nIndicationThread{0}, m_nReceiveThread{0};

private:
    IRtAcceptor* m_pAcceptor = nullptr;
    std::mutex m_Mutex;
    std::set<IRtTransport*> m_Transports;
    std::map<IRtTransport*, CRtMessageBlock*> m_Pending;
};

}  // namespace rttest

// A lower transport scripted by the test, for the suites that drive a
// transport's user (the HTTP channel, the thread proxies) without sockets.
// It keeps every byte it takes and takes while it has room (unlimited until
// Limit), then refuses with RT_ERROR_PARTIAL_DATA, leaving the chain at its
// first untaken byte, until Drain gives room and calls the sink's OnSend as
// a socket that became writable does. FailWith makes sends fail hard.
// Deliver and PeerClose play the network side. Calls that do not come on
// the home thread given at construction are counted (OffThreadCalls).
// Live() counts the instances alive in the process, for leak checks.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "RtNetworkBase.h"
#include "RtObserver.h"
#include "RtReferenceControl.h"
#include "RtThread.h"
#include "RtThreadManager.h"

namespace rttest {

class ScriptedTransport : public IRtTransport, public CRtReferenceControlT<CRtMutexThread> {
public:
    explicit ScriptedTransport(CRtThread* aHome = nullptr) : m_pHome(aHome) { ++LiveCounter(); }
    ~ScriptedTransport() override { --LiveCounter(); }
    static long Live() { return LiveCounter().load(); }

    uint32_t AddReference() override { return CRtReferenceControlT::AddReference(); }
    uint32_t ReleaseReference() override { return CRtReferenceControlT::ReleaseReference(); }

    RtResult OpenWithSink(IRtTransportSink* aSink) override {
        Touch();
        m_pSink = aSink;
        ++m_nOpens;
        return RT_OK;
    }
    IRtTransportSink* GetSink() override { return m_pSink; }
    RtResult SendData(CRtMessageBlock& aData, bool, bool aDestroy, long, bool) override {
        Touch();
        ++m_nSends;
        if (m_nFailWith != RT_OK)
            return m_nFailWith;
        if (m_bWouldBlock)
            return RT_ERROR_PARTIAL_DATA;
        size_t len = aData.GetChainedLength();
        size_t n = std::min(len, m_nRoom);
        std::string bytes(n, '\0');
        aData.Read(n ? &bytes[0] : nullptr, static_cast<unsigned long>(n));
        m_nRoom -= n;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_strSent += bytes;
        }
        if (n < len) {
            m_bWouldBlock = true;
            ++m_nRefusals;
            return RT_ERROR_PARTIAL_DATA;
        }
        if (aDestroy)
            aData.DestroyChained();
        return RT_OK;
    }
    // Records the option; RT_OPT_BIND_THREAD also remembers its thread.
    RtResult SetOption(unsigned long aCommand, void* aArg) override {
        Touch();
        if (aCommand == RT_OPT_BIND_THREAD)
            m_pBoundTo = static_cast<CRtTransportBindThreadParam*>(aArg)->m_thread;
        if (aCommand == RT_OPT_RUDP_OBSERVER)
            m_pObserver = static_cast<IRtObserver*>(aArg);
        m_nLastSet = aCommand;
        return RT_OK;
    }
    // Knows only its type (1, as TCP answers); anything else is not found.
    RtResult GetOption(unsigned long aCommand, void* aArg) override {
        Touch();
        if (aCommand != RT_OPT_TRANSPORT_TRAN_TYPE)
            return RT_ERROR_NOT_FOUND;
        *static_cast<uint32_t*>(aArg) = 1;
        return RT_OK;
    }
    // Keeps the first reason (a deletion disconnects again) and how much was
    // sent by then; the sink hears nothing more.
    RtResult Disconnect(RtResult aReason) override {
        Touch();
        m_pSink = nullptr;
        // The count goes up last: a watcher that sees it also sees the reason.
        if (m_nDisconnects.load() == 0) {
            m_nReason = aReason;
            m_nSentAtDisconnect = SentSize();
        }
        ++m_nDisconnects;
        return RT_OK;
    }

    // The sends fail with aResult (RT_OK: they work again).
    void FailWith(RtResult aResult) { m_nFailWith = aResult; }
    // Room for aBytes more before the next refusal.
    void Limit(size_t aBytes) { m_nRoom = aBytes; }
    // Home thread: the peer read aBytes. A refused sender is told once.
    void Drain(size_t aBytes) {
        m_nRoom += aBytes;
        if (m_bWouldBlock && m_nRoom > 0) {
            m_bWouldBlock = false;
            if (m_pSink)
                m_pSink->OnSend(this);
        }
    }
    // Home thread: aBytes arrive in a buffer that is overwritten right after
    // the call, as the transport's receive buffer is.
    void Deliver(const std::string& aBytes) {
        std::string buf = aBytes;
        CRtMessageBlock mb(buf.size(), buf.data(), CRtMessageBlock::DONT_DELETE, buf.size());
        if (m_pSink)
            m_pSink->OnReceive(mb, this);
        std::fill(buf.begin(), buf.end(), 'x');
    }
    // Home thread: the peer closed; the sink is told once.
    void PeerClose(RtResult aReason = RT_ERROR_NETWORK_SOCKET_ERROR) {
        CRtAutoPtr<ScriptedTransport> keep(this);
        IRtTransportSink* sink = m_pSink;
        m_pSink = nullptr;
        if (sink)
            sink->OnDisconnect(aReason, this);
    }

    std::string Sent() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_strSent;
    }
    size_t SentSize() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_strSent.size();
    }
    void ClearSent() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_strSent.clear();
    }

    CRtThread* const m_pHome;
    IRtTransportSink* m_pSink = nullptr;
    std::atomic<int> m_nOpens{0}, m_nSends{0}, m_nRefusals{0}, m_nDisconnects{0}, m_nOffThread{0};
    std::atomic<RtResult> m_nReason{-1};
    std::atomic<size_t> m_nSentAtDisconnect{0};
    std::atomic<unsigned long> m_nLastSet{0};
    std::atomic<IRtObserver*> m_pObserver{nullptr};  // the last one set
    std::atomic<CRtThread*> m_pBoundTo{nullptr};

private:
    static std::atomic<long>& LiveCounter() {
        static std::atomic<long> s_live{0};
        return s_live;
    }
    void Touch() {
        if (m_pHome && !CRtThreadManager::IsEqualCurrentThread(m_pHome->GetThreadId()))
            ++m_nOffThread;
    }

    size_t m_nRoom = SIZE_MAX;
    bool m_bWouldBlock = false;
    RtResult m_nFailWith = RT_OK;
    std::mutex m_Mutex;
    std::string m_strSent;
};

}  // namespace rttest

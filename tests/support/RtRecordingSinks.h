// Sinks that record what reaches them, in order, with the thread each call
// ran on, safe to read from the test's thread while callbacks run.
//   RecordingSink          an IRtTransportSink: "receive" (the bytes, copied
//                          unless m_bKeepData is off),
//                          "send", "disconnect" (the reason); optional hooks
//                          run after the record, outside its lock
//   RecordingAcceptorSink  an IRtAcceptorConnectorSink: keeps each transport
//                          indicated and opens it with its RecordingSink
// ExpectThread(t) makes every call made elsewhere count in WrongThread().
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "RtNetworkBase.h"
#include "RtThread.h"
#include "RtThreadManager.h"

namespace rttest {

struct SinkEvent {
    std::string kind;   // "receive", "send", "disconnect", "indication"
    std::string data;   // received bytes
    std::string label;  // what the label function named (the suites' own tag)
    RtResult reason;
    uint32_t thread;
};

class SinkRecord {
public:
    void ExpectThread(CRtThread* aThread) { m_nExpected = aThread ? aThread->GetThreadId() : 0; }
    std::vector<SinkEvent> Events() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Events;
    }
    std::vector<std::string> Kinds() {
        return Collect([](const SinkEvent& e) { return e.kind; });
    }
    std::vector<std::string> Labels() {
        return Collect([](const SinkEvent& e) { return e.label; }, "receive");
    }
    std::vector<std::string> Received() {
        return Collect([](const SinkEvent& e) { return e.data; }, "receive");
    }
    std::vector<RtResult> Reasons(const std::string& aKind = "disconnect") {
        return Collect([](const SinkEvent& e) { return e.reason; }, aKind);
    }
    // Every received byte, in order.
    std::string Data() {
        std::string all;
        for (const std::string& d : Received())
            all += d;
        return all;
    }
    int Count(const std::string& aKind) {
        return static_cast<int>(Collect([](const SinkEvent&) { return 0; }, aKind).size());
    }
    int WrongThread() const { return m_nWrongThread.load(); }

protected:
    void Record(SinkEvent aEvent) {
        aEvent.thread = CRtThreadManager::GetThreadSelfId();
        if (m_nExpected && aEvent.thread != m_nExpected)
            ++m_nWrongThread;
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Events.push_back(std::move(aEvent));
    }
    template <class Fn>
    auto Collect(Fn aFn, const std::string& aKind = "") -> std::vector<decltype(aFn(SinkEvent()))> {
        std::vector<decltype(aFn(SinkEvent()))> out;
        std::lock_guard<std::mutex> lock(m_Mutex);
        for (const SinkEvent& e : m_Events) {
            if (aKind.empty() || e.kind == aKind)
                out.push_back(aFn(e));
        }
        return out;
    }

private:
    std::mutex m_Mutex;
    std::vector<SinkEvent> m_Events;
    std::atomic<uint32_t> m_nExpected{0};
    std::atomic<int> m_nWrongThread{0};
};

class RecordingSink : public IRtTransportSink, public SinkRecord {
public:
    void OnReceive(CRtMessageBlock& aData, IRtTransport* aTrpt) override {
        Record({"receive", m_bKeepData ? aData.FlattenChained() : std::string(),
                m_Label ? m_Label(aTrpt) : std::string(), RT_OK, 0});
        if (m_OnReceive)
            m_OnReceive(aTrpt, aData);
    }
    void OnSend(IRtTransport* aTrpt) override {
        Record({"send", "", "", RT_OK, 0});
        if (m_OnSend)
            m_OnSend(aTrpt);
    }
    void OnDisconnect(RtResult aReason, IRtTransport*) override { Record({"disconnect", "", "", aReason, 0}); }

    std::atomic<bool> m_bKeepData{true};  // off: "receive" events without the bytes (long streams)
    std::function<std::string(IRtTransport*)> m_Label;
    std::function<void(IRtTransport*, CRtMessageBlock&)> m_OnReceive;
    std::function<void(IRtTransport*)> m_OnSend;
};

class RecordingAcceptorSink : public IRtAcceptorConnectorSink, public SinkRecord {
public:
    void OnConnectIndication(RtResult aReason, IRtTransport* aTrpt, IRtAcceptorConnectorId* aId) override {
        m_pId = aId;
        if (aTrpt && m_bOpen && aTrpt->OpenWithSink(&m_Sink) != RT_OK)
            ++m_nOpenFailures;
        if (aTrpt && m_bKeep) {
            std::lock_guard<std::mutex> lock(m_TransportsMutex);
            m_Transports.push_back(aTrpt);
        }
        // Last, so that a test that saw the indication finds the transport.
        Record({"indication", "", "", aReason, 0});
    }
    // Also the thread of the transports' callbacks.
    void ExpectThread(CRtThread* aThread) {
        SinkRecord::ExpectThread(aThread);
        m_Sink.ExpectThread(aThread);
    }
    // The last transport kept (null if none).
    IRtTransport* Last() {
        std::lock_guard<std::mutex> lock(m_TransportsMutex);
        return m_Transports.empty() ? nullptr : m_Transports.back().Get();
    }
    // On the transports' thread: disconnects and lets go of every one kept.
    void DropAll(bool aDisconnect = true) {
        std::vector<CRtAutoPtr<IRtTransport>> all;
        {
            std::lock_guard<std::mutex> lock(m_TransportsMutex);
            all.swap(m_Transports);
        }
        if (aDisconnect) {
            for (auto& t : all)
                t->Disconnect(RT_OK);
        }
    }

    bool m_bOpen = true;  // open each transport with m_Sink
    bool m_bKeep = true;  // hold a reference to each one
    RecordingSink m_Sink;
    std::atomic<IRtAcceptorConnectorId*> m_pId{nullptr};
    std::atomic<int> m_nOpenFailures{0};

private:
    std::mutex m_TransportsMutex;
    std::vector<CRtAutoPtr<IRtTransport>> m_Transports;
};

}  // namespace rttest

// An HTTP server for tests, on the thread that starts it: it keeps every
// channel it is given, opens it with itself as sink, answers each request
// through Answer and counts connections, requests and disconnections.
#pragma once

#include <atomic>
#include <cstdint>
#include <set>

#include "RtChannelManager.h"
#include "RtInetAddr.h"
#include "RtLoopback.h"
#include "RtMessageBlock.h"

namespace rttest {

class HttpTestServer : public IRtChannelServerSink, public IRtTransportSink {
public:
    virtual ~HttpTestServer() = default;

    RtResult Start(uint16_t aPort) {
        RtResult rv = CRtChannelManager::Instance()->CreateHttpAcceptor(m_pAcceptor);
        if (RT_FAILED(rv))
            return rv;
        return m_pAcceptor->StartListen(this, LoopbackAddr(aPort));
    }
    // On the server's thread.
    void Stop() {
        if (m_pAcceptor) {
            m_pAcceptor->StopListen(RT_OK);
            m_pAcceptor->ReleaseReference();
            m_pAcceptor = nullptr;
        }
        for (IRtChannelHttpServer* channel : m_Channels) {
            channel->Disconnect(RT_OK);
            channel->ReleaseReference();
        }
        m_Channels.clear();
    }

    void OnServerCreation(IRtChannelHttpServer* aServer) override {
        aServer->AddReference();
        m_Channels.insert(aServer);
        aServer->OpenWithSink(this);
        ++m_nConnections;
    }
    void OnReceive(CRtMessageBlock& aData, IRtTransport* aTrptId) override {
        Answer(static_cast<IRtChannelHttpServer*>(aTrptId), aData);
        ++m_nRequests;
    }
    void OnSend(IRtTransport*) override {}
    void OnDisconnect(RtResult, IRtTransport* aTrptId) override {
        auto* channel = static_cast<IRtChannelHttpServer*>(aTrptId);
        if (m_Channels.erase(channel))
            channel->ReleaseReference();
        ++m_nDisconnects;
    }

    std::atomic<int> m_nConnections{0}, m_nRequests{0}, m_nDisconnects{0};

protected:
    // Appends the answer to aChannel and sends it.
    virtual void Answer(IRtChannelHttpServer* aChannel, CRtMessageBlock& aBody) = 0;

private:
    IRtChannelServerAcceptor* m_pAcceptor = nullptr;
    std::set<IRtChannelHttpServer*> m_Channels;
};

}  // namespace rttest

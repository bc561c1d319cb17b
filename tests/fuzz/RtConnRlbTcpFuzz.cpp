// libFuzzer target: the input is what a client sends to a reliable TCP
// server connection, cut into reads at points taken from its first bytes,
// over an in-memory transport. Whatever the units, the connection must end
// or go on without a sanitizer report, and once closed it must have left
// the server list.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "RtConnRlbTcpServer.h"
#include "RtTestEvents.h"
#include "RtThread.h"
#include "RtThreadManager.h"
#include "RtFuzzCheck.h"

namespace {

using rtfuzz::Check;

// Takes every byte; the peer's address is fixed.
class MemoryLower : public IRtTransport, public CRtReferenceControlT<CRtMutexNullSingleThread> {
public:
    uint32_t AddReference() override { return CRtReferenceControlT::AddReference(); }
    uint32_t ReleaseReference() override { return CRtReferenceControlT::ReleaseReference(); }
    RtResult OpenWithSink(IRtTransportSink* aSink) override {
        m_pSink = aSink;
        return RT_OK;
    }
    IRtTransportSink* GetSink() override { return m_pSink; }
    RtResult SendData(CRtMessageBlock& aData, bool, bool aDestroy, long, bool) override {
        m_nWritten += aData.GetChainedLength();
        if (aDestroy)
            aData.DestroyChained();
        return RT_OK;
    }
    RtResult SetOption(unsigned long, void*) override { return RT_OK; }
    RtResult GetOption(unsigned long aCommand, void* aArg) override {
        if (aCommand != RT_OPT_TRANSPORT_PEER_ADDR)
            return RT_ERROR_INVALID_ARG;
        *static_cast<CRtInetAddr*>(aArg) = CRtInetAddr("127.0.0.1", 4242);
        return RT_OK;
    }
    RtResult Disconnect(RtResult) override {
        m_pSink = nullptr;
        return RT_OK;
    }
    IRtTransportSink* m_pSink = nullptr;
    uint64_t m_nWritten = 0;
};

class User : public IRtTransportSink, public IRtConnServerHostT<CRtConnRlbTcpServer> {
public:
    void OnReceive(CRtMessageBlock& aData, IRtTransport*) override { m_nBytes += aData.GetChainedLength(); }
    void OnSend(IRtTransport*) override {}
    void OnDisconnect(RtResult, IRtTransport*) override { m_bGone = true; }
    void OnServerReady(CRtConnRlbTcpServer* aServer) override { aServer->OpenWithSink(this); }
    void OnServerGone(CRtConnRlbTcpServer*) override { m_bGone = true; }
    uint32_t GetType() const override { return m_dwType; }

    uint32_t m_dwType = 0x1E0001;
    uint64_t m_nBytes = 0;
    bool m_bGone = false;
};

// One input, on the fuzz thread: its loop runs the deferred deletes of
// the last input's objects before the next input.
void RunOne(const uint8_t* aData, size_t aSize, CRtThread* aThread) {
    static CRtAutoPtr<CRtConnRlbTcpServer::ServerList> s_pList(new CRtConnRlbTcpServer::ServerList(true, 8));
    User user;
    user.m_dwType = (aData[0] & 1) ? 0x1E0001 : 0x60001;
    const size_t step = 1 + aData[1] % 64;
    aData += 2;
    aSize -= 2;

    CRtAutoPtr<MemoryLower> lower(new MemoryLower);
    CRtAutoPtr<CRtConnRlbTcpServer> server(new CRtConnRlbTcpServer(&user, s_pList.Get(), user.m_dwType, aThread));
    server->OnConnectIndication(RT_OK, lower.Get(), nullptr);
    for (size_t at = 0; at < aSize && lower->m_pSink; at += step) {
        size_t n = aSize - at < step ? aSize - at : step;
        CRtMessageBlock mb(static_cast<unsigned long>(n), reinterpret_cast<const char*>(aData + at),
                           CRtMessageBlock::DONT_DELETE, static_cast<unsigned long>(n));
        lower->m_pSink->OnReceive(mb, lower.Get());
    }
    server->Disconnect(RT_OK);
    Check(server->GetStatus() == CS_UNCONNECTED, "closed after Disconnect");
    Check(s_pList->GetCount() == 0, "a closed connection left the server list");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
    if (aSize < 2)
        return 0;
    static CRtThread* s_pThread = [] {
        CRtThread* thread = nullptr;
        CRtThreadManager::Instance()->CreateUserTaskThread(thread, true, CRtThread::TF_JOINABLE, "fuzz");
        return thread;
    }();
    rttest::RunOn(s_pThread, [&] {
        RunOne(aData, aSize, s_pThread);
        return RT_OK;
    });
    return 0;
}

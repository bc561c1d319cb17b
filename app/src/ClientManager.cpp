#include "ClientManager.h"

#include <algorithm>
#include <string>

#include "AppTrace.h"
#include "RtDebug.h"
#include "RtInetAddr.h"
#include "RtMessageBlock.h"
#include "RtThreadManager.h"
#include "RtThreadSwitch.h"
#include "StatusDocument.h"

namespace {

// The trace texts the service has always written: "new connection",
// "sending the answer" and "connection closed".
#if defined(ZV_TRACE_TEXT_GBK)
const char kNewConnection[] = "\xD0\xC2\xC1\xAC\xBD\xD3\xC7\xEB\xC7\xF3\xA3\xBA";
const char kSendAnswer[] = "\xB7\xA2\xCB\xCD\xD3\xA6\xB4\xF0\xCA\xFD\xBE\xDD\xA3\xBA";
const char kClosed[] = "\xC1\xAC\xBD\xD3\xB9\xD8\xB1\xD5\xA3\xBA";
#else
const char kNewConnection[] = "新连接请求：";
const char kSendAnswer[] = "发送应答数据：";
const char kClosed[] = "连接关闭：";
#endif
const char kRule[] = "----------------------------";  // 28 dashes

}  // namespace

// Runs Uninit's work on the thread that owns the channels.
class CUninitFunctor : public Function::Functor {
public:
    explicit CUninitFunctor(CClientManager* aManager) : m_pManager(aManager) {}
    RtResult OnEventFire() override {
        m_pManager->Uninit_i();
        return RT_OK;
    }

private:
    CClientManager* m_pManager;
};

CHttpClient::CHttpClient(IRtChannelHttpServer* aServer, CClientManager* aManager)
    : m_pServer(aServer), m_pManager(aManager) {}

CHttpClient::~CHttpClient() {
    if (m_pServer)
        m_pServer->Disconnect(RT_OK);
    m_pManager->Remove(this);
}

void CHttpClient::OnReceive(CRtMessageBlock&, IRtTransport*) {
    // Every request gets the same answer, whatever it asked; the document
    // never changes, so it is built once.
    static const std::string body = BuildStatusBody();
    CRtMessageBlock block(static_cast<unsigned long>(body.size()), body.data(), CRtMessageBlock::DONT_DELETE,
                          static_cast<unsigned long>(body.size()));
    RtResult ret = m_pServer->AppendResponseData(block);
    RT_ASSERTE(!ret);
    ret = m_pServer->SendResponse();
    RT_ASSERTE(!ret);
    AppTrace("%s%s\n", kSendAnswer, kRule);
    AppTrace("%s", body.c_str());
}

void CHttpClient::OnDisconnect(RtResult, IRtTransport*) {
    AppTrace("\n%s%s\n", kClosed, kRule);
    delete this;
}

CClientManager::~CClientManager() = default;

RtResult CClientManager::Init(uint16_t aPort) {
    m_pAcceptor = nullptr;
    IRtChannelServerAcceptor* acceptor = nullptr;
    CRtChannelManager::Instance()->CreateHttpAcceptor(acceptor);
    m_pAcceptor = acceptor;
    if (acceptor)
        acceptor->ReleaseReference();  // the holder keeps the one reference
    m_dwOwnerThread = CRtThreadManager::GetThreadSelfId();

    RtResult ret =
        m_pAcceptor ? m_pAcceptor->StartListen(this, CRtInetAddr("127.0.0.1", aPort)) : RT_ERROR_OUT_OF_MEMORY;
    if (ret != RT_OK)
        RT_ERROR_TRACE("CClientManager::Init, http listen failed, ret= " << ret);
    return ret;
}

void CClientManager::Uninit() {
    if (m_dwOwnerThread == 0 || CRtThreadManager::GetThreadSelfId() == m_dwOwnerThread) {
        Uninit_i();
        return;
    }
    // The channels and the listener belong to the owner thread: their counts
    // are plain and their callbacks run there.
    CUninitFunctor* functor = new CUninitFunctor(this);
    RtResult rv = CThreadSwitch::SwitchToThreadSyn(functor, m_dwOwnerThread);
    if (RT_FAILED(rv))
        RT_WARNING_TRACE("CClientManager::Uninit, the owner thread is gone, nothing stopped. rv=" << rv);
}

void CClientManager::Uninit_i() {
    std::vector<CHttpClient*> clients;
    {
        CRtMutexGuardT<CRtMutexThread> guard(m_Lock);
        clients.swap(m_Clients);
    }
    for (CHttpClient* client : clients)
        delete client;
    if (m_pAcceptor)
        m_pAcceptor->StopListen(RT_OK);
}

void CClientManager::OnServerCreation(IRtChannelHttpServer* aServer) {
    RT_ASSERTE_RETURN_VOID(aServer != NULL);
    AppTrace("%s%s\n", kNewConnection, kRule);
    CHttpClient* client = new CHttpClient(aServer, this);
    aServer->OpenWithSink(client);
    CRtMutexGuardT<CRtMutexThread> guard(m_Lock);
    m_Clients.push_back(client);
}

void CClientManager::Remove(CHttpClient* aClient) {
    CRtMutexGuardT<CRtMutexThread> guard(m_Lock);
    auto it = std::find(m_Clients.begin(), m_Clients.end(), aClient);
    if (it != m_Clients.end())
        m_Clients.erase(it);
}

size_t CClientManager::GetClientCount() {
    CRtMutexGuardT<CRtMutexThread> guard(m_Lock);
    return m_Clients.size();
}

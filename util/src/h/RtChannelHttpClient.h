// The HTTP client: one channel sends requests to the server a URL names,
// directly or through an HTTP proxy, answers 401 and 407 challenges with
// the authenticators, and delivers each response body to its sink.
//
// Threads: a channel belongs to the thread that made it; it connects
// through the connection manager with TS_SINGLE_THREAD, so every callback
// (the connector's, the transport's, the sink's) comes on that thread. The
// browser-proxy variant hears of late proxy settings through a waiter
// registered with the proxy manager, on whatever thread reports them, and
// gets back to its own thread with an event. Only the waiter locks.
//
// Ownership: the channel holds its URL, its proxy settings, its connector
// and its transport; the application holds the channel (the sink is not
// counted). The last release deletes it on a later timer pass.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "RtChannelHttpServer.h"
#include "RtHttpAuthenticator.h"
#include "RtHttpParser.h"
#include "RtHttpProxyInfo.h"
#include "RtHttpProxyManager.h"
#include "RtHttpUrl.h"
#include "RtMutex.h"
#include "RtObserver.h"

class CRtChannelHttpClient : public IRtChannelHttpClient,
                             public CRtChannelHttpBase,
                             public CRtReferenceControlTimerDeleteT<CRtMutexNullSingleThread>,
                             public IRtAcceptorConnectorSink,
                             public IRtObserver {
public:
    // Rounds of authentication a channel may take.
    static constexpr int kAuthRounds = 3;
    // How long a connect may take.
    static constexpr long kConnectTimeoutSec = 60;

    CRtChannelHttpClient(CRtHttpUrl* aURL, uint32_t aFlag);
    // Through the HTTP proxy aPi.
    CRtChannelHttpClient(CRtHttpUrl* aURL, CRtHttpProxyInfo* aPi);

    uint32_t AddReference() override;
    uint32_t ReleaseReference() override;

    // IRtTransport
    // Not for client channels: RT_ERROR_UNEXPECTED.
    RtResult OpenWithSink(IRtTransportSink* aSink) override;
    IRtTransportSink* GetSink() override;
    // The first SendData after AsyncOpen (every one without head-once)
    // carries the request head; a body goes with POST.
    RtResult SendData(CRtMessageBlock& aData, bool aFlag = true, bool aDestroy = false, long aPriority = 2,
                      bool aPduFlag = true) override;
    RtResult SetOption(unsigned long aCommand, void* aArg) override;
    RtResult GetOption(unsigned long aCommand, void* aArg) override;
    // Drops the connection (or the connect under way) and the sink; no
    // callback follows.
    RtResult Disconnect(RtResult aReason) override;

    // IRtChannelHttpClient
    RtResult AsyncOpen(IRtChannelSink* aSink) override;
    RtResult GetUrl(CRtHttpUrl*& aUrl) override;
    RtResult SetRequestHeader(const CRtString& aHeader, const CRtString& aValue) override;
    RtResult SetRequestMethod(const CRtString& aMethod) override;
    RtResult SetPath(const CRtString& aPath) override;
    RtResult GetRequestMethod(CRtString& aMethod) override;
    RtResult GetResponseStatus(int32_t& aStatus) override;
    RtResult GetResponseHeader(const CRtString& aHeader, CRtString& aValue) override;

    // CRtChannelHttpBase
    RtResult ParserHttpProtocol_t(CRtMessageBlock& aData) override;
    void OnDisconnect(RtResult aReason, IRtTransport* aTrptId) override;

    // The connector's outcome.
    void OnConnectIndication(RtResult aReason, IRtTransport* aTrpt, IRtAcceptorConnectorId* aRequestId) override;
    // Proxy settings became available (browser-proxy variant only).
    void OnObserve(const char* aTopic, void* aData) override;

    // Bytes the connection delivered after the last response's end and
    // that no response took (a tunnel's first bytes behind the answer to
    // CONNECT); the caller takes them.
    CRtString TakeUnreadData();
    // The transport under the channel, without a reference for the caller.
    IRtTransport* GetTransport() const { return m_pTransport.Get(); }
    // The channel's sink for the browser-proxy variant's event.
    IRtChannelSink* GetChannelSink() const { return m_pChannelSink; }

protected:
    ~CRtChannelHttpClient() override;

    // Connects to aAddr with a new connector from the connection manager.
    RtResult Connect_i(const CRtInetAddr& aAddr);
    // The request URI for the method: host:port for CONNECT, the absolute
    // URL through a proxy, else the path.
    CRtString RequestUri_i(const CRtHttpAtom& aMethod) const;
    // Tells the sink the connect outcome; the browser-proxy variant may try
    // another way first.
    virtual void ReportConnect_i(RtResult aResult);
    // Sends the request head (and the saved body) again.
    RtResult SendRequestAgain_i();
    // A complete response: the challenge answered, or the body delivered.
    RtResult Deliver_i(CRtMessageBlock& aData);
    // Lets the connection go without telling anyone; the sink stays.
    void DropTransport_i();
    // Connects again (to the proxy or the server) to send the request once
    // more; the sink is told only of a failure.
    RtResult Reconnect_i();

    // Authentication (RtChannelHttpClientAuth.cpp).
    RtResult ProcessAuthorization();
    RtResult DoAuthorizationOpen_i();
    // Whether the connection that carried the last response stays open.
    bool ResponseKeepsConnection_i() const;
    // Starts over on a new connection after the server closed one that an
    // NTLM handshake needed.
    void RestartNtlm_i();

    CRtAutoPtr<CRtHttpProxyInfo> m_pProxyInfo;
    CRtAutoPtr<CRtHttpUrl> m_pUrl;
    CRtAutoPtr<IRtConnector> m_pConnector;
    CRtHttpParserT<CRtHttpResponseHead, CRtChannelHttpClient> m_ParserResponse;
    uint32_t m_dwFlag = 0;
    int m_nAuthRoundsLeft = kAuthRounds;
    bool m_bIsAuthing = false;
    // A copy of the first body sent, for sending again after a challenge.
    CRtString m_strSavedBody;
    IRtChannelSink* m_pChannelSink = nullptr;
    bool m_bTryWithoutUserName = true;

    // The settings that answer a server's 401 (made for the URL's host and
    // port), apart from the proxy's.
    CRtAutoPtr<CRtHttpProxyInfo> m_pWwwAuthInfo;
    CRtAutoPtr<IRtHttpAuthenticator> m_pAuthenticator;
    // The current exchange answers the server (Authorization), not the
    // proxy (Proxy-Authorization).
    bool m_bWwwAuth = false;
    // The request goes out again once the new connection is up; the sink
    // heard OnConnect already.
    bool m_bReconnecting = false;
    // The user's no-body option (312); the parser's flag is set per message.
    bool m_bNoBodyOption = false;
    // The last delivered response said the connection ends after it.
    bool m_bServerCloses = false;
    // The connection is closing under the response being delivered.
    bool m_bPeerClosed = false;
    // What the last read held behind a complete response.
    CRtString m_strUnread;
};

class CRtChannelHttpClientWithBrowerProxy;

// Waits for the proxy manager on a browser-proxy channel's behalf. The
// manager may tell it on any thread, even while the channel goes away: the
// waiter keeps itself alive while it is registered, whoever takes it off
// the manager's list (the manager telling it, or the channel giving up)
// drops that hold, and the answer reaches the channel only on the
// channel's thread and only while the channel still waits for it.
class CRtHttpClientProxyWaiter : public IRtObserver {
public:
    CRtHttpClientProxyWaiter(CRtChannelHttpClientWithBrowerProxy* aOwner, CRtThread* aThread)
        : m_pOwner(aOwner), m_pThread(aThread) {}
    void OnObserve(const char* aTopic, void* aData) override;
    // On the channel's thread: no answer reaches the channel afterwards.
    void Cancel();
    // On the channel's thread.
    CRtChannelHttpClientWithBrowerProxy* Owner();

    std::shared_ptr<CRtHttpClientProxyWaiter> m_pSelf;

private:
    CRtMutexThread m_Mutex;
    CRtChannelHttpClientWithBrowerProxy* m_pOwner;
    CRtThread* m_pThread;
};

// Tries the server directly first and, when that fails, the proxy the
// proxy manager names.
class CRtChannelHttpClientWithBrowerProxy : public CRtChannelHttpClient {
public:
    CRtChannelHttpClientWithBrowerProxy(CRtHttpUrl* aURL, uint32_t aFlag);

    RtResult AsyncOpen(IRtChannelSink* aSink) override;
    // Not registered itself: its waiter is.
    void OnObserve(const char* aTopic, void* aData) override;
    RtResult Disconnect(RtResult aReason) override;

    // On the channel's thread: the manager answered aWaiter; ignored unless
    // it is the channel's current waiter.
    void OnProxyAnswer(const std::shared_ptr<CRtHttpClientProxyWaiter>& aWaiter);

protected:
    ~CRtChannelHttpClientWithBrowerProxy() override;
    void ReportConnect_i(RtResult aResult) override;

private:
    void StopObserving_i();

    IRtChannelSink* m_pSinkTemp = nullptr;
    int m_nOpenCount = 0;
    CRtHttpProxyManager* m_pProxyManager;
    bool m_bConnectReported = false;
    std::shared_ptr<CRtHttpClientProxyWaiter> m_pWaiter;
    CRtThread* m_pThread = nullptr;
};

// Opens a channel on its own thread: the channel given, or the one a
// proxy-manager waiter still belongs to (a late answer that came on another
// thread).
class CRtEventHttpClientAsyncOpen : public IRtEvent {
public:
    explicit CRtEventHttpClientAsyncOpen(CRtChannelHttpClient* aChannel) : m_pChannel(aChannel) {}
    explicit CRtEventHttpClientAsyncOpen(std::shared_ptr<CRtHttpClientProxyWaiter> aWaiter)
        : m_pWaiter(std::move(aWaiter)) {}
    RtResult OnEventFire() override;

private:
    CRtAutoPtr<CRtChannelHttpClient> m_pChannel;
    std::shared_ptr<CRtHttpClientProxyWaiter> m_pWaiter;
};

// HTTP channels: the channel interfaces, their options, and the manager that
// hands out HTTP listeners, client channels and URLs.
#pragma once

#include <cstdint>

#include "RtError.h"
#include "RtInetAddr.h"
#include "RtNetworkBase.h"
#include "RtString.h"

class CRtHttpUrl;
class CRtHttpProxyInfo;

// ---- Channel options (SetOption / GetOption, argument by pointer) ---------------
#define RT_OPT_CHANNEL_HTTP_MAX_SEND_BUF 132         // uint32_t: bytes the channel holds back at most
#define RT_OPT_CHANNEL_HTTP_NO_CONTENT_LENGTH 311    // bool: never set Content-Length on the head
#define RT_OPT_CHANNEL_HTTP_NO_BODY 312              // bool: requests carry no body, whatever the head says
#define RT_OPT_CHANNEL_HTTP_SEND_HEAD_ONCE 313       // bool: only the first SendData carries the head
#define RT_OPT_CHANNEL_HTTP_MAX_CONTENT_LENGTH 314   // int32_t: the response head's content maximum

// What option RT_OPT_TRANSPORT_TRAN_TYPE answers for an HTTP channel.
#define RT_CHANNEL_HTTP_TRAN_TYPE 48

// A transport that speaks a protocol on top of another transport.
class IRtChannel : public IRtTransport {
protected:
    ~IRtChannel() override {}
};

class IRtChannelSink : public IRtTransportSink {
public:
    // Only client channels call it, once the connection is up (or failed).
    virtual void OnConnect(RtResult aReason, IRtChannel* aChannelId) = 0;
};

// The client end of one HTTP exchange: one request to the URL's server,
// directly or through a proxy. Owner thread only: the thread that made it.
class IRtChannelHttpClient : public IRtChannel {
public:
    // Starts connecting; the result comes through aSink->OnConnect.
    virtual RtResult AsyncOpen(IRtChannelSink* aSink) = 0;
    // The channel's URL with one reference for the caller;
    // RT_ERROR_NOT_INITIALIZED when there is none.
    virtual RtResult GetUrl(CRtHttpUrl*& aUrl) = 0;
    // An empty value removes the header.
    virtual RtResult SetRequestHeader(const CRtString& aHeader, const CRtString& aValue) = 0;
    // One of the method atoms (GET, POST, ...); RT_ERROR_NOT_FOUND for a
    // name that is none.
    virtual RtResult SetRequestMethod(const CRtString& aMethod) = 0;
    // Replaces the request URI.
    virtual RtResult SetPath(const CRtString& aPath) = 0;
    virtual RtResult GetRequestMethod(CRtString& aMethod) = 0;
    // RT_ERROR_FAILURE while no response has come.
    virtual RtResult GetResponseStatus(int32_t& aStatus) = 0;
    virtual RtResult GetResponseHeader(const CRtString& aHeader, CRtString& aValue) = 0;

protected:
    ~IRtChannelHttpClient() override {}
};

// The server end of one HTTP connection. Owner thread only: the thread the
// acceptor delivers it on.
class IRtChannelHttpServer : public IRtChannel {
public:
    // An empty value removes the header.
    virtual RtResult SetResponseHeader(const CRtString& aHeader, const CRtString& aValue) = 0;
    virtual RtResult SetResponseStatus(int32_t aStatus, const CRtString& aText) = 0;
    virtual RtResult GetRequestMethod(CRtString& aMethod) = 0;
    virtual RtResult GetRequestHeader(const CRtString& aHeader, CRtString& aValue) = 0;
    // Path and query as received, not decoded.
    virtual RtResult GetRequestUri(CRtString& aUri) = 0;
    // The file of the multipart/form-data field aName in the request body aData.
    virtual RtResult GetUploadFileInfo(CRtMessageBlock& aData, const CRtString& aName, CRtString& aFileName,
                                       CRtString& aFileContent) = 0;
    // The accepted transport, without a reference for the caller.
    virtual IRtTransport* GetTransport() = 0;
    // Copies aData behind the pending response body.
    virtual RtResult AppendResponseData(CRtMessageBlock& aData) = 0;
    // Sends the response head and the pending body.
    virtual RtResult SendResponse() = 0;

protected:
    ~IRtChannelHttpServer() override {}
};

class IRtChannelServerSink {
public:
    // A new connection; keep aServer with AddReference and open it with a
    // sink, or let it go.
    virtual void OnServerCreation(IRtChannelHttpServer* aServer) = 0;
    virtual ~IRtChannelServerSink() {}
};

// An HTTP listener. Callbacks come on the thread that called StartListen.
class IRtChannelServerAcceptor : public IRtReferenceControl {
public:
    virtual RtResult StartListen(IRtChannelServerSink* aSink, const CRtInetAddr& aAddr) = 0;
    virtual RtResult StopListen(RtResult aReason) = 0;

protected:
    ~IRtChannelServerAcceptor() override {}
};

// Stateless; every factory fills an out pointer that must be null on entry
// and gives the object with one reference for the caller.
class CRtChannelManager {
public:
    enum { CFLAG_WITH_BROWER_PROXY = 2 };

    static CRtChannelManager* Instance();

    RtResult CreateHttpAcceptor(IRtChannelServerAcceptor*& aAcceptor);
    // A client channel for aURL; with CFLAG_WITH_BROWER_PROXY and an http
    // URL, one that falls back to the proxy manager's proxy.
    RtResult CreateChannelHttpClient(IRtChannelHttpClient*& aClient, CRtHttpUrl* aURL, uint32_t aFlag = 0);
    // A client channel that goes through the HTTP proxy aProxy.
    RtResult CreateChannelHttpClientWithProxy(IRtChannelHttpClient*& aClient, CRtHttpUrl* aURL,
                                              CRtHttpProxyInfo* aProxy);
    RtResult CreateUrl(CRtHttpUrl*& aUrl, const CRtString& aStr);

private:
    static CRtChannelManager s_rtChannelManagerSingleton;
};

// The HTTP server: the listener that wraps accepted TCP transports in
// server channels, the channel itself, and the part server and client
// channels share (heads, transport, sink, bounded send buffer).
//
// Threads: a listener, its channels and their transports' callbacks all
// live on the thread that called StartListen; the application calls the
// channel on that thread only. Nothing here locks.
//
// Ownership: the listener holds its TCP acceptor; a channel holds its
// transport and is held by the application (the reference it adds in
// OnServerCreation). The last release deletes a channel on a later timer
// pass, so it may be released inside any of its callbacks.
#pragma once

#include <cstdint>

#include "RtChannelManager.h"
#include "RtHttpHead.h"
#include "RtHttpParser.h"
#include "RtMessageBlock.h"
#include "RtReferenceControl.h"
#include "RtUtilTemplates.h"

// The transport sink of a channel: receives from the transport, keeps what
// the transport refused, and tells the channel's sink.
class CRtChannelHttpBase : public IRtTransportSink {
public:
    static constexpr uint32_t kDefaultMaxSendBuf = 0x100000;

    // aTransportId is the channel the sink is told about in every callback.
    explicit CRtChannelHttpBase(IRtTransport* aTransportId);

    void OnReceive(CRtMessageBlock& aData, IRtTransport* aTrptId) override;
    void OnSend(IRtTransport* aTrptId) override;
    void OnDisconnect(RtResult aReason, IRtTransport* aTrptId) override;
    ~CRtChannelHttpBase() override;

    // The parser completed a message: the next data starts a new one.
    virtual void OnParseFinished();
    // Parses one message from aData and delivers it: RT_OK when a message
    // went to the sink, RT_ERROR_PARTIAL_DATA when more data is needed,
    // anything else ends the connection.
    virtual RtResult ParserHttpProtocol_t(CRtMessageBlock& aData) = 0;
    // Drops the transport and the sink; no callback follows.
    virtual RtResult Disconnect(RtResult aReason);

    // Closes now and tells the sink, if the connection is still there. For
    // the channel's own close event.
    void CloseNow_i();

protected:
    // Hands aData to the transport, or keeps it behind what waits already.
    // RT_OK when the data was taken or kept; RT_ERROR_PARTIAL_DATA when the
    // buffer is full (the sink gets OnSend later); any other failure of the
    // transport is returned and nothing is kept.
    RtResult SendBuffered(CRtMessageBlock& aData);
    // The first packet of a message: the head encoded into m_strHead (up to
    // the empty line), then aData. aFailure names the caller in the log
    // line of a failed send.
    RtResult SendFirstPacket_i(CRtMessageBlock& aData, bool aDestroy, const char* aFailure);
    // A later packet: aData alone, never empty.
    RtResult SendNextPacket_i(CRtMessageBlock& aData, bool aDestroy);
    RtResult SetBaseOption(unsigned long aCommand, void* aArg, bool& aHandled);
    RtResult GetBaseOption(unsigned long aCommand, void* aArg, bool& aHandled);

    // The response that just went out asked to end the connection: close
    // once everything is sent, and never at once inside a call of the
    // application (a callback there could free what it is working on).
    void CloseAfterResponse_i();

    CRtHttpRequestHead m_RequestHeader;
    CRtHttpResponseHead m_ResponseHeader;
    // The encoded head of the message going out; keeps its storage from
    // message to message.
    CRtString m_strHead;
    IRtTransport* m_pTransportId;
    IRtTransportSink* m_pSink = nullptr;
    CRtAutoPtr<IRtTransport> m_pTransport;
    bool m_bFirstPacket = true;
    CRtMessageBlock* m_pMbSendBuf = nullptr;
    uint32_t m_dwMaxSendBufLen = kDefaultMaxSendBuf;
    bool m_bNoAutoLength = false;
    bool m_bHeadOnce = false;
    bool m_bResetParser = false;
    bool m_bSendBufFull = false;

    // The last delivered request asked to end the connection after its
    // response; later requests on it are not read.
    bool m_bCloseRequested = false;
    // The closing response is out but still in the send buffer.
    bool m_bCloseWhenDrained = false;
    // The closing response went out during OnReceive: close when it returns.
    bool m_bCloseAfterReceive = false;
    int m_nReceiveDepth = 0;
};

class CRtChannelHttpServer : public IRtChannelHttpServer,
                             public CRtChannelHttpBase,
                             public CRtReferenceControlTimerDeleteT<CRtMutexNullSingleThread> {
public:
    explicit CRtChannelHttpServer(IRtTransport* aTransport);

    uint32_t AddReference() override;
    uint32_t ReleaseReference() override;

    // IRtTransport
    RtResult OpenWithSink(IRtTransportSink* aSink) override;
    IRtTransportSink* GetSink() override;
    RtResult SendData(CRtMessageBlock& aData, bool aFlag = true, bool aDestroy = false, long aPriority = 2,
                      bool aPduFlag = true) override;
    RtResult SetOption(unsigned long aCommand, void* aArg) override;
    RtResult GetOption(unsigned long aCommand, void* aArg) override;
    RtResult Disconnect(RtResult aReason) override;

    // IRtChannelHttpServer
    RtResult SetResponseHeader(const CRtString& aHeader, const CRtString& aValue) override;
    RtResult SetResponseStatus(int32_t aStatus, const CRtString& aText) override;
    RtResult GetRequestMethod(CRtString& aMethod) override;
    RtResult GetRequestHeader(const CRtString& aHeader, CRtString& aValue) override;
    RtResult GetRequestUri(CRtString& aUri) override;
    RtResult GetUploadFileInfo(CRtMessageBlock& aData, const CRtString& aName, CRtString& aFileName,
                               CRtString& aFileContent) override;
    IRtTransport* GetTransport() override;
    RtResult AppendResponseData(CRtMessageBlock& aData) override;
    RtResult SendResponse() override;

    // CRtChannelHttpBase
    RtResult ParserHttpProtocol_t(CRtMessageBlock& aData) override;

protected:
    ~CRtChannelHttpServer() override;

private:
    // Sets Content-Length and Connection for the response about to go out;
    // returns whether the connection ends after it.
    bool PrepareResponseHead_i(uint32_t aBodyLength);

    CRtHttpParserT<CRtHttpRequestHead, CRtChannelHttpServer> m_ParserRequest;
    // What AppendResponseData gathered for the next SendResponse; keeps its
    // storage from answer to answer.
    CRtString m_strResponseBody;
    static constexpr size_t kKeptBodyCapacity = 16 * 1024;
    bool m_bOpened = false;
    // The Connection header of the response was written by the channel,
    // not by the application.
    bool m_bConnectionHeaderOwn = false;
};

// Listens through the connection manager and turns every accepted TCP
// transport into a CRtChannelHttpServer for the sink.
class CRtChannelHttpServerAcceptor : public IRtChannelServerAcceptor,
                                     public CRtReferenceControlT<CRtMutexNullSingleThread>,
                                     public IRtAcceptorConnectorSink {
public:
    CRtChannelHttpServerAcceptor() = default;

    uint32_t AddReference() override;
    uint32_t ReleaseReference() override;

    RtResult StartListen(IRtChannelServerSink* aSink, const CRtInetAddr& aAddr) override;
    RtResult StopListen(RtResult aReason) override;

    void OnConnectIndication(RtResult aReason, IRtTransport* aTrpt, IRtAcceptorConnectorId* aRequestId) override;

protected:
    // Releases the listener without stopping it.
    ~CRtChannelHttpServerAcceptor() override;

private:
    IRtChannelServerSink* m_pSink = nullptr;
    CRtAutoPtr<IRtAcceptor> m_pAcceptorTcp;
};

#include "RtChannelHttpServer.h"

#include <cstdio>

#include "RtDebug.h"
#include "RtHttpAtom.h"
#include "RtHttpMultipart.h"

namespace {

bool HasClose(const CRtString& aList) { return RtHttpHasToken(aList, "close"); }
bool HasKeepAlive(const CRtString& aList) { return RtHttpHasToken(aList, "keep-alive"); }

// Statuses whose responses never carry a body.
bool IsBodiless(int32_t aStatus) { return (aStatus >= 100 && aStatus < 200) || aStatus == 204 || aStatus == 304; }

}  // namespace

CRtChannelHttpServer::CRtChannelHttpServer(IRtTransport* aTransport)
    : CRtChannelHttpBase(static_cast<IRtChannelHttpServer*>(this)), m_ParserRequest(m_RequestHeader, this) {
    m_pTransport = aTransport;
    RT_ASSERTE(m_pTransport);
}

CRtChannelHttpServer::~CRtChannelHttpServer() {}

uint32_t CRtChannelHttpServer::AddReference() {
    return CRtReferenceControlTimerDeleteT<CRtMutexNullSingleThread>::AddReference();
}

uint32_t CRtChannelHttpServer::ReleaseReference() {
    return CRtReferenceControlTimerDeleteT<CRtMutexNullSingleThread>::ReleaseReference();
}

RtResult CRtChannelHttpServer::OpenWithSink(IRtTransportSink* aSink) {
    m_pSink = aSink;
    if (m_bOpened)
        return RT_OK;
    RT_ASSERTE_RETURN(m_pTransport, RT_ERROR_NOT_INITIALIZED);
    m_bOpened = true;
    m_ResponseHeader.SetStatus(200);
    m_ResponseHeader.SetStatusText("OK");
    m_ResponseHeader.SetVersion(11);
    return m_pTransport->OpenWithSink(static_cast<CRtChannelHttpBase*>(this));
}

IRtTransportSink* CRtChannelHttpServer::GetSink() { return m_pSink; }

RtResult CRtChannelHttpServer::Disconnect(RtResult aReason) { return CRtChannelHttpBase::Disconnect(aReason); }

IRtTransport* CRtChannelHttpServer::GetTransport() { return m_pTransport.Get(); }

RtResult CRtChannelHttpServer::SetOption(unsigned long aCommand, void* aArg) {
    RT_ASSERTE_RETURN(aArg, RT_ERROR_INVALID_ARG);
    switch (aCommand) {
    case RT_OPT_CHANNEL_HTTP_NO_BODY:
        m_ParserRequest.SetNoBody(*static_cast<bool*>(aArg));
        return RT_OK;
    case RT_OPT_CHANNEL_HTTP_MAX_CONTENT_LENGTH:
        m_ResponseHeader.SetMaxContentLength(*static_cast<int32_t*>(aArg));
        return RT_OK;
    default:
        break;
    }
    bool handled = false;
    RtResult rv = SetBaseOption(aCommand, aArg, handled);
    if (handled)
        return rv;
    return m_pTransport ? m_pTransport->SetOption(aCommand, aArg) : RT_ERROR_NULL_POINTER;
}

RtResult CRtChannelHttpServer::GetOption(unsigned long aCommand, void* aArg) {
    RT_ASSERTE_RETURN(aArg, RT_ERROR_INVALID_ARG);
    if (aCommand == RT_OPT_CHANNEL_HTTP_MAX_CONTENT_LENGTH) {
        *static_cast<int32_t*>(aArg) = m_ResponseHeader.GetMaxContentLength();
        return RT_OK;
    }
    bool handled = false;
    RtResult rv = GetBaseOption(aCommand, aArg, handled);
    if (handled)
        return rv;
    return m_pTransport ? m_pTransport->GetOption(aCommand, aArg) : RT_ERROR_NULL_POINTER;
}

RtResult CRtChannelHttpServer::SetResponseHeader(const CRtString& aHeader, const CRtString& aValue) {
    CRtHttpAtom atHead = CRtHttpAtomList::Instance()->ResolveAtom(aHeader, true);
    RT_ASSERTE_RETURN(atHead.get(), RT_ERROR_NOT_FOUND);
    if (atHead == CRtHttpAtomList::Connection)
        m_bConnectionHeaderOwn = false;
    m_ResponseHeader.SetHeader(atHead, aValue);
    return RT_OK;
}

RtResult CRtChannelHttpServer::SetResponseStatus(int32_t aStatus, const CRtString& aText) {
    m_ResponseHeader.SetStatus(aStatus);
    m_ResponseHeader.SetStatusText(aText);
    return RT_OK;
}

RtResult CRtChannelHttpServer::GetRequestMethod(CRtString& aMethod) {
    CRtHttpAtom method = m_RequestHeader.GetMethod();
    aMethod = method.get() ? method.get() : "";
    return aMethod.empty() ? RT_ERROR_FAILURE : RT_OK;
}

RtResult CRtChannelHttpServer::GetRequestHeader(const CRtString& aHeader, CRtString& aValue) {
    CRtHttpAtom atHead = CRtHttpAtomList::Instance()->ResolveAtom(aHeader, true);
    RT_ASSERTE_RETURN(atHead.get(), RT_ERROR_NOT_FOUND);
    return m_RequestHeader.GetHeader(atHead, aValue) ? RT_OK : RT_ERROR_FAILURE;
}

RtResult CRtChannelHttpServer::GetRequestUri(CRtString& aUri) {
    aUri = m_RequestHeader.GetRequestURI();
    return aUri.empty() ? RT_ERROR_FAILURE : RT_OK;
}

RtResult CRtChannelHttpServer::GetUploadFileInfo(CRtMessageBlock& aData, const CRtString& aName, CRtString& aFileName,
                                                 CRtString& aFileContent) {
    CRtString contentType;
    m_RequestHeader.GetHeader(CRtHttpAtomList::Content_Type, contentType);
    return RtHttpGetUploadFileInfo(contentType, aData.FlattenChained(), aName, aFileName, aFileContent,
                                   static_cast<const void*>(this));
}

RtResult CRtChannelHttpServer::AppendResponseData(CRtMessageBlock& aData) {
    for (const CRtMessageBlock* b = &aData; b; b = b->GetNext())
        m_strResponseBody.append(b->GetTopLevelReadPtr(), b->GetTopLevelLength());
    return RT_OK;
}

RtResult CRtChannelHttpServer::SendResponse() {
    // The body's buffer is kept for the next answer on this connection,
    // unless it grew beyond what answers usually need.
    CRtMessageBlock body(static_cast<unsigned long>(m_strResponseBody.size()), m_strResponseBody.data(),
                         CRtMessageBlock::DONT_DELETE, static_cast<unsigned long>(m_strResponseBody.size()));
    RtResult rv = SendData(body, true, false, 2, true);
    m_strResponseBody.clear();
    if (m_strResponseBody.capacity() > kKeptBodyCapacity)
        CRtString().swap(m_strResponseBody);
    if (m_strHead.capacity() > kKeptBodyCapacity)
        CRtString().swap(m_strHead);
    return rv;
}

bool CRtChannelHttpServer::PrepareResponseHead_i(uint32_t aBodyLength) {
    if (!m_bNoAutoLength) {
        CRtString length;
        if (aBodyLength > 0) {
            length = std::to_string(aBodyLength);
        } else if (!m_bHeadOnce && !IsBodiless(m_ResponseHeader.GetStatus())) {
            // Without it a keep-alive client cannot tell that the body is
            // empty and waits for a close that never comes.
            length = "0";
        }
        m_ResponseHeader.SetHeader(CRtHttpAtomList::Content_Length, length);
    }
    if (m_bHeadOnce)
        return false;

    // The channel speaks for the connection unless the application set the
    // header itself.
    CRtString connection;
    bool appSet = m_ResponseHeader.GetHeader(CRtHttpAtomList::Connection, connection) && !m_bConnectionHeaderOwn;
    if (!appSet) {
        const char* wanted = "";
        if (m_bCloseRequested)
            wanted = "close";
        else if (m_RequestHeader.GetVersion() == 10)
            wanted = "keep-alive";
        m_ResponseHeader.SetHeader(CRtHttpAtomList::Connection, wanted);
        m_bConnectionHeaderOwn = *wanted != '\0';
        return m_bCloseRequested;
    }
    return m_bCloseRequested || HasClose(connection);
}

RtResult CRtChannelHttpServer::SendData(CRtMessageBlock& aData, bool, bool aDestroy, long, bool) {
    RT_ASSERTE_RETURN(m_pTransport, RT_ERROR_NOT_INITIALIZED);
    if (m_bFirstPacket) {
        bool closeAfter = PrepareResponseHead_i(static_cast<uint32_t>(aData.GetChainedLength()));
        // Encoded into text kept for the next answer: the head is copied or
        // sent before SendData returns.
        m_strHead.clear();
        m_ResponseHeader.Encode(m_strHead);
        RtResult rv = SendFirstPacket_i(
            aData, aDestroy,
            "CRtChannelHttpServer::SendPrivateData, it's impossible that sending first packet failed!");
        if (RT_SUCCEEDED(rv) && closeAfter)
            CloseAfterResponse_i();
        return rv;
    }
    return SendNextPacket_i(aData, aDestroy);
}

RtResult CRtChannelHttpServer::ParserHttpProtocol_t(CRtMessageBlock& aData) {
    if (m_bResetParser) {
        m_bResetParser = false;
        m_ParserRequest.Reset();
    }
    if (m_ParserRequest.IsFinished())
        return RT_OK;
    if (!m_RequestHeader.HaveAllHeaders()) {
        RtResult rv = m_ParserRequest.ParseHead(aData);
        if (RT_FAILED(rv))
            return rv;
        if (!m_RequestHeader.HaveAllHeaders())
            return RT_ERROR_PARTIAL_DATA;
    }
    RtResult rv = m_ParserRequest.HandleContent(&aData);
    if (rv != RT_OK)
        return rv;
    RT_ASSERTE(m_ParserRequest.IsFinished());
    CRtMessageBlock* body = nullptr;
    rv = m_ParserRequest.GetContent(body);
    if (RT_FAILED(rv))
        return rv;

    // HTTP/1.1 keeps the connection unless the request says close; HTTP/1.0
    // closes it unless the request says keep-alive.
    CRtString connection;
    bool hasConnection = m_RequestHeader.GetHeader(CRtHttpAtomList::Connection, connection);
    if (m_RequestHeader.GetVersion() == 10)
        m_bCloseRequested = !(hasConnection && HasKeepAlive(connection));
    else
        m_bCloseRequested = hasConnection && HasClose(connection);
    // A chunked body that also declares a length, or comes from an HTTP/1.0
    // client, may have been framed otherwise by whoever forwarded it: what
    // follows is not read as another request.
    if (m_RequestHeader.HasConflictingLengths() ||
        (m_RequestHeader.GetVersion() == 10 && m_RequestHeader.HasHeader(CRtHttpAtomList::Transfer_Encoding)))
        m_bCloseRequested = true;

    if (!m_pSink) {
        RT_ASSERTE(m_pSink);
        if (body)
            body->DestroyChained();
        return RT_OK;
    }
    if (body) {
        m_pSink->OnReceive(*body, static_cast<IRtChannelHttpServer*>(this));
        body->DestroyChained();
    } else {
        CRtMessageBlock empty(0);
        m_pSink->OnReceive(empty, static_cast<IRtChannelHttpServer*>(this));
    }
    return RT_OK;
}

#include "RtChannelHttpClient.h"

#include <string>

#include "RtConnectionManager.h"
#include "RtDebug.h"
#include "RtHttpAtom.h"

namespace {

const char kUserAgent[] = "zorvane httpclient";

bool IsInformational(int32_t aStatus) { return aStatus >= 100 && aStatus < 200; }

}  // namespace

CRtChannelHttpClient::CRtChannelHttpClient(CRtHttpUrl* aURL, uint32_t aFlag)
    : CRtChannelHttpBase(static_cast<IRtChannelHttpClient*>(this)),
      m_pUrl(aURL),
      m_ParserResponse(m_ResponseHeader, this),
      m_dwFlag(aFlag) {
    RT_ASSERTE(m_pUrl);
    RT_INFO_TRACE_THIS("CRtChannelHttpClient::CRtChannelHttpClient, aURL="
                       << (m_pUrl ? m_pUrl->GetAsciiSpec() : CRtString()) << " aFlag=" << aFlag);
    // A response without a length ends at the close; the server side's
    // rule (no length, no body) does not hold for responses.
    m_ParserResponse.SetEmptyBodyWithoutLength(false);
    m_ParserResponse.SetBodyUntilClose(true);
    m_RequestHeader.SetVersion(11);
    SetRequestMethod("GET");
    if (m_pUrl)
        m_RequestHeader.SetHeader(CRtHttpAtomList::Host, m_pUrl->GetNameAndPort(false));
    m_RequestHeader.SetHeader(CRtHttpAtomList::Accept, "*/*");
    m_RequestHeader.SetHeader(CRtHttpAtomList::User_Agent, kUserAgent);
}

CRtChannelHttpClient::CRtChannelHttpClient(CRtHttpUrl* aURL, CRtHttpProxyInfo* aPi)
    : CRtChannelHttpBase(static_cast<IRtChannelHttpClient*>(this)),
      m_pProxyInfo(aPi),
      m_pUrl(aURL),
      m_ParserResponse(m_ResponseHeader, this) {
    RT_ASSERTE(m_pUrl);
    RT_INFO_TRACE_THIS("CRtChannelHttpClient::CRtChannelHttpClient, aURL="
                       << (m_pUrl ? m_pUrl->GetAsciiSpec() : CRtString()) << " aPi=" << static_cast<const void*>(aPi));
    m_ParserResponse.SetEmptyBodyWithoutLength(false);
    m_ParserResponse.SetBodyUntilClose(true);
    if (m_pProxyInfo && !m_pProxyInfo->GetUserName().empty())
        m_bTryWithoutUserName = false;
    m_RequestHeader.SetVersion(11);
    SetRequestMethod("GET");
    if (m_pUrl)
        m_RequestHeader.SetHeader(CRtHttpAtomList::Host, m_pUrl->GetNameAndPort(false));
    m_RequestHeader.SetHeader(CRtHttpAtomList::Accept, "*/*");
    m_RequestHeader.SetHeader(CRtHttpAtomList::User_Agent, kUserAgent);
}

CRtChannelHttpClient::~CRtChannelHttpClient() {
    if (m_pConnector)
        m_pConnector->CancelConnect(RT_OK);
}

uint32_t CRtChannelHttpClient::AddReference() {
    return CRtReferenceControlTimerDeleteT<CRtMutexNullSingleThread>::AddReference();
}

uint32_t CRtChannelHttpClient::ReleaseReference() {
    return CRtReferenceControlTimerDeleteT<CRtMutexNullSingleThread>::ReleaseReference();
}

RtResult CRtChannelHttpClient::OpenWithSink(IRtTransportSink*) {
    RT_ASSERTE(!"CRtChannelHttpClient::OpenWithSink");
    return RT_ERROR_UNEXPECTED;
}

IRtTransportSink* CRtChannelHttpClient::GetSink() { return m_pSink; }

RtResult CRtChannelHttpClient::AsyncOpen(IRtChannelSink* aSink) {
    RT_ASSERTE(!m_bIsAuthing);
    RT_ASSERTE_RETURN(aSink, RT_ERROR_INVALID_ARG);
    if (aSink != m_pChannelSink) {
        RT_ASSERTE(!m_pSink);
        m_pSink = aSink;
        m_pChannelSink = aSink;
    }
    RT_ASSERTE_RETURN(m_pUrl, RT_ERROR_NOT_INITIALIZED);
    // Opening again starts a new connection.
    if (m_pTransport) {
        m_pTransport->Disconnect(RT_OK);
        m_pTransport = nullptr;
    }
    CRtInetAddr addr;
    if (m_pProxyInfo) {
        m_RequestHeader.SetHeader(CRtHttpAtomList::Proxy_Connection, "keep-alive");
        m_RequestHeader.SetHeader(CRtHttpAtomList::Connection, "");
        addr = CRtInetAddr(m_pProxyInfo->GetHostName().c_str(), m_pProxyInfo->GetPort());
    } else {
        m_RequestHeader.SetHeader(CRtHttpAtomList::Connection, "keep-alive");
        m_RequestHeader.SetHeader(CRtHttpAtomList::Proxy_Connection, "");
        addr = CRtInetAddr(m_pUrl->GetHostName().c_str(), m_pUrl->GetPort());
    }
    m_bFirstPacket = true;
    m_bReconnecting = false;
    return Connect_i(addr);
}

RtResult CRtChannelHttpClient::Connect_i(const CRtInetAddr& aAddr) {
    if (m_pConnector) {
        RT_ASSERTE(!m_pConnector);
        m_pConnector->CancelConnect(RT_OK);
        m_pConnector = nullptr;
    }
    uint32_t type = CTYPE_TCP;
    if (m_pUrl->GetScheme() == "https" && m_RequestHeader.GetMethod() != CRtHttpAtomList::Connect)
        type = (m_dwFlag & CRtChannelManager::CFLAG_WITH_BROWER_PROXY) ? 12 : 4;
    IRtConnector* connector = nullptr;
    RtResult rv = CRtConnectionManager::Instance()->CreateConnectionClient(type, connector, TS_SINGLE_THREAD);
    if (RT_FAILED(rv))
        return rv;
    m_pConnector = connector;
    connector->ReleaseReference();
    CRtTimeValue timeout(static_cast<int64_t>(kConnectTimeoutSec), 0);
    rv = m_pConnector->AsycConnect(this, aAddr, &timeout, nullptr);
    if (RT_FAILED(rv))
        m_pConnector = nullptr;
    return rv;
}

void CRtChannelHttpClient::OnConnectIndication(RtResult aReason, IRtTransport* aTrpt,
                                               IRtAcceptorConnectorId* aRequestId) {
    RT_INFO_TRACE_THIS("CRtChannelHttpClient::OnConnectIndication, rv=" << aReason
                                                                        << " trpt=" << static_cast<const void*>(aTrpt));
    RT_ASSERTE(m_pConnector.Get() == aRequestId);
    RT_ASSERTE(!m_pTransport);
    // The sink may release the channel in its callback.
    CRtAutoPtr<IRtTransport> self(m_pTransportId);
    RtResult result = aReason;
    if (RT_SUCCEEDED(aReason) && aTrpt) {
        m_pTransport = aTrpt;
        result = aTrpt->OpenWithSink(static_cast<CRtChannelHttpBase*>(this));
        if (RT_FAILED(result))
            m_pTransport = nullptr;
    } else if (RT_SUCCEEDED(aReason)) {
        result = RT_ERROR_NETWORK_CONNECT_FAILED;
    }
    m_pConnector = nullptr;

    if (m_bReconnecting) {
        // A challenge needed a new connection: the sink heard OnConnect
        // already and waits for the response.
        m_bReconnecting = false;
        if (RT_SUCCEEDED(result))
            result = SendRequestAgain_i();
        if (RT_FAILED(result)) {
            IRtTransportSink* sink = m_pSink;
            Disconnect(result);
            if (sink)
                sink->OnDisconnect(result, m_pTransportId);
        }
        return;
    }
    ReportConnect_i(result);
}

void CRtChannelHttpClient::ReportConnect_i(RtResult aResult) {
    RT_ASSERTE_RETURN_VOID(m_pChannelSink);
    m_pChannelSink->OnConnect(aResult, this);
}

void CRtChannelHttpClient::OnObserve(const char*, void*) {}

RtResult CRtChannelHttpClient::SendData(CRtMessageBlock& aData, bool, bool aDestroy, long, bool) {
    RT_ASSERTE_RETURN(m_pTransport, RT_ERROR_NOT_INITIALIZED);
    if (m_bFirstPacket) {
        const unsigned long length = aData.GetChainedLength();
        if (!m_bNoAutoLength)
            m_RequestHeader.SetHeader(CRtHttpAtomList::Content_Length, length ? std::to_string(length) : "");
        if (length > 0) {
            RT_ASSERTE(m_RequestHeader.GetMethod() == CRtHttpAtomList::Post);
            if (m_strSavedBody.empty())
                m_strSavedBody = aData.FlattenChained();
        }
        m_strHead.clear();
        m_RequestHeader.Encode(m_strHead);
        return SendFirstPacket_i(
            aData, aDestroy,
            "CRtChannelHttpClient::SendPrivateData, it's impossible that sending first packet failed!");
    }
    return SendNextPacket_i(aData, aDestroy);
}

RtResult CRtChannelHttpClient::SendRequestAgain_i() {
    m_bFirstPacket = true;
    CRtMessageBlock body(static_cast<unsigned long>(m_strSavedBody.size()), m_strSavedBody.data(),
                         CRtMessageBlock::DONT_DELETE, static_cast<unsigned long>(m_strSavedBody.size()));
    return SendData(body, true, false, 2, true);
}

RtResult CRtChannelHttpClient::SetOption(unsigned long aCommand, void* aArg) {
    RT_ASSERTE_RETURN(aArg, RT_ERROR_INVALID_ARG);
    if (aCommand == RT_OPT_CHANNEL_HTTP_NO_BODY) {
        m_bNoBodyOption = *static_cast<bool*>(aArg);
        return RT_OK;
    }
    if (aCommand == RT_OPT_CHANNEL_HTTP_MAX_CONTENT_LENGTH) {
        // One limit for every framing (length, chunks, up to the close); it
        // may lower the hard cap, never raise it.
        const int32_t limit = *static_cast<int32_t*>(aArg);
        if (limit < 0 || limit > CRtHttpHeaderArray::kMaxContentLengthHard)
            return RT_ERROR_INVALID_ARG;
        m_ResponseHeader.SetMaxContentLength(limit);
        m_ResponseHeader.SetCheckLength(true);
        return RT_OK;
    }
    bool handled = false;
    RtResult rv = SetBaseOption(aCommand, aArg, handled);
    if (handled)
        return rv;
    return m_pTransport ? m_pTransport->SetOption(aCommand, aArg) : RT_ERROR_NULL_POINTER;
}

RtResult CRtChannelHttpClient::GetOption(unsigned long aCommand, void* aArg) {
    RT_ASSERTE_RETURN(aArg, RT_ERROR_INVALID_ARG);
    if (aCommand == RT_OPT_CHANNEL_HTTP_NO_BODY) {
        *static_cast<bool*>(aArg) = m_bNoBodyOption;
        return RT_OK;
    }
    if (aCommand == RT_OPT_CHANNEL_HTTP_MAX_CONTENT_LENGTH) {
        *static_cast<int32_t*>(aArg) = m_ResponseHeader.GetContentLimit();
        return RT_OK;
    }
    bool handled = false;
    RtResult rv = GetBaseOption(aCommand, aArg, handled);
    if (handled)
        return rv;
    return m_pTransport ? m_pTransport->GetOption(aCommand, aArg) : RT_ERROR_NULL_POINTER;
}

RtResult CRtChannelHttpClient::Disconnect(RtResult aReason) {
    m_strSavedBody.clear();
    if (m_pConnector) {
        m_pConnector->CancelConnect(aReason);
        m_pConnector = nullptr;
    }
    m_bReconnecting = false;
    m_pChannelSink = nullptr;
    return CRtChannelHttpBase::Disconnect(aReason);
}

RtResult CRtChannelHttpClient::GetUrl(CRtHttpUrl*& aUrl) {
    if (!m_pUrl)
        return RT_ERROR_NOT_INITIALIZED;
    aUrl = m_pUrl.Get();
    aUrl->AddReference();
    return RT_OK;
}

RtResult CRtChannelHttpClient::SetRequestHeader(const CRtString& aHeader, const CRtString& aValue) {
    CRtHttpAtom atHead = CRtHttpAtomList::Instance()->ResolveAtom(aHeader, true);
    RT_ASSERTE_RETURN(atHead.get(), RT_ERROR_NOT_FOUND);
    m_RequestHeader.SetHeader(atHead, aValue);
    return RT_OK;
}

CRtString CRtChannelHttpClient::RequestUri_i(const CRtHttpAtom& aMethod) const {
    CRtString uri;
    if (aMethod == CRtHttpAtomList::Connect)
        uri = m_pUrl->GetNameAndPort(true);
    else if (m_pProxyInfo)
        uri = m_pUrl->GetAsciiSpec();
    else
        uri = m_pUrl->GetPath();
    size_t hash = uri.find('#');
    if (hash != CRtString::npos)
        uri.resize(hash);
    return uri;
}

RtResult CRtChannelHttpClient::SetRequestMethod(const CRtString& aMethod) {
    CRtHttpAtom method = CRtHttpAtomList::Instance()->ResolveAtom(aMethod, false);
    if (!method.get())
        return RT_ERROR_NOT_FOUND;
    if (m_pUrl)
        m_RequestHeader.SetRequestURI(RequestUri_i(method));
    return m_RequestHeader.SetMethod(method) ? RT_OK : RT_ERROR_FAILURE;
}

RtResult CRtChannelHttpClient::SetPath(const CRtString& aPath) {
    RT_ASSERTE_RETURN(!aPath.empty(), RT_ERROR_INVALID_ARG);
    m_RequestHeader.SetRequestURI(aPath);
    return RT_OK;
}

RtResult CRtChannelHttpClient::GetRequestMethod(CRtString& aMethod) {
    CRtHttpAtom method = m_RequestHeader.GetMethod();
    aMethod = method.get() ? method.get() : "";
    return aMethod.empty() ? RT_ERROR_FAILURE : RT_OK;
}

RtResult CRtChannelHttpClient::GetResponseStatus(int32_t& aStatus) {
    aStatus = m_ResponseHeader.GetStatus();
    return aStatus == -1 ? RT_ERROR_FAILURE : RT_OK;
}

RtResult CRtChannelHttpClient::GetResponseHeader(const CRtString& aHeader, CRtString& aValue) {
    CRtHttpAtom atHead = CRtHttpAtomList::Instance()->ResolveAtom(aHeader, true);
    RT_ASSERTE_RETURN(atHead.get(), RT_ERROR_NOT_FOUND);
    return m_ResponseHeader.GetHeader(atHead, aValue) ? RT_OK : RT_ERROR_FAILURE;
}

CRtString CRtChannelHttpClient::TakeUnreadData() {
    CRtString out;
    out.swap(m_strUnread);
    return out;
}

bool CRtChannelHttpClient::ResponseKeepsConnection_i() const {
    if (!m_pTransport || m_bPeerClosed)
        return false;
    CRtString value;
    bool keepAlive = false;
    for (const CRtHttpAtom& atom : {CRtHttpAtomList::Connection, CRtHttpAtomList::Proxy_Connection}) {
        if (!m_ResponseHeader.GetHeader(atom, value))
            continue;
        if (RtHttpHasToken(value, "close"))
            return false;
        keepAlive = keepAlive || RtHttpHasToken(value, "keep-alive");
    }
    return m_ResponseHeader.GetVersion() != 10 || keepAlive;
}

RtResult CRtChannelHttpClient::ParserHttpProtocol_t(CRtMessageBlock& aData) {
    if (m_bResetParser) {
        m_bResetParser = false;
        m_ParserResponse.Reset();
    }
    if (m_ParserResponse.IsFinished())
        return RT_OK;
    if (!m_ResponseHeader.HaveAllHeaders()) {
        RtResult rv = m_ParserResponse.ParseHead(aData);
        if (RT_FAILED(rv))
            return rv;
        if (!m_ResponseHeader.HaveAllHeaders())
            return RT_ERROR_PARTIAL_DATA;
        // Answers that carry no body whatever their headers say: to HEAD, a
        // tunnel's 2xx to CONNECT (what follows is the tunnel's), and an
        // informational answer, taken as the final one.
        const int32_t status = m_ResponseHeader.GetStatus();
        const CRtHttpAtom method = m_RequestHeader.GetMethod();
        m_ParserResponse.SetNoBody(m_bNoBodyOption || method == CRtHttpAtomList::Head || IsInformational(status) ||
                                   (method == CRtHttpAtomList::Connect && status >= 200 && status < 300));
    }
    RtResult rv = m_ParserResponse.HandleContent(&aData);
    if (rv != RT_OK)
        return rv;
    RT_ASSERTE(m_ParserResponse.IsFinished());
    return Deliver_i(aData);
}

RtResult CRtChannelHttpClient::Deliver_i(CRtMessageBlock& aData) {
    const int32_t status = m_ResponseHeader.GetStatus();
    if (status == 401 || status == 407) {
        RT_INFO_TRACE_THIS("CRtChannelHttpClient::ParserHttpProtocol_t, status=" << status);
        CRtAutoPtr<IRtTransport> self(m_pTransportId);
        m_bIsAuthing = true;
        RtResult rv = ProcessAuthorization();
        m_bIsAuthing = false;
        if (!m_pSink) {
            RT_INFO_TRACE_THIS("CRtChannelHttpClient::ParserHttpProtocol_t, channel is closed when dialog.");
            return RT_ERROR_PARTIAL_DATA;
        }
        if (rv == RT_ERROR_WOULD_BLOCK) {
            m_bIsAuthing = true;
            return RT_ERROR_PARTIAL_DATA;
        }
        if (RT_SUCCEEDED(rv)) {
            rv = DoAuthorizationOpen_i();
            if (RT_SUCCEEDED(rv))
                return RT_ERROR_PARTIAL_DATA;
            if (m_pTransport)
                return rv;  // the caller ends the connection and tells the sink
            // The connection went for a new one that could not be made.
            IRtTransportSink* sink = m_pSink;
            Disconnect(rv);
            if (sink)
                sink->OnDisconnect(rv, m_pTransportId);
            return RT_ERROR_PARTIAL_DATA;
        }
        // Credentials that did not get through are not offered again.
        CRtHttpProxyInfo* settings = m_bWwwAuth ? m_pWwwAuthInfo.Get() : m_pProxyInfo.Get();
        if (settings) {
            settings->SetUserName("");
            settings->SetPasswd("");
        }
        return rv;
    }
    // The request in flight ends here: the next one has rounds of its own
    // and a body of its own. A server that cannot serve at all is not
    // asked for credentials again.
    m_nAuthRoundsLeft = (status == 501 || status == 502 || status == 503 || status == 505) ? 0 : kAuthRounds;
    m_strSavedBody.clear();
    if (status != 200)
        RT_INFO_TRACE_THIS("CRtChannelHttpClient::ParserHttpProtocol_t status=" << status << " text="
                                                                                << m_ResponseHeader.GetStatusText());
    // A connection-bound exchange (NTLM) is done once the server let the
    // request through: the connection stays authenticated, and a new
    // handshake would start if the credentials went out again.
    if (m_pAuthenticator && m_pAuthenticator->IsConnectionBased() && m_pAuthenticator->HaveAuthenticateComplete()) {
        m_RequestHeader.SetHeader(m_bWwwAuth ? CRtHttpAtomList::Authorization : CRtHttpAtomList::Proxy_Authorization,
                                  "");
        m_pAuthenticator = nullptr;
    }
    m_bServerCloses = !ResponseKeepsConnection_i();
    if (m_RequestHeader.GetMethod() == CRtHttpAtomList::Connect && status >= 200 && status < 300) {
        // The tunnel's first bytes, when they came with the answer.
        m_strUnread = aData.FlattenChained();
        aData.AdvanceChainedReadPtr(aData.GetChainedLength());
    }

    CRtMessageBlock* body = nullptr;
    RtResult rv = m_ParserResponse.GetContent(body);
    if (RT_FAILED(rv))
        return rv;
    if (!m_pSink) {
        RT_ASSERTE(m_pSink);
        if (body)
            body->DestroyChained();
        return RT_OK;
    }
    if (body) {
        m_pSink->OnReceive(*body, m_pTransportId);
        body->DestroyChained();
    } else {
        CRtMessageBlock empty(0);
        m_pSink->OnReceive(empty, m_pTransportId);
    }
    return RT_OK;
}

void CRtChannelHttpClient::OnDisconnect(RtResult aReason, IRtTransport* aTrptId) {
    RT_INFO_TRACE_THIS("CRtChannelHttpClient::OnDisconnect, rv=" << aReason << " trpt=" << static_cast<void*>(aTrptId)
                                                                 << " m_bIsAuthing=" << m_bIsAuthing);
    CRtAutoPtr<IRtTransport> self(m_pTransportId);
    if (m_ParserResponse.IsBodyUntilClose() && m_pTransport.Get() == aTrptId) {
        // The close ends the body: the response goes out first.
        m_ParserResponse.FinishAtClose();
        CRtMessageBlock nothing(0);
        m_bPeerClosed = true;
        RtResult rv = Deliver_i(nothing);
        m_bPeerClosed = false;
        if (rv != RT_OK && rv != RT_ERROR_PARTIAL_DATA)
            aReason = rv;
        if (!m_pTransport || m_pTransport.Get() != aTrptId)
            return;  // the sink closed the channel, or a challenge reconnects
    }
    if (m_pAuthenticator && m_pAuthenticator->IsConnectionBased() && !m_pAuthenticator->HaveAuthenticateComplete() &&
        m_pAuthenticator->GetCurrentStep() > 0 && m_pSink) {
        RT_INFO_TRACE_THIS("CRtChannelHttpClient::OnDisconnect, NTLM again!");
        RestartNtlm_i();
        return;
    }
    if (m_bIsAuthing) {
        RT_INFO_TRACE_THIS("CRtChannelHttpClient::OnDisconnect, dialog auth, don't callback OnDisconnect().");
        m_pTransport = nullptr;
        if (m_pConnector) {
            m_pConnector->CancelConnect(aReason);
            m_pConnector = nullptr;
        }
        return;
    }
    CRtChannelHttpBase::OnDisconnect(aReason, aTrptId);
}

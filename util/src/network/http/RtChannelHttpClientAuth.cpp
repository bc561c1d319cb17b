// The client channel's answers to 401 and 407: which settings and which
// scheme answer a challenge, and how the request goes out again.
#include <vector>

#include "RtChannelHttpClient.h"
#include "RtDebug.h"
#include "RtHttpAtom.h"

namespace {

// The challenges of a header, one per line (repeated challenge headers are
// joined with a line feed).
std::vector<CRtString> SplitChallenges(const CRtString& aAll) {
    std::vector<CRtString> out;
    size_t at = 0;
    while (at <= aAll.size()) {
        size_t lf = aAll.find('\n', at);
        const CRtString piece = aAll.substr(at, lf == CRtString::npos ? CRtString::npos : lf - at);
        CRtString line = RtHttpStripSpaces(piece);
        if (!line.empty() && line != " ")
            out.push_back(line);
        if (lf == CRtString::npos)
            break;
        at = lf + 1;
    }
    return out;
}

bool SchemeIs(const CRtString& aChallenge, const CRtString& aScheme) {
    CRtString scheme = CRtHttpProxyManager::GetSchemeFromChallenge(aChallenge);
    return RtHttpEqualNoCase(scheme.data(), scheme.size(), aScheme.data(), aScheme.size());
}

}  // namespace

RtResult CRtChannelHttpClient::ProcessAuthorization() {
    const int32_t status = m_ResponseHeader.GetStatus();
    // A proxy asks with 407; anything else is the server's own question.
    const bool proxyAuth = status == 407 && m_pProxyInfo;
    if (!proxyAuth) {
        if (!m_pProxyInfo)
            RT_INFO_TRACE_THIS(
                "CRtChannelHttpClient::ProcessAuthorization, there is no proxy, should be www "
                "authorization, url="
                << m_pUrl->GetAsciiSpec());
        if (!m_pWwwAuthInfo) {
            // Settings a program listed for the server's host and port give
            // the credentials; otherwise the credentials getter fills
            // settings of the channel's own. They are not listed: the
            // manager's list names proxies, and any connection may take its
            // first entry as its proxy.
            CRtHttpProxyInfo* settings = nullptr;
            const CRtString hostAndPort = m_pUrl->GetNameAndPort(true);
            if (CRtHttpProxyManager::Instance()->FindProxyInfo(hostAndPort, settings)) {
                m_pWwwAuthInfo = settings;
                settings->ReleaseReference();
            } else {
                CRtAutoPtr<CRtHttpProxyInfo> own(new CRtHttpProxyInfo);
                if (RT_FAILED(own->Init(hostAndPort, CRtHttpProxyInfo::HTTP_PROXY)))
                    return RT_ERROR_FAILURE;
                m_pWwwAuthInfo = own;
            }
        }
    }
    m_bWwwAuth = !proxyAuth;
    CRtHttpProxyInfo* settings = proxyAuth ? m_pProxyInfo.Get() : m_pWwwAuthInfo.Get();
    const CRtHttpAtom credAtom = proxyAuth ? CRtHttpAtomList::Proxy_Authorization : CRtHttpAtomList::Authorization;
    CRtString challengeAll;
    m_ResponseHeader.GetHeader(proxyAuth ? CRtHttpAtomList::Proxy_Authenticate : CRtHttpAtomList::WWW_Authenticate,
                               challengeAll);
    const std::vector<CRtString> challenges = SplitChallenges(challengeAll);

    // The second step of a scheme that takes two (NTLM): the server's token
    // answers the first.
    if (m_pAuthenticator && !m_pAuthenticator->HaveAuthenticateComplete() && m_pAuthenticator->GetCurrentStep() > 0) {
        const CRtString scheme = m_pAuthenticator->GetAuthScheme();
        for (const CRtString& challenge : challenges) {
            if (!SchemeIs(challenge, scheme) || challenge.size() <= scheme.size() + 1)
                continue;
            CRtString value = m_pAuthenticator->GenerateCredentials(
                this, challenge.c_str(), settings->GetUserName().c_str(), settings->GetPasswd().c_str());
            RT_INFO_TRACE_THIS("CRtChannelHttpClient::ProcessAuthorization() rv =" << (value.empty() ? -1 : 0)
                                                                                   << " step=2");
            if (value.empty())
                break;
            m_RequestHeader.SetHeader(credAtom, value);
            return RT_OK;
        }
    }
    if (m_pAuthenticator) {
        m_RequestHeader.SetHeader(credAtom, "");
        m_pAuthenticator = nullptr;
    }
    if (m_nAuthRoundsLeft <= 0) {
        RT_WARNING_TRACE_THIS("CRtChannelHttpClient::ProcessAuthorization, exceed auth times.");
        return proxyAuth ? RT_ERROR_NETWORK_PROXY_AUTH_REQUIRED : RT_ERROR_FAILURE;
    }
    --m_nAuthRoundsLeft;

    // The scheme that worked before comes first, then the stronger ones.
    std::vector<CRtString> order;
    if (!settings->GetAuthScheme().empty())
        order.push_back(settings->GetAuthScheme());
    for (const char* scheme : {"Digest", "NTLM", "Basic"})
        order.push_back(scheme);

    // The first scheme, in that order, that makes a value with these
    // credentials answers the challenge.
    auto answer = [&](const CRtString& aUser, const CRtString& aPass) {
        for (const CRtString& scheme : order) {
            for (const CRtString& challenge : challenges) {
                if (!SchemeIs(challenge, scheme))
                    continue;
                CRtAutoPtr<IRtHttpAuthenticator> auth(IRtHttpAuthenticator::GetAuthenticatorFromScheme(scheme));
                if (!auth)
                    continue;
                CRtString value = auth->GenerateCredentials(this, challenge.c_str(), aUser.c_str(), aPass.c_str());
                if (value.empty())
                    continue;
                m_pAuthenticator = auth;
                settings->SetAuthScheme(auth->GetAuthScheme());
                m_RequestHeader.SetHeader(credAtom, value);
                RT_INFO_TRACE_THIS("CRtChannelHttpClient::ProcessAuthorization() rv =" << 0 << " scheme=" << scheme);
                return true;
            }
        }
        return false;
    };

    if (settings->GetUserName().empty()) {
        if (m_bTryWithoutUserName && !settings->IsFirstTryWithoutUserName()) {
            // The system's own credentials may do (NTLM with the logged-on
            // user); once per settings.
            RT_INFO_TRACE_THIS("CRtChannelHttpClient::ProcessAuthorization, First Try Without User Name");
            settings->SetFirstTryedWithoutUserName(true);
            if (answer(CRtString(), CRtString()))
                return RT_OK;
        }
        RT_INFO_TRACE_THIS("CRtChannelHttpClient::ProcessAuthorization, need input user name and password.");
        CRtHttpProxyManager* manager = CRtHttpProxyManager::Instance();
        IRtHttpAuthInfoGetter* getter = manager->GetHttpAuthInfoGetter();
        IRtHttpAuthInfoGetter::GETTER_RESULT result =
            getter ? getter->GetAuthInfo(this, settings) : manager->GetAuthInfoFromDialog(this, settings);
        if (result == IRtHttpAuthInfoGetter::GETTER_PENDING)
            return RT_ERROR_WOULD_BLOCK;
        if (result != IRtHttpAuthInfoGetter::GETTER_GO_AHEAD || settings->GetUserName().empty()) {
            RT_WARNING_TRACE_THIS("CRtChannelHttpClient::ProcessAuthorization() rv =" << RT_ERROR_FAILURE
                                                                                      << " no credentials");
            return proxyAuth ? RT_ERROR_NETWORK_PROXY_AUTH_REQUIRED : RT_ERROR_FAILURE;
        }
    }
    if (answer(settings->GetUserName(), settings->GetPasswd()))
        return RT_OK;
    RT_WARNING_TRACE_THIS("CRtChannelHttpClient::ProcessAuthorization, unknown strChallengeAll=" << challengeAll);
    return proxyAuth ? RT_ERROR_NETWORK_PROXY_AUTH_REQUIRED : RT_ERROR_FAILURE;
}

RtResult CRtChannelHttpClient::DoAuthorizationOpen_i() {
    if (ResponseKeepsConnection_i()) {
        RtResult rv = SendRequestAgain_i();
        RT_INFO_TRACE_THIS("CRtChannelHttpClient::DoAuthorizationOpen_i() Send Data rv =" << rv);
        return rv;
    }
    RT_INFO_TRACE_THIS("CRtChannelHttpClient::DoAuthorizationOpen_i, trpt not alive! trpt="
                       << static_cast<const void*>(m_pTransport.Get()));
    // An NTLM answer is bound to the connection that carried its challenge:
    // on a new one the handshake starts over.
    if (m_pAuthenticator && m_pAuthenticator->IsConnectionBased() && m_pAuthenticator->GetCurrentStep() > 0 &&
        !m_pAuthenticator->HaveAuthenticateComplete()) {
        m_RequestHeader.SetHeader(m_bWwwAuth ? CRtHttpAtomList::Authorization : CRtHttpAtomList::Proxy_Authorization,
                                  "");
        m_pAuthenticator = nullptr;
    }
    return Reconnect_i();
}

void CRtChannelHttpClient::DropTransport_i() {
    if (m_pTransport) {
        m_pTransport->Disconnect(RT_OK);
        m_pTransport = nullptr;
    }
    if (m_pMbSendBuf) {
        m_pMbSendBuf->DestroyChained();
        m_pMbSendBuf = nullptr;
    }
    m_bSendBufFull = false;
    // What comes on the next connection is a new response.
    m_bResetParser = true;
}

RtResult CRtChannelHttpClient::Reconnect_i() {
    DropTransport_i();
    CRtInetAddr addr = m_pProxyInfo ? CRtInetAddr(m_pProxyInfo->GetHostName().c_str(), m_pProxyInfo->GetPort())
                                    : CRtInetAddr(m_pUrl->GetHostName().c_str(), m_pUrl->GetPort());
    m_bReconnecting = true;
    RtResult rv = Connect_i(addr);
    if (RT_FAILED(rv))
        m_bReconnecting = false;
    return rv;
}

void CRtChannelHttpClient::RestartNtlm_i() {
    m_RequestHeader.SetHeader(m_bWwwAuth ? CRtHttpAtomList::Authorization : CRtHttpAtomList::Proxy_Authorization, "");
    m_pAuthenticator = nullptr;
    // Starting over takes a round: a server that closes every handshake
    // would otherwise be asked for ever.
    RtResult rv = RT_ERROR_FAILURE;
    if (m_nAuthRoundsLeft <= 0) {
        RT_WARNING_TRACE_THIS("CRtChannelHttpClient::RestartNtlm_i, exceed auth times.");
        if (m_pProxyInfo && !m_bWwwAuth)
            rv = RT_ERROR_NETWORK_PROXY_AUTH_REQUIRED;
    } else {
        --m_nAuthRoundsLeft;
        rv = Reconnect_i();
    }
    if (RT_FAILED(rv)) {
        IRtTransportSink* sink = m_pSink;
        Disconnect(rv);
        if (sink)
            sink->OnDisconnect(rv, m_pTransportId);
    }
}

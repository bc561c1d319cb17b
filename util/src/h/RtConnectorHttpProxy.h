// A tunnel through an HTTP proxy: an HTTP client channel to the proxy asks
// it to CONNECT to the target (answering the proxy's 407 rounds itself);
// once the proxy answers 200 the channel's transport, now carrying the
// target's connection, goes to the connector above. Runs on the thread that
// calls Connect (a network thread), where the channel lives too.
#pragma once

#include <string>

#include "RtChannelHttpClient.h"
#include "RtChannelManager.h"
#include "RtConnectorInternal.h"
#include "RtDebug.h"
#include "RtHttpProxyInfo.h"

// UpperType has OnConnectIndication(RtResult, IRtTransport*, IRtConnectorInternal*),
// told once per Connect that returned 0 unless Close comes first.
template <class UpperType>
class CRtConnectorHttpProxyT : public IRtConnectorInternal, public IRtChannelSink {
public:
    CRtConnectorHttpProxyT(UpperType& aUpper, CRtHttpProxyInfo* aProxy) : m_upper(aUpper), m_pProxyInfo(aProxy) {}
    ~CRtConnectorHttpProxyT() override { Close(RT_OK); }

    int Connect(const CRtInetAddr& aAddr, CRtInetAddr* = nullptr) override {
        RT_ASSERTE_RETURN(m_pProxyInfo, -1);
        RT_ASSERTE(!m_HttpChannel);
        Close(RT_OK);
        // A name this host has not resolved goes to the proxy as a name.
        const CRtString host = aAddr.IsResolved() ? aAddr.GetIpDisplayName() : aAddr.GetHostName();
        const unsigned short port = aAddr.GetPort();
        const CRtString text =
            port == 443 ? "https://" + host : "http://" + host + ":" + std::to_string(static_cast<unsigned>(port));
        CRtHttpUrl* url = nullptr;
        if (RT_FAILED(CRtChannelManager::Instance()->CreateUrl(url, text))) {
            RT_ERROR_TRACE_THIS("CRtConnectorHttpProxyT::Connect, unknown URL=" << text);
            return -1;
        }
        IRtChannelHttpClient* channel = nullptr;
        RtResult rv = CRtChannelManager::Instance()->CreateChannelHttpClientWithProxy(channel, url, m_pProxyInfo);
        url->ReleaseReference();
        if (RT_FAILED(rv))
            return -1;
        m_HttpChannel = static_cast<CRtChannelHttpClient*>(channel);
        channel->ReleaseReference();
        if (RT_FAILED(m_HttpChannel->SetRequestMethod("Connect")) || RT_FAILED(m_HttpChannel->AsyncOpen(this))) {
            Close(RT_OK);
            return -1;
        }
        return 0;
    }

    int Close(RtResult aReason = RT_OK) override {
        if (m_HttpChannel) {
            CRtAutoPtr<CRtChannelHttpClient> channel(m_HttpChannel);
            m_HttpChannel = nullptr;
            channel->Disconnect(aReason);
        }
        return 0;
    }

    // The connection to the proxy is up (or not): ask for the tunnel.
    void OnConnect(RtResult aReason, IRtChannel* aChannel) override {
        RT_INFO_TRACE_THIS(
            "CRtConnectorHttpProxyT::OnConnect, rv=" << aReason << " channel=" << static_cast<const void*>(aChannel));
        if (!m_HttpChannel)
            return;
        if (RT_FAILED(aReason)) {
            Fail_i(aReason);
            return;
        }
        CRtMessageBlock empty(0);
        RtResult rv = m_HttpChannel->SendData(empty);
        if (RT_FAILED(rv))
            Fail_i(rv);
    }

    // The proxy's answer to CONNECT (after any 407 rounds).
    void OnReceive(CRtMessageBlock& aData, IRtTransport*) override {
        if (!m_HttpChannel)
            return;
        int32_t status = -1;
        m_HttpChannel->GetResponseStatus(status);
        RT_INFO_TRACE_THIS("CRtConnectorHttpProxyT::OnReceive, len=" << aData.GetChainedLength()
                                                                     << " lState=" << status);
        if (status < 200 || status >= 300) {
            RT_WARNING_TRACE_THIS("CRtConnectorHttpProxyT::OnReceive, content: \n"
                                  << "status=" << status << "\n"
                                  << aData.FlattenChained().substr(0, 1024));
            Fail_i(status == 407 ? RT_ERROR_NETWORK_PROXY_AUTH_REQUIRED : RT_ERROR_NETWORK_PROXY_FAILED);
            return;
        }
        CRtAutoPtr<IRtTransport> transport(m_HttpChannel->GetTransport());
        if (!transport) {
            Fail_i(RT_ERROR_NETWORK_SOCKET_ERROR);
            return;
        }
        m_strUnread = m_HttpChannel->TakeUnreadData();
        // The channel stays the transport's sink until the connector above
        // has moved the socket out; then it lets go of an empty transport.
        CRtAutoPtr<CRtChannelHttpClient> channel(m_HttpChannel);
        m_HttpChannel = nullptr;
        m_upper.OnConnectIndication(RT_OK, transport.Get(), static_cast<IRtConnectorInternal*>(this));
        channel->Disconnect(RT_OK);
    }

    void OnSend(IRtTransport*) override { RT_ASSERTE(!"CRtConnectorHttpProxyT::OnSend, it shouldn't be called!"); }

    void OnDisconnect(RtResult aReason, IRtTransport*) override {
        RT_WARNING_TRACE_THIS("CRtConnectorHttpProxyT::OnDisconnect, rv=" << aReason);
        if (!m_HttpChannel)
            return;
        int32_t status = -1;
        m_HttpChannel->GetResponseStatus(status);
        // Still asked for credentials after the channel's rounds.
        Fail_i(status == 407 ? RT_ERROR_NETWORK_PROXY_AUTH_REQUIRED : aReason);
    }

    // What the proxy sent behind its answer: the target's first bytes.
    CRtString TakeUnreadData() override {
        CRtString out;
        out.swap(m_strUnread);
        return out;
    }

private:
    void Fail_i(RtResult aReason) {
        Close(aReason);
        if (RT_SUCCEEDED(aReason))
            aReason = RT_ERROR_NETWORK_PROXY_FAILED;
        m_upper.OnConnectIndication(aReason, nullptr, static_cast<IRtConnectorInternal*>(this));
    }

    UpperType& m_upper;
    CRtAutoPtr<CRtHttpProxyInfo> m_pProxyInfo;
    CRtAutoPtr<CRtChannelHttpClient> m_HttpChannel;
    CRtString m_strUnread;
};

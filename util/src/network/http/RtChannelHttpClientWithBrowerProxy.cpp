// The client channel that tries the server directly first, then the proxy
// the proxy manager names, and the event that brings a late proxy answer
// back to the channel's thread.
#include <cstring>
#include <memory>

#include "RtChannelHttpClient.h"
#include "RtDebug.h"
#include "RtThread.h"
#include "RtThreadManager.h"
#include "RtThreadSwitch.h"

CRtChannelHttpClientWithBrowerProxy::CRtChannelHttpClientWithBrowerProxy(CRtHttpUrl* aURL, uint32_t aFlag)
    : CRtChannelHttpClient(aURL, aFlag), m_pProxyManager(CRtHttpProxyManager::Instance()) {}

CRtChannelHttpClientWithBrowerProxy::~CRtChannelHttpClientWithBrowerProxy() { StopObserving_i(); }

void CRtChannelHttpClientWithBrowerProxy::StopObserving_i() {
    if (m_pWaiter) {
        m_pWaiter->Cancel();
        m_pWaiter.reset();
    }
}

void CRtHttpClientProxyWaiter::OnObserve(const char* aTopic, void*) {
    RT_ASSERTE(aTopic && !strcmp(aTopic, "HttpProxyManager"));
    // The manager has taken the waiter off its list already.
    std::shared_ptr<CRtHttpClientProxyWaiter> keep;
    {
        CRtMutexGuardT<CRtMutexThread> guard(m_Mutex);
        keep.swap(m_pSelf);
    }
    if (keep)
        CThreadSwitch::PostToThread(m_pThread, new CRtEventHttpClientAsyncOpen(keep));
}

void CRtHttpClientProxyWaiter::Cancel() {
    {
        CRtMutexGuardT<CRtMutexThread> guard(m_Mutex);
        m_pOwner = nullptr;
    }
    // Taken off the list here, the manager will not tell it: its hold goes.
    if (RT_SUCCEEDED(CRtHttpProxyManager::Instance()->RemoveObserver(this))) {
        std::shared_ptr<CRtHttpClientProxyWaiter> keep;
        CRtMutexGuardT<CRtMutexThread> guard(m_Mutex);
        keep.swap(m_pSelf);
    }
}

CRtChannelHttpClientWithBrowerProxy* CRtHttpClientProxyWaiter::Owner() {
    CRtMutexGuardT<CRtMutexThread> guard(m_Mutex);
    return m_pOwner;
}

RtResult CRtChannelHttpClientWithBrowerProxy::Disconnect(RtResult aReason) {
    StopObserving_i();
    return CRtChannelHttpClient::Disconnect(aReason);
}

RtResult CRtChannelHttpClientWithBrowerProxy::AsyncOpen(IRtChannelSink* aSink) {
    RT_ASSERTE_RETURN(aSink, RT_ERROR_INVALID_ARG);
    RT_ASSERTE(!m_pSinkTemp || m_pSinkTemp == aSink);
    m_pSinkTemp = aSink;
    m_pThread = CRtThreadManager::Instance()->GetCurrentThread();
    if (++m_nOpenCount == 1) {
        RT_ASSERTE(!m_pProxyInfo);
        m_bConnectReported = false;
        return CRtChannelHttpClient::AsyncOpen(aSink);
    }
    CRtHttpProxyInfo* proxy = nullptr;
    switch (m_pProxyManager->GetProxyInfo(m_pUrl->GetHostName(), m_pUrl->GetPort(), proxy)) {
    case IRtHttpProxyInfoGetter::NEXT_RETURN_FOUND:
        m_pProxyInfo = proxy;
        proxy->ReleaseReference();
        // Through a proxy the request names the whole URL.
        m_RequestHeader.SetRequestURI(RequestUri_i(m_RequestHeader.GetMethod()));
        if (!m_pProxyInfo->GetUserName().empty())
            m_bTryWithoutUserName = false;
        return CRtChannelHttpClient::AsyncOpen(aSink);
    case IRtHttpProxyInfoGetter::NEXT_RETURN_PENDING:
        StopObserving_i();
        m_pWaiter = std::make_shared<CRtHttpClientProxyWaiter>(this, m_pThread);
        m_pWaiter->m_pSelf = m_pWaiter;
        m_pProxyManager->AddObserver(m_pWaiter.get());
        return RT_OK;
    default:
        RT_WARNING_TRACE_THIS("CRtChannelHttpClientWithBrowerProxy::AsyncOpen, GetProxyInfo() none. addr="
                              << m_pUrl->GetHostName() << " port=" << m_pUrl->GetPort());
        return RT_ERROR_FAILURE;
    }
}

void CRtChannelHttpClientWithBrowerProxy::ReportConnect_i(RtResult aResult) {
    if (RT_FAILED(aResult) && m_pSinkTemp) {
        m_pConnector = nullptr;
        RtResult rv;
        if (m_nOpenCount == 1) {
            // The direct attempt failed: the proxy is next.
            rv = AsyncOpen(m_pSinkTemp);
            if (RT_SUCCEEDED(rv))
                return;
            aResult = rv;
        } else if (aResult != RT_ERROR_NETWORK_PROXY_AUTH_REQUIRED && m_pProxyInfo) {
            // That proxy failed: forget it and try the next one, if the
            // cache named one.
            rv = m_pProxyManager->ClearCacheProxy(m_pProxyInfo->GetHostName(), m_pProxyInfo->GetPort());
            if (rv == RT_ERROR_FOUND) {
                m_pProxyInfo = nullptr;
                rv = AsyncOpen(m_pSinkTemp);
                if (RT_SUCCEEDED(rv))
                    return;
                aResult = rv;
            } else {
                aResult = RT_ERROR_NOT_FOUND;
            }
        }
    }
    if (m_bConnectReported)
        return;
    m_bConnectReported = true;
    CRtChannelHttpClient::ReportConnect_i(aResult);
}

void CRtChannelHttpClientWithBrowerProxy::OnObserve(const char*, void*) {}

void CRtChannelHttpClientWithBrowerProxy::OnProxyAnswer(const std::shared_ptr<CRtHttpClientProxyWaiter>& aWaiter) {
    if (aWaiter != m_pWaiter)
        return;
    m_pWaiter.reset();
    // The sink may release the channel in its callback.
    CRtAutoPtr<CRtChannelHttpClient> hold(this);
    CRtEventHttpClientAsyncOpen(this).OnEventFire();
}

RtResult CRtEventHttpClientAsyncOpen::OnEventFire() {
    if (m_pWaiter) {
        // The waiter's owner is cleared on this thread when the channel
        // closes or goes away, so it is either alive here or null.
        CRtChannelHttpClientWithBrowerProxy* owner = m_pWaiter->Owner();
        if (owner)
            owner->OnProxyAnswer(m_pWaiter);
        return RT_OK;
    }
    RT_DEBUG_TRACE_THIS(
        "CRtEventHttpClientAsyncOpen::OnEventFire, httpClient=" << static_cast<const void*>(m_pChannel.Get()));
    IRtChannelSink* sink = m_pChannel->GetChannelSink();
    if (!sink)
        return RT_OK;  // closed meanwhile
    RtResult rv = m_pChannel->AsyncOpen(sink);
    if (RT_FAILED(rv))
        sink->OnConnect(rv, m_pChannel.Get());
    return rv;
}

#include "RtChannelManager.h"

#include "RtChannelHttpServer.h"
#include "RtDebug.h"
#include "RtHttpUrl.h"

CRtChannelManager CRtChannelManager::s_rtChannelManagerSingleton;

CRtChannelManager* CRtChannelManager::Instance() { return &s_rtChannelManagerSingleton; }

RtResult CRtChannelManager::CreateHttpAcceptor(IRtChannelServerAcceptor*& aAcceptor) {
    RT_ASSERTE(!aAcceptor);
    CRtChannelHttpServerAcceptor* acceptor = new CRtChannelHttpServerAcceptor();
    acceptor->AddReference();
    aAcceptor = acceptor;
    return RT_OK;
}

RtResult CRtChannelManager::CreateChannelHttpClient(IRtChannelHttpClient*& aClient, CRtHttpUrl* aURL, uint32_t) {
    RT_ASSERTE(!aClient);
    RT_ASSERTE_RETURN(aURL, RT_ERROR_INVALID_ARG);
    // The client channels (plain and through the browser's proxy) are not
    // part of the framework yet.
    return RT_ERROR_NOT_IMPLEMENTED;
}

RtResult CRtChannelManager::CreateChannelHttpClientWithProxy(IRtChannelHttpClient*& aClient, CRtHttpUrl* aURL,
                                                             CRtHttpProxyInfo*) {
    RT_ASSERTE(!aClient);
    RT_ASSERTE_RETURN(aURL, RT_ERROR_INVALID_ARG);
    // As CreateChannelHttpClient: the client channel is still to come.
    return RT_ERROR_NOT_IMPLEMENTED;
}

RtResult CRtChannelManager::CreateUrl(CRtHttpUrl*& aUrl, const CRtString& aStr) {
    RT_ASSERTE(!aUrl);
    CRtHttpUrl* url = new CRtHttpUrl();
    url->AddReference();
    if (!url->Init(aStr)) {
        url->ReleaseReference();
        return RT_ERROR_FAILURE;
    }
    aUrl = url;
    return RT_OK;
}

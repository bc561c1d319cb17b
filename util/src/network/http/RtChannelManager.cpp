#include "RtChannelManager.h"

#include "RtChannelHttpClient.h"
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

RtResult CRtChannelManager::CreateChannelHttpClient(IRtChannelHttpClient*& aClient, CRtHttpUrl* aURL, uint32_t aFlag) {
    RT_ASSERTE(!aClient);
    RT_ASSERTE_RETURN(aURL, RT_ERROR_INVALID_ARG);
    CRtChannelHttpClient* client;
    if ((aFlag & CFLAG_WITH_BROWER_PROXY) && aURL->GetScheme() == CRtHttpUrl::s_pszSchemeHttp)
        client = new CRtChannelHttpClientWithBrowerProxy(aURL, aFlag);
    else
        client = new CRtChannelHttpClient(aURL, aFlag);
    client->AddReference();
    aClient = client;
    return RT_OK;
}

RtResult CRtChannelManager::CreateChannelHttpClientWithProxy(IRtChannelHttpClient*& aClient, CRtHttpUrl* aURL,
                                                             CRtHttpProxyInfo* aProxy) {
    RT_ASSERTE(!aClient);
    RT_ASSERTE_RETURN(aURL, RT_ERROR_INVALID_ARG);
    RT_ASSERTE_RETURN(aProxy, RT_ERROR_INVALID_ARG);
    CRtChannelHttpClient* client = new CRtChannelHttpClient(aURL, aProxy);
    client->AddReference();
    aClient = client;
    return RT_OK;
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

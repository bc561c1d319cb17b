// A stand-in for an HTTP client channel that answers what the
// authenticators ask of one: the request's URL and method.
#pragma once

#include <cstdint>
#include <string>

#include "RtChannelManager.h"
#include "RtHttpUrl.h"

namespace rttest {

class HttpClientDouble : public IRtChannelHttpClient {
public:
    // An empty URL text or method makes the matching question fail.
    HttpClientDouble(const std::string& aUrl, const std::string& aMethod) : m_strMethod(aMethod) {
        if (!aUrl.empty()) {
            m_pUrl = new CRtHttpUrl;
            m_pUrl->AddReference();
            if (!m_pUrl->Init(aUrl)) {
                m_pUrl->ReleaseReference();
                m_pUrl = nullptr;
            }
        }
    }
    ~HttpClientDouble() override {
        if (m_pUrl)
            m_pUrl->ReleaseReference();
    }

    // Lives on the test's stack: counting only.
    uint32_t AddReference() override { return ++m_nRefs; }
    uint32_t ReleaseReference() override { return --m_nRefs; }

    RtResult OpenWithSink(IRtTransportSink*) override { return RT_ERROR_NOT_IMPLEMENTED; }
    IRtTransportSink* GetSink() override { return nullptr; }
    RtResult SendData(CRtMessageBlock&, bool, bool, long, bool) override { return RT_ERROR_NOT_IMPLEMENTED; }
    RtResult SetOption(unsigned long, void*) override { return RT_ERROR_NOT_IMPLEMENTED; }
    RtResult GetOption(unsigned long, void*) override { return RT_ERROR_NOT_IMPLEMENTED; }
    RtResult Disconnect(RtResult) override { return RT_OK; }

    RtResult AsyncOpen(IRtChannelSink*) override { return RT_ERROR_NOT_IMPLEMENTED; }
    RtResult GetUrl(CRtHttpUrl*& aUrl) override {
        ++m_nUrlAsked;
        if (!m_pUrl)
            return RT_ERROR_NOT_INITIALIZED;
        m_pUrl->AddReference();
        aUrl = m_pUrl;
        return RT_OK;
    }
    RtResult SetRequestHeader(const CRtString&, const CRtString&) override { return RT_ERROR_NOT_IMPLEMENTED; }
    RtResult SetRequestMethod(const CRtString&) override { return RT_ERROR_NOT_IMPLEMENTED; }
    RtResult SetPath(const CRtString&) override { return RT_ERROR_NOT_IMPLEMENTED; }
    RtResult GetRequestMethod(CRtString& aMethod) override {
        aMethod = m_strMethod;
        return m_strMethod.empty() ? RT_ERROR_FAILURE : RT_OK;
    }
    RtResult GetResponseStatus(int32_t&) override { return RT_ERROR_FAILURE; }
    RtResult GetResponseHeader(const CRtString&, CRtString&) override { return RT_ERROR_FAILURE; }

    // How often the URL was asked for, and whether every reference handed
    // out with it came back.
    int UrlAsked() const { return m_nUrlAsked; }
    uint32_t UrlReferences() const { return m_pUrl ? m_pUrl->GetReference() : 0; }

private:
    CRtHttpUrl* m_pUrl = nullptr;
    std::string m_strMethod;
    uint32_t m_nRefs = 0;
    int m_nUrlAsked = 0;
};

}  // namespace rttest

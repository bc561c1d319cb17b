// What the client-channel fuzz targets share: a channel put on a scripted
// transport instead of a connection, a sink that records what it hears, and
// a driver that feeds a response stream in reads whose sizes the input
// chooses, then closes. An outcome compares across read boundaries.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "RtChannelHttpClient.h"
#include "RtChannelManager.h"
#include "RtScriptedTransport.h"
#include "RtTestEvents.h"
#include "RtThreadManager.h"

#include "RtFuzzCheck.h"

namespace rtfuzz {

struct Outcome {
    std::vector<int32_t> statuses;
    std::vector<std::string> bodies;
    int disconnects = 0;
    RtResult reason = -1;
    // A tunnel: what came behind the answer to CONNECT.
    bool tunnel = false;
    std::string unread;
    bool operator==(const Outcome& aOther) const {
        return statuses == aOther.statuses && bodies == aOther.bodies && disconnects == aOther.disconnects &&
               reason == aOther.reason && tunnel == aOther.tunnel && unread == aOther.unread;
    }
};

// The channel on a transport of the test's. No credentials: every
// challenge is refused by the getter the target installs.
class Channel : public CRtChannelHttpClient {
public:
    using CRtChannelHttpClient::CRtChannelHttpClient;
    void Attach(IRtChannelSink* aSink, IRtTransport* aTrpt) {
        m_bTryWithoutUserName = false;
        m_pSink = aSink;
        m_pChannelSink = aSink;
        m_bFirstPacket = true;
        OnConnectIndication(RT_OK, aTrpt, nullptr);
    }
};

class Sink : public IRtChannelSink {
public:
    Sink(Outcome& aOut, Channel& aChannel, int32_t aLimit) : m_Out(aOut), m_Channel(aChannel), m_nLimit(aLimit) {}
    void OnConnect(RtResult aReason, IRtChannel*) override {
        Check(aReason == RT_OK, "the scripted connection opens");
        CRtMessageBlock empty(0);
        m_Channel.SendData(empty);
    }
    void OnReceive(CRtMessageBlock& aData, IRtTransport*) override {
        Check(m_Out.disconnects == 0, "nothing after OnDisconnect");
        const std::string body = aData.FlattenChained();
        Check(body.size() <= static_cast<size_t>(m_nLimit), "a body within the limit");
        int32_t status = -1;
        m_Channel.GetResponseStatus(status);
        m_Out.statuses.push_back(status);
        m_Out.bodies.push_back(body);
        CRtString method;
        m_Channel.GetRequestMethod(method);
        if (method == "CONNECT" && status >= 200 && status < 300) {
            // The tunnel's connector takes the connection over here.
            Check(body.empty(), "a tunnel's answer has no body");
            m_Out.tunnel = true;
            m_Out.unread = m_Channel.TakeUnreadData();
        }
    }
    void OnSend(IRtTransport*) override {}
    void OnDisconnect(RtResult aReason, IRtTransport*) override {
        Check(!m_Out.tunnel, "a tunnel's connection is not the channel's to report");
        ++m_Out.disconnects;
        m_Out.reason = aReason;
    }

private:
    Outcome& m_Out;
    Channel& m_Channel;
    int32_t m_nLimit;
};

class RefuseCredentials : public IRtHttpAuthInfoGetter {
public:
    GETTER_RESULT GetAuthInfo(IRtChannelHttpClient*, CRtHttpProxyInfo*) override { return GETTER_CANCELED; }
};

inline CRtThread* StartFramework() {
    static CRtThreadManager manager;
    manager.Initialize(1, false);
    static RefuseCredentials getter;
    CRtHttpProxyManager::Instance()->SetHttpAuthInfoGetter(&getter);
    return manager.GetDefaultNetworkThread();
}

// Read sizes taken in turn from aSizes (0 stands for 1); empty: one read.
inline void Feed(rttest::ScriptedTransport& aTrpt, const std::string& aStream, const std::string& aSizes,
                 Outcome& aOut) {
    size_t at = 0, turn = 0;
    while (at < aStream.size() && aTrpt.m_pSink && !aOut.tunnel) {
        size_t len = aStream.size() - at;
        if (!aSizes.empty()) {
            const size_t want = 1 + static_cast<uint8_t>(aSizes[turn++ % aSizes.size()]) % 64;
            len = want < len ? want : len;
        }
        aTrpt.Deliver(aStream.substr(at, len));
        at += len;
    }
    if (aOut.tunnel)
        aOut.unread += aStream.substr(at);
    else
        aTrpt.PeerClose();
}

// One channel (through a proxy when aProxy) from open to close over aStream.
inline void Run(const char* aMethod, CRtHttpProxyInfo* aProxy, int32_t aLimit, bool aNoBody, const std::string& aStream,
                const std::string& aSizes, Outcome& aOut) {
    CRtHttpUrl* url = nullptr;
    Check(CRtChannelManager::Instance()->CreateUrl(url, "http://127.0.0.1:18080/x") == RT_OK, "url");
    CRtAutoPtr<Channel> channel(aProxy ? new Channel(url, aProxy) : new Channel(url, 0u));
    url->ReleaseReference();
    channel->SetRequestMethod(aMethod);
    if (aLimit != CRtHttpHeaderArray::kMaxContentLengthHard)
        Check(channel->SetOption(RT_OPT_CHANNEL_HTTP_MAX_CONTENT_LENGTH, &aLimit) == RT_OK, "option 314");
    channel->SetOption(RT_OPT_CHANNEL_HTTP_NO_BODY, &aNoBody);
    Sink sink(aOut, *channel, aLimit);
    CRtAutoPtr<rttest::ScriptedTransport> trpt(new rttest::ScriptedTransport);
    channel->Attach(&sink, trpt.Get());
    Feed(*trpt, aStream, aSizes, aOut);
    Check(aOut.disconnects <= 1, "one OnDisconnect at most");
    channel->Disconnect(RT_OK);
}

// The input: a config byte, a count n, n read sizes, then the stream.
struct Input {
    uint8_t config = 0;
    std::string sizes;
    std::string stream;
    bool Parse(const uint8_t* aData, size_t aSize) {
        if (aSize < 2)
            return false;
        config = aData[0];
        const size_t n = aData[1] % 8;
        if (aSize < 2 + n)
            return false;
        sizes.assign(reinterpret_cast<const char*>(aData) + 2, n);
        stream.assign(reinterpret_cast<const char*>(aData) + 2 + n, aSize - 2 - n);
        return true;
    }
};

}  // namespace rtfuzz

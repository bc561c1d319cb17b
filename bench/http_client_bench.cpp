// The HTTP client channel and the proxy connector against libcurl's easy
// interface, same work, same run:
//   keep-alive   N GETs on one reused connection to a local server;
//   socks5       M connection set-ups to the same server through a SOCKS5
//                proxy (connect, greeting, connect request, reply; closed).
// For each: wall-clock rate and the process's CPU time per request (or set-
// up), and the ratio client/libcurl (above 1 is faster for the rate, worse
// for CPU).
//
//   rt_http_client_bench <server port> [socks5 port] [N] [M]
#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "RtChannelHttpClient.h"
#include "RtChannelManager.h"
#include "RtConnectionManager.h"
#include "RtDetectionConnector.h"
#include "RtHttpProxyManager.h"
#include "RtTestEvents.h"
#include "RtTestSupport.h"
#include "RtThreadManager.h"

namespace {

struct Result {
    double seconds = 0;
    double cpuSeconds = 0;
    long done = 0;
    double Rate() const { return done / seconds; }
    double CpuUs() const { return cpuSeconds * 1e6 / done; }
};

// Wall and process CPU time of aWork, which returns how many it did.
template <class Fn>
Result Measure(Fn aWork) {
    Result r;
    const auto wall = std::chrono::steady_clock::now();
    const std::clock_t cpu = std::clock();
    r.done = aWork();
    r.cpuSeconds = static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
    return r;
}

// Sends the next GET on each response, on the channel's thread.
class KeepAliveClient : public IRtChannelSink {
public:
    explicit KeepAliveClient(long aCount) : m_nLeft(aCount) {}
    void OnConnect(RtResult aReason, IRtChannel*) override {
        if (RT_FAILED(aReason)) {
            m_bDone = true;
            return;
        }
        Next();
    }
    void OnReceive(CRtMessageBlock& aData, IRtTransport*) override {
        m_nBytes += aData.GetChainedLength();
        ++m_nGot;
        if (--m_nLeft == 0) {
            m_bDone = true;
            return;
        }
        Next();
    }
    void OnSend(IRtTransport*) override {}
    void OnDisconnect(RtResult, IRtTransport*) override { m_bDone = true; }
    void Next() {
        CRtMessageBlock empty(0);
        if (RT_FAILED(m_pChannel->SendData(empty)))
            m_bDone = true;
    }

    CRtAutoPtr<IRtChannelHttpClient> m_pChannel;
    long m_nLeft;
    std::atomic<long> m_nGot{0};
    long m_nBytes = 0;
    std::atomic<bool> m_bDone{false};
};

long ChannelKeepAlive(CRtThread* aThread, const std::string& aUrl, long aCount) {
    KeepAliveClient client(aCount);
    rttest::RunOn(aThread, [&] {
        CRtHttpUrl* url = nullptr;
        CRtChannelManager::Instance()->CreateUrl(url, aUrl);
        IRtChannelHttpClient* channel = nullptr;
        CRtChannelManager::Instance()->CreateChannelHttpClient(channel, url, 0);
        url->ReleaseReference();
        client.m_pChannel = channel;
        channel->ReleaseReference();
        return channel->AsyncOpen(&client);
    });
    rttest::WaitUntil([&] { return client.m_bDone.load(); }, 600000);
    rttest::RunOn(aThread, [&] {
        client.m_pChannel->Disconnect(RT_OK);
        client.m_pChannel = nullptr;
        return RT_OK;
    });
    return client.m_nGot.load();
}

size_t Discard(char*, size_t aSize, size_t aCount, void*) { return aSize * aCount; }

long CurlKeepAlive(const std::string& aUrl, long aCount) {
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, aUrl.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Discard);
    long done = 0;
    for (long i = 0; i < aCount; ++i) {
        if (curl_easy_perform(curl) != CURLE_OK)
            break;
        ++done;
    }
    curl_easy_cleanup(curl);
    return done;
}

// One set-up at a time through the proxy the manager lists, each started
// from the previous one's indication on the network thread.
class SetupChain : public IRtAcceptorConnectorSink {
public:
    SetupChain(uint16_t aServer, long aCount) : m_nServer(aServer), m_nLeft(aCount) {}
    void Start() {
        IRtDetectionConnector* made = nullptr;
        CRtConnectionManager::Instance()->CreateDetectionConnectionClient(made);
        m_pDetection = made;
        made->ReleaseReference();
        m_pDetection->AddConnection(CTYPE_PROXY, CRtInetAddr());
        if (RT_FAILED(m_pDetection->AsycConnect(this, CRtInetAddr("127.0.0.1", m_nServer))))
            m_bDone = true;
    }
    void OnConnectIndication(RtResult aReason, IRtTransport* aTrpt, IRtAcceptorConnectorId*) override {
        if (RT_SUCCEEDED(aReason) && aTrpt) {
            aTrpt->Disconnect(RT_OK);
            ++m_nOk;
        }
        m_pDetection = nullptr;
        if (--m_nLeft > 0 && RT_SUCCEEDED(aReason))
            Start();
        else
            m_bDone = true;
    }
    uint16_t m_nServer;
    long m_nLeft;
    CRtAutoPtr<IRtDetectionConnector> m_pDetection;
    std::atomic<bool> m_bDone{false};
    std::atomic<long> m_nOk{0};
};

long ChannelSocksSetups(CRtThread* aThread, uint16_t aServer, long aCount) {
    SetupChain chain(aServer, aCount);
    rttest::RunOn(aThread, [&] {
        chain.Start();
        return RT_OK;
    });
    rttest::WaitUntil([&] { return chain.m_bDone.load(); }, 600000);
    rttest::RunOn(aThread, [&] {
        chain.m_pDetection = nullptr;
        return RT_OK;
    });
    return chain.m_nOk.load();
}

long CurlSocksSetups(const std::string& aUrl, uint16_t aSocks, long aCount) {
    const std::string proxy = "socks5://127.0.0.1:" + std::to_string(aSocks);
    long done = 0;
    for (long i = 0; i < aCount; ++i) {
        CURL* curl = curl_easy_init();
        curl_easy_setopt(curl, CURLOPT_URL, aUrl.c_str());
        curl_easy_setopt(curl, CURLOPT_PROXY, proxy.c_str());
        curl_easy_setopt(curl, CURLOPT_CONNECT_ONLY, 1L);
        if (curl_easy_perform(curl) == CURLE_OK)
            ++done;
        curl_easy_cleanup(curl);
    }
    return done;
}

void Print(const char* aWhat, const Result& aMine, const Result& aCurl) {
    printf("%-28s %9.0f/s %8.1f us CPU | libcurl %9.0f/s %8.1f us CPU | ratio rate %.2f CPU %.2f  (%ld, %ld done)\n",
           aWhat, aMine.Rate(), aMine.CpuUs(), aCurl.Rate(), aCurl.CpuUs(), aMine.Rate() / aCurl.Rate(),
           aMine.CpuUs() / aCurl.CpuUs(), aMine.done, aCurl.done);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s <server port> [socks5 port] [N] [M]\n", argv[0]);
        return 2;
    }
    const uint16_t server = static_cast<uint16_t>(atoi(argv[1]));
    const uint16_t socks = argc > 2 ? static_cast<uint16_t>(atoi(argv[2])) : 0;
    const long n = argc > 3 ? atol(argv[3]) : 20000;
    const long m = argc > 4 ? atol(argv[4]) : 1000;
    const std::string url = "http://127.0.0.1:" + std::to_string(server) + "/";

    CRtThreadManager manager;
    manager.Initialize(1, false);
    CRtThread* thread = manager.GetDefaultNetworkThread();
    curl_global_init(CURL_GLOBAL_DEFAULT);

    // Warm both up (connections, caches), then measure.
    ChannelKeepAlive(thread, url, 200);
    CurlKeepAlive(url, 200);
    Result mine = Measure([&] { return ChannelKeepAlive(thread, url, n); });
    Result curl = Measure([&] { return CurlKeepAlive(url, n); });
    Print("keep-alive GET, 1 connection", mine, curl);

    if (socks != 0) {
        CRtHttpProxyInfo* info = nullptr;
        CRtHttpProxyManager::Instance()->CreateProxyInfo("127.0.0.1:" + std::to_string(socks),
                                                         CRtHttpProxyInfo::SOCK5_PROXY, info);
        if (info)
            info->ReleaseReference();
        ChannelSocksSetups(thread, server, 20);
        CurlSocksSetups(url, socks, 20);
        mine = Measure([&] { return ChannelSocksSetups(thread, server, m); });
        curl = Measure([&] { return CurlSocksSetups(url, socks, m); });
        Print("SOCKS5 set-ups (dante)", mine, curl);
    }
    curl_global_cleanup();
    return 0;
}

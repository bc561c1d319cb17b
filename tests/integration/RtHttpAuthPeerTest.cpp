// The authenticators against real servers: apache (Basic, Digest), squid
// (Basic, Digest and NTLM through Samba's ntlm_auth, a second squid whose
// NTLM challenge is malformed) on loopback, started by the peer rig
// fixture. Requests go over a plain TCP socket.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>

#include "RtHttpAuthenticator.h"
#include "RtHttpClientDouble.h"
#include "RtOsSocket.h"
#include "RtPeerRig.h"
#include "RtRawHttpClient.h"

using rttest::HttpClientDouble;
using rttest::Port;
using rttest::RawHttpClient;
using rttest::Setting;

namespace {

// A resource of the origin, asked for directly or through a proxy.
struct Target {
    uint16_t port;
    bool proxy;
    std::string path;

    std::string Origin() const { return "127.0.0.1:" + std::to_string(proxy ? Port("ORIGIN_HTTP") : port); }
    std::string Url() const { return "http://" + Origin() + path; }
    std::string Request(const std::string& aCredentials) const {
        std::string text = "GET " + (proxy ? Url() : path) + " HTTP/1.1\r\nHost: " + Origin() + "\r\n";
        if (!aCredentials.empty())
            text += std::string(proxy ? "Proxy-Authorization: " : "Authorization: ") + aCredentials + "\r\n";
        return text + "\r\n";
    }
    int Challenged() const { return proxy ? 407 : 401; }
};

int Status(const std::string& aResponse) { return aResponse.size() > 12 ? std::atoi(aResponse.c_str() + 9) : 0; }

// The first challenge for aScheme in the response's challenge headers.
std::string Challenge(const std::string& aResponse, const Target& aTarget, const std::string& aScheme) {
    std::string name = aTarget.proxy ? "\r\nProxy-Authenticate: " : "\r\nWWW-Authenticate: ";
    size_t head = aResponse.find("\r\n\r\n");
    for (size_t at = aResponse.find(name); at != std::string::npos && at < head; at = aResponse.find(name, at + 1)) {
        size_t start = at + name.size();
        std::string value = aResponse.substr(start, aResponse.find("\r\n", start) - start);
        std::string scheme = value.substr(0, value.find(' '));
        if (scheme.size() == aScheme.size() &&
            std::equal(scheme.begin(), scheme.end(), aScheme.begin(),
                       [](char a, char b) { return std::tolower(a) == std::tolower(b); }))
            return value;
    }
    return "";
}

struct Outcome {
    std::string response;          // the last response
    std::string lastValue;         // the last credentials sent
    bool refusedToAnswer = false;  // the authenticator gave no value
};

// One exchange on one kept-alive connection: the request, its challenge,
// then every step of the scheme's answer.
Outcome Authenticate(const Target& aTarget, const char* aScheme, const std::string& aUser, const char* aPassword,
                     std::string aFirstResponse = "") {
    Outcome out;
    RawHttpClient client(aTarget.port);
    EXPECT_TRUE(client.Connected());
    if (aFirstResponse.empty()) {
        EXPECT_TRUE(client.Send(aTarget.Request("")));
        aFirstResponse = client.ReadResponse();
    }
    EXPECT_EQ(aTarget.Challenged(), Status(aFirstResponse)) << aFirstResponse.substr(0, 300);
    out.response = aFirstResponse;

    HttpClientDouble channel(aTarget.Url(), "GET");
    CRtAutoPtr<IRtHttpAuthenticator> auth(IRtHttpAuthenticator::GetAuthenticatorFromScheme(aScheme));
    EXPECT_TRUE(auth.Get());
    while (auth.Get() && !auth->HaveAuthenticateComplete()) {
        std::string challenge = Challenge(out.response, aTarget, aScheme);
        out.lastValue = auth->GenerateCredentials(&channel, challenge.c_str(), aUser.c_str(), aPassword);
        if (out.lastValue.empty()) {
            out.refusedToAnswer = true;
            break;
        }
        EXPECT_TRUE(client.Send(aTarget.Request(out.lastValue)));
        out.response = client.ReadResponse();
    }
    return out;
}

void ExpectAccepted(const Outcome& aOutcome, const std::string& aBody) {
    EXPECT_FALSE(aOutcome.refusedToAnswer);
    EXPECT_EQ(200, Status(aOutcome.response)) << aOutcome.lastValue << "\n" << aOutcome.response.substr(0, 400);
    EXPECT_EQ(aBody, RawHttpClient::Body(aOutcome.response));
}

void ExpectRefused(const Target& aTarget, const Outcome& aOutcome) {
    EXPECT_FALSE(aOutcome.refusedToAnswer);
    EXPECT_EQ(aTarget.Challenged(), Status(aOutcome.response)) << aOutcome.lastValue;
}

const char kOpenBody[] = "rtpeers open ok\n";

}  // namespace

TEST(RtHttpAuthPeer, BasicOriginAndProxy) {
    NEED_PEER(Port("SQUID_BASIC"));
    std::string user = Setting("PEER_USER"), pass = Setting("PEER_PASS");
    Target origin{Port("ORIGIN_HTTP"), false, "/basic/"};
    Target proxy{Port("SQUID_BASIC"), true, "/open/"};
    ExpectAccepted(Authenticate(origin, "Basic", user, pass.c_str()), "rtpeers basic ok\n");
    ExpectAccepted(Authenticate(proxy, "Basic", user, pass.c_str()), kOpenBody);
    ExpectRefused(origin, Authenticate(origin, "Basic", user, "bad"));
    ExpectRefused(proxy, Authenticate(proxy, "Basic", user, "bad"));
}

TEST(RtHttpAuthPeer, DigestOriginAndProxy) {
    NEED_PEER(Port("SQUID_DIGEST"));
    std::string user = Setting("PEER_USER"), pass = Setting("PEER_PASS");
    Target origin{Port("ORIGIN_HTTP"), false, "/digest/"};
    Target proxy{Port("SQUID_DIGEST"), true, "/open/"};
    Outcome good = Authenticate(origin, "Digest", user, pass.c_str());
    ExpectAccepted(good, "rtpeers digest ok\n");
    EXPECT_NE(std::string::npos, good.lastValue.find("algorithm=MD5, response=")) << good.lastValue;
    EXPECT_NE(std::string::npos, good.lastValue.find("qop=auth, nc=00000001")) << good.lastValue;
    ExpectAccepted(Authenticate(proxy, "Digest", user, pass.c_str()), kOpenBody);
    ExpectRefused(origin, Authenticate(origin, "Digest", user, "bad"));
    ExpectRefused(proxy, Authenticate(proxy, "Digest", user, "bad"));
}

// An answer to an expired nonce is refused with stale=true; a new
// authenticator on that challenge gets in.
TEST(RtHttpAuthPeer, DigestStaleNonceThenFreshAnswer) {
    NEED_PEER(Port("ORIGIN_HTTP"));
    std::string user = Setting("PEER_USER"), pass = Setting("PEER_PASS");
    Target stale{Port("ORIGIN_HTTP"), false, "/digest-stale/"};
    RawHttpClient client(stale.port);
    ASSERT_TRUE(client.Send(stale.Request("")));
    std::string first = client.ReadResponse();
    ASSERT_EQ(401, Status(first));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // the peer's nonces live 2 s

    Outcome old = Authenticate(stale, "Digest", user, pass.c_str(), first);
    ASSERT_EQ(401, Status(old.response));
    std::string challenge = Challenge(old.response, stale, "Digest");
    EXPECT_NE(std::string::npos, challenge.find("stale=true")) << challenge;
    ExpectAccepted(Authenticate(stale, "Digest", user, pass.c_str(), old.response), "rtpeers digest ok\n");
}

TEST(RtHttpAuthPeer, NtlmProxyAndOriginOnOneConnection) {
    NEED_PEER(Port("SQUID_NTLM"));
    std::string user = Setting("PEER_USER"), pass = Setting("PEER_PASS");
    Target proxy{Port("SQUID_NTLM"), true, "/open/"};
    Target origin{Port("SQUID_NTLM_WWW"), false, "/open/"};
    ExpectAccepted(Authenticate(proxy, "NTLM", user, pass.c_str()), kOpenBody);
    ExpectAccepted(Authenticate(proxy, "NTLM", "RTPEERS\\" + user, pass.c_str()), kOpenBody);
    ExpectAccepted(Authenticate(origin, "NTLM", user, pass.c_str()), kOpenBody);
    ExpectAccepted(Authenticate(origin, "NTLM", "RTPEERS\\" + user, pass.c_str()), kOpenBody);
    ExpectRefused(proxy, Authenticate(proxy, "NTLM", user, "bad"));
    ExpectRefused(origin, Authenticate(origin, "NTLM", user, "bad"));
}

// The second squid's Type 2 message has a garbage offset: the answer may
// be refused, but nothing breaks, and an answer that is sent gets in.
TEST(RtHttpAuthPeer, NtlmMalformedChallengeIsSurvived) {
    NEED_PEER(Port("SQUID_NTLM_FAKE"));
    Target fake{Port("SQUID_NTLM_FAKE"), true, "/open/"};
    Outcome out = Authenticate(fake, "NTLM", Setting("PEER_USER"), Setting("PEER_PASS").c_str());
    if (!out.refusedToAnswer)
        ExpectAccepted(out, kOpenBody);
    else
        EXPECT_EQ(0u, Challenge(out.response, fake, "NTLM").find("NTLM TlRMTVNTUAACAAAA"));
}

// One 407 offering all three schemes: each of them gets through.
TEST(RtHttpAuthPeer, EverySchemeOfAMultiChallenge) {
    NEED_PEER(Port("SQUID_MULTI"));
    std::string user = Setting("PEER_USER"), pass = Setting("PEER_PASS");
    Target multi{Port("SQUID_MULTI"), true, "/open/"};
    for (const char* scheme : {"Basic", "Digest", "NTLM"}) {
        SCOPED_TRACE(scheme);
        ExpectAccepted(Authenticate(multi, scheme, user, pass.c_str()), kOpenBody);
    }
}

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "RtBase.h"
#include "RtHttpAuthenticator.h"
#include "RtHttpClientDouble.h"
#include "RtHttpDigestAuth.h"
#include "RtHttpNTLMAuth.h"
#include "RtOsNtlm.h"
#include "RtTestSupport.h"

using rttest::HttpClientDouble;
using rttest::LogWatch;

namespace {

// Exposes the scheme's own step, which has no step limit of its own.
class DigestSteps : public CRtHttpDigestAuth {
public:
    CRtString Step(IRtChannelHttpClient* aChannel, const char* aChallenge, const char* aUser, const char* aPass) {
        return do_GenerateCredentials(aChannel, aChallenge, aUser, aPass);
    }
};

std::string Param(const std::string& aValue, const std::string& aName) {
    size_t at = aValue.find(aName + "=");
    if (at == std::string::npos)
        return "";
    at += aName.size() + 1;
    if (aValue[at] == '"')
        return aValue.substr(at + 1, aValue.find('"', at + 1) - at - 1);
    return aValue.substr(at, aValue.find(',', at) - at);
}

const char kRfcChallenge[] =
    "Digest realm=\"testrealm@host.com\", qop=\"auth,auth-int\", nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", "
    "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"";

struct SessVector {
    const char* user;
    const char* realm;
    const char* password;
    const char* nonce;
    const char* cnonce;
    const char* method;
    const char* url;
    const char* responseWithQop;
    const char* responseWithoutQop;
};
const SessVector kSess = {
#include "data/RtDigestMd5SessVector.inc"
};

std::string Digest(const std::string& aChallenge, const char* aUser = "u", const char* aPass = "p",
                   const char* aUrl = "http://h/x", const char* aMethod = "GET", const char* aCnonce = "0a4f113b") {
    HttpClientDouble channel(aUrl, aMethod);
    CRtAutoPtr<CRtHttpDigestAuth> auth(new CRtHttpDigestAuth);
    auth->SetClientNonceForTest(aCnonce);
    return auth->GenerateCredentials(&channel, aChallenge.c_str(), aUser, aPass);
}

}  // namespace

TEST(RtHttpAuthenticator, SchemeNamesInAnyCase) {
    LogWatch log;
    struct Case {
        const char* name;
        const char* scheme;
        bool basic, connection;
        uint32_t steps;
    } cases[] = {
        {"basic", "Basic", true, false, 1}, {"DIGEST", "Digest", false, false, 1}, {"Ntlm", "NTLM", false, true, 2}};
    for (const Case& c : cases) {
        CRtAutoPtr<IRtHttpAuthenticator> auth(IRtHttpAuthenticator::GetAuthenticatorFromScheme(c.name));
        ASSERT_TRUE(auth.Get()) << c.name;
        EXPECT_EQ(c.scheme, auth->GetAuthScheme());
        EXPECT_EQ(c.basic, auth->IsBasic());
        EXPECT_EQ(c.connection, auth->IsConnectionBased());
        EXPECT_EQ(0u, auth->GetCurrentStep());
        EXPECT_FALSE(auth->HaveAuthenticateComplete());
    }
    EXPECT_TRUE(log.Has("IRtHttpAuthenticator::GetAuthenticatorFromScheme, Digest"));
    for (const char* other : {"Negotiate", "", "Basic ", "Digestx", "NTLMSSP"})
        EXPECT_EQ(nullptr, IRtHttpAuthenticator::GetAuthenticatorFromScheme(other)) << other;
}

TEST(RtHttpBasicAuth, EncodesOnceThenCompletes) {
    HttpClientDouble channel("http://h/", "GET");
    CRtAutoPtr<IRtHttpAuthenticator> auth(new CRtHttpBasicAuth);
    EXPECT_EQ("Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==",
              auth->GenerateCredentials(&channel, "basic realm=\"WallyWorld\"", "Aladdin", "open sesame"));
    EXPECT_TRUE(auth->HaveAuthenticateComplete());
    EXPECT_EQ(1u, auth->GetCurrentStep());
    LogWatch log;
    EXPECT_EQ("", auth->GenerateCredentials(&channel, "Basic realm=\"x\"", "Aladdin", "open sesame"));
    EXPECT_TRUE(log.Has("Assert failed: !HaveAuthenticateComplete()"));
    EXPECT_EQ(1u, auth->GetCurrentStep());

    struct Case {
        IRtChannelHttpClient* channel;
        const char* challenge;
        const char* user;
        const char* password;
        const char* value;
    } cases[] = {{&channel, "Basic realm=x", "Aladdin", nullptr, "Basic QWxhZGRpbjo="},
                 {&channel, "Digest realm=x", "Aladdin", "p", ""},
                 {&channel, "Basic realm=x", "", "p", ""},
                 {&channel, "Basic realm=x", nullptr, "p", ""},
                 {&channel, nullptr, "Aladdin", "p", ""},
                 {nullptr, "Basic realm=x", "Aladdin", "p", ""}};
    for (const Case& c : cases) {
        CRtAutoPtr<IRtHttpAuthenticator> one(new CRtHttpBasicAuth);
        EXPECT_EQ(c.value, one->GenerateCredentials(c.channel, c.challenge, c.user, c.password));
    }
}

TEST(RtHttpDigestAuth, Rfc2617ExampleByteForByte) {
    HttpClientDouble channel("http://www.nowhere.org/dir/index.html", "GET");
    DigestSteps auth;
    auth.AddReference();
    auth.SetClientNonceForTest("0a4f113b");
    std::string first = auth.Step(&channel, kRfcChallenge, "Mufasa", "Circle Of Life");
    EXPECT_EQ(
        "Digest username=\"Mufasa\", realm=\"testrealm@host.com\", nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", "
        "uri=\"/dir/index.html\", response=\"6629fae49393a05397450978507c4ef1\", "
        "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\", qop=auth, nc=00000001, cnonce=\"0a4f113b\"",
        first);
    // The scheme's own second step counts the nonce on.
    std::string second = auth.Step(&channel, kRfcChallenge, "Mufasa", "Circle Of Life");
    EXPECT_EQ("00000002", Param(second, "nc"));
    EXPECT_NE(Param(first, "response"), Param(second, "response"));
    EXPECT_EQ(1u, channel.UrlReferences());
    EXPECT_EQ(2, channel.UrlAsked());
}

TEST(RtHttpDigestAuth, Md5SessAgainstAnIndependentVector) {
    std::string withQop = Digest(std::string("Digest realm=\"") + kSess.realm + "\", nonce=\"" + kSess.nonce +
                                     "\", algorithm=MD5-sess, qop=\"auth\"",
                                 kSess.user, kSess.password, kSess.url, kSess.method, kSess.cnonce);
    EXPECT_EQ(kSess.responseWithQop, Param(withQop, "response")) << withQop;
    EXPECT_NE(std::string::npos, withQop.find("uri=\"/sess/path?q=1\", algorithm=MD5-sess, response=\""));

    HttpClientDouble channel(kSess.url, kSess.method);
    CRtAutoPtr<CRtHttpDigestAuth> auth(new CRtHttpDigestAuth);
    auth->SetClientNonceForTest(kSess.cnonce);
    std::string noQop = auth->GenerateCredentials(
        &channel,
        (std::string("Digest realm=") + kSess.realm + ",nonce=" + kSess.nonce + ", ALGORITHM=md5-SESS").c_str(),
        kSess.user, kSess.password);
    EXPECT_EQ(kSess.responseWithoutQop, Param(noQop, "response")) << noQop;
    EXPECT_EQ(std::string::npos, noQop.find("qop="));
}

TEST(RtHttpDigestAuth, ParametersShapeTheValue) {
    std::string named = Digest("Digest realm=\"r\", nonce=\"n\", algorithm=md5, qop=\"auth\"");
    EXPECT_NE(std::string::npos, named.find("uri=\"/x\", algorithm=MD5, response=\""));
    EXPECT_EQ(std::string::npos, named.find("opaque="));
    EXPECT_EQ("00000001", Param(named, "nc"));

    std::string unnamed = Digest("Digest realm=\"r\", nonce=\"n\", qop=\"auth\", stale=true, domain=\"/x\"");
    EXPECT_NE(std::string::npos, unnamed.find("uri=\"/x\", response=\""));
    EXPECT_EQ(Param(named, "response"), Param(unnamed, "response"));

    for (const char* challenge :
         {"Digest realm=\"r\", nonce=\"n\"", "Digest realm=\"r\", nonce=\"n\", qop=\"auth-int\""}) {
        std::string plain = Digest(challenge);
        EXPECT_NE("", plain) << challenge;
        for (const char* absent : {"qop=", "nc=", "cnonce="})
            EXPECT_EQ(std::string::npos, plain.find(absent)) << challenge;
        EXPECT_EQ('"', plain.back());
    }
    std::string opaque = Digest("Digest realm=r nonce=n opaque=o qop=auth");
    EXPECT_EQ("o", Param(opaque, "opaque"));
    EXPECT_NE(std::string::npos, opaque.find("\", opaque=\"o\", qop=auth, nc="));
}

TEST(RtHttpDigestAuth, RefusedChallengesGiveNothing) {
    LogWatch log;
    for (const char* challenge : {"Digest", "Digest ", "Digest    ", "Digest ,,", "DigestX realm=r, nonce=n"}) {
        EXPECT_EQ("", Digest(challenge)) << challenge;
    }
    EXPECT_TRUE(log.Has("CRtHttpDigestAuth::::do_GenerateCredentials, ParseChallenge() failed!"));

    std::string longValue(IRtHttpAuthenticator::kMaxParameterLength + 1, 'a');
    std::string manyParams = "Digest nonce=n";
    for (size_t i = 0; i < IRtHttpAuthenticator::kMaxParameterCount; ++i)
        manyParams += ", x" + std::to_string(i) + "=1";
    std::string huge = "Digest realm=r, nonce=n, x=\"" + std::string(IRtHttpAuthenticator::kMaxChallengeLength, 'b');
    for (const std::string& challenge :
         {std::string("Digest realm=\"r, nonce=n"), std::string("Digest realm"), std::string("Digest realm=, nonce=n"),
          std::string("Digest realm=\"a\rb\", nonce=n"), std::string("Digest realm=r, nonce=\"n\nX-Evil: 1\""),
          std::string("Digest realm=r\x7f, nonce=n"), "Digest realm=r, nonce=\"" + longValue + "\"", manyParams,
          huge + "\""}) {
        EXPECT_EQ("", Digest(challenge)) << challenge.substr(0, 60);
    }
    EXPECT_NE("", Digest("Digest realm=r, nonce=\"" + longValue.substr(1) + "\""));

    LogWatch unsupported;
    EXPECT_EQ("", Digest("Digest realm=r, nonce=n, algorithm=SHA-256"));
    EXPECT_TRUE(unsupported.Has(
        "CRtHttpDigestAuth::::do_GenerateCredentials, unsupported algorithm requested by Digest authentication"));

    EXPECT_EQ("", Digest("Basic realm=r", "u"));
    EXPECT_EQ("", Digest("Digest realm=r, nonce=n", ""));
    EXPECT_EQ("", Digest("Digest realm=r, nonce=n", "a\"b"));
    EXPECT_EQ("", Digest("Digest realm=r, nonce=n", "u", "p", "", "GET"));
    EXPECT_EQ("", Digest("Digest realm=r, nonce=n", "u", "p", "http://h/x", ""));
    EXPECT_EQ("", Digest("Digest realm=r, nonce=n", "u", "p", "http://h/a\"b", "GET"));
}

TEST(RtHttpDigestAuth, ParserStaysInsideTheGivenLength) {
    // Heap copies without a terminator: reading past aLength is caught by
    // the address sanitizer.
    for (const std::string& text : {std::string("realm=\"unterminated"), std::string("nonce=abc"),
                                    std::string("qop=\"auth"), std::string("a="), std::string("x")}) {
        std::unique_ptr<char[]> buf(new char[text.size()]);
        memcpy(buf.get(), text.data(), text.size());
        CRtHttpDigestChallenge parsed;
        bool ok = CRtHttpDigestAuth::ParseChallenge(buf.get(), text.size(), parsed);
        EXPECT_EQ(text == "nonce=abc", ok) << text;
    }
    CRtHttpDigestChallenge parsed;
    ASSERT_TRUE(CRtHttpDigestAuth::ParseChallenge("NONCE=n,qop=\"auth-int, AUTH\"", 64, parsed));
    EXPECT_EQ("n", parsed.nonce);
    EXPECT_TRUE(parsed.qopAuth && parsed.qopAuthInt);
}

TEST(RtHttpDigestAuth, ClientNoncesStayInTheirFifteenDigits) {
    HttpClientDouble channel("http://h/x", "GET");
    std::set<std::string> seen;
    for (int i = 0; i < 10000; ++i) {
        CRtAutoPtr<IRtHttpAuthenticator> auth(new CRtHttpDigestAuth);
        std::string cnonce =
            Param(auth->GenerateCredentials(&channel, "Digest realm=r, nonce=n, qop=auth", "u", "p"), "cnonce");
        ASSERT_EQ(16u, cnonce.size());
        ASSERT_EQ(std::string::npos, cnonce.find_first_not_of("0123456789abcde")) << cnonce;
        seen.insert(cnonce);
    }
    EXPECT_GT(seen.size(), 9990u);
}

TEST(RtHttpNTLMAuth, WithoutTheProviderNothingIsSent) {
    HttpClientDouble channel("http://h/", "GET");
    rtos::NtlmSetProviderForTest("1.2.3.4.5");
    LogWatch log;
    CRtAutoPtr<IRtHttpAuthenticator> auth(new CRtHttpNTLMAuth);
    EXPECT_EQ("", auth->GenerateCredentials(&channel, "NTLM", "alice", "wonderland"));
    rtos::NtlmSetProviderForTest(nullptr);
    EXPECT_TRUE(log.Has("CRtHttpNTLMAuth::InitAuthorizationHeader, LoadLibrary failed! lpszDLL="));
    EXPECT_EQ("", auth->GenerateCredentials(&channel, "NTLM TlRMTVNTUAACAAAA", "alice", "wonderland"));
}

TEST(RtHttpNTLMAuth, NegotiateFirstThenOnlyAWellFormedToken) {
    HttpClientDouble channel("http://h/", "GET");
    const char* kType1 = "NTLM TlRMTVNTUAABAAAA";  // "NTLMSSP\0" and message type 1
    CRtString type2Garbage;
    const unsigned char bad[] = "NTLMSSP\0\x02\0\0\0\xff\xff\xff\xff\xaa\xaa\xaa\xaa\x05\x82\x08\xa2";
    RtBase64Encode(bad, sizeof bad - 1, type2Garbage);
    std::string overLong = "NTLM " + std::string(IRtHttpAuthenticator::kMaxChallengeLength, 'A');
    for (const std::string& second :
         {std::string("NTLM"), std::string("NTLM "), std::string("NTLM @@@@"), std::string("NTLM TlRM\r\nX: 1"),
          std::string("Basic TlRMTVNT"), overLong, "NTLM " + type2Garbage}) {
        CRtAutoPtr<IRtHttpAuthenticator> auth(new CRtHttpNTLMAuth);
        std::string first = auth->GenerateCredentials(&channel, "NTLM", "RTPEERS\\alice", "wonderland");
        if (first.empty())
            GTEST_SKIP() << "no NTLM provider here (gss-ntlmssp on Linux, Samba's ntlm_auth under Wine)";
        EXPECT_EQ(0u, first.find(kType1)) << first;
        EXPECT_EQ(1u, auth->GetCurrentStep());
        EXPECT_EQ("", auth->GenerateCredentials(&channel, second.c_str(), "RTPEERS\\alice", "wonderland"))
            << second.substr(0, 40);
        EXPECT_TRUE(auth->HaveAuthenticateComplete());
    }
}

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "RtHttpHead.h"
#include "RtTestSupport.h"

namespace {

CRtHttpAtomList* Atoms() { return CRtHttpAtomList::Instance(); }

// Feeds each line with CR LF appended; true when every line was taken.
bool Feed(CRtHttpHeaderArray& aHead, std::initializer_list<std::string> aLines) {
    for (const std::string& line : aLines) {
        if (!aHead.ParseLine(line + "\r\n"))
            return false;
    }
    return true;
}

std::string Header(const CRtHttpHeaderArray& aHead, const CRtHttpAtom& aAtom) {
    CRtString value;
    return aHead.GetHeader(aAtom, value) ? value : "<absent>";
}

using rttest::LogWatch;

}  // namespace

TEST(RtHttpAtom, EveryPrefilledNameResolvesToItsMember) {
#define RT_CHECK_ATOM(member, text)                                                         \
    EXPECT_EQ(CRtHttpAtomList::member, Atoms()->ResolveAtom(" " text "  ", false)) << text; \
    EXPECT_STREQ(text, CRtHttpAtomList::member.get());
    RT_HTTP_PREFILLED_ATOMS(RT_CHECK_ATOM)
#undef RT_CHECK_ATOM
    EXPECT_EQ(CRtHttpAtomList::Content_Length, Atoms()->ResolveAtom("cONTENT-length", false));
    EXPECT_GE(Atoms()->GetAtomCount(), CRtHttpAtomList::kPrefilledCount);
}

TEST(RtHttpAtom, UnknownNameIsAddedOnlyOnRequestAndKeepsItsSpelling) {
    EXPECT_EQ(nullptr, Atoms()->ResolveAtom("x-custom", false).get());
    CRtHttpAtom added = Atoms()->ResolveAtom("x-custom", true);
    ASSERT_NE(nullptr, added.get());
    EXPECT_STREQ("x-custom", added.get());
    EXPECT_EQ(added, Atoms()->ResolveAtom("X-CUSTOM", false));
    // Folding is ASCII only: bytes above 0x7F are not letters.
    EXPECT_NE(Atoms()->ResolveAtom("x-\xC4", true), Atoms()->ResolveAtom("x-\xE4", true));
    EXPECT_EQ(nullptr, Atoms()->ResolveAtom(CRtString("x-nul\0z", 7), true).get());
    LogWatch log;
    EXPECT_EQ(nullptr, Atoms()->ResolveAtom("", true).get());
    EXPECT_TRUE(log.Has("Assert failed: !strValue.empty()"));
}

TEST(RtHttpAtom, ConcurrentAddsOfOneNameAgree) {
    std::vector<std::vector<CRtHttpAtom>> seen(4);
    std::vector<std::thread> threads;
    for (auto& out : seen) {
        threads.emplace_back([&out] {
            for (int i = 0; i < 200; ++i)
                out.push_back(Atoms()->ResolveAtom("x-race-" + std::to_string(i), true));
        });
    }
    for (auto& t : threads)
        t.join();
    for (const auto& out : seen)
        EXPECT_EQ(seen[0], out);
}

TEST(RtHttpHeaderArray, ValuesAreTrimmedReplacedOrJoined) {
    CRtHttpRequestHead head;
    ASSERT_TRUE(Feed(head, {"GET / HTTP/1.1", "Host:   example  ", "Accept: a", "Accept: b", "Set-Cookie: a=1",
                            "Set-Cookie: b=2", "Connection:    "}));
    EXPECT_EQ("example", Header(head, CRtHttpAtomList::Host));
    ASSERT_TRUE(Feed(head, {"host: other"}));
    EXPECT_EQ("other", Header(head, CRtHttpAtomList::Host));
    EXPECT_EQ("a, b", Header(head, CRtHttpAtomList::Accept));
    EXPECT_EQ("a=1\nb=2", Header(head, CRtHttpAtomList::Set_Cookie));
    EXPECT_EQ("    ", Header(head, CRtHttpAtomList::Connection));
    ASSERT_TRUE(Feed(head, {"Accept:"}));
    EXPECT_FALSE(head.HasHeader(CRtHttpAtomList::Accept));

    // Joined cookies go out as separate lines, never with a bare LF.
    CRtString flat;
    head.Flatten(flat);
    EXPECT_EQ("Host: other\r\nSet-Cookie: a=1\r\nSet-Cookie: b=2\r\nConnection:     \r\n", flat);
}

TEST(RtHttpHeaderArray, SeparatorFallsBackToSpaceTabThenEquals) {
    CRtHttpRequestHead head;
    ASSERT_TRUE(Feed(head, {"GET / HTTP/1.1", "Host example", ":ignored", "no-separator", "Referer\tr", "From=f"}));
    EXPECT_EQ("example", Header(head, CRtHttpAtomList::Host));
    EXPECT_EQ("r", Header(head, CRtHttpAtomList::Referer));
    EXPECT_EQ("f", Header(head, CRtHttpAtomList::From));
    EXPECT_TRUE(Feed(head, {""}));
    // A colon comes first: "Pragma a" is the name, and no token.
    head.Clear();
    EXPECT_FALSE(Feed(head, {"GET / HTTP/1.1", "Pragma a:b"}));
}

// The request table runs through the server suites; these are the log
// lines and the response side, whose folded lines are joined instead.
TEST(RtHttpHeaderArray, FramingRulesOfRequestsAndResponses) {
    {
        LogWatch log;
        CRtHttpRequestHead head;
        EXPECT_FALSE(Feed(head, {"GET / HTTP/1.1", "Content-Length : 4"}));
        EXPECT_TRUE(log.Has("CRtHttpHeaderArray::ParseLine, invalid header name! aLine=Content-Length : 4"));
        head.Clear();
        EXPECT_FALSE(Feed(head, {"GET / HTTP/1.1", "Host: x", " y"}));
        EXPECT_TRUE(log.Has("CRtHttpHeaderArray::ParseLine, folded header line! aLine= y"));
        head.Clear();
        EXPECT_FALSE(Feed(head, {"GET / HTTP/1.1", "Content-Length: 4", "Content-Length: 05"}));
        EXPECT_TRUE(log.Has("CRtHttpHeaderArray::ParseLine, conflicting content length! old=4 new=05"));
        head.Clear();
        EXPECT_FALSE(Feed(head, {"POST / HTTP/1.1", "Transfer-Encoding: gzip", "Transfer-Encoding: chunked", ""}));
        EXPECT_TRUE(log.Has("CRtHttpHeaderArray::ParseLine, unsupported transfer coding! value=gzip, chunked"));
        head.Clear();
        EXPECT_FALSE(Feed(head, {"GET /a\rb HTTP/1.1"}));
        EXPECT_TRUE(log.Has("CRtHttpHeaderArray::ParseLine, control character in line!"));
    }
    CRtHttpResponseHead response;
    ASSERT_TRUE(Feed(response, {"HTTP/1.1 200 OK", "Pragma: a", " \tb ", "Transfer-Encoding: gzip", ""}));
    EXPECT_EQ("a b", Header(response, CRtHttpAtomList::Pragma));
    EXPECT_EQ("gzip", Header(response, CRtHttpAtomList::Transfer_Encoding)) << "codings are the client's to judge";
    response.Clear();
    EXPECT_FALSE(Feed(response, {"HTTP/1.1 200 OK", " first"})) << "nothing to continue";
    response.Clear();
    EXPECT_FALSE(Feed(response, {"HTTP/1.1 200 OK", "Content-Length: 1", " 2"})) << "a length is never continued";
}

TEST(RtHttpHeaderArray, LineStateMachine) {
    CRtHttpRequestHead head;
    LogWatch log;
    EXPECT_FALSE(head.ParseLine("GET / HTTP/1.1\n"));
    EXPECT_FALSE(head.ParseLine("\n"));
    EXPECT_TRUE(log.Has("CRtHttpHeaderArray::ParseLine, not a line. aLine="));
    EXPECT_FALSE(Feed(head, {""}));
    EXPECT_TRUE(log.Has("CRtHttpHeaderArray::ParseLine, no first line! this="));
    EXPECT_FALSE(Feed(head, {"GET / HTTP/9"}));
    ASSERT_TRUE(Feed(head, {"GET / HTTP/1.1", ""}));
    EXPECT_TRUE(head.HaveAllHeaders());
    EXPECT_TRUE(head.ParseLine("Host: late\r\n"));
    EXPECT_TRUE(log.Has("Assert failed: !m_bHaveAllHeaders"));
    EXPECT_FALSE(head.HasHeader(CRtHttpAtomList::Host));

    CRtHttpHeaderArray bare;
    EXPECT_FALSE(Feed(bare, {"anything"}));
    EXPECT_TRUE(log.Has("Assert failed: !\"CRtHttpHeaderArray::ParseFirstLine_t\""));
}

TEST(RtHttpHeaderArray, LineLengthHeaderCountAndHeadSizeAreBounded) {
    const size_t maxText = CRtHttpHeaderArray::kMaxLineLength - 2;
    CRtHttpRequestHead head;
    LogWatch log;
    ASSERT_TRUE(Feed(head, {"GET / HTTP/1.1", "Pragma: " + std::string(maxText - 8, 'a')}));
    EXPECT_FALSE(Feed(head, {"Pragma: " + std::string(maxText - 7, 'a')}));
    EXPECT_TRUE(log.Has("CRtHttpHeaderArray::ParseLine, line too long! length=65537 max=65536"));

    head.Clear();
    ASSERT_TRUE(Feed(head, {"GET / HTTP/1.1"}));
    for (size_t i = 0; i < CRtHttpHeaderArray::kMaxHeaderLines; ++i)
        ASSERT_TRUE(Feed(head, {"Accept: x"})) << i;
    EXPECT_FALSE(Feed(head, {"Accept: x"}));
    EXPECT_TRUE(log.Has("CRtHttpHeaderArray::ParseLine, too many header lines! max=256"));

    head.Clear();
    ASSERT_TRUE(Feed(head, {"GET / HTTP/1.1"}));
    size_t fed = 16;
    while (Feed(head, {"Pragma: " + std::string(maxText - 8, 'b')}))
        fed += CRtHttpHeaderArray::kMaxLineLength;
    EXPECT_LE(fed, CRtHttpHeaderArray::kMaxHeadLength);
    EXPECT_GT(fed + CRtHttpHeaderArray::kMaxLineLength, CRtHttpHeaderArray::kMaxHeadLength);
    EXPECT_TRUE(log.Has("CRtHttpHeaderArray::ParseLine, head too long! length="));
}

TEST(RtHttpHeaderArray, ContentLengthMustBePlainDecimal) {
    for (const char* bad : {"-5", "+5", "abc", "5x", "5 5", "0x10", "2147483648", "99999999999", "4294967295"}) {
        CRtHttpRequestHead head;
        LogWatch log;
        ASSERT_TRUE(Feed(head, {"GET / HTTP/1.1", std::string("Content-Length: ") + bad})) << bad;
        EXPECT_EQ(CRtHttpHeaderArray::kBadContentLength, head.GetContentLength()) << bad;
        EXPECT_FALSE(Feed(head, {""})) << bad;
        EXPECT_TRUE(log.Has("CRtHttpHeaderArray::ParseLine, invalid content length! value=")) << bad;
    }
    CRtHttpRequestHead head;
    EXPECT_EQ(CRtHttpHeaderArray::kNoContentLength, head.GetContentLength());
    ASSERT_TRUE(Feed(head, {"GET / HTTP/1.1", "Content-Length: \t007\t", ""}));
    EXPECT_EQ(7, head.GetContentLength());
}

TEST(RtHttpHeaderArray, PostUsesTheSetMaximumOtherMessagesTheHardCap) {
    struct Case {
        const char* method;
        int32_t length;
        bool accepted;
    };
    const int32_t postMax = CRtHttpHeaderArray::kDefaultMaxContentLength;
    const int32_t hard = CRtHttpHeaderArray::kMaxContentLengthHard;
    for (const Case& c : {Case{"POST", postMax, true}, Case{"POST", postMax + 1, false}, Case{"GET", postMax + 1, true},
                          Case{"GET", hard, true}, Case{"GET", hard + 1, false}}) {
        CRtHttpRequestHead head;
        LogWatch log;
        std::string length = std::to_string(c.length);
        ASSERT_TRUE(Feed(head, {std::string(c.method) + " /u HTTP/1.1", "Content-Length: " + length}));
        EXPECT_EQ(c.accepted, Feed(head, {""})) << c.method << " " << c.length;
        if (!c.accepted) {
            std::string max = std::to_string(head.GetContentLimit());
            EXPECT_TRUE(log.Has("content too long! length=" + length + " max=" + max));
        }
    }
    // The check survives Clear, and a channel may lower the maximum.
    CRtHttpRequestHead head;
    ASSERT_TRUE(Feed(head, {"POST / HTTP/1.1"}));
    head.Clear();
    head.SetMaxContentLength(10);
    EXPECT_EQ(10, head.GetContentLimit());
    EXPECT_FALSE(Feed(head, {"GET / HTTP/1.1", "Content-Length: 11", ""}));
}

TEST(RtHttpRequestHead, RequestLine) {
    CRtHttpRequestHead head;
    ASSERT_TRUE(Feed(head, {"GET /status?x=1 HTTP/1.1"}));
    EXPECT_EQ(CRtHttpAtomList::Get, head.GetMethod());
    EXPECT_EQ("/status?x=1", head.GetRequestURI());
    EXPECT_EQ(11, head.GetVersion());
    head.Clear();
    EXPECT_EQ(nullptr, head.GetMethod().get());
    ASSERT_TRUE(Feed(head, {"post / http/1.0"}));
    EXPECT_EQ(CRtHttpAtomList::Post, head.GetMethod());
    EXPECT_EQ(10, head.GetVersion());

    LogWatch log;
    for (const char* bad : {"GET /x", "GET  ", " / HTTP/1.1", "GET"}) {
        CRtHttpRequestHead fresh;
        EXPECT_FALSE(Feed(fresh, {bad})) << bad;
    }
    EXPECT_TRUE(log.Has("CRtHttpRequestHead::ParseFirstLine_t, unknow method. aLine=GET   this="));
    for (const char* bad : {"GET / HTTP/2.0", "GET / HTTP/1.1 ", "GET / HTTP/1.1x"}) {
        CRtHttpRequestHead fresh;
        EXPECT_FALSE(Feed(fresh, {bad})) << bad;
    }
    EXPECT_TRUE(log.Has("CRtHttpRequestHead::ParseFirstLine_t, unknow HTTP version. aLine=GET / HTTP/2.0 this="));
}

TEST(RtHttpResponseHead, StatusLine) {
    struct Case {
        const char* line;
        int32_t version;
        int32_t status;
        const char* reason;
    };
    for (const Case& c : {Case{"HTTP/1.1 200", 11, 200, "OK"}, Case{"HTTP/1.1 404 Not Found", 11, 404, "Not Found"},
                          Case{"http/1.0 200 Fine", 10, 200, "Fine"}, Case{"HTTP 302 Moved", 10, 302, "Moved"},
                          Case{"HTTP/1.1", 11, 0, "OK"}, Case{"HTTP/1.0 ", 10, 0, "OK"}, Case{"HTTP", 10, 0, "OK"},
                          Case{"HTTP/1.1 99999999999 X", 11, 2147483647, "X"}}) {
        CRtHttpResponseHead head;
        ASSERT_TRUE(Feed(head, {c.line, ""})) << c.line;
        EXPECT_EQ(c.version, head.GetVersion()) << c.line;
        EXPECT_EQ(c.status, head.GetStatus()) << c.line;
        EXPECT_EQ(c.reason, head.GetStatusText()) << c.line;
    }
    LogWatch log;
    CRtHttpResponseHead head;
    EXPECT_FALSE(Feed(head, {"HTTX/1.1 200 OK"}));
    EXPECT_FALSE(Feed(head, {"HTT"}));
    EXPECT_TRUE(log.Has("CRtHttpResponseHead::ParseFirstLine_t, no HTTP ahead. aLine=HTTX/1.1 200 OK this="));
    EXPECT_FALSE(Feed(head, {"HTTP/1"}));
    EXPECT_FALSE(Feed(head, {"HTTP/2.0 200"}));
    EXPECT_TRUE(log.Has("CRtHttpResponseHead::ParseFirstLine_t, unknow HTTP version. aLine=2.0 200 this="));
}

TEST(RtHttpResponseHead, NoContentStatusesHaveLengthZero) {
    for (int status : {100, 200, 204, 205, 304}) {
        CRtHttpResponseHead head;
        ASSERT_TRUE(Feed(head, {"HTTP/1.1 " + std::to_string(status), "Content-Length: 9", ""}));
        bool empty = status == 204 || status == 205 || status == 304;
        EXPECT_EQ(empty ? 0 : 9, head.GetContentLength()) << status;
    }
}

TEST(RtHttpHead, Encoding) {
    CRtHttpResponseHead response;
    response.SetStatus(200);
    response.SetStatusText("OK");
    response.SetVersion(11);
    response.SetHeader(CRtHttpAtomList::Content_Length, "5");
    CRtString out;
    EXPECT_TRUE(response.Encode(out));
    EXPECT_EQ("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n", out);

    CRtHttpRequestHead request;
    EXPECT_FALSE(request.SetMethod(CRtHttpAtomList::Host));
    EXPECT_TRUE(request.SetMethod(CRtHttpAtomList::M_Post));
    request.SetRequestURI("/a?b");
    request.SetHeader(CRtHttpAtomList::Host, "h");
    LogWatch log;
    out = "x";
    EXPECT_FALSE(request.Encode(out));
    EXPECT_EQ("xM-POST /a?b HTTP/\r\nHost: h\r\n", out);
    EXPECT_TRUE(log.Has("Assert failed: false"));
}

// A suite of its own, last in the file, so that it runs last: under Wine
// the suites share one process and this one uses up the received-name
// allowance.
TEST(RtHttpAtomBound, NamesFromPeersStopBeingInternedAtTheBound) {
    std::string huge(CRtHttpAtomList::kMaxReceivedAtomBytes + 1, 'n');
    EXPECT_EQ(nullptr, Atoms()->ResolveReceivedAtom(huge).get());
    CRtHttpAtom appName = Atoms()->ResolveAtom("X-App-Known", true);
    size_t before = Atoms()->GetAtomCount();
    size_t i = 0;
    while (Atoms()->ResolveReceivedAtom("X-Peer-" + std::to_string(i)).get() && i <= CRtHttpAtomList::kMaxReceivedAtoms)
        ++i;
    EXPECT_EQ(CRtHttpAtomList::kMaxReceivedAtoms, Atoms()->GetReceivedAtomCount());
    EXPECT_LE(Atoms()->GetAtomCount(), before + CRtHttpAtomList::kMaxReceivedAtoms);

    // Known names still work; unknown header lines are dropped, unknown
    // methods refused; the application may still add names.
    CRtHttpRequestHead head;
    ASSERT_TRUE(Feed(head, {"GET / HTTP/1.1", "X-Peer-0: a", "X-Peer-Late: b", "x-app-known: c", "Host: d", ""}));
    EXPECT_EQ("a", Header(head, Atoms()->ResolveAtom("x-peer-0", false)));
    EXPECT_EQ(nullptr, Atoms()->ResolveAtom("X-Peer-Late", false).get());
    EXPECT_EQ("c", Header(head, appName));
    CRtHttpRequestHead refused;
    EXPECT_FALSE(Feed(refused, {"BREW / HTTP/1.1"}));
    EXPECT_NE(nullptr, Atoms()->ResolveAtom("X-App-Later", true).get());
}

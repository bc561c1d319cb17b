#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RtHttpParser.h"
#include "RtTestSupport.h"

namespace {

using rttest::LogWatch;

// A heap chain with one block per piece, as reads arrive from a transport.
class Chain {
public:
    explicit Chain(const std::vector<std::string>& aPieces) {
        for (const std::string& piece : aPieces) {
            CRtMessageBlock view(static_cast<unsigned long>(piece.size()), piece.data(), CRtMessageBlock::DONT_DELETE,
                                 static_cast<unsigned long>(piece.size()));
            CRtMessageBlock* copy = view.DuplicateChained();
            if (m_pHead)
                m_pHead->Append(copy);
            else
                m_pHead = copy;
        }
    }
    ~Chain() {
        if (m_pHead)
            m_pHead->DestroyChained();
    }
    CRtMessageBlock& operator*() { return *m_pHead; }
    CRtMessageBlock* get() { return m_pHead; }
    std::string Rest() const { return m_pHead ? m_pHead->FlattenChained() : std::string(); }

private:
    CRtMessageBlock* m_pHead = nullptr;
};

// Plays the part of a server channel: every read is offered to the parser,
// and each complete message is collected with its body.
class Driver {
public:
    typedef CRtHttpParserT<CRtHttpRequestHead, Driver> Parser;

    Driver() : m_Parser(m_Head, this) {}

    void OnParseFinished() { ++m_nFinished; }

    // RT_OK when the read was used up, the parser's failure otherwise.
    RtResult Read(const std::string& aBytes) {
        Chain chain({aBytes});
        return Offer(*chain);
    }

    RtResult Offer(CRtMessageBlock& aBlock) {
        while (aBlock.GetChainedLength() > 0) {
            if (m_Parser.IsFinished())
                m_Parser.Reset();
            if (!m_Head.HaveAllHeaders()) {
                RtResult rv = m_Parser.ParseHead(aBlock);
                if (RT_FAILED(rv))
                    return rv;
                if (!m_Head.HaveAllHeaders())
                    return RT_OK;
            }
            RtResult rv = m_Parser.HandleContent(&aBlock);
            if (rv == RT_ERROR_PARTIAL_DATA)
                return RT_OK;
            if (RT_FAILED(rv))
                return rv;
            Collect();
        }
        // A head with no body completes without further bytes.
        if (m_Head.HaveAllHeaders() && !m_Parser.IsFinished() && m_Parser.HandleContent(nullptr) == RT_OK)
            Collect();
        return RT_OK;
    }

    std::vector<std::string> m_Uris;
    std::vector<std::string> m_Bodies;
    int m_nFinished = 0;
    CRtHttpRequestHead m_Head;
    Parser m_Parser;

private:
    void Collect() {
        m_Uris.push_back(m_Head.GetRequestURI());
        CRtMessageBlock* body = nullptr;
        EXPECT_EQ(RT_OK, m_Parser.GetContent(body));
        m_Bodies.push_back(body ? body->FlattenChained() : std::string());
        if (body)
            body->DestroyChained();
    }
};

const std::string kGet = "GET /a HTTP/1.1\r\nHost: x\r\n\r\n";

}  // namespace

TEST(RtHttpParser, HeadSplitAtAnyByteParsesAsOneRead) {
    const std::string request = "POST /up HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello";
    for (size_t cut = 1; cut < request.size(); ++cut) {
        for (size_t cut2 = cut; cut2 < request.size(); cut2 += 7) {
            Driver d;
            ASSERT_EQ(RT_OK, d.Read(request.substr(0, cut)));
            ASSERT_EQ(RT_OK, d.Read(request.substr(cut, cut2 - cut)));
            ASSERT_EQ(RT_OK, d.Read(request.substr(cut2)));
            ASSERT_EQ(1u, d.m_Bodies.size()) << "cut " << cut << "," << cut2;
            EXPECT_EQ("hello", d.m_Bodies[0]);
            EXPECT_EQ("/up", d.m_Uris[0]);
            EXPECT_EQ(1, d.m_nFinished);
        }
    }
}

TEST(RtHttpParser, BareLineFeedFailsAndLeavesTheBlock) {
    LogWatch log;
    Driver d;
    Chain chain({"GET / HTTP/1.1\nHost: x\r\n\r\n"});
    const std::string before = chain.Rest();
    EXPECT_EQ(RT_ERROR_FAILURE, d.m_Parser.ParseHead(*chain));
    EXPECT_EQ(before, chain.Rest());
    EXPECT_TRUE(log.Has("CRtHttpParserT::ParseHead, not \"\\r\\n\"!"));
    // An LF opening a read is bare too unless the previous read ended in CR.
    Driver d2;
    ASSERT_EQ(RT_OK, d2.Read("GET / HTTP/1.1"));
    EXPECT_EQ(RT_ERROR_FAILURE, d2.Read("\nHost: x\r\n\r\n"));
}

TEST(RtHttpParser, BodiesByContentLength) {
    {  // No body: complete with the head.
        Driver d;
        ASSERT_EQ(RT_OK, d.Read(kGet));
        ASSERT_EQ(1u, d.m_Bodies.size());
        EXPECT_EQ("", d.m_Bodies[0]);
    }
    {  // Body in two reads of 2 and 3 bytes.
        Driver d;
        ASSERT_EQ(RT_OK, d.Read("POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nab"));
        EXPECT_TRUE(d.m_Bodies.empty());
        ASSERT_EQ(RT_OK, d.Read("cde"));
        ASSERT_EQ(1u, d.m_Bodies.size());
        EXPECT_EQ("abcde", d.m_Bodies[0]);
    }
    {  // Bytes past the length stay in the block, with a warning.
        LogWatch log;
        Driver d;
        Chain chain({"POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\nabcde"});
        ASSERT_EQ(RT_OK, d.m_Parser.ParseHead(*chain));
        ASSERT_EQ(RT_OK, d.m_Parser.HandleContent(chain.get()));
        EXPECT_EQ("de", chain.Rest());
        EXPECT_TRUE(log.Has("CRtHttpParserT::HandleContent, m_dwContentRead=5 > m_dwContentLength=3"));
        CRtMessageBlock* body = nullptr;
        ASSERT_EQ(RT_OK, d.m_Parser.GetContent(body));
        ASSERT_NE(nullptr, body);
        EXPECT_EQ("abc", body->FlattenChained());
        body->DestroyChained();
    }
}

TEST(RtHttpParser, RequestsWithoutLengthArePipelinedInOrder) {
    Driver d;
    const std::string post = "POST /p HTTP/1.1\r\nContent-Length: 3\r\n\r\nxyz";
    ASSERT_EQ(RT_OK, d.Read(kGet + post + "GET /c HTTP/1.1\r\n\r\n" + "GET /d HT"));
    ASSERT_EQ(RT_OK, d.Read("TP/1.1\r\n\r\n"));
    ASSERT_EQ((std::vector<std::string>{"/a", "/p", "/c", "/d"}), d.m_Uris);
    EXPECT_EQ((std::vector<std::string>{"", "xyz", "", ""}), d.m_Bodies);
    EXPECT_EQ(4, d.m_nFinished);
}

TEST(RtHttpParser, ClientSideTakesTheRestOfTheReadAsBodyWithoutLength) {
    CRtHttpResponseHead head;
    CRtHttpParserT<CRtHttpResponseHead, Driver> parser(head, nullptr);
    parser.SetEmptyBodyWithoutLength(false);
    Chain chain({"HTTP/1.1 200 OK\r\n\r\nabcd"});
    ASSERT_EQ(RT_OK, parser.ParseHead(*chain));
    ASSERT_EQ(RT_OK, parser.HandleContent(chain.get()));
    CRtMessageBlock* body = nullptr;
    ASSERT_EQ(RT_OK, parser.GetContent(body));
    ASSERT_NE(nullptr, body);
    EXPECT_EQ("abcd", body->FlattenChained());
    body->DestroyChained();
}

// A response that ends at the close takes every read until then, and only
// then completes; a message that has no body leaves the rest of its read
// alone even in that mode.
TEST(RtHttpParser, ClientSideBodyRunsToTheClose) {
    CRtHttpResponseHead head;
    CRtHttpParserT<CRtHttpResponseHead, Driver> parser(head, nullptr);
    parser.SetEmptyBodyWithoutLength(false);
    parser.SetBodyUntilClose(true);
    Chain first({"HTTP/1.0 200 OK\r\n\r\nab", "cd"});
    ASSERT_EQ(RT_OK, parser.ParseHead(*first));
    EXPECT_EQ(RT_ERROR_PARTIAL_DATA, parser.HandleContent(first.get()));
    Chain second({"ef"});
    EXPECT_EQ(RT_ERROR_PARTIAL_DATA, parser.HandleContent(second.get()));
    EXPECT_TRUE(parser.IsBodyUntilClose());
    ASSERT_EQ(RT_OK, parser.FinishAtClose());
    CRtMessageBlock* body = nullptr;
    ASSERT_EQ(RT_OK, parser.GetContent(body));
    ASSERT_NE(nullptr, body);
    EXPECT_EQ("abcdef", body->FlattenChained());
    body->DestroyChained();
    EXPECT_EQ(RT_ERROR_INVALID_STATE, parser.FinishAtClose());

    parser.Reset();
    parser.SetNoBody(true);
    Chain tunnel({"HTTP/1.1 200 Connection established\r\n\r\nBANNER"});
    ASSERT_EQ(RT_OK, parser.ParseHead(*tunnel));
    ASSERT_EQ(RT_OK, parser.HandleContent(tunnel.get()));
    EXPECT_EQ("BANNER", tunnel.Rest());
    EXPECT_FALSE(parser.IsBodyUntilClose());
}

TEST(RtHttpParser, GetContentBeforeTheEndIsRefused) {
    Driver d;
    ASSERT_EQ(RT_OK, d.Read("POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nab"));
    CRtMessageBlock* body = reinterpret_cast<CRtMessageBlock*>(1);
    EXPECT_EQ(RT_ERROR_NOT_INITIALIZED, d.m_Parser.GetContent(body));
}

TEST(RtHttpChunked, BodiesDecodeTheSameAtEverySplit) {
    const std::string head = "POST /c HTTP/1.1\r\nTransfer-Encoding: Chunked\r\n\r\n";
    const std::string body = "4\r\nWiki\r\n5;name=x\r\npedia\r\n  e\r\n in\r\n\r\nchunks.\r\n0\r\nX-T: 1\r\n\r\n";
    for (size_t cut = 0; cut <= body.size(); ++cut) {
        Driver d;
        ASSERT_EQ(RT_OK, d.Read(head + body.substr(0, cut)));
        EXPECT_EQ(cut == body.size() ? 1u : 0u, d.m_Bodies.size()) << cut;
        ASSERT_EQ(RT_OK, d.Read(body.substr(cut) + kGet)) << cut;
        ASSERT_EQ(2u, d.m_Bodies.size()) << cut;
        EXPECT_EQ("Wikipedia in\r\n\r\nchunks.", d.m_Bodies[0]);
        EXPECT_EQ("/a", d.m_Uris[1]);
    }
    // Byte by byte as well.
    Driver d;
    ASSERT_EQ(RT_OK, d.Read(head));
    for (char c : body)
        ASSERT_EQ(RT_OK, d.Read(std::string(1, c)));
    ASSERT_EQ(1u, d.m_Bodies.size());
    EXPECT_EQ("Wikipedia in\r\n\r\nchunks.", d.m_Bodies[0]);
}

TEST(RtHttpChunked, CompletesOnlyAtTheFinalLineEnd) {
    Driver d;
    ASSERT_EQ(RT_OK, d.Read("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nWiki\r\n0\r\n"));
    EXPECT_EQ(0, d.m_nFinished);
    ASSERT_EQ(RT_OK, d.Read("\r\n"));
    ASSERT_EQ(1, d.m_nFinished);
    EXPECT_EQ("Wiki", d.m_Bodies[0]);
}

TEST(RtHttpChunked, MalformedFramingFails) {
    struct Case {
        std::string body;
        std::string log;
    };
    const std::vector<Case> cases = {
        {"zz\r\n", "CRtHttpChunkedDecoder::HandleChunkedContent, sscanf() failed! str=zz"},
        {"-4\r\nWiki\r\n", "sscanf() failed! str=-4"},
        {"100000000\r\n", "sscanf() failed! str=100000000"},
        {"4\r\nWikiX\r\n", "CRtHttpChunkedDecoder::HandleChunkedContent,*aBuf != '\r', aBuf=X"},
        {"4\r\nWiki\rX\n", "CRtHttpChunkedDecoder::HandleChunkedContent,*aBuf != '\n', aBuf=X"},
        {"4\rWiki\r\n", "CRtHttpChunkedDecoder::HandleChunkedContent, not \"\\r\\n\"! str=4\rWiki"},
        {"0\r\nX-T: 1\n", "not \"\\r\\n\"! str=X-T: 1"},
        {"0x4\r\n", "sscanf() failed! str=0x4"},
        {"ffffffff\r\n", "body too long!"},
        {std::string(5000, '1'), "line too long!"},
    };
    for (const Case& c : cases) {
        LogWatch log;
        Driver d;
        EXPECT_EQ(RT_ERROR_FAILURE, d.Read("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n" + c.body))
            << c.body.substr(0, 20);
        EXPECT_TRUE(log.Has(c.log)) << c.log;
        EXPECT_TRUE(d.m_Bodies.empty());
    }
}

TEST(RtHttpChunked, DecodedBodyAndTrailersAreBounded) {
    {  // POST bodies stop at the head's content limit, summed over chunks.
        LogWatch log;
        Driver d;
        ASSERT_EQ(RT_OK, d.Read("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"));
        const uint32_t limit = static_cast<uint32_t>(d.m_Head.GetContentLimit());
        char size[16];
        snprintf(size, sizeof size, "%x\r\n", limit / 2 + 1);
        ASSERT_EQ(RT_OK, d.Read(std::string(size) + std::string(limit / 2 + 1, 'a') + "\r\n"));
        EXPECT_EQ(RT_ERROR_FAILURE, d.Read(size));
        EXPECT_TRUE(log.Has("body too long!"));
    }
    {
        LogWatch log;
        Driver d;
        std::string trailers;
        for (size_t i = 0; i <= CRtHttpHeaderArray::kMaxHeaderLines; ++i)
            trailers += "X-T: 1\r\n";
        EXPECT_EQ(RT_ERROR_FAILURE, d.Read("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n" + trailers));
        EXPECT_TRUE(log.Has("too many trailer lines!"));
    }
}

TEST(RtHttpParser, OversizedHeadsFail) {
    {
        Driver d;
        std::string line = "GET /" + std::string(CRtHttpHeaderArray::kMaxLineLength, 'a');
        EXPECT_EQ(RT_ERROR_FAILURE, d.Read(line));
    }
    {
        Driver d;
        ASSERT_EQ(RT_OK, d.Read("GET / HTTP/1.1\r\n"));
        RtResult rv = RT_OK;
        for (size_t i = 0; i <= CRtHttpHeaderArray::kMaxHeaderLines && rv == RT_OK; ++i)
            rv = d.Read("X-A: b\r\n");
        EXPECT_EQ(RT_ERROR_FAILURE, rv);
    }
    for (const char* length : {"-1", "", "99999999999", "1x"}) {
        Driver d;
        EXPECT_EQ(RT_ERROR_FAILURE, d.Read(std::string("POST / HTTP/1.1\r\nContent-Length: ") + length + "\r\n\r\n"))
            << length;
    }
}

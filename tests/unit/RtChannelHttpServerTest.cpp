// The HTTP server channel driven directly over a scripted transport, on the
// default network thread (its deferred deletion needs a timer queue).
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "RtChannelHttpServer.h"
#include "RtHttpFramingCases.h"
#include "RtHttpMultipart.h"
#include "RtNetworkTest.h"
#include "RtRecordingSinks.h"
#include "RtScriptedTransport.h"
#include "RtTestSupport.h"

using rttest::MakeCall;

namespace {

RtResult SendText(IRtChannelHttpServer* aChannel, const std::string& aText) {
    CRtMessageBlock mb(aText.size(), aText.data(), CRtMessageBlock::DONT_DELETE, aText.size());
    return aChannel->SendData(mb);
}

void Append(IRtChannelHttpServer* aChannel, const std::string& aText) {
    CRtMessageBlock mb(aText.size(), aText.data(), CRtMessageBlock::DONT_DELETE, aText.size());
    aChannel->AppendResponseData(mb);
}

using rttest::LogWatch;
using rttest::RecordingSink;
using rttest::ScriptedTransport;

// The application's sink: each receive is labelled with its request's URI.
void LabelWithUri(RecordingSink& aSink) {
    aSink.m_Label = [](IRtTransport* aTrpt) {
        CRtString uri;
        static_cast<IRtChannelHttpServer*>(aTrpt)->GetRequestUri(uri);
        return std::string(uri);
    };
}

using Strings = std::vector<std::string>;

// One channel over a scripted transport, opened with a recording sink. Test
// bodies run on the network thread through On(); teardown checks that the
// released channel is deleted and lets its transport go.
class ChannelTest : public rttest::NetworkTest {
protected:
    void SetUp() override {
        NetworkTest::SetUp();
        LabelWithUri(m_Sink);
        m_Sink.ExpectThread(m_pNetwork);
        On([&] {
            m_pLower = new ScriptedTransport(m_pNetwork);
            m_pLower->AddReference();
            m_pChannel = new CRtChannelHttpServer(m_pLower);
            m_pChannel->AddReference();
            EXPECT_EQ(RT_OK, m_pChannel->OpenWithSink(&m_Sink));
        });
    }
    void TearDown() override {
        On([&] {
            if (m_pChannel)
                m_pChannel->ReleaseReference();
        });
        EXPECT_TRUE(rttest::WaitUntil([&] { return m_pLower->GetReference() == 1; })) << "channel not deleted";
        EXPECT_EQ(0, m_pLower->m_nOffThread.load());
        On([&] { m_pLower->ReleaseReference(); });
        NetworkTest::TearDown();
    }
    template <class Fn>
    void On(Fn aFn) {
        OnNet([&] {
            aFn();
            return RT_OK;
        });
    }
    // Hands aText to the channel in one read, as the transport would.
    void Receive(const std::string& aText) {
        CRtMessageBlock mb(aText.size(), aText.data(), CRtMessageBlock::DONT_DELETE, aText.size());
        static_cast<IRtTransportSink*>(m_pChannel)->OnReceive(mb, m_pLower);
    }
    void AnswerEachRequest(const std::string& aBody) {
        m_Sink.m_OnReceive = [aBody](IRtTransport* aTrpt, CRtMessageBlock&) {
            auto* channel = static_cast<IRtChannelHttpServer*>(aTrpt);
            Append(channel, aBody);
            EXPECT_EQ(RT_OK, channel->SendResponse());
        };
    }

    ScriptedTransport* m_pLower = nullptr;
    CRtChannelHttpServer* m_pChannel = nullptr;
    RecordingSink m_Sink;
};

const char kOk5[] = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";

}  // namespace

TEST_F(ChannelTest, ResponseCarriesItsLengthAndThePendingBodyIsSentOnce) {
    On([&] {
        Append(m_pChannel, "hel");
        Append(m_pChannel, "lo");
        CRtMessageBlock empty(0);
        m_pChannel->AppendResponseData(empty);
        EXPECT_EQ(RT_OK, m_pChannel->SendResponse());
        EXPECT_EQ(kOk5, m_pLower->Sent());
        m_pLower->ClearSent();
        // The body went with the first response.
        EXPECT_EQ(RT_OK, m_pChannel->SendResponse());
        EXPECT_EQ("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", m_pLower->Sent());
    });
}

TEST_F(ChannelTest, StatusAndHeadersAndBodilessStatuses) {
    On([&] {
        EXPECT_EQ(RT_OK, m_pChannel->SetResponseStatus(404, "Not Found"));
        EXPECT_EQ(RT_OK, m_pChannel->SetResponseHeader("X-Tag", "1"));
        EXPECT_EQ(RT_OK, m_pChannel->SetResponseHeader("X-Gone", "2"));
        EXPECT_EQ(RT_OK, m_pChannel->SetResponseHeader("x-gone", ""));
        EXPECT_EQ(RT_OK, m_pChannel->SendResponse());
        EXPECT_EQ("HTTP/1.1 404 Not Found\r\nX-Tag: 1\r\nContent-Length: 0\r\n\r\n", m_pLower->Sent());

        // No length for statuses that never have a body.
        for (int status : {204, 304, 101}) {
            m_pLower->ClearSent();
            m_pChannel->SetResponseStatus(status, "S");
            m_pChannel->SendResponse();
            EXPECT_EQ(std::string::npos, m_pLower->Sent().find("Content-Length")) << status;
        }
    });
}

TEST_F(ChannelTest, NoContentLengthOptionLeavesTheLengthOut) {
    On([&] {
        bool on = true;
        EXPECT_EQ(RT_OK, m_pChannel->SetOption(RT_OPT_CHANNEL_HTTP_NO_CONTENT_LENGTH, &on));
        Append(m_pChannel, "hello");
        m_pChannel->SendResponse();
        EXPECT_EQ("HTTP/1.1 200 OK\r\n\r\nhello", m_pLower->Sent());
        uint32_t type = 0;
        EXPECT_EQ(RT_OK, m_pChannel->GetOption(RT_OPT_TRANSPORT_TRAN_TYPE, &type));
        EXPECT_EQ(48u, type);
        // Unknown options go to the transport.
        EXPECT_EQ(RT_ERROR_NOT_FOUND, m_pChannel->GetOption(RT_OPT_TRANSPORT_FIO_NREAD, &type));
    });
}

TEST_F(ChannelTest, HeadOnceSendsTheHeadFirstAndThenOnlyData) {
    On([&] {
        bool on = true;
        EXPECT_EQ(RT_OK, m_pChannel->SetOption(RT_OPT_CHANNEL_HTTP_SEND_HEAD_ONCE, &on));
        EXPECT_EQ(RT_OK, m_pChannel->SendResponse());
        EXPECT_EQ("HTTP/1.1 200 OK\r\n\r\n", m_pLower->Sent()) << "a streamed body has no length";
        EXPECT_EQ(RT_OK, SendText(m_pChannel, "abc"));
        EXPECT_EQ(RT_OK, SendText(m_pChannel, "de"));
        EXPECT_EQ("HTTP/1.1 200 OK\r\n\r\nabcde", m_pLower->Sent());
        EXPECT_EQ(RT_ERROR_INVALID_ARG, SendText(m_pChannel, ""));
    });
}

// A hard send failure is returned and leaves nothing to go out later;
// refused bytes wait in the buffer, later data behind them, until OnSend.
TEST_F(ChannelTest, RefusedBytesWaitAndFailedOnesAreNotKept) {
    On([&] {
        m_pLower->FailWith(RT_ERROR_NOT_AVAILABLE);
        Append(m_pChannel, "hello");
        EXPECT_EQ(RT_ERROR_NOT_AVAILABLE, m_pChannel->SendResponse());
        m_pLower->FailWith(RT_OK);
        EXPECT_EQ(RT_OK, SendText(m_pChannel, "x"));
        EXPECT_EQ("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx", m_pLower->Sent());

        m_pLower->ClearSent();
        m_pLower->Limit(10);
        Append(m_pChannel, "hello");
        EXPECT_EQ(RT_OK, m_pChannel->SendResponse());
        EXPECT_EQ(std::string(kOk5, 10), m_pLower->Sent());
        EXPECT_EQ(RT_OK, SendText(m_pChannel, "world"));
        m_pLower->Drain(1000);
        std::string second = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nworld";
        EXPECT_EQ(std::string(kOk5) + second, m_pLower->Sent());
        EXPECT_EQ(0, m_Sink.Count("send")) << "the buffer never filled, so the sink is owed nothing";
    });
}

TEST_F(ChannelTest, FullBufferPushesBackUntilItDrains) {
    On([&] {
        uint32_t max = 16;
        EXPECT_EQ(RT_OK, m_pChannel->SetOption(RT_OPT_CHANNEL_HTTP_MAX_SEND_BUF, &max));
        m_pLower->Limit(0);
        LogWatch log;
        EXPECT_EQ(RT_OK, SendText(m_pChannel, "first"));  // kept: the buffer was empty
        EXPECT_EQ(RT_ERROR_PARTIAL_DATA, SendText(m_pChannel, "second"));
        EXPECT_EQ(RT_ERROR_PARTIAL_DATA, SendText(m_pChannel, "third"));
        EXPECT_TRUE(
            log.Has("CRtChannelHttpServer::SendPrivateData, it's impossible that sending first packet failed!"));
        EXPECT_EQ("", m_pLower->Sent());
        m_pLower->Drain(1000);
        EXPECT_EQ("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nfirst", m_pLower->Sent());
        EXPECT_EQ(1, m_Sink.Count("send"));
        EXPECT_EQ(RT_OK, SendText(m_pChannel, "again"));
    });
}

TEST_F(ChannelTest, EveryRequestOfOneReadIsDeliveredInOrder) {
    AnswerEachRequest("ok");
    On([&] {
        Receive("GET /a HTTP/1.1\r\nHost: x\r\n\r\nGET /b HTTP/1.1\r\n\r\nGET /c?q=1 HTTP/1.1\r\n\r\n");
        EXPECT_EQ((Strings{"/a", "/b", "/c?q=1"}), m_Sink.Labels());
        EXPECT_EQ((Strings{"", "", ""}), m_Sink.Received());
        std::string one = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
        EXPECT_EQ(one + one + one, m_pLower->Sent());
        EXPECT_EQ(0, m_pLower->m_nDisconnects.load());

        // A body by length, the next request, and an incomplete tail that
        // waits for the rest.
        Receive("POST /up HTTP/1.1\r\nContent-Length: 3\r\n\r\nabcGET /next HTTP/1.1\r\n\r\nGET /par");
        EXPECT_EQ((Strings{"/a", "/b", "/c?q=1", "/up", "/next"}), m_Sink.Labels());
        EXPECT_EQ((Strings{"", "", "", "abc", ""}), m_Sink.Received());
        Receive("t HTTP/1.1\r\n\r\n");
        EXPECT_EQ((Strings{"/a", "/b", "/c?q=1", "/up", "/next", "/part"}), m_Sink.Labels());
    });
}

TEST_F(ChannelTest, SinkThatDisconnectsAndReleasesStopsTheLoop) {
    m_Sink.m_OnReceive = [&](IRtTransport* aChannel, CRtMessageBlock&) {
        aChannel->Disconnect(RT_OK);
        aChannel->ReleaseReference();
        m_pChannel = nullptr;
    };
    On([&] {
        Receive("GET /a HTTP/1.1\r\n\r\nGET /b HTTP/1.1\r\n\r\n");
        EXPECT_EQ(1u, m_Sink.Labels().size());
        EXPECT_EQ(1, m_pLower->m_nDisconnects.load());
        EXPECT_TRUE(m_Sink.Reasons().empty()) << "no callback after the application's own Disconnect";
    });
}

TEST_F(ChannelTest, UnreadableRequestEndsTheConnection) {
    On([&] {
        Receive("GET / HTTP/2.0\r\n\r\n");
        EXPECT_TRUE(m_Sink.Labels().empty());
        ASSERT_EQ(1u, m_Sink.Reasons().size());
        EXPECT_EQ(RT_ERROR_FAILURE, m_Sink.Reasons()[0]);
        EXPECT_EQ(1, m_pLower->m_nDisconnects.load());
        EXPECT_EQ(RT_ERROR_FAILURE, m_pLower->m_nReason.load());
        EXPECT_EQ(RT_ERROR_NOT_INITIALIZED, SendText(m_pChannel, "late"));
    });
}

TEST_F(ChannelTest, TransportDisconnectReachesTheSinkOnce) {
    On([&] {
        m_pLower->PeerClose(RT_ERROR_NETWORK_CONNECTION_RESET);
        EXPECT_EQ((std::vector<RtResult>{RT_ERROR_NETWORK_CONNECTION_RESET}), m_Sink.Reasons());
        Receive("GET / HTTP/1.1\r\n\r\n");
        EXPECT_TRUE(m_Sink.Labels().empty());
    });
}

TEST_F(ChannelTest, ConnectionCloseClosesAfterTheResponseHasGone) {
    AnswerEachRequest("bye");
    On([&] {
        Receive("GET /a HTTP/1.1\r\nConnection: close\r\n\r\nGET /ignored HTTP/1.1\r\n\r\n");
        EXPECT_EQ("HTTP/1.1 200 OK\r\nContent-Length: 3\r\nConnection: close\r\n\r\nbye", m_pLower->Sent());
        EXPECT_EQ(1, m_pLower->m_nDisconnects.load());
        EXPECT_EQ(m_pLower->Sent().size(), m_pLower->m_nSentAtDisconnect.load());
        EXPECT_EQ((Strings{"receive", "disconnect"}), m_Sink.Kinds());
        EXPECT_EQ((Strings{"/a"}), m_Sink.Labels());
    });
}

TEST_F(ChannelTest, Http10ClosesUnlessItAsksForKeepAlive) {
    AnswerEachRequest("x");
    On([&] {
        Receive("GET /k HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n");
        EXPECT_NE(std::string::npos, m_pLower->Sent().find("\r\nConnection: keep-alive\r\n"));
        EXPECT_EQ(0, m_pLower->m_nDisconnects.load());
        // Neither "x-close" nor a token inside another word means close.
        m_pLower->ClearSent();
        Receive("GET /x HTTP/1.1\r\nConnection: x-close, upgrade\r\n\r\n");
        EXPECT_EQ(std::string::npos, m_pLower->Sent().find("Connection"));
        EXPECT_EQ(0, m_pLower->m_nDisconnects.load());
        m_pLower->ClearSent();
        Receive("GET /c HTTP/1.0\r\n\r\n");
        EXPECT_NE(std::string::npos, m_pLower->Sent().find("\r\nConnection: close\r\n"));
        EXPECT_EQ(1, m_pLower->m_nDisconnects.load());
    });
}

TEST_F(ChannelTest, CloseWaitsForTheBufferToDrain) {
    AnswerEachRequest("hello");
    On([&] {
        m_pLower->Limit(5);
        Receive("GET / HTTP/1.1\r\nConnection:\tclose\r\n\r\n");
        EXPECT_EQ(0, m_pLower->m_nDisconnects.load());
        m_pLower->Drain(10);
        EXPECT_EQ(0, m_pLower->m_nDisconnects.load()) << "still not all out";
        m_pLower->Drain(1000);
        EXPECT_EQ(1, m_pLower->m_nDisconnects.load());
        EXPECT_EQ(m_pLower->Sent().size(), m_pLower->m_nSentAtDisconnect.load());
        EXPECT_EQ((std::vector<RtResult>{RT_OK}), m_Sink.Reasons());
    });
}

TEST_F(ChannelTest, LaterResponseClosesOnTheNextTurnOfTheLoop) {
    On([&] {
        Receive("GET / HTTP/1.0\r\n\r\n");
        EXPECT_EQ(RT_OK, m_pChannel->SendResponse());
        EXPECT_EQ(0, m_pLower->m_nDisconnects.load()) << "not inside the application's call";
    });
    On([&] {
        EXPECT_EQ(1, m_pLower->m_nDisconnects.load());
        EXPECT_EQ((Strings{"receive", "disconnect"}), m_Sink.Kinds());
    });
}

TEST_F(ChannelTest, SecondOpenOnlyReplacesTheSink) {
    RecordingSink other;
    LabelWithUri(other);
    On([&] {
        EXPECT_EQ(RT_OK, m_pChannel->OpenWithSink(&other));
        EXPECT_EQ(1, m_pLower->m_nOpens.load());
        EXPECT_EQ(&other, m_pChannel->GetSink());
        Receive("GET /o HTTP/1.1\r\n\r\n");
        EXPECT_TRUE(m_Sink.Labels().empty());
        EXPECT_EQ((Strings{"/o"}), other.Labels());
    });
}

TEST_F(ChannelTest, UploadedFileIsFoundInTheRequestBody) {
    std::string fileName, content;
    RtResult rv = RT_ERROR_UNEXPECTED;
    m_Sink.m_OnReceive = [&](IRtTransport* aTrpt, CRtMessageBlock& aBody) {
        CRtString name, bytes;
        rv = static_cast<IRtChannelHttpServer*>(aTrpt)->GetUploadFileInfo(aBody, "file", name, bytes);
        fileName = name;
        content = bytes;
    };
    std::string body =
        "--XyZ\r\nContent-Disposition: form-data; name=\"other\"\r\n\r\nskip\r\n"
        "--XyZ\r\nContent-Disposition: form-data; name=\"file\"; filename=\"C:\\dir\\a.txt\"\r\n"
        "Content-Type: text/plain\r\n\r\nline1 XyZ\r\n-XyZ\r\n"
        "\r\n--XyZ--\r\n";
    std::string request =
        "POST /upload HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=XyZ\r\n"
        "Content-Length: " +
        std::to_string(body.size()) + "\r\n\r\n" + body;
    On([&] { Receive(request); });
    EXPECT_EQ(RT_OK, rv);
    EXPECT_EQ("a.txt", fileName);
    EXPECT_EQ("line1 XyZ\r\n-XyZ\r\n", content) << "only a delimiter line ends the part";
}

// Every request of the framing table, cut into two reads at every byte, on
// a fresh channel each time: refused ones deliver nothing and end the
// connection unanswered; the others are answered as when read whole.
TEST_F(ChannelTest, FramingTableAtEveryReadBoundary) {
    std::vector<ScriptedTransport*> stubs;
    for (const rttest::HttpFramingCase& c : rttest::HttpFramingCases()) {
        On([&] {
            for (size_t cut = 0; cut < c.request.size(); ++cut) {
                auto* stub = new ScriptedTransport(m_pNetwork);
                stub->AddReference();
                stubs.push_back(stub);
                RecordingSink sink;
                LabelWithUri(sink);
                sink.m_OnReceive = [](IRtTransport* aTrpt, CRtMessageBlock&) {
                    Append(static_cast<IRtChannelHttpServer*>(aTrpt), "ok");
                    static_cast<IRtChannelHttpServer*>(aTrpt)->SendResponse();
                };
                auto* channel = new CRtChannelHttpServer(stub);
                channel->AddReference();
                channel->OpenWithSink(&sink);
                for (const std::string& part : {c.request.substr(0, cut), c.request.substr(cut)}) {
                    if (part.empty() || stub->m_nDisconnects > 0)
                        continue;
                    stub->Deliver(part);
                }
                EXPECT_EQ(c.delivered, sink.Labels()) << c.what << ", cut at " << cut;
                bool refused = c.delivered.empty();
                EXPECT_EQ(refused || c.closes, stub->m_nDisconnects == 1) << c.what << ", cut at " << cut;
                if (refused) {
                    EXPECT_EQ("", stub->Sent()) << c.what;
                } else if (c.closes) {
                    EXPECT_NE(std::string::npos, stub->Sent().find("\r\nConnection: close\r\n")) << c.what;
                }
                if (stub->m_nDisconnects == 0)
                    channel->Disconnect(RT_OK);
                channel->ReleaseReference();
            }
        });
    }
    for (ScriptedTransport* stub : stubs) {
        EXPECT_TRUE(rttest::WaitUntil([&] { return stub->GetReference() == 1; })) << "channel not deleted";
        On([&] { stub->ReleaseReference(); });
    }
}

TEST(RtHttpMultipart, MalformedBodiesFailInsideTheText) {
    const std::string ct = "multipart/form-data; boundary=B";
    struct Case {
        std::string contentType, body, log;
    } cases[] = {
        {"text/plain", "x", "invalid Content-Type:text/plain"},
        {"multipart/form-data; boundary", "name=\"file\"", "boundary param not found!"},
        {"multipart/form-data; boundary=", "name=\"file\"", "boundary param not found!"},
        {ct, "--B\r\nContent-Disposition: form-data; name=\"file", "no enough data!"},
        {ct, "--B\r\nContent-Disposition: form-data; name=\"other\"\r\n\r\nx", "beginning boundary string not found!"},
        {ct, "--B\r\nname=\"file\"; filename=\"a.txt\"\r\n\r\n--B--", "ending boundary string not found!"},
        {ct, "--B\r\nname=\"file\"; filename=\"a.txt", "'\"' not found!"},
        {ct, "--B\r\nname=\"file\"\r\n", "double 'cr-ln' not found!"},
        {ct, "", "'name=\"' not found!"},
    };
    for (const Case& c : cases) {
        LogWatch log;
        CRtString name = "unchanged", content;
        EXPECT_EQ(RT_ERROR_FAILURE, RtHttpGetUploadFileInfo(c.contentType, c.body, "file", name, content, nullptr))
            << c.body;
        EXPECT_TRUE(log.Has("CRtChannelHttpServer::GetUploadFileInfo, " + c.log)) << c.log;
    }
}

TEST(RtHttpMultipart, PartWithoutFileNameAndEmptyContent) {
    CRtString name = "unchanged", content = "stale";
    LogWatch log;
    EXPECT_EQ(RT_OK,
              RtHttpGetUploadFileInfo("Multipart/Form-Data;boundary=B", "--B\r\nname=\"FILE\"\r\n\r\n\r\n--B--\r\n",
                                      "file", name, content, nullptr));
    EXPECT_EQ("unchanged", name);
    EXPECT_EQ("", content);
    EXPECT_TRUE(log.Has("CRtChannelHttpServer::GetUploadFileInfo, 'filename=\"' not found!"));
    EXPECT_EQ(RT_OK, RtHttpGetUploadFileInfo("multipart/form-data; boundary=B",
                                             "--B\r\nname=\"file\"; filename=\"/tmp/x/y.bin\"\r\n\r\n\x01\x02\r\n--B",
                                             "file", name, content, nullptr));
    EXPECT_EQ("y.bin", name);
    EXPECT_EQ("\x01\x02", content);
}

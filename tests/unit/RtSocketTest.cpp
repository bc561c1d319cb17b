#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "RtLoopback.h"
#include "RtSocket.h"
#include "RtTestSupport.h"
#include "RtThreadManager.h"

namespace {
using rttest::LoopbackAddr;
// A client connected to a listener on the loopback port, and the server end
// the listener accepted (no handle when the accept failed).
void ConnectPair(CRtSocketStream& aListener, unsigned short aPort, CRtSocketStream& aClient, CRtSocketStream& aServer) {
    ASSERT_EQ(0, aClient.Open(false, static_cast<unsigned short>(rtos::kAfInet)));
    ASSERT_EQ(0, rtos::SocketConnect(aClient.GetHandle(), rttest::Loopback(aPort)));
    aServer.SetHandle(rtos::SocketAccept(aListener.GetHandle(), nullptr));
}
}  // namespace

TEST(CRtSocket, ClosingAnEmptySocketDoesNothing) {
    CRtSocketStream s;
    EXPECT_EQ(0, s.Close(0));
    EXPECT_EQ(RT_INVALID_HANDLE, s.GetHandle());
    size_t before = rttest::ReadProcessLog().size();
    EXPECT_EQ(-1, s.Enable(5));
    EXPECT_TRUE(rttest::ProcessLogHasSince(before, "RT_IPC_SAP::Enable, aValue=5"));
}

TEST(CRtSocket, FailedBindLeavesTheObjectEmpty) {
    CRtSocketStream first;
    ASSERT_EQ(0, first.Open(false, LoopbackAddr()));
    CRtInetAddr bound;
    ASSERT_EQ(0, first.GetLocalAddr(bound));
    ASSERT_NE(0, bound.GetPort());
    ASSERT_EQ(0, rtos::SocketListen(first.GetHandle(), 4));

    CRtSocketStream second;
    errno = 0;
    EXPECT_EQ(-1, second.Open(false, bound));
    EXPECT_NE(0, errno);
    EXPECT_EQ(RT_INVALID_HANDLE, second.GetHandle());
}

// A restarted server listens again at once on its port although the
// connections it closed linger in TIME_WAIT, as Windows allows; a port in use
// by a listener or a datagram socket stays refused.
TEST(CRtSocket, ListenerRebindsOverLingeringConnections) {
    CRtInetAddr bound;
    {
        CRtSocketStream listener;
        ASSERT_EQ(0, listener.Open(false, LoopbackAddr()));
        ASSERT_EQ(0, listener.GetLocalAddr(bound));
        ASSERT_EQ(0, rtos::SocketListen(listener.GetHandle(), 4));
        CRtSocketStream client, server;
        ConnectPair(listener, bound.GetPort(), client, server);
        ASSERT_NE(RT_INVALID_HANDLE, server.GetHandle());
        EXPECT_EQ(0, server.Close(0));  // the server closes first: its side lingers
        char c;
        ASSERT_TRUE(rttest::WaitUntil([&] { return client.Recv(&c, 1) == 0; }));
        EXPECT_EQ(0, client.Close(0));
    }
    CRtSocketStream again;
    ASSERT_EQ(0, again.Open(false, bound)) << RtErrorText(errno);
    EXPECT_EQ(0, rtos::SocketListen(again.GetHandle(), 4));

    CRtSocketDgram first, second;
    ASSERT_EQ(0, first.Open(LoopbackAddr()));
    CRtInetAddr dgramBound;
    ASSERT_EQ(0, first.GetLocalAddr(dgramBound));
    EXPECT_EQ(-1, second.Open(dgramBound));
}

TEST(CRtSocket, StreamSendsGathersAndPeeks) {
    CRtSocketStream listener;
    ASSERT_EQ(0, listener.Open(true, LoopbackAddr()));
    ASSERT_EQ(0, rtos::SocketListen(listener.GetHandle(), 4));
    CRtInetAddr bound;
    listener.GetLocalAddr(bound);

    CRtSocketStream client, server;
    ConnectPair(listener, bound.GetPort(), client, server);
    ASSERT_NE(RT_INVALID_HANDLE, server.GetHandle());
    CRtInetAddr peer;
    ASSERT_EQ(0, server.GetRemoteAddr(peer));
    EXPECT_EQ("127.0.0.1", peer.GetIpDisplayName());

    char a[] = "hello ", b[] = "world";
    iovec iov[2];
    rtos::SetIoVec(iov[0], a, 6);
    rtos::SetIoVec(iov[1], b, 5);
    ASSERT_EQ(11, client.SendV(iov, 2));
    char buf[32] = {};
    ASSERT_TRUE(rttest::WaitUntil([&] { return server.Recv(buf, 5, RT_MSG_PEEK) == 5; }));
    EXPECT_EQ("hello", std::string(buf, 5));
    ASSERT_EQ(11, server.Recv(buf, sizeof buf));
    EXPECT_EQ("hello world", std::string(buf, 11));

    // A full send buffer: the gathered send would block.
    ASSERT_EQ(0, client.Enable(RT_IPC_SAP::NON_BLOCK));
    std::vector<char> chunk(65536, 'z');
    iovec big[1];
    rtos::SetIoVec(big[0], chunk.data(), chunk.size());
    int rc = 0;
    for (int i = 0; i < 10000 && rc >= 0; ++i)
        rc = client.SendV(big, 1);
    EXPECT_EQ(-1, rc);
    EXPECT_TRUE(RtIsWouldBlock(errno)) << RtErrorText(errno);
    EXPECT_EQ(0, server.Close(1));
    EXPECT_EQ(0, client.Close(0));
}

TEST(CRtSocket, DatagramFromPiecesIsOneDatagram) {
    CRtSocketDgram receiver, sender;
    ASSERT_EQ(0, receiver.Open(LoopbackAddr()));
    ASSERT_EQ(0, sender.Open(LoopbackAddr()));
    CRtInetAddr to;
    receiver.GetLocalAddr(to);
    char a[] = "abc", b[] = "defg";
    iovec iov[2];
    rtos::SetIoVec(iov[0], a, 3);
    rtos::SetIoVec(iov[1], b, 4);
    ASSERT_EQ(7, sender.SendVTo(iov, 2, to));
    char buf[64];
    CRtInetAddr from;
    ASSERT_EQ(7, receiver.RecvFrom(buf, sizeof buf, from));
    EXPECT_EQ("abcdefg", std::string(buf, 7));
    CRtInetAddr senderAddr;
    sender.GetLocalAddr(senderAddr);
    EXPECT_EQ(senderAddr.GetPort(), from.GetPort());
}

TEST(RtErrorText, StartsWithTheCode) {
    CRtString text = RtErrorText(EINVAL);
    EXPECT_EQ(0u, text.find(std::to_string(EINVAL) + ":"));
    EXPECT_GT(text.size(), std::to_string(EINVAL).size() + 1);
}

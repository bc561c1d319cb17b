#include "../RtOsSocket.h"

#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "RtOsWin32.h"
#include <ws2tcpip.h>
#include <mstcpip.h>

#include "../RtOsSockAddr.h"

namespace rtos {

static_assert(kAfInet == AF_INET && kAfInet6 == AF_INET6, "");
static_assert(sizeof(IoVec) == sizeof(WSABUF) && offsetof(IoVec, len) == offsetof(WSABUF, len) &&
                  offsetof(IoVec, buf) == offsetof(WSABUF, buf),
              "IoVec must match WSABUF");

namespace {

SOCKET S(SocketHandle aSock) { return static_cast<SOCKET>(aSock); }

// Winsock counts in int; larger requests are cut and show as short transfers.
int Clamp(size_t aLen) { return aLen > INT_MAX ? INT_MAX : static_cast<int>(aLen); }

bool ToNativeOrFail(const SocketAddress& aAddr, sockaddr_storage* aOut, int* aLen) {
    if (ToNative(aAddr, aOut, aLen))
        return true;
    WSASetLastError(WSAEAFNOSUPPORT);
    return false;
}

bool FromNativeOrFail(const sockaddr_storage& aIn, SocketAddress* aOut) {
    if (FromNative(aIn, aOut))
        return true;
    WSASetLastError(WSAEAFNOSUPPORT);
    return false;
}

int Result(int aRc) { return aRc == SOCKET_ERROR ? -1 : aRc; }

}  // namespace

bool SocketStartup() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return false;
    if (LOBYTE(data.wVersion) != 2 || HIBYTE(data.wVersion) != 2) {
        WSACleanup();
        WSASetLastError(WSAVERNOTSUPPORTED);
        return false;
    }
    return true;
}

void SocketCleanup() { WSACleanup(); }

int LastSocketError() { return WSAGetLastError(); }

bool SocketWouldBlock(int aErr) { return aErr == WSAEWOULDBLOCK; }

bool SocketErrorIsRefused(int aErr) { return aErr == WSAECONNREFUSED; }

bool SocketErrorIsMessageTooLong(int aErr) { return aErr == WSAEMSGSIZE; }

bool SocketErrorIsPeerUnreachable(int aErr) { return aErr == WSAECONNRESET || aErr == WSAENETRESET; }

SocketHandle SocketOpen(int aFamily, SocketType aType) {
    const bool stream = aType == SocketType::kStream;
    SOCKET s = socket(aFamily, stream ? SOCK_STREAM : SOCK_DGRAM, stream ? IPPROTO_TCP : IPPROTO_UDP);
    if (s == INVALID_SOCKET)
        return kInvalidSocket;
    // Sockets are inheritable by default; a child process would keep a
    // listener's port open.
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return static_cast<SocketHandle>(s);
}

int SocketClose(SocketHandle aSock) { return Result(closesocket(S(aSock))); }

int SocketShutdown(SocketHandle aSock, ShutdownHow aHow) {
    int how = aHow == ShutdownHow::kReceive ? SD_RECEIVE : aHow == ShutdownHow::kSend ? SD_SEND : SD_BOTH;
    return Result(shutdown(S(aSock), how));
}

int SocketSetNonBlocking(SocketHandle aSock, bool aOn) {
    u_long on = aOn ? 1 : 0;
    return Result(ioctlsocket(S(aSock), FIONBIO, &on));
}

int SocketSetReuseAddress(SocketHandle aSock, bool aOn) {
    BOOL on = aOn ? TRUE : FALSE;
    return Result(setsockopt(S(aSock), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on));
}

int SocketBind(SocketHandle aSock, const SocketAddress& aAddr) {
    sockaddr_storage ss;
    int len = 0;
    if (!ToNativeOrFail(aAddr, &ss, &len))
        return -1;
    return Result(bind(S(aSock), reinterpret_cast<const sockaddr*>(&ss), len));
}

int SocketListen(SocketHandle aSock, int aBacklog) { return Result(listen(S(aSock), aBacklog)); }

SocketHandle SocketAccept(SocketHandle aSock, SocketAddress* aPeer) {
    sockaddr_storage ss;
    int len = sizeof ss;
    SOCKET s = accept(S(aSock), reinterpret_cast<sockaddr*>(&ss), &len);
    if (s == INVALID_SOCKET)
        return kInvalidSocket;
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    if (aPeer)
        FromNativeOrFail(ss, aPeer);
    return static_cast<SocketHandle>(s);
}

int SocketConnect(SocketHandle aSock, const SocketAddress& aAddr) {
    sockaddr_storage ss;
    int len = 0;
    if (!ToNativeOrFail(aAddr, &ss, &len))
        return -1;
    return Result(connect(S(aSock), reinterpret_cast<const sockaddr*>(&ss), len));
}

int SocketLocalAddress(SocketHandle aSock, SocketAddress* aAddr) {
    sockaddr_storage ss;
    int len = sizeof ss;
    if (!aAddr || getsockname(S(aSock), reinterpret_cast<sockaddr*>(&ss), &len) == SOCKET_ERROR)
        return -1;
    return FromNativeOrFail(ss, aAddr) ? 0 : -1;
}

int SocketPeerAddress(SocketHandle aSock, SocketAddress* aAddr) {
    sockaddr_storage ss;
    int len = sizeof ss;
    if (!aAddr || getpeername(S(aSock), reinterpret_cast<sockaddr*>(&ss), &len) == SOCKET_ERROR)
        return -1;
    return FromNativeOrFail(ss, aAddr) ? 0 : -1;
}

// Winsock posts FD_WRITE again only after a send failed with
// WSAEWOULDBLOCK, not after a short one: a short send is continued until it
// completes or would block, so that a caller told "not all went out" always
// gets its FD_WRITE.
long SocketSend(SocketHandle aSock, const void* aBuf, size_t aLen) {
    const char* p = static_cast<const char*>(aBuf);
    size_t total = 0;
    while (total < aLen) {
        int n = send(S(aSock), p + total, Clamp(aLen - total), 0);
        if (n == SOCKET_ERROR)
            return total > 0 && WSAGetLastError() == WSAEWOULDBLOCK ? static_cast<long>(total) : -1;
        if (n == 0)
            break;
        total += static_cast<size_t>(n);
    }
    return static_cast<long>(total);
}

long SocketRecv(SocketHandle aSock, void* aBuf, size_t aLen) {
    return Result(recv(S(aSock), static_cast<char*>(aBuf), Clamp(aLen), 0));
}

long SocketPeek(SocketHandle aSock, void* aBuf, size_t aLen) {
    return Result(recv(S(aSock), static_cast<char*>(aBuf), Clamp(aLen), MSG_PEEK));
}

int SocketResetOnClose(SocketHandle aSock) {
    linger value{1, 0};
    return setsockopt(S(aSock), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&value), sizeof value) == 0 ? 0
                                                                                                                 : -1;
}

bool SocketCanSend(SocketHandle aSock) { return send(S(aSock), "", 0, 0) == 0; }

long SocketSendToV(SocketHandle aSock, const IoVec* aIov, size_t aCount, const SocketAddress& aTo) {
    sockaddr_storage ss;
    int len = 0;
    if (!ToNativeOrFail(aTo, &ss, &len))
        return -1;
    DWORD sent = 0;
    if (WSASendTo(S(aSock), reinterpret_cast<WSABUF*>(const_cast<IoVec*>(aIov)), static_cast<DWORD>(aCount), &sent, 0,
                  reinterpret_cast<const sockaddr*>(&ss), len, nullptr, nullptr) == SOCKET_ERROR)
        return -1;
    return static_cast<long>(sent);
}

long SocketSendV(SocketHandle aSock, const IoVec* aIov, size_t aCount) {
    size_t total = 0;
    size_t first = 0;
    size_t skip = 0;  // bytes of aIov[first] already sent
    IoVec rest[64];
    while (first < aCount) {
        // The entries not yet sent, the first one cut by what went out.
        size_t n = 0;
        for (size_t i = first; i < aCount && n < 64; ++i, ++n) {
            rest[n] = aIov[i];
            if (i == first)
                SetIoVec(rest[n], static_cast<char*>(IoVecBase(rest[n])) + skip, IoVecLength(rest[n]) - skip);
        }
        DWORD sent = 0;
        if (WSASend(S(aSock), reinterpret_cast<WSABUF*>(rest), static_cast<DWORD>(n), &sent, 0, nullptr, nullptr) ==
            SOCKET_ERROR)
            return total > 0 && WSAGetLastError() == WSAEWOULDBLOCK ? static_cast<long>(total) : -1;
        if (sent == 0)
            break;
        total += sent;
        size_t left = sent;
        while (first < aCount && left >= IoVecLength(aIov[first]) - skip) {
            left -= IoVecLength(aIov[first]) - skip;
            skip = 0;
            ++first;
        }
        skip += left;
    }
    return static_cast<long>(total);
}

long SocketRecvV(SocketHandle aSock, IoVec* aIov, size_t aCount) {
    DWORD received = 0;
    DWORD flags = 0;
    if (WSARecv(S(aSock), reinterpret_cast<WSABUF*>(aIov), static_cast<DWORD>(aCount), &received, &flags, nullptr,
                nullptr) == SOCKET_ERROR)
        return -1;
    return static_cast<long>(received);
}

long SocketSendTo(SocketHandle aSock, const void* aBuf, size_t aLen, const SocketAddress& aTo) {
    sockaddr_storage ss;
    int len = 0;
    if (!ToNativeOrFail(aTo, &ss, &len))
        return -1;
    return Result(
        sendto(S(aSock), static_cast<const char*>(aBuf), Clamp(aLen), 0, reinterpret_cast<const sockaddr*>(&ss), len));
}

long SocketRecvFrom(SocketHandle aSock, void* aBuf, size_t aLen, SocketAddress* aFrom, size_t* aDatagramLength) {
    sockaddr_storage ss;
    memset(&ss, 0, sizeof ss);
    int len = sizeof ss;
    if (aDatagramLength)
        *aDatagramLength = 0;
    // Winsock reports a cut datagram (WSAEMSGSIZE) but not its length. A
    // buffer smaller than the largest datagram receives through one that
    // holds any, so that the length of one too long is known.
    constexpr size_t kLargestDatagram = 65536;
    if (aLen < kLargestDatagram) {
        std::unique_ptr<char[]> whole(new (std::nothrow) char[kLargestDatagram]);
        if (whole) {
            int got = recvfrom(S(aSock), whole.get(), static_cast<int>(kLargestDatagram), 0,
                               reinterpret_cast<sockaddr*>(&ss), &len);
            if (got == SOCKET_ERROR) {
                const int err = WSAGetLastError();
                if (aFrom && (err == WSAECONNRESET || err == WSAENETRESET) && ss.ss_family != 0)
                    FromNativeOrFail(ss, aFrom);
                WSASetLastError(err);
                return -1;
            }
            if (aFrom)
                FromNativeOrFail(ss, aFrom);
            if (static_cast<size_t>(got) > aLen) {
                if (aDatagramLength)
                    *aDatagramLength = static_cast<size_t>(got);
                WSASetLastError(WSAEMSGSIZE);
                return -1;
            }
            memcpy(aBuf, whole.get(), static_cast<size_t>(got));
            return got;
        }
    }
    int n = recvfrom(S(aSock), static_cast<char*>(aBuf), Clamp(aLen), 0, reinterpret_cast<sockaddr*>(&ss), &len);
    if (n == SOCKET_ERROR) {
        // WSAEMSGSIZE (the datagram was cut and is gone; Winsock does not
        // tell its length) and WSAECONNRESET name the peer concerned.
        const int err = WSAGetLastError();
        if (aFrom && (err == WSAEMSGSIZE || err == WSAECONNRESET || err == WSAENETRESET) && ss.ss_family != 0)
            FromNativeOrFail(ss, aFrom);
        WSASetLastError(err);
        return -1;
    }
    if (aFrom)
        FromNativeOrFail(ss, aFrom);
    return n;
}

int SocketBytesBuffered(SocketHandle aSock, uint32_t* aBytes) {
    u_long n = 0;
    if (!aBytes || ioctlsocket(S(aSock), FIONREAD, &n) == SOCKET_ERROR)
        return -1;
    *aBytes = static_cast<uint32_t>(n);
    return 0;
}

const int kSolSocket = SOL_SOCKET;
const int kSoReuseAddr = SO_REUSEADDR;
const int kSoKeepAlive = SO_KEEPALIVE;
const int kSoSndBuf = SO_SNDBUF;
const int kSoRcvBuf = SO_RCVBUF;
const int kSoError = SO_ERROR;
const int kSoLinger = SO_LINGER;
const int kIpProtoTcp = IPPROTO_TCP;
const int kTcpNoDelay = TCP_NODELAY;
const int kIpProtoIp = IPPROTO_IP;
const int kIpTos = IP_TOS;
const long kFionread = static_cast<long>(FIONREAD);
const long kFionbio = static_cast<long>(FIONBIO);

int SocketSetOption(SocketHandle aSock, int aLevel, int aOption, const void* aValue, int aLen) {
    return Result(setsockopt(S(aSock), aLevel, aOption, static_cast<const char*>(aValue), aLen));
}

int SocketGetOption(SocketHandle aSock, int aLevel, int aOption, void* aValue, int* aLen) {
    return Result(getsockopt(S(aSock), aLevel, aOption, static_cast<char*>(aValue), aLen));
}

int SocketControl(SocketHandle aSock, long aCmd, void* aArg) {
    if (aCmd == kFionread)
        return SocketBytesBuffered(aSock, static_cast<uint32_t*>(aArg));
    u_long value = aArg ? *static_cast<const uint32_t*>(aArg) : 0;
    int rc = Result(ioctlsocket(S(aSock), aCmd, &value));
    if (rc == 0 && aArg)
        *static_cast<uint32_t*>(aArg) = static_cast<uint32_t>(value);
    return rc;
}

int SocketSetKeepAliveTimes(SocketHandle aSock, uint32_t aIdleMs, uint32_t aIntervalMs) {
    tcp_keepalive values;
    values.onoff = 1;
    values.keepalivetime = aIdleMs;
    values.keepaliveinterval = aIntervalMs;
    DWORD returned = 0;
    return WSAIoctl(S(aSock), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr) ==
                   SOCKET_ERROR
               ? -1
               : 0;
}

int ResolveHost(const char* aHost, bool aCanonical, SocketAddress* aOut, size_t aMax, size_t* aCount) {
    *aCount = 0;
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    if (aCanonical)
        hints.ai_flags = AI_CANONNAME;
    addrinfo* list = nullptr;
    if (getaddrinfo(aHost, "", &hints, &list) != 0)
        return WSAGetLastError();
    if (!list)
        return kResolveNoAddress;
    CollectAddresses(list, aOut, aMax, aCount);
    freeaddrinfo(list);
    return 0;
}

void ResolveErrorText(int aError, char* aBuf, size_t aSize) {
    if (!aBuf || aSize == 0)
        return;
    if (aError == kResolveNoAddress)
        snprintf(aBuf, aSize, "%s", "no address");
    else
        ErrorText(aError, aBuf, aSize);
}

int GetLocalHostName(char* aBuf, size_t aSize) {
    if (!aBuf || aSize == 0)
        return -1;
    int rc = Result(gethostname(aBuf, aSize > INT_MAX ? INT_MAX : static_cast<int>(aSize)));
    aBuf[aSize - 1] = '\0';
    return rc;
}

}  // namespace rtos

#include "../RtOsSocket.h"

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>
#include <linux/errqueue.h>

#include "../RtOsSockAddr.h"
#include "RtOsSelect.h"

namespace rtos {

static_assert(kAfInet == AF_INET && kAfInet6 == AF_INET6, "");

namespace {

// Descriptors are small non-negative ints; anything else cannot be one.
int Fd(SocketHandle aSock) { return aSock > static_cast<SocketHandle>(INT_MAX) ? -1 : static_cast<int>(aSock); }

bool ToNativeOrFail(const SocketAddress& aAddr, sockaddr_storage* aOut, socklen_t* aLen) {
    if (ToNative(aAddr, aOut, aLen))
        return true;
    errno = EAFNOSUPPORT;
    return false;
}

bool FromNativeOrFail(const sockaddr_storage& aIn, SocketAddress* aOut) {
    if (FromNative(aIn, aOut))
        return true;
    errno = EAFNOSUPPORT;
    return false;
}

bool IsWouldBlock(int aErr) { return aErr == EAGAIN || aErr == EWOULDBLOCK; }

// The hooks must not disturb the errno the caller is about to read.
struct ErrnoKeeper {
    int saved = errno;
    ~ErrnoKeeper() { errno = saved; }
};

int g_startups = 0;
std::mutex g_startupLock;

}  // namespace

bool SocketStartup() {
    std::lock_guard<std::mutex> guard(g_startupLock);
    // Writing to a connection the peer has reset raises SIGPIPE, which ends
    // the process; the sends below also pass MSG_NOSIGNAL, but other code
    // may write to a socket too.
    if (g_startups++ == 0) {
        signal(SIGPIPE, SIG_IGN);
        // Every connection costs a descriptor: a server takes the most the
        // system grants it rather than the 1024 a shell hands out by default.
        rlimit lim;
        if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
            lim.rlim_cur = lim.rlim_max;
            setrlimit(RLIMIT_NOFILE, &lim);
        }
    }
    return true;
}

void SocketCleanup() {
    std::lock_guard<std::mutex> guard(g_startupLock);
    if (g_startups > 0)
        --g_startups;
}

int LastSocketError() { return errno; }

bool SocketWouldBlock(int aErr) { return IsWouldBlock(aErr) || aErr == EINPROGRESS; }

bool SocketErrorIsRefused(int aErr) { return aErr == ECONNREFUSED; }

bool SocketErrorIsMessageTooLong(int aErr) { return aErr == EMSGSIZE; }

bool SocketErrorIsPeerUnreachable(int aErr) {
    return aErr == ECONNREFUSED || aErr == EHOSTUNREACH || aErr == ENETUNREACH || aErr == EHOSTDOWN || aErr == ENONET ||
           aErr == EPROTO;
}

SocketHandle SocketOpen(int aFamily, SocketType aType) {
    const int type = aType == SocketType::kStream ? SOCK_STREAM : SOCK_DGRAM;
    const int fd = socket(aFamily, type | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return kInvalidSocket;
    posix::SelectForget(fd);  // left over by a descriptor closed elsewhere
    if (aType == SocketType::kDatagram) {
        // Winsock reports an ICMP unreachable on the next receive of an
        // unconnected datagram socket; Linux only with these options, and
        // then through the error queue (see SocketRecvFrom).
        int on = 1;
        if (aFamily == AF_INET6) {
            setsockopt(fd, IPPROTO_IPV6, IPV6_RECVERR, &on, sizeof on);
            setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on);  // IPv4-mapped peers
        } else {
            setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
        }
    }
    return static_cast<SocketHandle>(fd);
}

int SocketClose(SocketHandle aSock) {
    const int fd = Fd(aSock);
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    // Forgotten first: once closed, the number may be reused at any moment.
    posix::SelectForget(fd);
    return close(fd) == 0 ? 0 : -1;
}

int SocketShutdown(SocketHandle aSock, ShutdownHow aHow) {
    const int how = aHow == ShutdownHow::kReceive ? SHUT_RD : aHow == ShutdownHow::kSend ? SHUT_WR : SHUT_RDWR;
    return shutdown(Fd(aSock), how) == 0 ? 0 : -1;
}

int SocketSetNonBlocking(SocketHandle aSock, bool aOn) {
    const int fd = Fd(aSock);
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0)
        return -1;
    const int wanted = aOn ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return wanted == flags || fcntl(fd, F_SETFL, wanted) == 0 ? 0 : -1;
}

int SocketSetReuseAddress(SocketHandle aSock, bool aOn) {
    int on = aOn ? 1 : 0;
    return setsockopt(Fd(aSock), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 ? 0 : -1;
}

int SocketBind(SocketHandle aSock, const SocketAddress& aAddr) {
    sockaddr_storage ss;
    socklen_t len = 0;
    if (!ToNativeOrFail(aAddr, &ss, &len))
        return -1;
    // Windows binds a TCP port whose old connections linger in TIME_WAIT;
    // Linux does only with SO_REUSEADDR, which for TCP allows nothing more
    // (a second listener on the port is still refused). A restarted server
    // would otherwise fail to listen for a minute. UDP keeps the default: there
    // the option would let two sockets share a port.
    int type = 0;
    socklen_t typeLen = sizeof type;
    if (getsockopt(Fd(aSock), SOL_SOCKET, SO_TYPE, &type, &typeLen) == 0 && type == SOCK_STREAM) {
        int on = 1;
        setsockopt(Fd(aSock), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    return bind(Fd(aSock), reinterpret_cast<const sockaddr*>(&ss), len) == 0 ? 0 : -1;
}

int SocketListen(SocketHandle aSock, int aBacklog) {
    if (listen(Fd(aSock), aBacklog) != 0)
        return -1;
    posix::SelectListening(Fd(aSock));
    return 0;
}

SocketHandle SocketAccept(SocketHandle aSock, SocketAddress* aPeer) {
    const int fd = Fd(aSock);
    // Linux does not pass O_NONBLOCK on to the accepted socket; Winsock does.
    const int flags = fcntl(fd, F_GETFL);
    const int extra = flags >= 0 && (flags & O_NONBLOCK) ? SOCK_NONBLOCK : 0;
    sockaddr_storage ss;
    socklen_t len = sizeof ss;
    int s;
    do {
        len = sizeof ss;
        s = accept4(fd, reinterpret_cast<sockaddr*>(&ss), &len, SOCK_CLOEXEC | extra);
    } while (s < 0 && errno == EINTR);
    {
        ErrnoKeeper keep;
        posix::SelectAccepted(fd, s, s < 0 ? errno : 0);
    }
    if (s < 0)
        return kInvalidSocket;
    if (aPeer)
        FromNativeOrFail(ss, aPeer);
    return static_cast<SocketHandle>(s);
}

int SocketConnect(SocketHandle aSock, const SocketAddress& aAddr) {
    sockaddr_storage ss;
    socklen_t len = 0;
    if (!ToNativeOrFail(aAddr, &ss, &len))
        return -1;
    const int fd = Fd(aSock);
    const int rc = connect(fd, reinterpret_cast<const sockaddr*>(&ss), len);
    // An interrupted connect goes on in the background like one in progress.
    if (rc == 0 || errno == EINPROGRESS || errno == EINTR) {
        ErrnoKeeper keep;
        posix::SelectConnecting(fd, rc == 0);
    }
    if (rc != 0 && errno == EINTR)
        errno = EINPROGRESS;
    return rc == 0 ? 0 : -1;
}

int SocketLocalAddress(SocketHandle aSock, SocketAddress* aAddr) {
    sockaddr_storage ss;
    socklen_t len = sizeof ss;
    if (!aAddr || getsockname(Fd(aSock), reinterpret_cast<sockaddr*>(&ss), &len) != 0)
        return -1;
    return FromNativeOrFail(ss, aAddr) ? 0 : -1;
}

int SocketPeerAddress(SocketHandle aSock, SocketAddress* aAddr) {
    sockaddr_storage ss;
    socklen_t len = sizeof ss;
    if (!aAddr || getpeername(Fd(aSock), reinterpret_cast<sockaddr*>(&ss), &len) != 0)
        return -1;
    return FromNativeOrFail(ss, aAddr) ? 0 : -1;
}

namespace {

// A stream send that is refused or cut short re-arms FD_WRITE: the caller
// stops there and waits for it.
long AfterSend(int aFd, ssize_t aSent, size_t aWanted) {
    ErrnoKeeper keep;
    const bool blocked = aSent < 0 ? IsWouldBlock(keep.saved) : static_cast<size_t>(aSent) < aWanted;
    posix::SelectSent(aFd, blocked);
    return aSent < 0 ? -1 : static_cast<long>(aSent);
}

long AfterRecv(int aFd, ssize_t aReceived, size_t aWanted, bool aPeek = false) {
    const long result = aReceived < 0 ? -1 : static_cast<long>(aReceived);
    ErrnoKeeper keep;
    posix::SelectReceived(aFd, result, aWanted, aPeek);
    return result;
}

// One datagram out. An ICMP error that arrived for an earlier datagram to
// another peer fails the next send on Linux (Winsock leaves it to the
// receive): that send is tried again, and the error stays queued for the
// receive to report.
ssize_t SendDatagram(int aFd, const msghdr* aMsg) {
    ssize_t n;
    for (int attempt = 0;; ++attempt) {
        do {
            n = sendmsg(aFd, aMsg, MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        if (n >= 0 || attempt > 0 || !SocketErrorIsPeerUnreachable(errno))
            break;
        ErrnoKeeper keep;
        posix::SelectErrorQueued(aFd);
    }
    return n;
}

// Takes the oldest entry of the socket's error queue: the destination of
// the datagram that failed and the error (ECONNREFUSED for a closed port).
bool ReadErrorQueue(int aFd, SocketAddress* aPeer, int* aErr) {
    sockaddr_storage ss;
    memset(&ss, 0, sizeof ss);
    alignas(cmsghdr) char control[512];
    char data[1];
    iovec iov{data, sizeof data};
    msghdr mh{};
    mh.msg_name = &ss;
    mh.msg_namelen = sizeof ss;
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    mh.msg_control = control;
    mh.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = recvmsg(aFd, &mh, MSG_ERRQUEUE | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return false;
    *aErr = ECONNREFUSED;
    for (cmsghdr* c = CMSG_FIRSTHDR(&mh); c; c = CMSG_NXTHDR(&mh, c)) {
        if ((c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_RECVERR) ||
            (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_RECVERR)) {
            sock_extended_err ee;
            memcpy(&ee, CMSG_DATA(c), sizeof ee);
            if (ee.ee_errno)
                *aErr = static_cast<int>(ee.ee_errno);
        }
    }
    if (!FromNative(ss, aPeer))
        return false;
    return true;
}

size_t Total(const IoVec* aIov, size_t aCount) {
    size_t total = 0;
    for (size_t i = 0; i < aCount; ++i)
        total += IoVecLength(aIov[i]);
    return total;
}

}  // namespace

long SocketSend(SocketHandle aSock, const void* aBuf, size_t aLen) {
    const int fd = Fd(aSock);
    ssize_t n;
    do {
        n = send(fd, aBuf, aLen, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return AfterSend(fd, n, aLen);
}

long SocketRecv(SocketHandle aSock, void* aBuf, size_t aLen) {
    const int fd = Fd(aSock);
    ssize_t n;
    do {
        n = recv(fd, aBuf, aLen, 0);
    } while (n < 0 && errno == EINTR);
    return AfterRecv(fd, n, aLen);
}

long SocketPeek(SocketHandle aSock, void* aBuf, size_t aLen) {
    const int fd = Fd(aSock);
    ssize_t n;
    do {
        n = recv(fd, aBuf, aLen, MSG_PEEK);
    } while (n < 0 && errno == EINTR);
    return AfterRecv(fd, n, aLen, true);
}

int SocketResetOnClose(SocketHandle aSock) {
    linger value{1, 0};
    return setsockopt(Fd(aSock), SOL_SOCKET, SO_LINGER, &value, sizeof value);
}

bool SocketCanSend(SocketHandle aSock) {
    ErrnoKeeper keep;
    ssize_t n;
    do {
        n = send(Fd(aSock), "", 0, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n == 0;
}

long SocketSendToV(SocketHandle aSock, const IoVec* aIov, size_t aCount, const SocketAddress& aTo) {
    sockaddr_storage ss;
    socklen_t len = 0;
    if (!ToNativeOrFail(aTo, &ss, &len))
        return -1;
    const int fd = Fd(aSock);
    msghdr mh{};
    mh.msg_name = &ss;
    mh.msg_namelen = len;
    mh.msg_iov = const_cast<IoVec*>(aIov);
    mh.msg_iovlen = aCount;
    ssize_t n = SendDatagram(fd, &mh);
    const size_t total = Total(aIov, aCount);
    return AfterSend(fd, n, n < 0 ? total : static_cast<size_t>(n));
}

long SocketSendV(SocketHandle aSock, const IoVec* aIov, size_t aCount) {
    const int fd = Fd(aSock);
    msghdr mh{};
    mh.msg_iov = const_cast<IoVec*>(aIov);
    mh.msg_iovlen = aCount;
    ssize_t n;
    do {
        n = sendmsg(fd, &mh, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return AfterSend(fd, n, Total(aIov, aCount));
}

long SocketRecvV(SocketHandle aSock, IoVec* aIov, size_t aCount) {
    const int fd = Fd(aSock);
    ssize_t n;
    do {
        n = readv(fd, aIov, static_cast<int>(aCount));
    } while (n < 0 && errno == EINTR);
    return AfterRecv(fd, n, Total(aIov, aCount));
}

long SocketSendTo(SocketHandle aSock, const void* aBuf, size_t aLen, const SocketAddress& aTo) {
    sockaddr_storage ss;
    socklen_t len = 0;
    if (!ToNativeOrFail(aTo, &ss, &len))
        return -1;
    const int fd = Fd(aSock);
    IoVec one;
    SetIoVec(one, const_cast<void*>(aBuf), aLen);
    msghdr mh{};
    mh.msg_name = &ss;
    mh.msg_namelen = len;
    mh.msg_iov = &one;
    mh.msg_iovlen = 1;
    ssize_t n = SendDatagram(fd, &mh);
    // A datagram goes whole or not at all.
    return AfterSend(fd, n, n < 0 ? aLen : static_cast<size_t>(n));
}

long SocketRecvFrom(SocketHandle aSock, void* aBuf, size_t aLen, SocketAddress* aFrom, size_t* aDatagramLength) {
    const int fd = Fd(aSock);
    sockaddr_storage ss;
    socklen_t len;
    ssize_t n;
    if (aDatagramLength)
        *aDatagramLength = 0;
    do {
        len = sizeof ss;
        // MSG_TRUNC: the datagram's real length, so that a cut one is seen.
        n = recvfrom(fd, aBuf, aLen, MSG_TRUNC, reinterpret_cast<sockaddr*>(&ss), &len);
    } while (n < 0 && errno == EINTR);
    if (n >= 0 && aFrom)
        FromNativeOrFail(ss, aFrom);
    if (n >= 0 && static_cast<size_t>(n) > aLen) {
        if (aDatagramLength)
            *aDatagramLength = static_cast<size_t>(n);
        errno = EMSGSIZE;
        n = -1;
    } else if (n < 0 &&
               (SocketErrorIsPeerUnreachable(errno) || (IsWouldBlock(errno) && posix::SelectErrorPending(fd)))) {
        // The pending error was for a datagram we sent: the error queue
        // names its destination.
        const int first = errno;
        SocketAddress peer;
        int err = 0;
        if (ReadErrorQueue(fd, &peer, &err)) {
            if (aFrom)
                *aFrom = peer;
            errno = err;
        } else {
            if (IsWouldBlock(first))
                posix::SelectErrorDrained(fd);
            errno = first;
        }
    }
    return AfterRecv(fd, n, aLen);
}

int SocketBytesBuffered(SocketHandle aSock, uint32_t* aBytes) {
    int n = 0;
    if (!aBytes || ioctl(Fd(aSock), FIONREAD, &n) != 0)
        return -1;
    *aBytes = n > 0 ? static_cast<uint32_t>(n) : 0u;
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
const long kFionread = FIONREAD;
const long kFionbio = FIONBIO;

int SocketSetOption(SocketHandle aSock, int aLevel, int aOption, const void* aValue, int aLen) {
    if (aLen < 0) {
        errno = EINVAL;
        return -1;
    }
    return setsockopt(Fd(aSock), aLevel, aOption, aValue, static_cast<socklen_t>(aLen)) == 0 ? 0 : -1;
}

int SocketGetOption(SocketHandle aSock, int aLevel, int aOption, void* aValue, int* aLen) {
    if (!aLen || *aLen < 0) {
        errno = EINVAL;
        return -1;
    }
    socklen_t len = static_cast<socklen_t>(*aLen);
    if (getsockopt(Fd(aSock), aLevel, aOption, aValue, &len) != 0)
        return -1;
    *aLen = static_cast<int>(len);
    return 0;
}

int SocketControl(SocketHandle aSock, long aCmd, void* aArg) {
    if (aCmd == kFionbio) {
        const uint32_t* on = static_cast<const uint32_t*>(aArg);
        return SocketSetNonBlocking(aSock, on && *on != 0);
    }
    if (aCmd == kFionread)
        return SocketBytesBuffered(aSock, static_cast<uint32_t*>(aArg));
    return ioctl(Fd(aSock), static_cast<unsigned long>(aCmd), aArg) == 0 ? 0 : -1;
}

int SocketSetKeepAliveTimes(SocketHandle aSock, uint32_t aIdleMs, uint32_t aIntervalMs) {
    int idle = static_cast<int>((aIdleMs + 999) / 1000);
    int interval = static_cast<int>((aIntervalMs + 999) / 1000);
    int count = 10;
    if (setsockopt(Fd(aSock), IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) != 0 ||
        setsockopt(Fd(aSock), IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) != 0 ||
        setsockopt(Fd(aSock), IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) != 0)
        return -1;
    return 0;
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
    int rc = getaddrinfo(aHost, "", &hints, &list);
    if (rc != 0)
        return rc == EAI_SYSTEM ? (errno ? errno : rc) : rc;
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
    else if (aError < 0)
        snprintf(aBuf, aSize, "%s", gai_strerror(aError));
    else
        ErrorText(aError, aBuf, aSize);
}

int GetLocalHostName(char* aBuf, size_t aSize) {
    if (!aBuf || aSize == 0) {
        errno = EINVAL;
        return -1;
    }
    if (gethostname(aBuf, aSize) != 0)
        return -1;
    aBuf[aSize - 1] = '\0';
    return 0;
}

}  // namespace rtos

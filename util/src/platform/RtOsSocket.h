// Socket primitives of the operating-system layer.
//
// A thin set of calls that the socket classes sit on. They follow the Winsock
// conventions on both systems: a failing call returns -1 (or kInvalidSocket)
// and LastSocketError() tells why; SocketWouldBlock() recognises "try again
// later" on either system. On Linux these calls also keep the bookkeeping
// that AsyncSelect (RtOsWindow.h) needs to report readiness like Winsock:
// receiving re-enables FD_READ, accepting re-enables FD_ACCEPT, a refused
// send re-arms FD_WRITE, and SocketClose forgets the socket. Sockets that are
// reported through AsyncSelect must therefore be read, written, accepted and
// closed through these calls.
#pragma once

#include <cstddef>
#include <cstdint>

#include "RtOs.h"

// The one system header a public header includes: the scatter/gather entry
// must be the system's own type, not a look-alike that clashes with it.
#if !defined(RT_OS_WINDOWS)
#include <sys/uio.h>
#endif

namespace rtos {

// A Windows SOCKET or a Linux file descriptor.
using SocketHandle = uintptr_t;
constexpr SocketHandle kInvalidSocket = ~static_cast<SocketHandle>(0);

// Address families with this system's values (AF_INET6 differs between the
// two systems; compare with these, never with a literal).
constexpr int kAfInet = 2;
#if defined(RT_OS_WINDOWS)
constexpr int kAfInet6 = 23;
#else
constexpr int kAfInet6 = 10;
#endif

enum class SocketType { kStream, kDatagram };
enum class ShutdownHow { kReceive, kSend, kBoth };

// An IPv4 or IPv6 endpoint. The address is in network byte order (an IPv4
// address uses the first four bytes); the port is in host byte order.
struct SocketAddress {
    int family = kAfInet;
    uint8_t addr[16] = {};
    uint16_t port = 0;
};

// One buffer of a scatter/gather call, the system's own entry so that an
// array goes to the system call as it is: struct iovec on Linux; on Windows
// WSABUF's layout (32-bit length first) under our own name, as <winsock2.h>
// is not included here. The field names differ, so entries are read and
// written through IoVecBase, IoVecLength and SetIoVec only.
#if defined(RT_OS_WINDOWS)
struct IoVec {
    unsigned long len;
    char* buf;
};
inline void* IoVecBase(const IoVec& aIov) { return aIov.buf; }
inline size_t IoVecLength(const IoVec& aIov) { return aIov.len; }
// A Windows entry holds less than 4 GiB; longer buffers must be split.
inline void SetIoVec(IoVec& aIov, void* aBase, size_t aLength) {
    aIov.buf = static_cast<char*>(aBase);
    aIov.len = static_cast<unsigned long>(aLength);
}
#else
using IoVec = ::iovec;
inline void* IoVecBase(const IoVec& aIov) { return aIov.iov_base; }
inline size_t IoVecLength(const IoVec& aIov) { return aIov.iov_len; }
inline void SetIoVec(IoVec& aIov, void* aBase, size_t aLength) {
    aIov.iov_base = aBase;
    aIov.iov_len = aLength;
}
#endif

// ---- Start-up --------------------------------------------------------------
// Windows: WSAStartup for version 2.2 (false when that version is not
// available). Linux: ignores SIGPIPE once per process, so that writing to a
// reset connection returns an error instead of ending the process. Calls
// nest; each successful SocketStartup is matched by one SocketCleanup.
bool SocketStartup();
void SocketCleanup();

// The error of the calling thread's last failed socket call
// (WSAGetLastError on Windows, errno elsewhere).
int LastSocketError();
// Whether aErr means that a non-blocking call could not finish now
// (WSAEWOULDBLOCK; EAGAIN, EWOULDBLOCK, or EINPROGRESS from a connect).
bool SocketWouldBlock(int aErr);
// Error numbers the callers need to recognise on both systems.
bool SocketErrorIsRefused(int aErr);
// A datagram longer than the receive buffer (WSAEMSGSIZE; EMSGSIZE).
bool SocketErrorIsMessageTooLong(int aErr);
// A datagram socket's receive reporting that an earlier datagram found no
// one (an ICMP unreachable): WSAECONNRESET on Windows; ECONNREFUSED,
// EHOSTUNREACH and the like on Linux.
bool SocketErrorIsPeerUnreachable(int aErr);

// ---- Life cycle --------------------------------------------------------------
// A new socket of kAfInet or kAfInet6; not inherited by child processes.
SocketHandle SocketOpen(int aFamily, SocketType aType);
// Closes the socket. Any AsyncSelect registration ends at once, and on Linux
// notifications of it still queued for the window are dropped: the number
// may be handed out again by the next socket.
int SocketClose(SocketHandle aSock);
int SocketShutdown(SocketHandle aSock, ShutdownHow aHow);
// Makes the next SocketClose reset the connection instead of ending it in
// order (a zero linger time).
int SocketResetOnClose(SocketHandle aSock);

int SocketSetNonBlocking(SocketHandle aSock, bool aOn);
int SocketSetReuseAddress(SocketHandle aSock, bool aOn);

int SocketBind(SocketHandle aSock, const SocketAddress& aAddr);
int SocketListen(SocketHandle aSock, int aBacklog);
// The accepted socket has the listener's properties, as with Winsock: it is
// non-blocking when the listener is, and it is reported to the listener's
// window with the listener's message and events. aPeer may be null.
SocketHandle SocketAccept(SocketHandle aSock, SocketAddress* aPeer);
// Starts a connection. A non-blocking socket returns -1 with
// SocketWouldBlock(LastSocketError()) while the connection is under way;
// FD_CONNECT then reports the outcome.
int SocketConnect(SocketHandle aSock, const SocketAddress& aAddr);

int SocketLocalAddress(SocketHandle aSock, SocketAddress* aAddr);
int SocketPeerAddress(SocketHandle aSock, SocketAddress* aAddr);

// ---- Data ------------------------------------------------------------------
// Byte counts, or -1. Recv returns 0 when the peer has closed.
long SocketSend(SocketHandle aSock, const void* aBuf, size_t aLen);
long SocketRecv(SocketHandle aSock, void* aBuf, size_t aLen);
// Like SocketRecv, but the bytes stay queued (MSG_PEEK).
long SocketPeek(SocketHandle aSock, void* aBuf, size_t aLen);
// Whether a connected stream can still send: a zero-length send succeeds
// while our direction is open (also after the peer finished sending) and
// fails once the connection was reset.
bool SocketCanSend(SocketHandle aSock);
long SocketSendV(SocketHandle aSock, const IoVec* aIov, size_t aCount);
long SocketRecvV(SocketHandle aSock, IoVec* aIov, size_t aCount);
long SocketSendTo(SocketHandle aSock, const void* aBuf, size_t aLen, const SocketAddress& aTo);
// One datagram gathered from aCount pieces.
long SocketSendToV(SocketHandle aSock, const IoVec* aIov, size_t aCount, const SocketAddress& aTo);
// One datagram; aFrom may be null. A datagram longer than aLen is consumed
// and reported as -1 with SocketErrorIsMessageTooLong, never cut: aFrom
// names its sender and *aDatagramLength (when given) its length (Windows
// does not tell it for a buffer of 64 KiB or more, where no datagram is cut:
// 0 then). A peer found unreachable comes back
// as -1 with SocketErrorIsPeerUnreachable and aFrom naming that peer, as
// Winsock reports it; on Linux datagram sockets receive ICMP errors for
// this (IP_RECVERR), and readiness reports them as FD_READ.
long SocketRecvFrom(SocketHandle aSock, void* aBuf, size_t aLen, SocketAddress* aFrom,
                    size_t* aDatagramLength = nullptr);

// How many bytes can be received without blocking (ioctlsocket FIONREAD).
int SocketBytesBuffered(SocketHandle aSock, uint32_t* aBytes);

// ---- Options -----------------------------------------------------------------
// Levels and option names with this system's values, for SocketSetOption
// and SocketGetOption, which pass them through unchanged.
extern const int kSolSocket;
extern const int kSoReuseAddr;
extern const int kSoKeepAlive;
extern const int kSoSndBuf;
extern const int kSoRcvBuf;
extern const int kSoError;
extern const int kSoLinger;
extern const int kIpProtoTcp;
extern const int kTcpNoDelay;
extern const int kIpProtoIp;
extern const int kIpTos;
int SocketSetOption(SocketHandle aSock, int aLevel, int aOption, const void* aValue, int aLen);
int SocketGetOption(SocketHandle aSock, int aLevel, int aOption, void* aValue, int* aLen);
// ioctlsocket-style control: kFionread (uint32 out) and kFionbio (uint32 in).
extern const long kFionread;
extern const long kFionbio;
int SocketControl(SocketHandle aSock, long aCmd, void* aArg);
// Keep-alive probe timing of a socket with SO_KEEPALIVE on: first probe
// after aIdleMs, then every aIntervalMs (SIO_KEEPALIVE_VALS on Windows;
// TCP_KEEPIDLE/KEEPINTVL, and ten probes as Windows sends, on Linux).
int SocketSetKeepAliveTimes(SocketHandle aSock, uint32_t aIdleMs, uint32_t aIntervalMs);

// ---- Names ---------------------------------------------------------------------
// Looks aHost up (getaddrinfo, any family, stream sockets; aCanonical asks
// for the canonical name too). Fills at most aMax addresses in the order the
// system gives them and stores how many. Returns 0, or the resolver's error
// code (readable with ResolveErrorText); a success without any address is
// reported as kResolveNoAddress.
constexpr int kResolveNoAddress = 101;
int ResolveHost(const char* aHost, bool aCanonical, SocketAddress* aOut, size_t aMax, size_t* aCount);
void ResolveErrorText(int aError, char* aBuf, size_t aSize);
// The machine's host name, always terminated; -1 with LastSocketError().
int GetLocalHostName(char* aBuf, size_t aSize);
// The machine's own IPv4 address in network byte order: the first one that
// is not a loopback address, else a loopback one, else 0. Linux: the
// addresses of the interfaces that are up (getifaddrs). Windows: the
// addresses the host name resolves to (getaddrinfo), Winsock started for
// the lookup itself.
uint32_t LocalIPv4Address();

}  // namespace rtos

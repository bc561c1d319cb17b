// The UDP benchmark's raw side: a single-threaded epoll + recvfrom/sendto
// echo (the baseline), a client that keeps a window of datagrams in flight
// over 16 sockets, and the CPU time of a thread. Kept apart from the
// framework's headers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rawudp {

class EpollUdpEcho {
public:
    EpollUdpEcho();
    ~EpollUdpEcho();
    EpollUdpEcho(const EpollUdpEcho&) = delete;
    EpollUdpEcho& operator=(const EpollUdpEcho&) = delete;
    uint16_t Port() const;
    // The serving thread's id, for ThreadCpuNs.
    uint32_t ThreadId() const;

private:
    struct Impl;
    Impl* m_pImpl;
};

struct ClientResult {
    uint64_t echoed = 0;  // datagrams that came back
    uint64_t resent = 0;  // refills after a lost datagram
    double seconds = 0;
};

// Datagrams of aSize to 127.0.0.1:aPort from 16 sockets for aSeconds, each
// socket keeping aWindow in flight; a socket that hears nothing for a short
// while is refilled, so losses cannot stall it.
ClientResult RunClient(uint16_t aPort, size_t aSize, int aWindow, double aSeconds);

// A loopback UDP port the system just gave out and took back.
uint16_t FreePort();

// CPU time a thread of this process has used, in nanoseconds.
uint64_t ThreadCpuNs(uint32_t aThreadId);

}  // namespace rawudp

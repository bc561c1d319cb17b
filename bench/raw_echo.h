// A minimal single-threaded epoll echo server and a blocking loopback
// client: the benchmarks' raw baseline, kept apart from the framework's
// headers.
#pragma once

#include <cstdint>

namespace rawecho {

class EpollEcho {
public:
    EpollEcho();
    ~EpollEcho();
    EpollEcho(const EpollEcho&) = delete;
    EpollEcho& operator=(const EpollEcho&) = delete;
    uint16_t Port() const;

private:
    struct Impl;
    Impl* m_pImpl;
};

// 16 MiB through the echo in 64 KiB pieces, at most 2 MiB in flight.
void Throughput(uint16_t aPort, int aIterations);
// aIterations round trips of 64 bytes.
void RoundTrips(uint16_t aPort, int aIterations);

constexpr unsigned long long kTransfer = 16ull << 20;

}  // namespace rawecho

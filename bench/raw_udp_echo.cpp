// os-boundary: allow-file (the benchmark's raw baseline and its client)
#include "raw_udp_echo.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace rawudp {

namespace {

int BoundLoopback(uint16_t aPort = 0) {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(aPort);
    bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    int size = 0x40000;
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    setsockopt(s, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    return s;
}

uint16_t PortOf(int aSock) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    getsockname(aSock, reinterpret_cast<sockaddr*>(&addr), &len);
    return ntohs(addr.sin_port);
}

}  // namespace

// ---- The baseline: one thread, edge-triggered epoll, recvfrom/sendto ------------
struct EpollUdpEcho::Impl {
    Impl() {
        m_nSock = BoundLoopback();
        m_nEpoll = epoll_create1(EPOLL_CLOEXEC);
        m_nWake = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLET;
        ev.data.fd = m_nSock;
        epoll_ctl(m_nEpoll, EPOLL_CTL_ADD, m_nSock, &ev);
        m_Thread = std::thread([this] { Run(); });
        while (m_nThreadId.load() == 0)
            std::this_thread::yield();
    }
    ~Impl() {
        m_bStop = true;
        m_Thread.join();
        close(m_nSock);
        close(m_nEpoll);
        close(m_nWake);
    }
    void Run() {
        m_nThreadId = static_cast<uint32_t>(syscall(SYS_gettid));
        char buf[65536];
        epoll_event events[4];
        while (!m_bStop.load(std::memory_order_relaxed)) {
            int n = epoll_wait(m_nEpoll, events, 4, 20);
            if (n <= 0)
                continue;
            for (;;) {
                sockaddr_storage from;
                socklen_t len = sizeof from;
                ssize_t got = recvfrom(m_nSock, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
                if (got < 0)
                    break;
                sendto(m_nSock, buf, static_cast<size_t>(got), 0, reinterpret_cast<sockaddr*>(&from), len);
            }
        }
    }

    int m_nSock = -1;
    int m_nEpoll = -1;
    int m_nWake = -1;
    std::atomic<bool> m_bStop{false};
    std::atomic<uint32_t> m_nThreadId{0};
    std::thread m_Thread;
};

EpollUdpEcho::EpollUdpEcho() : m_pImpl(new Impl) {}
EpollUdpEcho::~EpollUdpEcho() { delete m_pImpl; }
uint16_t EpollUdpEcho::Port() const { return PortOf(m_pImpl->m_nSock); }
uint32_t EpollUdpEcho::ThreadId() const { return m_pImpl->m_nThreadId.load(); }

// ---- The client -------------------------------------------------------------------
ClientResult RunClient(uint16_t aPort, size_t aSize, int aWindow, double aSeconds) {
    constexpr int kSockets = 16;
    constexpr auto kRefill = std::chrono::milliseconds(20);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(aPort);
    int ep = epoll_create1(EPOLL_CLOEXEC);
    std::vector<int> socks(kSockets);
    std::vector<int> inFlight(kSockets, 0);
    std::vector<std::chrono::steady_clock::time_point> lastHeard(kSockets);
    std::string payload(aSize, 'u');
    auto send = [&](int i) {
        if (sendto(socks[static_cast<size_t>(i)], payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to),
                   sizeof to) >= 0)
            ++inFlight[static_cast<size_t>(i)];
    };
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kSockets; ++i) {
        socks[static_cast<size_t>(i)] = BoundLoopback();
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u32 = static_cast<uint32_t>(i);
        epoll_ctl(ep, EPOLL_CTL_ADD, socks[static_cast<size_t>(i)], &ev);
        lastHeard[static_cast<size_t>(i)] = start;
        for (int w = 0; w < aWindow; ++w)
            send(i);
    }
    ClientResult result;
    auto end = start + std::chrono::duration<double>(aSeconds);
    char buf[65536];
    epoll_event events[kSockets];
    for (;;) {
        auto now = std::chrono::steady_clock::now();
        if (now >= end)
            break;
        int n = epoll_wait(ep, events, kSockets, 5);
        now = std::chrono::steady_clock::now();
        for (int e = 0; e < n; ++e) {
            int i = static_cast<int>(events[e].data.u32);
            size_t ui = static_cast<size_t>(i);
            while (recv(socks[ui], buf, sizeof buf, MSG_DONTWAIT) >= 0) {
                ++result.echoed;
                if (inFlight[ui] > 0)
                    --inFlight[ui];
                lastHeard[ui] = now;
                send(i);
            }
        }
        // A socket that heard nothing for a while lost datagrams: refill it.
        for (int i = 0; i < kSockets; ++i) {
            size_t ui = static_cast<size_t>(i);
            if (now - lastHeard[ui] > kRefill) {
                inFlight[ui] = 0;
                lastHeard[ui] = now;
                for (int w = 0; w < aWindow; ++w, ++result.resent)
                    send(i);
            }
        }
    }
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (int s : socks)
        close(s);
    close(ep);
    return result;
}

uint16_t FreePort() {
    int s = BoundLoopback();
    uint16_t port = PortOf(s);
    close(s);
    return port;
}

uint64_t ThreadCpuNs(uint32_t aThreadId) {
    // schedstat: time on the CPU in nanoseconds, then waiting time and slices.
    char path[64];
    snprintf(path, sizeof path, "/proc/self/task/%u/schedstat", aThreadId);
    FILE* f = fopen(path, "r");
    if (!f)
        return 0;
    unsigned long long ns = 0;
    if (fscanf(f, "%llu", &ns) != 1)
        ns = 0;
    fclose(f);
    return ns;
}

}  // namespace rawudp

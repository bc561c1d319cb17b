// os-boundary: allow-file (the benchmark's raw baseline and its client)
#include "raw_echo.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace rawecho {

// ---- The baseline: one thread, epoll, non-blocking sockets ---------------------
struct EpollEcho::Impl {
    Impl() {
        m_nListen = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_nListen, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        listen(m_nListen, 128);
        socklen_t len = sizeof addr;
        getsockname(m_nListen, reinterpret_cast<sockaddr*>(&addr), &len);
        m_nPort = ntohs(addr.sin_port);
        m_nEpoll = epoll_create1(0);
        Watch(m_nListen, EPOLLIN);
        m_Thread = std::thread([this] { Run(); });
    }
    ~Impl() {
        m_bQuit = true;
        m_Thread.join();
        for (auto& c : m_Pending)
            close(c.first);
        close(m_nListen);
        close(m_nEpoll);
    }
    uint16_t Port() const { return m_nPort; }

    void Watch(int aFd, uint32_t aEvents, int aOp = EPOLL_CTL_ADD) {
        epoll_event ev{};
        ev.events = aEvents;
        ev.data.fd = aFd;
        epoll_ctl(m_nEpoll, aOp, aFd, &ev);
    }
    void Run() {
        std::vector<char> buf(131072);
        epoll_event events[64];
        while (!m_bQuit) {
            int n = epoll_wait(m_nEpoll, events, 64, 50);
            for (int i = 0; i < n; ++i) {
                int fd = events[i].data.fd;
                if (fd == m_nListen) {
                    int c = accept4(m_nListen, nullptr, nullptr, SOCK_NONBLOCK);
                    if (c >= 0) {
                        int one = 1;
                        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                        m_Pending[c];
                        Watch(c, EPOLLIN);
                    }
                    continue;
                }
                std::string& pending = m_Pending[fd];
                if ((events[i].events & EPOLLOUT) && !pending.empty())
                    Flush(fd, pending);
                if ((events[i].events & EPOLLIN) && pending.empty()) {
                    ssize_t got = recv(fd, buf.data(), buf.size(), 0);
                    if (got == 0 || (got < 0 && errno != EAGAIN)) {
                        close(fd);
                        m_Pending.erase(fd);
                        continue;
                    }
                    if (got > 0) {
                        pending.assign(buf.data(), static_cast<size_t>(got));
                        Flush(fd, pending);
                    }
                }
            }
        }
    }
    // Sends what it can; while bytes remain it stops reading this socket.
    void Flush(int aFd, std::string& aPending) {
        ssize_t sent = send(aFd, aPending.data(), aPending.size(), MSG_NOSIGNAL);
        if (sent > 0)
            aPending.erase(0, static_cast<size_t>(sent));
        Watch(aFd, aPending.empty() ? EPOLLIN : EPOLLOUT, EPOLL_CTL_MOD);
    }

    int m_nListen = -1, m_nEpoll = -1;
    uint16_t m_nPort = 0;
    std::atomic<bool> m_bQuit{false};
    std::map<int, std::string> m_Pending;
    std::thread m_Thread;
};

EpollEcho::EpollEcho() : m_pImpl(new Impl) {}
EpollEcho::~EpollEcho() { delete m_pImpl; }
uint16_t EpollEcho::Port() const { return m_pImpl->Port(); }

namespace {
constexpr size_t kWindow = size_t(2) << 20;
}

int Connect(uint16_t aPort) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(aPort);
    connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

void Throughput(uint16_t aPort, int aIterations) {
    int fd = Connect(aPort);
    std::vector<char> chunk(65536, 'e');
    for (int it = 0; it < aIterations; ++it) {
        std::atomic<size_t> received{0};
        std::thread reader([&] {
            std::vector<char> buf(131072);
            while (received < kTransfer) {
                ssize_t n = recv(fd, buf.data(), buf.size(), 0);
                if (n <= 0)
                    break;
                received += static_cast<size_t>(n);
            }
        });
        size_t sent = 0;
        while (sent < kTransfer) {
            while (sent - received.load() > kWindow)
                std::this_thread::yield();
            ssize_t n = send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sent += static_cast<size_t>(n);
        }
        reader.join();
    }
    close(fd);
}

void RoundTrips(uint16_t aPort, int aIterations) {
    int fd = Connect(aPort);
    char out[64] = {}, in[64];
    for (int it = 0; it < aIterations; ++it) {
        send(fd, out, sizeof out, MSG_NOSIGNAL);
        size_t got = 0;
        while (got < sizeof in) {
            ssize_t n = recv(fd, in + got, sizeof in - got, 0);
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
    }
    close(fd);
}

}  // namespace rawecho

// A lossy UDP relay on loopback for the reliable UDP suites: datagrams from
// the client (whoever last spoke to the relay's port) go to the server port
// and back, each direction dropped, duplicated or held back (reordered) by
// a generator seeded per direction, so a seed gives the same decisions for
// the same datagram sequence. SetForwarding(false) makes it swallow everything (a
// vanished peer); InjectToClient sends bytes as if from the server.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "RtLoopback.h"
#include "RtOsSocket.h"

namespace rttest {

class UdpRelay {
public:
    struct Config {
        double loss = 0, dup = 0, reorder = 0;
        uint32_t seed = 1;
    };

    // aListenPort 0: a port the system chooses (Port()).
    UdpRelay(uint16_t aServerPort, Config aConfig, uint16_t aListenPort = 0)
        : m_nServerPort(aServerPort),
          m_Config(aConfig),
          m_Rng{std::mt19937(aConfig.seed), std::mt19937(aConfig.seed + 7919)} {
        m_hListen = Open(aListenPort, m_nPort);
        uint16_t ignored = 0;
        m_hUp = Open(0, ignored);
        m_Thread = std::thread([this] { Run(); });
    }
    ~UdpRelay() {
        m_bQuit = true;
        m_Thread.join();
        rtos::SocketClose(m_hListen);
        rtos::SocketClose(m_hUp);
    }
    uint16_t Port() const { return m_nPort; }
    void SetForwarding(bool aOn) { m_bForward = aOn; }
    void SetLoss(double aLoss) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Config.loss = aLoss;
    }
    void InjectToClient(const std::string& aBytes) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Inject.push_back(aBytes);
    }
    uint64_t Forwarded(int aDir) const { return m_nForwarded[aDir].load(); }
    uint64_t Dropped(int aDir) const { return m_nDropped[aDir].load(); }

private:
    struct Held {
        std::string data;
        int after;
        std::chrono::steady_clock::time_point until;
    };

    static rtos::SocketHandle Open(uint16_t aPort, uint16_t& aBound) {
        rtos::SocketHandle h = rtos::SocketOpen(rtos::kAfInet, rtos::SocketType::kDatagram);
        rtos::SocketAddress a = Loopback(aPort);
        rtos::SocketBind(h, a);
        rtos::SocketLocalAddress(h, &a);
        rtos::SocketSetNonBlocking(h, true);
        aBound = a.port;
        return h;
    }

    // Direction 0: client to server; 1: server to client.
    void Emit(int aDir, const std::string& aData) {
        if (aDir == 0)
            rtos::SocketSendTo(m_hUp, aData.data(), aData.size(), Loopback(m_nServerPort));
        else if (m_bHaveClient)
            rtos::SocketSendTo(m_hListen, aData.data(), aData.size(), m_Client);
        ++m_nForwarded[aDir];
    }

    void Forward(int aDir, const std::string& aData) {
        if (!m_bForward)
            return;
        Config c;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            c = m_Config;
        }
        std::uniform_real_distribution<double> u(0.0, 1.0);
        const double drop = u(m_Rng[aDir]), dup = u(m_Rng[aDir]), hold = u(m_Rng[aDir]);
        // Held datagrams go after the next three or within 10 ms.
        auto& held = m_Held[aDir];
        for (auto& h : held)
            --h.after;
        if (drop < c.loss) {
            ++m_nDropped[aDir];
        } else if (hold < c.reorder) {
            held.push_back(Held{aData, 3, std::chrono::steady_clock::now() + std::chrono::milliseconds(10)});
        } else {
            Emit(aDir, aData);
            if (dup < c.dup)
                Emit(aDir, aData);
        }
        Release(aDir);
    }

    void Release(int aDir) {
        auto& held = m_Held[aDir];
        const auto now = std::chrono::steady_clock::now();
        while (!held.empty() && (held.front().after <= 0 || held.front().until <= now)) {
            Emit(aDir, held.front().data);
            held.pop_front();
        }
    }

    void Run() {
        char buf[65536];
        while (!m_bQuit) {
            bool idle = true;
            rtos::SocketAddress from;
            long n = rtos::SocketRecvFrom(m_hListen, buf, sizeof buf, &from);
            if (n >= 0) {
                idle = false;
                m_Client = from;
                m_bHaveClient = true;
                Forward(0, std::string(buf, static_cast<size_t>(n)));
            }
            n = rtos::SocketRecvFrom(m_hUp, buf, sizeof buf, &from);
            if (n >= 0) {
                idle = false;
                Forward(1, std::string(buf, static_cast<size_t>(n)));
            }
            {
                std::lock_guard<std::mutex> lock(m_Mutex);
                for (auto& b : m_Inject)
                    Emit(1, b);
                m_Inject.clear();
            }
            Release(0);
            Release(1);
            if (idle)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }

    uint16_t m_nServerPort;
    uint16_t m_nPort = 0;
    Config m_Config;
    std::mt19937 m_Rng[2];
    rtos::SocketHandle m_hListen = rtos::kInvalidSocket;
    rtos::SocketHandle m_hUp = rtos::kInvalidSocket;
    rtos::SocketAddress m_Client;
    bool m_bHaveClient = false;
    std::deque<Held> m_Held[2];
    std::deque<std::string> m_Inject;
    std::mutex m_Mutex;
    std::atomic<bool> m_bForward{true};
    std::atomic<bool> m_bQuit{false};
    std::atomic<uint64_t> m_nForwarded[2] = {{0}, {0}};
    std::atomic<uint64_t> m_nDropped[2] = {{0}, {0}};
    std::thread m_Thread;
};

}  // namespace rttest

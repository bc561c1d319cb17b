// A server or proxy on a plain loopback socket, scripted by the test, for
// what real peers do not show on demand: replies cut anywhere or joined to
// what follows, endless heads, bodies of any size, silence, a close at any
// point. It serves connections one after the other on its own thread. Each
// request it reads (an HTTP head with its Content-Length body, or for raw
// peers whatever one read gives) is answered with the next reply of the
// script, in the reply's pieces (a short pause between them), and may go on
// with bytes made as they are sent and close the connection after it. When
// the script runs out the peer keeps the connection and stays silent.
// Requests() tells what came, and on which connection.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "RtLoopback.h"
#include "RtTestSupport.h"

namespace rttest {

class ScriptedPeer {
public:
    enum class Framing { kHttp, kRaw };
    struct Reply {
        std::vector<std::string> pieces;
        bool close = false;
        // Then this many bytes of fillWith repeated (a body or head too big
        // to hold in the test).
        size_t fill = 0;
        std::string fillWith = "x";
        // Answer without waiting for a request (a server that speaks first).
        bool unasked = false;
    };
    struct Request {
        std::string bytes;
        int connection;
    };

    ScriptedPeer(Framing aFraming, std::vector<Reply> aScript) : m_Framing(aFraming), m_Script(std::move(aScript)) {
        m_Listener = ListenLoopback(&m_nPort);
        rtos::SocketSetNonBlocking(m_Listener, true);
        m_Thread = std::thread([this] { Serve(); });
    }
    // Answers every HTTP request with these replies, in order.
    explicit ScriptedPeer(std::vector<std::string> aReplies) : ScriptedPeer(Framing::kHttp, Wrap(aReplies)) {}
    ~ScriptedPeer() {
        m_bStop = true;
        m_Thread.join();
        rtos::SocketClose(m_Listener);
    }
    uint16_t Port() const { return m_nPort; }
    std::string Url(const char* aPath = "/") const { return "http://127.0.0.1:" + std::to_string(m_nPort) + aPath; }

    std::vector<Request> Requests() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Requests;
    }
    // Waits up to aMs for aCount requests; what came by then.
    std::vector<Request> WaitRequests(size_t aCount, int aMs = 5000) {
        WaitUntil([&] { return Requests().size() >= aCount; }, aMs);
        return Requests();
    }
    int Connections() const { return m_nConnections.load(); }

private:
    static std::vector<Reply> Wrap(const std::vector<std::string>& aReplies) {
        std::vector<Reply> out;
        for (const std::string& text : aReplies)
            out.push_back(Reply{{text}});
        return out;
    }

    void Serve() {
        size_t next = 0;
        while (!m_bStop) {
            rtos::SocketHandle s = rtos::SocketAccept(m_Listener, nullptr);
            if (s == rtos::kInvalidSocket) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            rtos::SocketSetNonBlocking(s, true);
            const int connection = m_nConnections++;
            std::string pending;
            bool open = true;
            while (open && !m_bStop) {
                if (next < m_Script.size() && m_Script[next].unasked) {
                    open = Answer(s, m_Script[next++]);
                    continue;
                }
                std::string request;
                if (!ReadRequest(s, pending, request))
                    break;
                {
                    std::lock_guard<std::mutex> lock(m_Mutex);
                    m_Requests.push_back(Request{request, connection});
                }
                if (next < m_Script.size())
                    open = Answer(s, m_Script[next++]);
            }
            rtos::SocketClose(s);
        }
    }

    // false once the connection is to end.
    bool Answer(rtos::SocketHandle aSock, const Reply& aReply) {
        bool first = true;
        for (const std::string& piece : aReply.pieces) {
            if (!first)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            first = false;
            if (!Write(aSock, piece.data(), piece.size()))
                return false;
        }
        std::string block;
        while (aReply.fill > 0 && block.size() < 64 * 1024)
            block += aReply.fillWith;
        for (size_t left = aReply.fill; left > 0 && !m_bStop;) {
            const size_t n = left < block.size() ? left : block.size();
            if (!Write(aSock, block.data(), n))
                return false;
            left -= n;
        }
        return !aReply.close;
    }

    bool Write(rtos::SocketHandle aSock, const char* aData, size_t aLen) {
        while (aLen > 0 && !m_bStop) {
            long n = rtos::SocketSend(aSock, aData, aLen);
            if (n > 0) {
                aData += n;
                aLen -= static_cast<size_t>(n);
            } else if (n < 0 && rtos::SocketWouldBlock(rtos::LastSocketError())) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            } else {
                return false;
            }
        }
        return aLen == 0;
    }

    // One request out of the stream (aPending keeps what came behind it);
    // false when the client left or the peer stops.
    bool ReadRequest(rtos::SocketHandle aSock, std::string& aPending, std::string& aRequest) {
        for (;;) {
            size_t end = Complete(aPending);
            if (end > 0) {
                aRequest = aPending.substr(0, end);
                aPending.erase(0, end);
                return true;
            }
            if (m_bStop)
                return false;
            char buf[16 * 1024];
            long n = rtos::SocketRecv(aSock, buf, sizeof buf);
            if (n > 0) {
                aPending.append(buf, static_cast<size_t>(n));
            } else if (n < 0 && rtos::SocketWouldBlock(rtos::LastSocketError())) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            } else {
                return false;
            }
        }
    }
    // The length of the first whole request in aIn, 0 if none yet.
    size_t Complete(const std::string& aIn) const {
        if (m_Framing == Framing::kRaw)
            return aIn.size();
        size_t head = aIn.find("\r\n\r\n");
        if (head == std::string::npos)
            return 0;
        head += 4;
        size_t body = 0;
        size_t at = aIn.find("\r\nContent-Length: ");
        if (at != std::string::npos && at < head)
            body = static_cast<size_t>(strtoul(aIn.c_str() + at + 18, nullptr, 10));
        return aIn.size() >= head + body ? head + body : 0;
    }

    Framing m_Framing;
    std::vector<Reply> m_Script;
    rtos::SocketHandle m_Listener;
    uint16_t m_nPort = 0;
    std::thread m_Thread;
    std::atomic<bool> m_bStop{false};
    std::atomic<int> m_nConnections{0};
    std::mutex m_Mutex;
    std::vector<Request> m_Requests;
};

}  // namespace rttest

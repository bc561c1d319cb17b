// A blocking loopback HTTP client over raw sockets, for tests that must
// control exactly which bytes go out and when.
#pragma once

#include <cstdint>
#include <string>

#include "RtLoopback.h"
#include "RtOsSocket.h"

namespace rttest {

class RawHttpClient {
public:
    explicit RawHttpClient(uint16_t aPort) { m_Sock = ConnectLoopback(aPort, &m_bConnected); }
    ~RawHttpClient() { rtos::SocketClose(m_Sock); }
    bool Connected() const { return m_bConnected; }
    rtos::SocketHandle Handle() const { return m_Sock; }

    bool Send(const std::string& aText) { return SendAll(m_Sock, aText); }
    // Ends the sending side only (FIN): the answers may still come.
    bool HalfClose() { return rtos::SocketShutdown(m_Sock, rtos::ShutdownHow::kSend) == 0; }
    // One response: the head, then as many body bytes as it declares. Empty
    // when the connection ended first.
    std::string ReadResponse() {
        size_t headEnd;
        while ((headEnd = m_strIn.find("\r\n\r\n")) == std::string::npos) {
            if (!Fill())
                return "";
        }
        size_t length = 0;
        size_t cl = m_strIn.find("Content-Length: ");
        if (cl != std::string::npos && cl < headEnd)
            length = std::stoul(m_strIn.substr(cl + 16));
        size_t total = headEnd + 4 + length;
        while (m_strIn.size() < total) {
            if (!Fill())
                return "";
        }
        std::string response = m_strIn.substr(0, total);
        m_strIn.erase(0, total);
        return response;
    }
    static std::string Body(const std::string& aResponse) {
        size_t end = aResponse.find("\r\n\r\n");
        return end == std::string::npos ? "" : aResponse.substr(end + 4);
    }
    // True once the server has closed (reads until the end of the stream).
    bool ClosedByPeer() {
        while (Fill()) {
        }
        return true;
    }

private:
    bool Fill() {
        char buf[4096];
        long n = rtos::SocketRecv(m_Sock, buf, sizeof buf);
        if (n <= 0)
            return false;
        m_strIn.append(buf, static_cast<size_t>(n));
        return true;
    }

    rtos::SocketHandle m_Sock;
    bool m_bConnected = false;
    std::string m_strIn;
};

}  // namespace rttest

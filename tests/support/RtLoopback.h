// Loopback endpoints and blocking client sockets for the network suites.
//   Loopback(port)          127.0.0.1 (or ::1) as an rtos::SocketAddress
//   LoopbackAddr(port)      127.0.0.1 as the framework's CRtInetAddr
//   FreeLoopbackPort()      a port free at the moment
//   ConnectLoopback(port)   a blocking client socket (the caller closes it)
//   ListenLoopback(&port)   a listening socket on a free port (the caller closes it)
//   SendAll / RecvExactly   whole writes and reads on a blocking socket
#pragma once

#include <cstdint>
#include <string>

#include "RtInetAddr.h"
#include "RtOsSocket.h"

namespace rttest {

// 127.0.0.1 (or ::1) at aPort.
inline rtos::SocketAddress Loopback(uint16_t aPort, int aFamily = rtos::kAfInet) {
    rtos::SocketAddress a;
    a.family = aFamily;
    if (aFamily == rtos::kAfInet) {
        a.addr[0] = 127;
        a.addr[3] = 1;
    } else {
        a.addr[15] = 1;
    }
    a.port = aPort;
    return a;
}

// 127.0.0.1 at aPort (0: any free port, for a listener).
inline CRtInetAddr LoopbackAddr(uint16_t aPort = 0) {
    CRtInetAddr addr("127.0.0.1", 1);
    addr.SetPortA(aPort);
    return addr;
}

// A port the system just gave out and took back: free, barring a race with
// another process.
inline uint16_t FreeLoopbackPort() {
    rtos::SocketHandle s = rtos::SocketOpen(rtos::kAfInet, rtos::SocketType::kStream);
    rtos::SocketAddress a = Loopback(0);
    rtos::SocketBind(s, a);
    rtos::SocketLocalAddress(s, &a);
    rtos::SocketClose(s);
    return a.port;
}

// A stream socket listening on 127.0.0.1 at a port the system picks,
// given in *aPort. The caller closes it.
inline rtos::SocketHandle ListenLoopback(uint16_t* aPort) {
    rtos::SocketHandle s = rtos::SocketOpen(rtos::kAfInet, rtos::SocketType::kStream);
    rtos::SocketAddress a = Loopback(0);
    rtos::SocketBind(s, a);
    rtos::SocketListen(s, 4);
    rtos::SocketLocalAddress(s, &a);
    *aPort = a.port;
    return s;
}

// A blocking stream socket connected to the loopback port; *aConnected
// tells whether the connect succeeded. The caller closes it.
inline rtos::SocketHandle ConnectLoopback(uint16_t aPort, bool* aConnected = nullptr) {
    rtos::SocketHandle s = rtos::SocketOpen(rtos::kAfInet, rtos::SocketType::kStream);
    bool connected = rtos::SocketConnect(s, Loopback(aPort)) == 0;
    rtos::SocketSetNonBlocking(s, false);
    if (aConnected)
        *aConnected = connected;
    return s;
}

// Writes all of aData; false when the socket refused or failed first.
inline bool SendAll(rtos::SocketHandle aSock, const char* aData, size_t aLen) {
    while (aLen > 0) {
        long n = rtos::SocketSend(aSock, aData, aLen);
        if (n <= 0)
            return false;
        aData += n;
        aLen -= static_cast<size_t>(n);
    }
    return true;
}
inline bool SendAll(rtos::SocketHandle aSock, const std::string& aData) {
    return SendAll(aSock, aData.data(), aData.size());
}

// Reads until aLen bytes arrived or the stream ended or failed; returns
// what arrived.
inline std::string RecvExactly(rtos::SocketHandle aSock, size_t aLen) {
    std::string got(aLen, '\0');
    size_t have = 0;
    while (have < aLen) {
        long n = rtos::SocketRecv(aSock, &got[have], aLen - have);
        if (n <= 0)
            break;
        have += static_cast<size_t>(n);
    }
    got.resize(have);
    return got;
}

}  // namespace rttest

// Loopback endpoints and blocking client sockets for the network suites.
#pragma once

#include <cstdint>

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

}  // namespace rttest

#include "RtOsWin32.h"

#include <ws2tcpip.h>

#include <cstring>

#include "../RtOsSocket.h"

namespace rtos {

// getaddrinfo rather than gethostbyname: it keeps no per-thread result
// buffer that a second lookup on the thread would overwrite.
uint32_t LocalIPv4Address() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return 0;
    uint32_t loopback = 0;
    uint32_t found = 0;
    char name[256];
    if (gethostname(name, sizeof name) == 0) {
        name[sizeof name - 1] = '\0';
        addrinfo hints;
        memset(&hints, 0, sizeof hints);
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* list = nullptr;
        if (getaddrinfo(name, nullptr, &hints, &list) == 0) {
            for (const addrinfo* it = list; it && !found; it = it->ai_next) {
                if (it->ai_family != AF_INET || !it->ai_addr)
                    continue;
                const uint32_t addr = reinterpret_cast<const sockaddr_in*>(it->ai_addr)->sin_addr.s_addr;
                if ((ntohl(addr) >> 24) == 127) {
                    if (!loopback)
                        loopback = addr;
                    continue;
                }
                found = addr;
            }
            freeaddrinfo(list);
        }
    }
    WSACleanup();
    return found ? found : loopback;
}

}  // namespace rtos

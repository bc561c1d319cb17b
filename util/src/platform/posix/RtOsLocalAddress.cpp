#include "../RtOsSocket.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace rtos {

// The interfaces rather than the host name: Debian maps the host name to
// 127.0.1.1 in /etc/hosts, which no peer can reach.
uint32_t LocalIPv4Address() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return 0;
    uint32_t loopback = 0;
    uint32_t found = 0;
    for (const ifaddrs* it = list; it && !found; it = it->ifa_next) {
        if (!it->ifa_addr || it->ifa_addr->sa_family != AF_INET || !(it->ifa_flags & IFF_UP))
            continue;
        const uint32_t addr = reinterpret_cast<const sockaddr_in*>(it->ifa_addr)->sin_addr.s_addr;
        if ((ntohl(addr) >> 24) == 127 || (it->ifa_flags & IFF_LOOPBACK)) {
            if (!loopback)
                loopback = addr;
            continue;
        }
        found = addr;
    }
    freeifaddrs(list);
    return found ? found : loopback;
}

}  // namespace rtos
